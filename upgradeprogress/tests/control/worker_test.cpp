// The upgrade worker on a simulated set (inside the sandbox runner): how it
// commits, how it fails, what it leaves on the flag partition and in /OAD.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive.h"
#include "control.h"
#include "display.h"
#include "package.h"
#include "testing/zip_fixture.h"

namespace {

const std::string kFlags = ota_paths::kFlagDevice;

std::string readFlags(size_t n = 10) {
    std::string out(n, '\0');
    const int fd = open(ota_paths::kFlagDevice, O_RDONLY);
    const ssize_t got = fd < 0 ? -1 : pread(fd, &out[0], n, 0);
    if (fd >= 0) {
        close(fd);
    }
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
}

bool writeFlags(const std::string& bytes) {
    const int fd = open(ota_paths::kFlagDevice, O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool ok = pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    fsync(fd);
    close(fd);
    return ok;
}

using ota_test::pathExists;
bool exists(const std::string& path) {
    return pathExists(path);
}

void touch(const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs("x", f);
    fclose(f);
}

// Running chain 1, success bytes erased, the rest marked.
const std::string kPending("\x01\x11\x22\x33\x00\x00\x66\x00\x00\x99", 10);

std::string listEntry(const char* partition) {
    return std::string("patch_package/split_") + partition + "_udpate_list.ini";
}

class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getenv("UPGRADE_SANDBOX") != nullptr) << "runs only inside the sandbox runner";
        ASSERT_EQ(system("rm -rf /OAD/patch_package.zip /OAD/patch_package /OAD/update_file"), 0);
        ASSERT_TRUE(writeFlags(kPending));
        mkdir("/var/local", 0755);
        touch(ota_paths::kSuspendMarker);
        if (m_archiveHandle != nullptr) {
            closeArchive(m_archiveHandle);
            m_archiveHandle = nullptr;
        }
        currentProgress = 0;
        errorStatus = 0;
    }

    static void writePackage(const std::vector<ota_test::ZipFixtureEntry>& entries) {
        ASSERT_TRUE(ota_test::writeZip(ota_paths::kPackage, entries));
    }

    // Runs the worker and gives back its log.
    static std::string runWorker() {
        ::testing::internal::CaptureStdout();
        refreshBlock(nullptr);
        return ::testing::internal::GetCapturedStdout();
    }

    static void expectWorkDirsGone() {
        EXPECT_FALSE(exists(ota_paths::kPackage));
        EXPECT_FALSE(exists("/OAD/patch_package"));
        EXPECT_FALSE(exists("/OAD/update_file"));
    }
};

// Lines that name no partition work: a list of "delete" items succeeds
// without touching a partition.
TEST_F(Worker, SuccessSetsTheFlagsRemovesPackageAndMarker) {
    writePackage({{listEntry("optfs"), "delete;optfs_split_partaa;0;0;0\n"}});
    const auto start = std::chrono::steady_clock::now();

    const std::string log = runWorker();

    const auto took = std::chrono::steady_clock::now() - start;
    std::string expected = kPending;
    expected[4] = '\x55';
    expected[5] = '\xAA';
    expected[7] = '\x55';
    expected[8] = '\xAA';
    EXPECT_EQ(readFlags(), expected);
    expectWorkDirsGone();
    EXPECT_FALSE(exists(ota_paths::kSuspendMarker));
    EXPECT_EQ(currentProgress, 100);
    EXPECT_EQ(errorStatus, 0);
    EXPECT_GE(took, std::chrono::milliseconds(1000));  // the pause before 100
    const size_t at95 = log.find("value = 95, error = 0");
    const size_t at99 = log.find("value = 99, error = 0");
    const size_t at100 = log.find("value = 100, error = 0");
    ASSERT_NE(at95, std::string::npos) << log;
    EXPECT_LT(at95, at99);
    EXPECT_LT(at99, at100);
    EXPECT_EQ(log.find("TV will reset the flags"), std::string::npos) << log;
}

// A success flag that cannot be written: the error is reported and the
// package stays, so that a restarted run still finds an upgrade to finish.
TEST_F(Worker, FailedSuccessFlagKeepsThePackage) {
    writePackage({{listEntry("optfs"), "delete;optfs_split_partaa;0;0;0\n"}});
    ASSERT_EQ(rename(ota_paths::kFlagDevice, "/dev/flags.away"), 0);
    ASSERT_EQ(mkdir(ota_paths::kFlagDevice, 0755), 0);

    const std::string log = runWorker();

    rmdir(ota_paths::kFlagDevice);
    ASSERT_EQ(rename("/dev/flags.away", ota_paths::kFlagDevice), 0);
    EXPECT_EQ(errorStatus, 1);
    EXPECT_EQ(currentProgress, 95);
    EXPECT_TRUE(exists(ota_paths::kPackage));
    EXPECT_TRUE(exists(ota_paths::kSuspendMarker));
    EXPECT_EQ(readFlags(), kPending);
    EXPECT_NE(log.find("open failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("value = 99"), std::string::npos) << log;
}

// The failure ending on a flag partition that takes no write: the log says
// the flags failed, never that they finished, and the error still reaches
// the screen.
TEST_F(Worker, FailedFlagResetIsLoggedAsAFailure) {
    ASSERT_EQ(rename(ota_paths::kFlagDevice, "/dev/flags.away"), 0);
    ASSERT_EQ(mkdir(ota_paths::kFlagDevice, 0755), 0);

    const std::string log = runWorker();

    rmdir(ota_paths::kFlagDevice);
    ASSERT_EQ(rename("/dev/flags.away", ota_paths::kFlagDevice), 0);
    EXPECT_NE(log.find("there is no package"), std::string::npos) << log;
    EXPECT_NE(log.find("clear ota flags failed."), std::string::npos) << log;
    EXPECT_EQ(log.find("clear ota flags finished."), std::string::npos) << log;
    EXPECT_EQ(readFlags(), kPending);
    EXPECT_EQ(errorStatus, 1);
    EXPECT_EQ(currentProgress, 2);
}

// A list whose first line names no partition fails; the run then takes the
// failure ending like a missing package, instead of leaving the screen on
// its last percentage forever. (The missing package and the lists without
// lines are run whole by the end-to-end tests.)
TEST_F(Worker, FailedListTakesTheFailureEnding) {
    writePackage({{listEntry("optfs"), "total;nopartition;00000000000000000000000000000000;1;0\n"},
                  {listEntry("usrfs"), "delete;usrfs_split_partaa;0;0;0\n"}});
    ASSERT_EQ(mkdir("/OAD/update_file", 0755), 0);
    touch("/OAD/update_file/usrfs_split_partaa");

    const std::string log = runWorker();

    EXPECT_NE(log.find("handleSplitBspatch failed."), std::string::npos) << log;
    EXPECT_NE(log.find("clear ota flags finished."), std::string::npos) << log;
    EXPECT_EQ(log.find("handleDeleteBspatch"), std::string::npos) << "the next list ran:\n" << log;
    std::string expected = kPending;
    expected[0] = '\x00';
    expected[4] = '\x55';
    expected[7] = '\x55';
    EXPECT_EQ(readFlags(), expected);
    expectWorkDirsGone();
    EXPECT_EQ(m_archiveHandle, nullptr);
    EXPECT_EQ(errorStatus, 1);
    EXPECT_EQ(currentProgress, 2);
    EXPECT_TRUE(exists(ota_paths::kSuspendMarker));
}

TEST_F(Worker, AFileThatIsNoZipFailsPreparation) {
    FILE* f = fopen(ota_paths::kPackage, "w");
    ASSERT_NE(f, nullptr);
    fputs("this is not a ZIP archive", f);
    fclose(f);
    const std::string log = runWorker();
    EXPECT_NE(log.find("prepare bspatch failed."), std::string::npos) << log;
    EXPECT_FALSE(exists(ota_paths::kPackage));
    EXPECT_EQ(errorStatus, 1);
}

struct ChainCase {
    unsigned char before;
    unsigned char after;
    bool logged;
};

class RunningChain : public Worker, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(RunningChain, FlipsBetweenZeroAndOneAndResetsAnythingElse) {
    std::string flags = kPending;
    flags[0] = static_cast<char>(GetParam().before);
    ASSERT_TRUE(writeFlags(flags));

    ::testing::internal::CaptureStdout();
    clearFlags(2);
    const std::string log = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(static_cast<unsigned char>(readFlags()[0]), GetParam().after);
    EXPECT_EQ(log.find("Read the running chain flag failed.") != std::string::npos,
              GetParam().logged)
        << log;
}

INSTANTIATE_TEST_SUITE_P(Bytes, RunningChain,
                         ::testing::Values(ChainCase{0x00, 0x01, false},
                                           ChainCase{0x01, 0x00, false},
                                           ChainCase{0xFF, 0x19, true}, ChainCase{0x42, 0x19, true},
                                           ChainCase{0x19, 0x19, true}));

// The clean-up leaves the staging directories in /tmp: they are RAM and go
// with the restart anyway.
TEST_F(Worker, ClearFilesRemovesOnlyTheOadWorkAreas) {
    ASSERT_EQ(system("mkdir -p /OAD/patch_package/deep/er /OAD/update_file /tmp/patch_file "
                     "/tmp/original_file"),
              0);
    touch("/OAD/patch_package/deep/er/f");
    touch("/OAD/update_file/g");
    touch("/tmp/patch_file/p");
    touch("/tmp/original_file/o");
    touch(ota_paths::kPackage);

    ::testing::internal::CaptureStdout();
    clearFiles();
    const std::string log = ::testing::internal::GetCapturedStdout();

    expectWorkDirsGone();
    EXPECT_TRUE(exists("/tmp/patch_file/p"));
    EXPECT_TRUE(exists("/tmp/original_file/o"));
    EXPECT_EQ(log.find("will try again"), std::string::npos) << log;
}

}  // namespace
