// The runner seen from outside: what a test author or ctest relies on. Each
// test makes its own set in the build tree and starts the runner binary.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/run_program.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Result = ota_test::ProgramResult;
using ota_test::runProgram;
using ota_test::runShell;

const std::string kRunner = OTA_BINARY_DIR "/bin/upgrade-sandbox";
const std::string kProbe = OTA_BINARY_DIR "/bin/sandbox_probe";
const std::string kDfbProbe = OTA_BINARY_DIR "/bin/dfb_probe";
const std::string kSets = OTA_BINARY_DIR "/sandbox-sets/upgrade_sandbox_test";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string readAt(const std::string& path, long offset, size_t count) {
    std::string data(count, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return std::string();
    ssize_t n = pread(fd, data.data(), count, offset);
    close(fd);
    return n == static_cast<ssize_t>(count) ? data : std::string();
}

// The host's mount table: no run, however it ends, may leave a line in it.
std::string hostMounts() {
    return readFile("/proc/self/mounts");
}
// Loop devices bound to files under `dir`. Other runners may be working at
// the same time (parallel tests), so only this set's own loops are compared.
std::string hostLoopsOf(const std::string& dir) {
    std::istringstream all(runShell("losetup -a 2>&1 || true").out);
    std::string line, mine;
    while (std::getline(all, line)) {
        if (line.find(dir + "/") != std::string::npos) mine += line + "\n";
    }
    return mine;
}

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the runner needs root (namespaces, mounts, loop devices)";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        setDir = kSets + "/" + name;
        runShell("rm -rf '" + setDir + "' && mkdir -p '" + kSets + "'");
        Result made = runProgram({kRunner, "new", setDir, "--size-mib", "4"});
        ASSERT_EQ(made.exitCode, 0) << made.out;
    }
    void TearDown() override {
        if (!setDir.empty()) runShell("rm -rf '" + setDir + "'");
    }

    Result run(const std::vector<std::string>& runnerOptions,
               const std::vector<std::string>& command) {
        std::vector<std::string> args = {kRunner, "run", setDir};
        args.insert(args.end(), runnerOptions.begin(), runnerOptions.end());
        args.push_back("--");
        args.insert(args.end(), command.begin(), command.end());
        return runProgram(args);
    }
    std::string image(const char* partition) const {
        return setDir + "/emmc/" + partition + ".img";
    }

    std::string setDir;
};

// ---- writes reach the set's images ------------------------------------------

struct DeviceCase {
    const char* device;     // inside the sandbox
    const char* partition;  // image in the set
    long offset;
};

class DeviceWriteTest : public SandboxTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(DeviceWriteTest, BytesWrittenThroughTheDeviceLandInItsImageAtTheirOffset) {
    const DeviceCase& c = GetParam();
    Result r = run({}, {kProbe, "write", c.device, std::to_string(c.offset), "0x5a", "3"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: exit status 0");

    EXPECT_EQ(readAt(image(c.partition), c.offset, 3), std::string(3, '\x5a'));
    // The neighbours stay as they were: nothing shifted or spilled.
    EXPECT_EQ(readAt(image(c.partition), c.offset - 1, 1), std::string(1, '\0'));
    EXPECT_EQ(readAt(image(c.partition), c.offset + 3, 1), std::string(1, '\0'));
    // ...and no other partition was touched.
    for (const char* other :
         {"mmcblk0p4", "mmcblk0p18", "mmcblk0p26", "mmcblk0p28", "mmcblk0p34"}) {
        struct stat st {};
        if (std::string(other) == c.partition || stat(image(other).c_str(), &st) != 0 ||
            st.st_size < c.offset + 3) {
            continue;
        }
        EXPECT_EQ(readAt(image(other), c.offset, 3), std::string(3, '\0')) << other;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceWriteTest,
    ::testing::Values(DeviceCase{"/dev/mmcblk0p4", "mmcblk0p4", 4},
                      DeviceCase{"/dev/mmcblk0p4", "mmcblk0p4", 512},
                      DeviceCase{"/dev/block/mmcblk0p4", "mmcblk0p4", 1048570},
                      DeviceCase{"/dev/mmcblk0p18", "mmcblk0p18", 4096 + 7},
                      DeviceCase{"/dev/mmcblk0p26", "mmcblk0p26", 1},
                      DeviceCase{"/dev/mmcblk0p28", "mmcblk0p28", 3 * 1048576 + 1},
                      DeviceCase{"/dev/mmcblk0p34", "mmcblk0p34", 4 * 1048576 - 4}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) {
        std::string device = info.param.device;
        return (device.find("block") != std::string::npos ? std::string("block_") : std::string()) +
               info.param.partition + "_at_" + std::to_string(info.param.offset);
    });

// ---- how a run ends -----------------------------------------------------------

struct EndingCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> probeArgs;
    const char* verdict;
    int exitCode;
};

class EndingTest : public SandboxTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingTest, VerdictLineAndExitCodeTellHowTheCommandEnded) {
    const EndingCase& c = GetParam();
    std::vector<std::string> command = {kProbe};
    command.insert(command.end(), c.probeArgs.begin(), c.probeArgs.end());
    Result r = run(c.options, command);
    EXPECT_EQ(r.lastLine(), c.verdict) << r.out;
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Endings, EndingTest,
    ::testing::Values(
        EndingCase{"exit_0", {}, {"exit", "0"}, "upgrade-sandbox: exit status 0", 0},
        EndingCase{"exit_3", {}, {"exit", "3"}, "upgrade-sandbox: exit status 3", 3},
        EndingCase{"exit_99", {}, {"exit", "99"}, "upgrade-sandbox: exit status 99", 99},
        EndingCase{"sigabrt", {}, {"signal", "6"}, "upgrade-sandbox: killed by signal 6", 134},
        EndingCase{"sigkill", {}, {"signal", "9"}, "upgrade-sandbox: killed by signal 9", 137},
        EndingCase{"sigsegv", {}, {"signal", "11"}, "upgrade-sandbox: killed by signal 11", 139},
        EndingCase{"reboot", {}, {"reboot"}, "upgrade-sandbox: reboot requested", 100},
        // A command that dies of SIGHUP itself is no reboot request.
        EndingCase{"sighup_is_not_a_reboot",
                   {},
                   {"signal", "1"},
                   "upgrade-sandbox: killed by signal 1",
                   129},
        EndingCase{"cut",
                   {"--cut-after-ms", "300"},
                   {"sleep", "20000"},
                   "upgrade-sandbox: cut after 300 ms",
                   101},
        EndingCase{"timeout",
                   {"--timeout", "1"},
                   {"sleep", "20000"},
                   "upgrade-sandbox: timed out after 1 s",
                   124},
        EndingCase{"finishes_before_cut",
                   {"--cut-after-ms", "20000"},
                   {"exit", "4"},
                   "upgrade-sandbox: exit status 4",
                   4},
        EndingCase{"orphan_does_not_hold_the_run",
                   {"--timeout", "20"},
                   {"orphan"},
                   "upgrade-sandbox: exit status 0",
                   0}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

TEST_F(SandboxTest, MissingCommandIsReportedAsExitStatus127) {
    Result r = run({}, {"/nonexistent/program"});
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: exit status 127") << r.out;
    EXPECT_EQ(r.exitCode, 127);
}

// ---- a power cut leaves the host as it was -------------------------------------

TEST_F(SandboxTest, CutKeepsSyncedWritesAndLeavesNoLoopOrMountBehind) {
    std::string loopsBefore = hostLoopsOf(setDir);
    std::string mountsBefore = hostMounts();

    Result r = run({"--cut-after-ms", "500"},
                   {kProbe, "write-then-hang", "/dev/mmcblk0p28", "8192", "0xc3", "512"});
    EXPECT_EQ(r.exitCode, 101) << r.out;
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: cut after 500 ms");
    EXPECT_NE(r.out.find("probe: written"), std::string::npos) << r.out;

    EXPECT_EQ(readAt(image("mmcblk0p28"), 8192, 512), std::string(512, '\xc3'));
    EXPECT_EQ(hostLoopsOf(setDir), loopsBefore);
    EXPECT_EQ(hostMounts(), mountsBefore);
}

TEST_F(SandboxTest, CutAtOutputLandsBetweenTheLineAndTheStepsAfterIt) {
    Result r = run({"--cut-at-output", "step 3\n", "--timeout", "20"},
                   {kProbe, "steps", "/dev/mmcblk0p34", "10"});
    EXPECT_EQ(r.exitCode, 101) << r.out;
    EXPECT_EQ(r.lastLine().rfind("upgrade-sandbox: cut after ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("probe: step 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("probe: step 5"), std::string::npos) << r.out;
    // Steps before the line are on the partition; steps well after it never ran.
    EXPECT_EQ(readAt(image("mmcblk0p34"), 0, 3), std::string("\x01\x02\x03"));
    EXPECT_EQ(readAt(image("mmcblk0p34"), 5, 5), std::string(5, '\0'));
}

TEST_F(SandboxTest, CutAtOutputThatNeverComesLetsTheCommandFinish) {
    Result r = run({"--cut-at-output", "step 9"}, {kProbe, "steps", "/dev/mmcblk0p34", "3"});
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: exit status 0") << r.out;
    EXPECT_EQ(r.exitCode, 0);
    // Every line the command printed still reaches the runner's stdout.
    EXPECT_NE(r.out.find("probe: step 2\n"), std::string::npos) << r.out;
}

// ---- a cut at a chosen device call ----------------------------------------------

// The line before the verdict, where --count-writes and --cut-at-write report.
std::string deviceCallsLine(const Result& r) {
    size_t at = r.out.rfind("upgrade-sandbox: ");
    if (at == std::string::npos || at == 0) return std::string();
    size_t start = r.out.rfind("upgrade-sandbox: ", at - 1);
    if (start == std::string::npos) return std::string();
    return r.out.substr(start, r.out.find('\n', start) - start);
}

TEST_F(SandboxTest, CountWritesCountsEveryDeviceCallButNotTheConsole) {
    // Five steps of one pwrite and one fsync each; the "step" lines on stdout
    // are writes too, to a pipe, and must not count.
    Result r = run({"--count-writes"}, {kProbe, "steps", "/dev/mmcblk0p18", "5"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(deviceCallsLine(r), "upgrade-sandbox: 10 device calls") << r.out;
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: exit status 0");
    EXPECT_EQ(readAt(image("mmcblk0p18"), 0, 5), std::string("\x01\x02\x03\x04\x05"));
}

struct WriteCutCase {
    long cutAt;
    int exitCode;
    const char* verdictStart;
    size_t bytesWritten;  // of the five steps' bytes, those on the partition afterwards
};

class WriteCutTest : public SandboxTest, public ::testing::WithParamInterface<WriteCutCase> {};

TEST_P(WriteCutTest, CutLandsRightAfterTheKthDeviceCallAndNothingLaterRuns) {
    const WriteCutCase& c = GetParam();
    Result r = run({"--cut-at-write", std::to_string(c.cutAt), "--timeout", "30"},
                   {kProbe, "steps", "/dev/mmcblk0p18", "5"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    EXPECT_EQ(r.lastLine().rfind(c.verdictStart, 0), 0u) << r.out;
    if (c.exitCode == 101) {
        std::string suffix = " ms (device call " + std::to_string(c.cutAt) + ")";
        EXPECT_EQ(r.lastLine().substr(r.lastLine().size() - suffix.size()), suffix) << r.out;
        EXPECT_EQ(deviceCallsLine(r),
                  "upgrade-sandbox: " + std::to_string(c.cutAt) + " device calls");
        // Step I's pwrite is call 2I+1: the step after the cut never printed.
        EXPECT_EQ(r.out.find("probe: step " + std::to_string(c.bytesWritten + 1)),
                  std::string::npos)
            << r.out;
    }
    std::string expected;
    for (size_t i = 0; i < 5; ++i)
        expected += static_cast<char>(i < c.bytesWritten ? i + 1 : 0);
    EXPECT_EQ(readAt(image("mmcblk0p18"), 0, 5), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, WriteCutTest,
    ::testing::Values(WriteCutCase{1, 101, "upgrade-sandbox: cut after ", 1},   // first pwrite
                      WriteCutCase{2, 101, "upgrade-sandbox: cut after ", 1},   // its fsync
                      WriteCutCase{7, 101, "upgrade-sandbox: cut after ", 4},   // a middle pwrite
                      WriteCutCase{10, 101, "upgrade-sandbox: cut after ", 5},  // the last fsync
                      WriteCutCase{11, 0, "upgrade-sandbox: exit status 0", 5}),
    [](const ::testing::TestParamInfo<WriteCutCase>& info) {
        return "cut_at_" + std::to_string(info.param.cutAt);
    });

TEST_F(SandboxTest, DeviceCallsAreCountedAcrossProcesses) {
    // A shell starts two writers one after the other, each making a pwrite
    // and an fsync on its own partition.
    std::string script =
        kProbe + " write /dev/mmcblk0p18 0 0x11 1 && " + kProbe + " write /dev/mmcblk0p26 0 0x22 1";
    Result counted = run({"--count-writes"}, {"/bin/sh", "-c", script});
    EXPECT_EQ(counted.exitCode, 0) << counted.out;
    EXPECT_EQ(deviceCallsLine(counted), "upgrade-sandbox: 4 device calls") << counted.out;

    runShell("truncate -s 0 '" + image("mmcblk0p18") + "' '" + image("mmcblk0p26") +
             "' && truncate -s 4M '" + image("mmcblk0p18") + "' '" + image("mmcblk0p26") + "'");
    Result cut = run({"--cut-at-write", "2"}, {"/bin/sh", "-c", script});
    EXPECT_EQ(cut.exitCode, 101) << cut.out;
    EXPECT_EQ(readAt(image("mmcblk0p18"), 0, 1), "\x11");
    // The second writer never started.
    EXPECT_EQ(readAt(image("mmcblk0p26"), 0, 1), std::string(1, '\0'));
}

TEST_F(SandboxTest, DeviceCallsAreCountedAcrossThreadsAndHeldCallsNeverRun) {
    Result counted = run({"--count-writes"}, {kProbe, "threads", "/dev/mmcblk0p34", "8"});
    EXPECT_EQ(counted.exitCode, 0) << counted.out;
    EXPECT_EQ(deviceCallsLine(counted), "upgrade-sandbox: 16 device calls") << counted.out;

    runShell("truncate -s 0 '" + image("mmcblk0p34") + "' && truncate -s 4M '" +
             image("mmcblk0p34") + "'");
    Result cut = run({"--cut-at-write", "5"}, {kProbe, "threads", "/dev/mmcblk0p34", "8"});
    EXPECT_EQ(cut.exitCode, 101) << cut.out;
    // Five calls completed, each thread's pwrite before its fsync: three to
    // five pwrites reached the partition, never more.
    std::string bytes = readAt(image("mmcblk0p34"), 0, 8);
    size_t written = static_cast<size_t>(
        std::count_if(bytes.begin(), bytes.end(), [](char b) { return b != 0; }));
    EXPECT_GE(written, 3u) << cut.out;
    EXPECT_LE(written, 5u) << cut.out;
}

// ---- a hold at a chosen device call ---------------------------------------------

// Five one-byte writes through dd, one device call each: write I puts byte I
// at offset I-1, then leaves the mark /tmp/marks/I.
const char kFiveMarkedWrites[] =
    "mkdir /tmp/marks\n"
    "for i in 1 2 3 4 5; do\n"
    "  printf \"\\00$i\" | dd of=/dev/mmcblk0p28 bs=1 seek=$((i - 1)) conv=notrunc status=none"
    " || exit 9\n"
    "  touch /tmp/marks/$i\n"
    "done\n";

// What the meanwhile command saw, kept in /OAD for the test to read.
const char kRecordWhatIsSeen[] =
    "ls /tmp/marks | tr '\\n' ' ' > /OAD/marks-seen\n"
    "dd if=/dev/mmcblk0p28 bs=1 count=5 of=/OAD/device-seen status=none\n"
    "echo meanwhile: recorded\n"
    "exit 7\n";

std::string firstBytes(long n) {
    std::string bytes(5, '\0');
    for (long i = 0; i < n; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(i + 1);
    return bytes;
}

class WriteHoldTest : public SandboxTest, public ::testing::WithParamInterface<long> {};

TEST_P(WriteHoldTest, MeanwhileCommandSeesTheFirstKMinus1WritesAndTheRunGoesOn) {
    const long k = GetParam();
    Result r = run({"--hold-at-write", std::to_string(k), "--meanwhile", kRecordWhatIsSeen,
                    "--count-writes", "--timeout", "30"},
                   {"/bin/sh", "-c", kFiveMarkedWrites});
    // A hold is no cut: the command ends on its own, every write made.
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: exit status 0") << r.out;
    EXPECT_EQ(deviceCallsLine(r), "upgrade-sandbox: 5 device calls") << r.out;
    EXPECT_EQ(readAt(image("mmcblk0p28"), 0, 5), firstBytes(5));

    const std::string held = "upgrade-sandbox: held at device call " + std::to_string(k) +
                             " while the meanwhile command ran (exit 7)\n";
    if (k > 5) {
        // The command never got to call K: the shell text never ran.
        EXPECT_EQ(r.out.find("upgrade-sandbox: held at"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("meanwhile: recorded"), std::string::npos) << r.out;
        EXPECT_NE(access((setDir + "/OAD/device-seen").c_str(), F_OK), 0);
        return;
    }
    // Writes 1 to K-1 and their marks were there, write K and its mark not yet.
    EXPECT_EQ(readFile(setDir + "/OAD/device-seen"), firstBytes(k - 1));
    std::string marks;
    for (long i = 1; i < k; ++i)
        marks += std::to_string(i) + " ";
    EXPECT_EQ(readFile(setDir + "/OAD/marks-seen"), marks);
    // The shell's output reaches the runner's, ahead of the line about it.
    size_t recorded = r.out.find("meanwhile: recorded\n");
    ASSERT_NE(recorded, std::string::npos) << r.out;
    size_t line = r.out.find(held);
    ASSERT_NE(line, std::string::npos) << r.out;
    EXPECT_LT(recorded, line);
}

INSTANTIATE_TEST_SUITE_P(Calls, WriteHoldTest,
                         ::testing::Values(1L, 3L, 5L, 6L),  // first, middle, last, never reached
                         [](const ::testing::TestParamInfo<long>& info) {
                             return "hold_at_" + std::to_string(info.param);
                         });

TEST_F(SandboxTest, OtherThreadsDeviceCallsWaitWhileTheMeanwhileCommandRuns) {
    // Eight threads each pwrite one byte and fsync. Call 1 is some thread's
    // pwrite; call 2, whichever it is, waits, and so does every later one.
    Result r = run(
        {"--hold-at-write", "2", "--meanwhile",
         "dd if=/dev/mmcblk0p34 bs=1 count=8 of=/OAD/device-seen status=none", "--timeout", "30"},
        {kProbe, "threads", "/dev/mmcblk0p34", "8"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("upgrade-sandbox: held at device call 2 while the meanwhile command "
                         "ran (exit 0)\n"),
              std::string::npos)
        << r.out;
    std::string seen = readFile(setDir + "/OAD/device-seen");
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), '\0'), 7) << "exactly one pwrite had run";
    EXPECT_EQ(readAt(image("mmcblk0p34"), 0, 8), "\x01\x02\x03\x04\x05\x06\x07\x08");
}

TEST_F(SandboxTest, MeanwhileCommandThatNeverEndsIsBoundedByTheTimeout) {
    Result r = run({"--hold-at-write", "1", "--meanwhile", "sleep 600", "--timeout", "2"},
                   {kProbe, "write", "/dev/mmcblk0p18", "0", "0x44", "1"});
    EXPECT_EQ(r.exitCode, 124) << r.out;
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: timed out after 2 s");
    EXPECT_EQ(r.out.find("upgrade-sandbox: held at"), std::string::npos) << r.out;
    // The held write never ran.
    EXPECT_EQ(readAt(image("mmcblk0p18"), 0, 1), std::string(1, '\0'));
}

TEST_F(SandboxTest, RebootRequestEndsOnlyTheSandbox) {
    std::string mountsBefore = hostMounts();
    Result r = run({}, {kProbe, "reboot"});
    EXPECT_EQ(r.exitCode, 100) << r.out;
    // This process is still here to look, and the host is untouched.
    EXPECT_EQ(hostMounts(), mountsBefore);
    EXPECT_EQ(hostLoopsOf(setDir), "");
}

// ---- the runner itself dies ----------------------------------------------------

struct Background {
    pid_t pid = -1;
    int out = -1;
    std::string seen;

    // Reads the runner's output until `token` shows, for at most `ms`.
    bool waitFor(const std::string& token, int ms) {
        for (int waited = 0; waited < ms && seen.find(token) == std::string::npos; waited += 10) {
            pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                char buf[1024];
                ssize_t n = read(out, buf, sizeof buf);
                if (n <= 0) break;
                seen.append(buf, static_cast<size_t>(n));
            }
        }
        return seen.find(token) != std::string::npos;
    }
    int finish() {
        char buf[1024];
        ssize_t n;
        while ((n = read(out, buf, sizeof buf)) > 0)
            seen.append(buf, static_cast<size_t>(n));
        close(out);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

Background startInBackground(const std::vector<std::string>& args) {
    Background bg;
    int fds[2];
    if (pipe(fds) != 0) return bg;
    bg.pid = fork();
    if (bg.pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    bg.out = fds[0];
    return bg;
}

// Teardown after a kill is the kernel's, a moment later; give it that moment.
bool hostSettlesTo(const std::string& dir, const std::string& loops, const std::string& mounts) {
    for (int i = 0; i < 250; ++i) {
        if (hostLoopsOf(dir) == loops && hostMounts() == mounts) return true;
        usleep(20000);
    }
    return false;
}

struct RunnerDeath {
    const char* name;
    int signal;
    int exitCode;  // what the runner's parent sees
};

class RunnerDeathTest : public SandboxTest, public ::testing::WithParamInterface<RunnerDeath> {};

TEST_P(RunnerDeathTest, SandboxGoesWithItsRunner) {
    const RunnerDeath& c = GetParam();
    std::string loopsBefore = hostLoopsOf(setDir);
    std::string mountsBefore = hostMounts();
    // The probe keeps the partition open: its loop can only clear once the
    // probe itself is gone.
    Background bg = startInBackground({kRunner, "run", setDir, "--", kProbe, "write-then-hang",
                                       "/dev/mmcblk0p18", "0", "0x77", "16"});
    ASSERT_TRUE(bg.waitFor("probe: written", 10000)) << bg.seen;
    const std::string running = hostLoopsOf(setDir);
    ASSERT_EQ(std::count(running.begin(), running.end(), '\n'), 5)
        << "the run's five loops should be listed while it runs";
    kill(bg.pid, c.signal);
    EXPECT_EQ(bg.finish(), c.exitCode) << bg.seen;
    EXPECT_TRUE(hostSettlesTo(setDir, loopsBefore, mountsBefore)) << hostLoopsOf(setDir);
    EXPECT_EQ(readAt(image("mmcblk0p18"), 0, 16), std::string(16, '\x77'));
}

INSTANTIATE_TEST_SUITE_P(Signals, RunnerDeathTest,
                         ::testing::Values(RunnerDeath{"sigkill", SIGKILL, 128 + SIGKILL},
                                           RunnerDeath{"sigterm", SIGTERM, 2},
                                           RunnerDeath{"sigint", SIGINT, 2}),
                         [](const ::testing::TestParamInfo<RunnerDeath>& info) {
                             return std::string(info.param.name);
                         });

// ---- what the program sees inside ------------------------------------------------

// The checkout is bound at its own path: when it lies under /tmp (a CI clone,
// say), its first directory there is the one entry a fresh /tmp shows.
std::string checkoutEntryInTmp() {
    const std::string source = OTA_SOURCE_DIR;
    if (source.rfind("/tmp/", 0) != 0) {
        return "";
    }
    return source.substr(5, source.find('/', 5) - 5);
}

TEST_F(SandboxTest, SetPathsArePrivateOrTheSetsOwn) {
    ASSERT_EQ(mkdir((setDir + "/OAD/update_file").c_str(), 0755), 0);
    const std::string script =
        "set -e\n"
        "test \"$(cat /proc/1/comm)\" = sandbox-init\n"
        "test $$ -eq 2\n"
        "test -z \"$(ls -A /tmp | grep -vxF '" +
        checkoutEntryInTmp() +
        "')\"\n"  // RAM: fresh every run
        "echo ram > /tmp/ram-only.probe\n"
        "echo kept > /var/local/suspend_force_off\n"  // the set's persistent areas
        "test -d /OAD/update_file\n"
        "echo pkg > /OAD/patch_package.zip\n"
        "if touch /forbidden 2>/dev/null; then exit 20; fi\n"  // the root is read-only
        "if touch /usr/forbidden 2>/dev/null; then exit 21; fi\n"
        "test -b /dev/mmcblk0p4 && test -b /dev/block/mmcblk0p4 && test -c /dev/null\n"
        "test \"$HOME\" = /tmp\n"
        "case \"$DFBARGS\" in system=dummy,*) ;; *) exit 22;; esac\n";
    Result r = run({}, {"/bin/sh", "-c", script});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(readFile(setDir + "/var-local/suspend_force_off"), "kept\n");
    EXPECT_EQ(readFile(setDir + "/OAD/patch_package.zip"), "pkg\n");

    // A second run on the same set: persistent areas kept, /tmp lost.
    Result again = run(
        {},
        {"/bin/sh", "-c", "test ! -e /tmp/ram-only.probe && test -e /var/local/suspend_force_off"});
    EXPECT_EQ(again.exitCode, 0) << again.out;
}

TEST_F(SandboxTest, InstalledProgramRunsFromRootfsWithItsVarLocalCopiedIntoTheSet) {
    std::string rootfs = setDir + "-rootfs";
    ASSERT_EQ(
        runShell("rm -rf '" + rootfs + "' && mkdir -p '" + rootfs + "/usr/bin/upgradeprogress' '" +
                 rootfs + "/var/local/upgrade' && echo 3 > '" + rootfs +
                 "/var/local/upgrade/am_tv_lang'")
            .exitCode,
        0);
    std::string program = rootfs + "/usr/bin/upgradeprogress/upgradeprogress";
    {
        std::ofstream out(program);
        out << "#!/bin/sh\n"
               "test -x /usr/bin/upgradeprogress/upgradeprogress || exit 30\n"
               "test -x /usr/bin/sh || exit 31\n"  // the host's /usr shows through
               "exit $(cat /var/local/upgrade/am_tv_lang)\n";
    }
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);

    // The set copies the image's /var/local; the runner mounts the set's copy.
    std::string otherSet = setDir + "-from-rootfs";
    runShell("rm -rf '" + otherSet + "'");
    Result made = runProgram({kRunner, "new", otherSet, "--rootfs", rootfs, "--size-mib", "1"});
    ASSERT_EQ(made.exitCode, 0) << made.out;
    EXPECT_EQ(readFile(otherSet + "/var-local/upgrade/am_tv_lang"), "3\n");
    { std::ofstream(otherSet + "/var-local/upgrade/am_tv_lang") << "5\n"; }

    Result r = runProgram({kRunner, "run", otherSet, rootfs});
    EXPECT_EQ(r.lastLine(), "upgrade-sandbox: exit status 5") << r.out;
    EXPECT_EQ(r.exitCode, 5);
    runShell("rm -rf '" + rootfs + "' '" + otherSet + "'");
}

TEST_F(SandboxTest, DirectFbDummySystemDrawsAndReadsBackHeadless) {
    Result r = run({"--timeout", "60"}, {kDfbProbe});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("primary 1920x1080"), std::string::npos) << r.out;
}

// ---- several runners at once ----------------------------------------------------

TEST_F(SandboxTest, ConcurrentRunnersEachGetTheirOwnDevices) {
    constexpr int kRunners = 4;
    std::vector<std::string> sets;
    for (int i = 0; i < kRunners; ++i) {
        sets.push_back(setDir + "-" + std::to_string(i));
        runShell("rm -rf '" + sets.back() + "'");
        ASSERT_EQ(runProgram({kRunner, "new", sets.back(), "--size-mib", "1"}).exitCode, 0);
    }
    std::vector<Result> results(kRunners);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRunners; ++i) {
        threads.emplace_back([&, i] {
            results[i] = runProgram({kRunner, "run", sets[i], "--", kProbe, "write",
                                     "/dev/mmcblk0p26", "100", std::to_string(0x10 + i), "8"});
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < kRunners; ++i) {
        EXPECT_EQ(results[i].exitCode, 0) << results[i].out;
        EXPECT_EQ(readAt(sets[i] + "/emmc/mmcblk0p26.img", 100, 8),
                  std::string(8, static_cast<char>(0x10 + i)));
        runShell("rm -rf '" + sets[i] + "'");
    }
}

// ---- refusals ----------------------------------------------------------------------

TEST_F(SandboxTest, RefusesWithoutRootWithExitStatus2) {
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    Result r = runProgram({kRunner, "run", setDir, "--", kProbe, "exit", "0"},
                          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("must run as root"), std::string::npos) << r.out;
}

TEST_F(SandboxTest, RefusesADirectoryThatIsNotASet) {
    Result r = runProgram({kRunner, "run", setDir + "/OAD", "--", kProbe, "exit", "0"});
    EXPECT_EQ(r.exitCode, 2) << r.out;
    Result relative = run({}, {"sandbox_probe", "exit", "0"});
    EXPECT_EQ(relative.exitCode, 2) << relative.out;
}

TEST_F(SandboxTest, RefusesAHoldWithACutOrWithoutItsMeanwhileCommand) {
    const std::vector<std::string> command = {kProbe, "write", "/dev/mmcblk0p18", "0", "0x55", "1"};
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--hold-at-write", "1", "--meanwhile", "true", "--cut-at-write",
                                   "2"},
          std::vector<std::string>{"--hold-at-write", "1"},
          std::vector<std::string>{"--meanwhile", "true"},
          std::vector<std::string>{"--hold-at-write", "0", "--meanwhile", "true"}}) {
        Result r = run(options, command);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        EXPECT_NE(r.out.find("usage:"), std::string::npos) << r.out;
    }
    // Nothing ran.
    EXPECT_EQ(readAt(image("mmcblk0p18"), 0, 1), std::string(1, '\0'));
}

TEST_F(SandboxTest, NewRefusesToOverwriteAnExistingSet) {
    Result r = runProgram({kRunner, "new", setDir});
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(readFile(image("mmcblk0p4")), std::string(1 << 20, '\0'));
    struct stat st {};
    ASSERT_EQ(stat(image("mmcblk0p34").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4L << 20);
}

}  // namespace
