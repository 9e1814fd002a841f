// The list runner of one partition: which handler each line reaches, how the
// progress moves, where a list stops, and how lines outside the format are
// refused. Runs on the simulated set: the handlers reach its fixed paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ground.h"
#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

const std::string kSum = "0123456789abcdef0123456789abcdef";
const std::string kListPath = "/tmp/lists/split_usrfs_udpate_list.ini";

class UpdateList : public ::testing::Test {
protected:
    void SetUp() override {
        resetRun();
        std::filesystem::create_directories("/tmp/lists");
    }

    // Runs `lines` as one list; the log of the run lands in `log`.
    int run(const std::string& lines) {
        // The runner reads the list as preparation read it from the package.
        m_updateListText[kListPath] = lines;
        LogCapture capture;
        const int result = parseUpdateListFile(kListPath);
        log = capture.stop();
        return result;
    }

    std::string log;
};

std::string deleteLine(const std::string& name) {
    return listLine("delete", name, kSum, 0, 0);
}

struct ProgressCase {
    int total;
    int handledBefore;
    int lines;
    std::vector<int> expected;
};

void PrintTo(const ProgressCase& c, std::ostream* os) {
    *os << c.lines << " lines after " << c.handledBefore << " of " << c.total;
}

class UpdateListProgress : public UpdateList, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(UpdateListProgress, ReportsTenPlusTheHandledShareOfEighty) {
    const ProgressCase& c = GetParam();
    m_totalItemNum = c.total;
    m_curItemNum = c.handledBefore;
    std::string lines;
    for (int i = 0; i < c.lines; ++i) {
        lines += deleteLine("usrfs_split_part" + std::to_string(i));
    }
    ASSERT_EQ(run(lines), 0);
    EXPECT_EQ(progressValues(log), c.expected);
    EXPECT_EQ(m_curItemNum, c.handledBefore + c.lines);
    pthread_mutex_lock(&progressMutex);
    const int shown = currentProgress;
    pthread_mutex_unlock(&progressMutex);
    EXPECT_EQ(shown, c.expected.back());
}

INSTANTIATE_TEST_SUITE_P(Formula, UpdateListProgress,
                         ::testing::Values(
                             // 200 lines: the first truncates to 10, the 100th is 50, the last 90.
                             ProgressCase{200, 0, 1, {10}}, ProgressCase{200, 99, 1, {50}},
                             ProgressCase{200, 199, 1, {90}},
                             ProgressCase{7, 0, 7, {21, 32, 44, 55, 67, 78, 90}},
                             ProgressCase{3, 1, 2, {63, 90}}));

TEST_F(UpdateList, BlankLinesAndUnknownWordsAreLoggedAndCounted) {
    m_totalItemNum = 4;
    ASSERT_EQ(run("\nDelete;x;" + kSum + ";0;0\nfrobnic;y\n" + deleteLine("z")), 0);
    EXPECT_EQ(countOf(log, "There no handle upgradmode: \n."), 1);
    EXPECT_EQ(countOf(log, "There no handle upgradmode: Delete."), 1);
    EXPECT_EQ(countOf(log, "There no handle upgradmode: frobnic."), 1);
    EXPECT_EQ(countOf(log, "handleDeleteBspatch /tmp/original_file/z."), 1);
    EXPECT_EQ(m_curItemNum, 4);
    EXPECT_EQ(progressValues(log), (std::vector<int>{30, 50, 70, 90}));
}

struct WordCase {
    std::string word;
    std::string handler;
};

void PrintTo(const WordCase& c, std::ostream* os) {
    *os << c.word;
}

class UpdateListDispatch : public UpdateList, public ::testing::WithParamInterface<WordCase> {};

// Each word reaches its own handler; the name ".." then fails the item before
// any file is touched, which also stops the list.
TEST_P(UpdateListDispatch, EachWordReachesItsHandler) {
    m_totalItemNum = 2;
    ASSERT_EQ(run(listLine(GetParam().word, "..", kSum, 0, 0) + deleteLine("after")), 1);
    EXPECT_EQ(countOf(log, GetParam().handler + "(): " + GetParam().handler + " "), 1);
    EXPECT_EQ(countOf(log, "Item name [..] is not a plain file name"), 1);
    EXPECT_EQ(countOf(log, "handleDeleteBspatch /tmp/original_file/after."), 0);
    EXPECT_EQ(m_curItemNum, 0);
    EXPECT_TRUE(progressValues(log).empty());
}

INSTANTIATE_TEST_SUITE_P(Words, UpdateListDispatch,
                         ::testing::Values(WordCase{"create", "handleCreateBspatch"},
                                           WordCase{"update", "handleUpdateBspatch"},
                                           WordCase{"delete", "handleDeleteBspatch"},
                                           WordCase{"total", "handleTotalBspatch"},
                                           WordCase{"entotal", "handleEntireTotalBspatch"},
                                           WordCase{"chksync", "handleChkSyncBspatch"}));

TEST_F(UpdateList, AFailingLineStopsTheListBeforeTheLinesAfterIt) {
    m_totalItemNum = 3;
    ASSERT_EQ(run(deleteLine("first") + deleteLine("a/b") + deleteLine("third")), 1);
    EXPECT_EQ(countOf(log, "handleDeleteBspatch /tmp/original_file/first."), 1);
    EXPECT_EQ(countOf(log, "Item name [a/b] is not a plain file name"), 1);
    EXPECT_EQ(countOf(log, "third"), 0);
    EXPECT_EQ(m_curItemNum, 1);
    EXPECT_EQ(progressValues(log), std::vector<int>{36});
}

TEST_F(UpdateList, AnUpgradedRunIsCutAfterTheFirstHandledLine) {
    m_totalItemNum = 3;
    isUpgraded = true;
    ASSERT_EQ(run(deleteLine("first") + deleteLine("second") + deleteLine("third")), 0);
    EXPECT_EQ(countOf(log, "This partition has beed upgraded."), 1);
    EXPECT_EQ(countOf(log, "second"), 0);
    EXPECT_EQ(m_curItemNum, 1);
    EXPECT_EQ(progressValues(log), std::vector<int>{36});
}

TEST_F(UpdateList, EveryListStartsCheckingAndNamesItsOwnPartition) {
    isNeedCheck = false;
    m_totalFileName = "optfs";
    m_totalItemNum = 1;
    ASSERT_EQ(run(deleteLine("x")), 0);
    EXPECT_TRUE(isNeedCheck);
    EXPECT_EQ(m_totalFileName, "");

    // Also before a list that cannot be opened.
    isNeedCheck = false;
    LogCapture capture;
    EXPECT_EQ(parseUpdateListFile("/tmp/lists/missing.ini"), 1);
    log = capture.stop();
    EXPECT_TRUE(isNeedCheck);
    EXPECT_EQ(countOf(log, "Open file [/tmp/lists/missing.ini] failed."), 1);
}

TEST_F(UpdateList, AnEmptyPathIsRefused) {
    LogCapture capture;
    EXPECT_EQ(parseUpdateListFile(""), 1);
    EXPECT_EQ(countOf(capture.stop(), "updateListfileName is empty."), 1);
}

TEST_F(UpdateList, AListWithoutLinesRunsNothing) {
    ASSERT_EQ(run(""), 0);
    EXPECT_EQ(m_curItemNum, 0);
    EXPECT_TRUE(progressValues(log).empty());
}

struct BadLine {
    std::string line;
    std::string reason;
};

void PrintTo(const BadLine& b, std::ostream* os) {
    *os << ::testing::PrintToString(b.line);
}

class UpdateListRefusal : public UpdateList, public ::testing::WithParamInterface<BadLine> {};

// A line outside the format fails like a failing item: the list and the run
// stop there, with the list and the line named.
TEST_P(UpdateListRefusal, StopsTheListAtTheLineAndNamesIt) {
    m_totalItemNum = 3;
    ASSERT_EQ(run(deleteLine("first") + GetParam().line + deleteLine("third")), 1);
    EXPECT_EQ(countOf(log, "Line 2 of " + kListPath + " is outside the update-list format, " +
                               GetParam().reason),
              1);
    EXPECT_EQ(countOf(log, "third"), 0);
    EXPECT_EQ(m_curItemNum, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, UpdateListRefusal,
    ::testing::Values(
        // 130 characters: no longer split into two lines that each run.
        BadLine{"delete;" + std::string(122, 'n') + "\n",
                "the line with its terminator is longer than 127"},
        BadLine{"delete;a;" + kSum + ";0;0;0\n", "more than 5 fields"},
        BadLine{"delete;" + std::string(30, 'n') + ";" + kSum + "\n", "the file name is longer"},
        BadLine{"delete;a;" + kSum + ";0;4294967296\n", "the offset is outside"},
        BadLine{"delete;a;" + kSum + ";ten;0\n", "the size is not a number"}));

}  // namespace
