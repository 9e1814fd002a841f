// The write log reader and its replay: a log read wrongly gives crash states
// that no device could have, so the campaign would test the wrong thing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "log_builder.h"
#include "write_log.h"

namespace {

std::string scratch(const std::string& name) {
    return ::testing::TempDir() + "board-test-" + std::to_string(getpid()) + "-" + name;
}

struct LogShape {
    const char* name;
    uint64_t superCount;  // as the super block claims it
    bool zeroedTail;      // entries end at a zeroed entry, or at the end of the file
};

class WriteLogShapes : public ::testing::TestWithParam<LogShape> {};

// Three writes, a flush and a discard read back in order whatever the super
// block claims, and the whole log replays to the final disk.
TEST_P(WriteLogShapes, EveryEntryIsReadAndReplayed) {
    const LogShape& shape = GetParam();
    std::vector<BuiltEntry> entries = {
        {2, 0, sectors('a', 2)},
        {8, 0, sectors('b', 1)},
        {0, board::kLogFlush, ""},
        {3, 0, sectors('c', 1)},
        {8, board::kLogDiscard, sectors('?', 1)},
        {9, board::kLogFua, sectors('d', 3)},
    };
    std::string logPath = scratch(std::string("log-") + shape.name);
    std::string diskPath = scratch(std::string("disk-") + shape.name);
    writeFile(logPath, buildLog(entries, shape.superCount, shape.zeroedTail));
    writeFile(diskPath, sectors('.', 16));

    board::WriteLog log;
    std::string error;
    ASSERT_TRUE(board::readWriteLog(logPath, &log, &error)) << error;
    ASSERT_EQ(log.entries.size(), entries.size());
    EXPECT_TRUE(board::isFlush(log.entries[2]));
    EXPECT_FALSE(board::isWrite(log.entries[2]));
    EXPECT_FALSE(board::isWrite(log.entries[4]));
    EXPECT_EQ(log.entries[5].sectors, 3u);

    std::vector<size_t> all = {0, 1, 2, 3, 4, 5};
    ASSERT_TRUE(board::replayEntries(log, all, diskPath, &error)) << error;
    std::string want = sectors('.', 16);
    want.replace(2 * 512, 1024, sectors('a', 2));
    want.replace(3 * 512, 512, sectors('c', 1));  // the later write wins
    want.replace(8 * 512, 512, std::string(512, '\0'));
    want.replace(9 * 512, 1536, sectors('d', 3));
    EXPECT_EQ(readFile(diskPath), want);

    // A crash state: the write to sector 8 never reached the medium.
    writeFile(diskPath, sectors('.', 16));
    ASSERT_TRUE(board::replayEntries(log, {0, 2}, diskPath, &error)) << error;
    std::string partial = sectors('.', 16);
    partial.replace(2 * 512, 1024, sectors('a', 2));
    EXPECT_EQ(readFile(diskPath), partial);
    unlink(logPath.c_str());
    unlink(diskPath.c_str());
}

INSTANTIATE_TEST_SUITE_P(Board, WriteLogShapes,
                         ::testing::Values(LogShape{"stale_count", 0, true},
                                           LogShape{"exact_count", 6, true},
                                           LogShape{"ends_at_file_end", 2, false}),
                         [](const ::testing::TestParamInfo<LogShape>& info) {
                             return std::string(info.param.name);
                         });

struct BadLog {
    const char* name;
    std::string bytes;
};

class BrokenLogs : public ::testing::TestWithParam<BadLog> {};

TEST_P(BrokenLogs, AreRefusedWithAReason) {
    std::string path = scratch(std::string("bad-") + GetParam().name);
    writeFile(path, GetParam().bytes);
    board::WriteLog log;
    std::string error;
    EXPECT_FALSE(board::readWriteLog(path, &log, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    unlink(path.c_str());
}

std::string truncatedLog() {
    std::string log = buildLog({{0, 0, sectors('x', 4)}}, 1, false);
    return log.substr(0, log.size() - 512);
}
std::string wrongMagic() {
    std::string log = buildLog({{0, 0, sectors('x', 1)}}, 1, true);
    log[0] ^= 1;
    return log;
}

INSTANTIATE_TEST_SUITE_P(Board, BrokenLogs,
                         ::testing::Values(BadLog{"empty", ""}, BadLog{"wrong_magic", wrongMagic()},
                                           BadLog{"data_cut_short", truncatedLog()}),
                         [](const ::testing::TestParamInfo<BadLog>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
