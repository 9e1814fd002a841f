#include "sandbox_set.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ground.h"

namespace {

// A set directory whose partitions hold their new images and whose flags
// are set, for each case to spoil one thing of.
class UpgradedSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/upgraded-set-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        ASSERT_EQ(mkdir((dir_ + "/emmc").c_str(), 0755), 0);
        int seed = 1;
        for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
            const char* device = sandbox::deviceName(p.device);
            images_[device] = std::string(4096, static_cast<char>(seed++));
            write(device, images_[device] + std::string(4096, '\0'));
        }
        write(sandbox::deviceName(ota_paths::kFlagDevice), flags("\x55\xAA", "\x55\xAA"));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    static std::string flags(const char* fourFive, const char* sevenEight) {
        std::string bytes(16, '\x11');
        bytes.replace(4, 2, fourFive, 2);
        bytes.replace(7, 2, sevenEight, 2);
        return bytes;
    }
    void write(const char* device, const std::string& bytes) {
        std::ofstream(sandbox::imagePath(dir_, device), std::ios::binary | std::ios::trunc)
            << bytes;
    }
    std::string problems() const {
        return sandbox::upgradedProblems(sandbox::setDirReader(dir_), images_);
    }

    std::string dir_;
    sandbox::NewImages images_;
};

TEST_F(UpgradedSetTest, UpgradedSetHasNoProblems) {
    EXPECT_EQ(problems(), "");
    std::string bytes;
    ASSERT_TRUE(sandbox::setDirReader(dir_)(sandbox::deviceName(ota_paths::kFlagDevice),
                                            sandbox::successFlagBytes(), &bytes));
    EXPECT_TRUE(sandbox::successFlagsSet(bytes));
}

TEST_F(UpgradedSetTest, NamesEveryPartitionWithoutItsNewImage) {
    write(sandbox::deviceName(ota_paths::kUsrfsDevice), std::string(4096, 'x'));
    write(sandbox::deviceName(ota_paths::kSerialsdataDevice), std::string(100, 'x'));
    EXPECT_EQ(problems(), "usrfs lacks its new image; serialsdata cannot be read");
}

TEST_F(UpgradedSetTest, EachSuccessFlagByteCounts) {
    const char* device = sandbox::deviceName(ota_paths::kFlagDevice);
    write(device, flags("\x55\xAA", "\x55\x00"));
    EXPECT_EQ(problems(), "success flags not set (bytes 4 5 7 8: 55 aa 55 00)");
    write(device, flags("\x00\xAA", "\x55\xAA"));
    EXPECT_EQ(problems(), "success flags not set (bytes 4 5 7 8: 00 aa 55 aa)");
    // Pending no more for the boot stage (4 and 7 are 0x55) is not success.
    write(device, flags("\x55\x00", "\x55\x00"));
    EXPECT_EQ(problems(), "success flags not set (bytes 4 5 7 8: 55 00 55 00)");
    EXPECT_FALSE(sandbox::successFlagsSet(std::string("\0\0\0\0\x55\xAA\0\x55", 8)));
}

TEST_F(UpgradedSetTest, MissingFlagsAndImagesAreProblems) {
    std::filesystem::remove(sandbox::imagePath(dir_, sandbox::deviceName(ota_paths::kFlagDevice)));
    std::filesystem::remove(sandbox::imagePath(dir_, sandbox::deviceName(ota_paths::kOptfsDevice)));
    EXPECT_EQ(problems(), "optfs cannot be read; boot flags cannot be read");
}

TEST_F(UpgradedSetTest, ChecksOnlyThePartitionsGiven) {
    write(sandbox::deviceName(ota_paths::kTvserviceDevice), std::string(4096, 'x'));
    images_.erase(sandbox::deviceName(ota_paths::kTvserviceDevice));
    EXPECT_EQ(sandbox::imageProblems(sandbox::setDirReader(dir_), images_), "");
}

// The clean-up check names whatever /OAD still holds (a leftover the program
// never writes included) and the suspend marker; a link counts as left too.
TEST_F(UpgradedSetTest, CleanUpCheckNamesEverythingLeft) {
    const std::string oad = sandbox::oadPath(dir_), varLocal = sandbox::varLocalPath(dir_);
    EXPECT_EQ(sandbox::oadLeftovers(dir_), "(cannot read)");
    ASSERT_EQ(mkdir(oad.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(varLocal.c_str(), 0755), 0);
    EXPECT_EQ(sandbox::cleanUpProblems(dir_), "");

    std::ofstream(oad + "/patch_package.zip") << "pkg";
    ASSERT_EQ(mkdir((oad + "/update_file").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nowhere", (oad + "/a-link").c_str()), 0);
    EXPECT_EQ(sandbox::oadLeftovers(dir_), "a-link patch_package.zip update_file");
    EXPECT_EQ(sandbox::cleanUpProblems(dir_),
              "/OAD not clean: a-link patch_package.zip update_file");

    std::filesystem::remove_all(oad);
    ASSERT_EQ(mkdir(oad.c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nowhere", (varLocal + "/suspend_force_off").c_str()), 0);
    EXPECT_EQ(sandbox::cleanUpProblems(dir_), "/var/local/suspend_force_off still there");
}

}  // namespace
