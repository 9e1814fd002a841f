// Whole boots of the board: the verdicts a caller reads, and the difference
// a cut by killing QEMU makes between data that reached the disk and data
// that was still in the guest's page cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

const std::string kBin = std::string(OTA_BINARY_DIR) + "/bin";

struct Captured {
    int exitCode = -1;
    std::string out;
    std::string lastLine() const {
        std::string s = out;
        while (!s.empty() && s.back() == '\n')
            s.pop_back();
        size_t nl = s.rfind('\n');
        return nl == std::string::npos ? s : s.substr(nl + 1);
    }
};

Captured capture(const std::string& command) {
    Captured c;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return c;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        c.out.append(buf, n);
    int status = pclose(p);
    c.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return c;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

struct BoardCase {
    const char* name;
    const char* options;  // before the "--"
    const char* command;  // run by the guest's busybox sh
    int exitCode;
    const char* verdict;
    const char* fileLeft;    // a file in the set's OAD after the run, or ""
    const char* fileAbsent;  // a file that must not be there, or ""
};

class BoardRun : public ::testing::TestWithParam<BoardCase> {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
        if (!exists(std::string(OTA_BINARY_DIR) + "/board/initramfs.cpio")) {
            GTEST_SKIP() << "no board: run scripts/board-setup";
        }
        set_ = std::string(OTA_BINARY_DIR) + "/board-run-test-" + GetParam().name;
        capture("rm -rf " + set_);
        ASSERT_EQ(capture(kBin + "/upgrade-sandbox new " + set_ + " --size-mib 1").exitCode, 0);
    }
    void TearDown() override {
        if (!set_.empty()) capture("rm -rf " + set_);
    }
    std::string set_;
};

TEST_P(BoardRun, EndsWithTheSandboxRunnersVerdict) {
    const BoardCase& c = GetParam();
    Captured run = capture(kBin + "/upgrade-board run " + set_ + " --timeout 400 " + c.options +
                           " -- /bin/sh -c '" + c.command + "'");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
    EXPECT_EQ(run.lastLine().rfind(std::string("upgrade-board: ") + c.verdict, 0), 0u) << run.out;
    if (*c.fileLeft) {
        EXPECT_TRUE(exists(set_ + "/OAD/" + c.fileLeft)) << c.fileLeft << " lost";
    }
    if (*c.fileAbsent) {
        EXPECT_FALSE(exists(set_ + "/OAD/" + c.fileAbsent)) << c.fileAbsent << " survived the cut";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardRun,
    ::testing::Values(
        // A command that ends by itself leaves what it wrote on the set.
        BoardCase{"exit_status", "", "echo kept >/OAD/kept; exit 3", 3, "exit status 3", "kept",
                  ""},
        BoardCase{"signal", "", "kill -9 $$", 137, "killed by signal 9", "", ""},
        // Written and not synced: still in the page cache (30 s expiry) when
        // QEMU is killed, so the set never sees it.
        BoardCase{"cut_loses_page_cache", "--cut-at-output written",
                  "echo lost >/OAD/unsynced; echo written; sleep 120", 101, "cut after", "",
                  "unsynced"},
        BoardCase{"cut_keeps_synced_data", "--cut-at-output written",
                  "echo kept >/OAD/synced; sync; echo written; sleep 120", 101, "cut after",
                  "synced", ""},
        BoardCase{"timeout", "--timeout 40", "sleep 300", 124, "timed out after 40 s", "", ""}),
    [](const ::testing::TestParamInfo<BoardCase>& info) { return std::string(info.param.name); });

}  // namespace
