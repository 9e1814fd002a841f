// Preparation and the list runner on the simulated set: work directories,
// the package opened at its fixed path, lists extracted in one order and run
// in another, line counts, the staging directory emptied between lists.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ground.h"
#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

const std::string kLists = ota_paths::kListDir;

std::string listCopy(const std::string& partition) {
    return kLists + "split_" + partition + "_udpate_list.ini";
}

std::string deleteLine(const std::string& name) {
    return listLine("delete", name, md5Hex(name), 0, 0);
}

class Prepare : public ::testing::Test {
protected:
    void SetUp() override { resetRun(); }

    int prepare(int& total) {
        LogCapture capture;
        const int result = prepareBspatch(total);
        log = capture.stop();
        return result;
    }

    int runLists() {
        LogCapture capture;
        const int result = handleSplitBspatch();
        log = capture.stop();
        return result;
    }

    std::string log;
};

TEST_F(Prepare, ExtractsTheListsInOneOrderAndRunsThemInAnother) {
    writePackage({listEntry("serialsdata", deleteLine("serialsdata_a") + "\n"),
                  listEntry("usrfs", deleteLine("usrfs_a")),
                  listEntry("tvservice", ""),  // a list without lines
                  // Its "total" finds the partition not upgraded: every list runs in full.
                  listEntry("optfs", listLine("total", "optfs", md5Hex("new"), 4096, 4096) +
                                         deleteLine("optfs_a") + deleteLine("optfs_b") +
                                         deleteLine("optfs_c"))});
    int total = -1;
    ASSERT_EQ(prepare(total), 0);
    EXPECT_EQ(total, 7);
    EXPECT_EQ(m_checkdir, (std::vector<std::string>{"/tmp/patch_file/", "/tmp/original_file/",
                                                    "/OAD/update_file/", "/OAD/patch_package/"}));
    EXPECT_EQ(m_updateListFile,
              (std::vector<std::string>{listCopy("optfs"), listCopy("usrfs"), listCopy("tvservice"),
                                        listCopy("serialsdata")}));
    EXPECT_EQ(linesWith(log, "sucess.").size(), 4u);
    const std::vector<std::string> extracted = linesWith(log, "extractOneFile file of");
    ASSERT_EQ(extracted.size(), 4u);
    const char* const extractOrder[] = {"optfs", "tvservice", "usrfs", "serialsdata"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_NE(extracted[i].find("patch_package/split_" + std::string(extractOrder[i]) +
                                    "_udpate_list.ini in /OAD/patch_package/ sucess."),
                  std::string::npos)
            << extracted[i];
    }
    EXPECT_EQ(countOf(log, "total file line is 7 !"), 1);

    m_totalItemNum = total;
    ASSERT_EQ(runLists(), 0);
    const std::vector<std::string> handled = linesWith(log, "handleDeleteBspatch");
    ASSERT_EQ(handled.size(), 5u);
    const char* const runOrder[] = {"optfs_a", "optfs_b", "optfs_c", "usrfs_a", "serialsdata_a"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_NE(handled[i].find(runOrder[i]), std::string::npos) << handled[i];
    }
    EXPECT_EQ(m_curItemNum, 7);
    EXPECT_EQ(progressValues(log).back(), 90);
}

TEST_F(Prepare, APackageWithOneListRunsOnlyThatList) {
    writePackage({listEntry("usrfs", deleteLine("usrfs_a") + deleteLine("usrfs_b"))});
    int total = 0;
    ASSERT_EQ(prepare(total), 0);
    EXPECT_EQ(total, 2);
    EXPECT_EQ(linesWith(log, "failed.").size(), 3u);
    EXPECT_EQ(countOf(log,
                      "extractOneFile file of patch_package/split_usrfs_udpate_list.ini in "
                      "/OAD/patch_package/ sucess."),
              1);
    EXPECT_EQ(countOf(log, "is existed!."), 1);

    m_totalItemNum = total;
    ASSERT_EQ(runLists(), 0);
    EXPECT_EQ(linesWith(log, "handle split flie:"),
              linesWith(log, "handle split flie:" + listCopy("usrfs")));
    EXPECT_EQ(linesWith(log, "handle split flie:").size(), 1u);
    // No "total" line cleared the resume flag: the list ends after one line.
    EXPECT_EQ(countOf(log, "This partition has beed upgraded."), 1);
    EXPECT_EQ(m_curItemNum, 1);
}

TEST_F(Prepare, APackageWithoutListsCountsNothingAndRunsNothing) {
    writePackage({itemEntry("usrfs_split_partaa", "a")});
    int total = -1;
    ASSERT_EQ(prepare(total), 0);
    EXPECT_EQ(total, 0);
    ASSERT_EQ(runLists(), 0);
    EXPECT_EQ(countOf(log, "handle split flie"), 0);
}

// A list copy left by an earlier run stands for nothing the package carries.
TEST_F(Prepare, AListCopyFromAnEarlierRunDoesNotRun) {
    writeFile(listCopy("usrfs"), deleteLine("stale"));
    writePackage({listEntry("optfs", deleteLine("optfs_a"))});
    int total = 0;
    ASSERT_EQ(prepare(total), 0);
    EXPECT_EQ(total, 1);
    EXPECT_FALSE(exists(listCopy("usrfs")));
    m_totalItemNum = total;
    ASSERT_EQ(runLists(), 0);
    EXPECT_EQ(countOf(log, "stale"), 0);
}

// The package carries the list but it cannot be written out: going on would
// leave that partition as it is and still report the upgrade as done.
TEST_F(Prepare, AListThatCannotBeExtractedFailsThePreparation) {
    std::filesystem::create_directories(listCopy("usrfs") + "/in-the-way");
    writePackage({listEntry("usrfs", deleteLine("usrfs_a")), listEntry("optfs", deleteLine("o"))});
    int total = 0;
    EXPECT_EQ(prepare(total), 1);
    EXPECT_EQ(countOf(log,
                      "extractOneFile file of patch_package/split_usrfs_udpate_list.ini in "
                      "/OAD/patch_package/ failed."),
              1);
    EXPECT_EQ(countOf(log, "cannot be extracted"), 1);
    EXPECT_EQ(countOf(log, "total file line"), 0);
}

TEST_F(Prepare, AMissingPackageFailsAndLeavesNoHandle) {
    int total = 7;
    EXPECT_EQ(prepare(total), 1);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(countOf(log, "openArchive failed."), 1);
    EXPECT_EQ(m_archiveHandle, nullptr);
}

TEST_F(Prepare, MakesTheWorkDirectoriesInOrderAndStopsAtOneThatCannotBeMade) {
    for (const char* dir : {ota_paths::kPatchDir, ota_paths::kOriginalDir, ota_paths::kUpdateDir,
                            ota_paths::kListDir}) {
        std::filesystem::remove_all(dir);
    }
    // A file where a directory belongs is replaced; one that cannot be
    // removed (a mount point here) makes the directory impossible.
    writeFile("/tmp/original_file", "a file where a directory belongs");
    writeFile("/tmp/held", "");
    ASSERT_EQ(mount("/tmp/held", "/tmp/original_file", nullptr, MS_BIND, nullptr), 0);
    writePackage({listEntry("optfs", deleteLine("o"))});
    int total = 0;
    EXPECT_EQ(prepare(total), 1);
    ASSERT_EQ(umount2("/tmp/original_file", 0), 0);
    EXPECT_EQ(countOf(log, "md /tmp/original_file/ failed!."), 1);
    EXPECT_TRUE(std::filesystem::is_directory(ota_paths::kPatchDir));
    EXPECT_FALSE(exists(ota_paths::kUpdateDir));
    EXPECT_FALSE(exists(ota_paths::kListDir));

    std::filesystem::remove("/tmp/original_file");
    ASSERT_EQ(prepare(total), 0);
    for (const std::string& dir : m_checkdir) {
        EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
    }
}

// The first list ends as already upgraded, the second stages and completes,
// the third fails after staging: staging is emptied after each completed list
// and kept after the failed one, and the fourth list never runs.
TEST_F(Prepare, EmptiesTheStagingAfterEveryCompletedListAndStopsAtAFailedOne) {
    writeDevice(deviceOf("optfs"), 0, makeImage(kMiB, 51));
    writeDevice(deviceOf("usrfs"), 0, makeImage(kMiB, 52));
    writeDevice(deviceOf("tvservice"), 0, makeImage(kMiB, 53));
    const std::string optfsHead = md5Hex(readDevice(deviceOf("optfs"), 0, 4096));
    const std::string usrfsPart = md5Hex(readDevice(deviceOf("usrfs"), 0, kMiB));
    writePackage(
        {listEntry("optfs", listLine("total", "optfs", optfsHead, kMiB, 4096) + deleteLine("o")),
         listEntry("usrfs", listLine("total", "usrfs", md5Hex("new"), kMiB, 4096) +
                                listLine("chksync", "usrfs_split_partaa", usrfsPart, 0, 0)),
         listEntry("tvservice", listLine("total", "tvservice", md5Hex("new"), kMiB, 0) +
                                    deleteLine("tvservice/..")),
         listEntry("serialsdata", deleteLine("serialsdata_a"))});
    int total = 0;
    ASSERT_EQ(prepare(total), 0);
    m_totalItemNum = total;
    writeFile(std::string(ota_paths::kOriginalDir) + "left_from_before", "x");

    EXPECT_EQ(runLists(), 1);
    EXPECT_EQ(countOf(log, "This part has been Upgraded: optfs."), 1);
    EXPECT_EQ(countOf(log, "This part has not been Upgraded: usrfs."), 1);
    EXPECT_EQ(countOf(log, "This part has been check sync sucess"), 1);
    EXPECT_EQ(countOf(log, "handleDeleteBspatch /tmp/original_file/o."), 0);
    EXPECT_EQ(countOf(log, "serialsdata"), 0);
    EXPECT_EQ(listDir(ota_paths::kOriginalDir), std::vector<std::string>{"tvservice_split_partaa"});
    // optfs: 1 line, usrfs: 2, tvservice: the "total" before the failure.
    EXPECT_EQ(m_curItemNum, 4);
}

}  // namespace
