#include "run_child.h"
#include "testing/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

host::ChildOptions fedWith(const std::string& input) {
    host::ChildOptions options;
    options.input = input;
    return options;
}

using ota_test::ScratchDir;

TEST(ChildProcess, KeepsStdoutAndStderrAndTheExitStatus) {
    const host::ChildResult run = host::runChild(
        {"sh", "-c", "echo out; echo err >&2; read line; echo \"got $line\"; exit 3", "ignored"},
        fedWith("fed\n"));
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 3);
    EXPECT_FALSE(run.succeeded());
    EXPECT_EQ(run.output, "out\nerr\ngot fed\n");

    const host::ChildResult ok = host::runChild({"true"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_TRUE(ok.succeeded());
    EXPECT_EQ(ok.output, "");
}

TEST(ChildProcess, ReportsTheSignalThatEndedIt) {
    const host::ChildResult run = host::runChild({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(run.status, 128 + SIGTERM);
    EXPECT_FALSE(run.timedOut);
}

TEST(ChildProcess, SetsItsEnvironmentOverTheCallers) {
    setenv("RUN_CHILD_TEST_KEPT", "kept", 1);
    setenv("RUN_CHILD_TEST_SET", "old", 1);
    host::ChildOptions options;
    options.environment = {"RUN_CHILD_TEST_SET=new", "RUN_CHILD_TEST_ADDED=added"};
    const host::ChildResult run =
        host::runChild({"sh", "-c",
                        "echo $RUN_CHILD_TEST_KEPT $RUN_CHILD_TEST_SET $RUN_CHILD_TEST_ADDED; "
                        "env | grep -c '^RUN_CHILD_TEST_SET='"},
                       options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "kept new added\n1\n");
    EXPECT_STREQ(getenv("RUN_CHILD_TEST_SET"), "old");
}

TEST(ChildProcess, AppendsToAnOutputFileInItsWorkingDirectory) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string log = dir.path() + "/log";
    host::ChildOptions options;
    options.workDir = dir.path();
    options.outputFile = log;
    EXPECT_EQ(host::runChild({"sh", "-c", "pwd; echo second >&2"}, options).status, 0);
    const host::ChildResult again = host::runChild({"echo", "third"}, options);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.output, "");
    EXPECT_EQ(readFile(log), dir.path() + "\nsecond\nthird\n");
}

// The child leaves a grandchild behind it; a time-out must end both, or the
// grandchild would keep the marker file from being written.
TEST(ChildProcess, TimeOutKillsTheWholeGroup) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string marker = dir.path() + "/late";
    host::ChildOptions options;
    options.timeoutMs = 300;
    const auto start = std::chrono::steady_clock::now();
    const host::ChildResult run = host::runChild(
        {"sh", "-c", "(sleep 2; touch '" + marker + "') & echo started; sleep 30"}, options);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(run.timedOut);
    EXPECT_FALSE(run.succeeded());
    EXPECT_EQ(run.status, 128 + SIGKILL);
    EXPECT_EQ(run.output, "started\n");
    EXPECT_LT(took, std::chrono::seconds(5));
    sleep(3);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the grandchild outlived the time-out";
}

TEST(ChildProcess, FinishesInTimeWithoutBeingKilled) {
    host::ChildOptions options;
    options.timeoutMs = 10000;
    const host::ChildResult run = host::runChild({"sh", "-c", "sleep 0.1; echo done"}, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "done\n");
}

TEST(ChildProcess, MissingProgramIsNotStarted) {
    const host::ChildResult run = host::runChild({"/nonexistent/program", "x"});
    EXPECT_FALSE(run.started);
    EXPECT_EQ(run.status, -1);
    EXPECT_NE(run.error.find("/nonexistent/program"), std::string::npos) << run.error;

    const host::ChildResult onPath = host::runChild({"no-such-program-on-any-path"});
    EXPECT_FALSE(onPath.started);
    EXPECT_EQ(onPath.status, -1);

    EXPECT_FALSE(host::runChild({}).started);
}

TEST(ChildProcess, CommandTextJoinsTheArguments) {
    EXPECT_EQ(host::commandText({"rm", "-rf", "--", "/x"}), "rm -rf -- /x");
}

}  // namespace
