// The board's disk is built from a set and read back into it after every
// boot: a byte lost or a file missed on either way would show up as a fault
// of the program that it never made.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "board_disk.h"
#include "child.h"
#include "set_check.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string pattern(size_t size, unsigned seed) {
    std::string out(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

const char* const kDevices[] = {"mmcblk0p4", "mmcblk0p18", "mmcblk0p26", "mmcblk0p28",
                                "mmcblk0p34"};

class BoardDisk : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
        dir_ = std::string(OTA_BINARY_DIR) + "/board-disk-test-" + std::to_string(getpid());
        set_ = dir_ + "/set";
        std::string error;
        ASSERT_TRUE(board::runTool(
            {"mkdir", "-p", set_ + "/emmc", set_ + "/OAD/update_file", set_ + "/var-local/upgrade"},
            &error))
            << error;
        for (unsigned i = 0; i < 5; ++i) {
            writeFile(set_ + "/emmc/" + kDevices[i] + ".img", pattern((i == 0 ? 1 : 2) << 20, i));
        }
        writeFile(set_ + "/OAD/patch_package.zip", pattern(300000, 9));
        writeFile(set_ + "/var-local/upgrade/am_tv_lang", "eng\n");
        writeFile(set_ + "/var-local/suspend_force_off", "");
    }
    void TearDown() override {
        std::string error;
        if (!dir_.empty()) board::runTool({"rm", "-rf", "--", dir_}, &error);
    }
    std::string dir_, set_;
};

TEST_F(BoardDisk, PartitionsCarryTheSetsDeviceNamesAndItsBytes) {
    board::DiskLayout layout;
    std::string error;
    ASSERT_TRUE(board::planDisk(set_, &layout, &error)) << error;
    std::string disk = dir_ + "/disk.img";
    ASSERT_TRUE(board::buildDisk(layout, disk, &error)) << error;

    std::string dump = dir_ + "/table";
    ASSERT_TRUE(board::runTool({"sh", "-c", "sfdisk --dump " + disk + " > " + dump}, &error))
        << error;
    std::string table = readFile(dump);
    for (const char* name : {"mmcblk0p4", "mmcblk0p18", "mmcblk0p26", "mmcblk0p28", "mmcblk0p34",
                             "OAD", "var-local"}) {
        EXPECT_NE(table.find(std::string("name=\"") + name + "\""), std::string::npos)
            << name << " in\n"
            << table;
    }
    for (const char* device : kDevices) {
        const board::DiskPartition* part = board::findPartition(layout, device);
        ASSERT_NE(part, nullptr);
        std::string bytes;
        ASSERT_TRUE(
            board::readPartition(*part, disk, 0, static_cast<size_t>(part->bytes), &bytes, &error));
        EXPECT_EQ(bytes, readFile(set_ + "/emmc/" + device + ".img")) << device;
    }
    // No partition overlaps the next one or the backup table.
    for (size_t i = 0; i + 1 < layout.partitions.size(); ++i) {
        EXPECT_LE(layout.partitions[i].offset + layout.partitions[i].bytes,
                  layout.partitions[i + 1].offset);
    }
    EXPECT_LE(layout.partitions.back().offset + layout.partitions.back().bytes,
              layout.totalBytes - 512 * 33);
}

TEST_F(BoardDisk, WhatTheBoardWroteComesBackIntoTheSet) {
    board::DiskLayout layout;
    std::string error;
    ASSERT_TRUE(board::planDisk(set_, &layout, &error)) << error;
    std::string disk = dir_ + "/disk.img";
    ASSERT_TRUE(board::buildDisk(layout, disk, &error)) << error;
    EXPECT_TRUE(board::upgradePending(layout, disk, &error));

    // The board sets the success flags and rewrites one partition's start.
    const board::DiskPartition* flags = board::findPartition(layout, "mmcblk0p4");
    const board::DiskPartition* usrfs = board::findPartition(layout, "mmcblk0p26");
    std::string newStart = pattern(70000, 42);
    {
        FILE* f = fopen(disk.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        const unsigned char success[] = {0x55, 0xAA, 0x00, 0x55, 0xAA};
        fseek(f, flags->offset + 4, SEEK_SET);
        fwrite(success, 1, sizeof success, f);
        fseek(f, usrfs->offset, SEEK_SET);
        fwrite(newStart.data(), 1, newStart.size(), f);
        fclose(f);
    }
    EXPECT_FALSE(board::upgradePending(layout, disk, &error));
    // The set's folders change meanwhile on the host; the disk's view wins.
    writeFile(set_ + "/OAD/stray", "x");
    ASSERT_TRUE(board::writeBackDisk(layout, disk, &error)) << error;

    std::string usrfsImage = readFile(set_ + "/emmc/mmcblk0p26.img");
    std::string expected = pattern(2 << 20, 2);
    expected.replace(0, newStart.size(), newStart);
    EXPECT_EQ(usrfsImage, expected);
    EXPECT_EQ(readFile(set_ + "/emmc/mmcblk0p4.img").substr(4, 5),
              std::string("\x55\xAA\x00\x55\xAA", 5));
    EXPECT_EQ(readFile(set_ + "/OAD/patch_package.zip"), pattern(300000, 9));
    struct stat st {};
    EXPECT_EQ(stat((set_ + "/OAD/update_file").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(stat((set_ + "/OAD/stray").c_str(), &st), 0);
    EXPECT_NE(stat((set_ + "/OAD/lost+found").c_str(), &st), 0);
    EXPECT_EQ(readFile(set_ + "/var-local/upgrade/am_tv_lang"), "eng\n");

    // Flags set, package still there: committed, the clean-up cut short. A
    // program that ran to its end must have cleaned /OAD.
    board::ExpectedImages images;
    std::string notes;
    EXPECT_EQ(board::upgradeProblems(layout, disk, images, false, dir_, &notes), "");
    EXPECT_NE(notes.find("patch_package.zip"), std::string::npos) << notes;
    std::string problems = board::upgradeProblems(layout, disk, images, true, dir_, &notes);
    EXPECT_NE(problems.find("/OAD not clean"), std::string::npos) << problems;
    EXPECT_NE(problems.find("suspend_force_off"), std::string::npos) << problems;
    // A partition without its new image is never excused.
    images["mmcblk0p28"] = "not what the partition holds";
    EXPECT_NE(board::upgradeProblems(layout, disk, images, false, dir_, &notes)
                  .find("optfs lacks its new image"),
              std::string::npos);
}

}  // namespace
