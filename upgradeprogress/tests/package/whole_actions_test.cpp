// "create", "delete" and "entotal" on the simulated set: whole parts and
// images from a real package, written into loop devices at their offsets,
// results left by a cut run reused, bad content refused before any write.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ground.h"
#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

const std::string kResultDir = ota_paths::kUpdateDir;
// The stretch of each partition a test looks at; items land inside it.
constexpr size_t kRegion = 8 * kMiB;

class WholeActions : public ::testing::Test {
protected:
    void SetUp() override {
        resetRun();
        // What the partitions held before: the installed image and more.
        for (const char* partition : {"usrfs", "tvservice"}) {
            before[partition] = makeImage(kRegion, partition[0]);
            writeDevice(deviceOf(partition), 0, before[partition]);
        }
    }

    int runLogged(int (*handler)(CongfigItemValue_T), const CongfigItemValue_T& record) {
        LogCapture capture;
        const int result = handler(record);
        log = capture.stop();
        return result;
    }

    // The partition's first bytes: `bytes` at `offset`, the rest as before.
    void expectPartition(const std::string& partition, size_t offset, const std::string& bytes) {
        std::string expected = before[partition];
        expected.replace(offset, bytes.size(), bytes);
        EXPECT_TRUE(readDevice(deviceOf(partition), 0, expected.size()) == expected)
            << partition << " does not hold the expected bytes";
    }

    void expectUntouched(const std::string& partition) { expectPartition(partition, 0, ""); }

    std::map<std::string, std::string> before;
    std::string log;
};

TEST_F(WholeActions, CreateExtractsVerifiesAndWritesAtItsOffset) {
    const std::string part = makeImage(3 * kMiB + 17, 9);
    writePackage({itemEntry("usrfs_split_partab", part)});
    openPackage();
    m_totalFileName = "usrfs";

    ASSERT_EQ(
        runLogged(handleCreateBspatch, item("create", "usrfs_split_partab", md5Hex(part), 0, kMiB)),
        0);
    EXPECT_EQ(countOf(log, "handleCreateBspatch " + kResultDir + "usrfs_split_partab."), 1);
    EXPECT_EQ(countOf(log, "has been extracted"), 0);
    expectPartition("usrfs", kMiB, part);
    expectUntouched("tvservice");
    EXPECT_FALSE(exists(kResultDir + "usrfs_split_partab"));
}

TEST_F(WholeActions, CreateWritesAVerifiedResultLeftByACutRunWithoutExtracting) {
    // The package no longer carries the part: only the left result can be written.
    const std::string part = makeImage(kMiB, 11);
    writePackage({itemEntry("other", "x")});
    openPackage();
    writeFile(kResultDir + "usrfs_split_partaa", part);
    m_totalFileName = "usrfs";

    ASSERT_EQ(
        runLogged(handleCreateBspatch, item("create", "usrfs_split_partaa", md5Hex(part), 0, 0)),
        0);
    EXPECT_EQ(countOf(log, "This part has been extracted: " + kResultDir + "usrfs_split_partaa."),
              1);
    expectPartition("usrfs", 0, part);
    EXPECT_FALSE(exists(kResultDir + "usrfs_split_partaa"));
}

TEST_F(WholeActions, CreateReplacesAStaleResultWithThePackagesPart) {
    const std::string part = makeImage(2 * kMiB, 12);
    writePackage({itemEntry("usrfs_split_partac", part)});
    openPackage();
    writeFile(kResultDir + "usrfs_split_partac", makeImage(2 * kMiB, 13));
    m_totalFileName = "usrfs";

    ASSERT_EQ(runLogged(handleCreateBspatch,
                        item("create", "usrfs_split_partac", md5Hex(part), 0, 5 * kMiB + 7)),
              0);
    EXPECT_EQ(countOf(log, "has been extracted"), 0);
    EXPECT_EQ(countOf(log, kResultDir + "usrfs_split_partac checksum is failed."), 1);
    expectPartition("usrfs", 5 * kMiB + 7, part);
}

struct CreateFailure {
    std::string name;
    std::string packaged;       // entry "patch_package/<name>"; empty: none
    std::string totalFileName;  // the partition of the list
    std::string message;
};

void PrintTo(const CreateFailure& c, std::ostream* os) {
    *os << c.message;
}

class CreateFails : public WholeActions, public ::testing::WithParamInterface<CreateFailure> {};

// A create that fails writes nothing and leaves no result behind.
TEST_P(CreateFails, WritesNothingAndLeavesNoResult) {
    const CreateFailure& c = GetParam();
    const std::string part = makeImage(kMiB + 3, 21);
    std::vector<ota_test::ZipFixtureEntry> entries{itemEntry("unrelated", "u")};
    if (!c.packaged.empty()) {
        entries.push_back(itemEntry(c.name, c.packaged == "right" ? part : part + "!"));
    }
    writePackage(entries);
    openPackage();
    m_totalFileName = c.totalFileName;

    EXPECT_EQ(runLogged(handleCreateBspatch, item("create", c.name, md5Hex(part), 0, 0)), 1);
    EXPECT_EQ(countOf(log, c.message), 1);
    EXPECT_FALSE(exists(kResultDir + c.name));
    expectUntouched("usrfs");
    expectUntouched("tvservice");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateFails,
    ::testing::Values(CreateFailure{"usrfs_split_partaa", "", "usrfs",
                                    "extractOneFile: patch_package/usrfs_split_partaa failed."},
                      CreateFailure{"usrfs_split_partaa", "wrong", "usrfs",
                                    "check /OAD/update_file/usrfs_split_partaa sum error!"},
                      // A list without its own "total" line names no partition: the part of
                      // such a list never lands in the partition of the list before it.
                      CreateFailure{"usrfs_split_partaa", "right", "",
                                    "Writing /OAD/update_file/usrfs_split_partaa emmc failed."}));

TEST_F(WholeActions, EntotalWritesAWholeImageIntoThePartitionItNames) {
    const std::string image = makeImage(5 * kMiB + 1, 31);
    writePackage({itemEntry("tvservice_image", image)});
    openPackage();
    m_totalFileName = "usrfs";  // the list's partition plays no part

    ASSERT_EQ(runLogged(handleEntireTotalBspatch,
                        item("entotal", "tvservice_image", md5Hex(image), 0, 4096)),
              0);
    EXPECT_EQ(countOf(log, "handleEntireTotalBspatch tvservice_image."), 1);
    EXPECT_EQ(countOf(log, "will try again"), 0);
    expectPartition("tvservice", 4096, image);
    expectUntouched("usrfs");
    EXPECT_FALSE(exists(std::string(ota_paths::kPatchDir) + "tvservice_image"));
}

// The package holds an image whose checksum in the list is wrong, so the
// first extraction and the second one are both bad.
TEST_F(WholeActions, EntotalExtractsOnceMoreThenGivesUpWithoutWriting) {
    const std::string image = makeImage(2 * kMiB, 32);
    writePackage({itemEntry("tvservice_image", image)});
    openPackage();
    const std::string path = std::string(ota_paths::kPatchDir) + "tvservice_image";

    EXPECT_EQ(runLogged(handleEntireTotalBspatch,
                        item("entotal", "tvservice_image", md5Hex(image + "x"), 0, 0)),
              1);
    EXPECT_EQ(countOf(log, "check " + path + " sum error, will try again!"), 1);
    EXPECT_EQ(countOf(log, "check " + path + " sum error twice!"), 1);
    EXPECT_LT(log.find("will try again"), log.find("error twice"));
    EXPECT_EQ(countOf(log, path + " checksum is failed."), 2);
    EXPECT_TRUE(readFile(path) == image);  // left for a look afterwards
    expectUntouched("tvservice");
}

TEST_F(WholeActions, EntotalFailsWhenThePackageLacksTheImage) {
    writePackage({itemEntry("unrelated", "u")});
    openPackage();
    EXPECT_EQ(
        runLogged(handleEntireTotalBspatch, item("entotal", "tvservice_image", md5Hex("x"), 0, 0)),
        1);
    EXPECT_EQ(countOf(log, "extractOneFile: patch_package/tvservice_image failed."), 1);
    expectUntouched("tvservice");
}

TEST_F(WholeActions, DeleteOnlyLogsTheStagedPart) {
    const std::string staged = std::string(ota_paths::kOriginalDir) + "usrfs_split_partac";
    writeFile(staged, "kept");
    EXPECT_EQ(runLogged(handleDeleteBspatch, item("delete", "usrfs_split_partac", "", 0, 0)), 0);
    EXPECT_EQ(countOf(log, "handleDeleteBspatch " + staged + "."), 1);
    EXPECT_EQ(readFile(staged), "kept");
    EXPECT_EQ(runLogged(handleDeleteBspatch, item("delete", "usrfs_split_partzz", "", 0, 0)), 0);
    expectUntouched("usrfs");
}

}  // namespace
