// Crash states must be states a device could really be left in: everything
// before the last completed flush on the medium, and of the writes since,
// any subset (but never a write with FUA). And they must cover the whole
// upgrade, not bunch at its start.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "crash_states.h"

namespace {

// An upgrade-like log: `rounds` times a few writes, one of them FUA every
// third round, then a flush.
board::WriteLog syntheticLog(size_t rounds) {
    board::WriteLog log;
    uint64_t sector = 0;
    for (size_t r = 0; r < rounds; ++r) {
        for (size_t w = 0; w < 2 + r % 5; ++w) {
            board::LogEntry e;
            e.sector = sector++;
            e.sectors = 1;
            e.flags = (r % 3 == 0 && w == 0) ? board::kLogFua : 0;
            log.entries.push_back(e);
        }
        board::LogEntry flush;
        flush.flags = board::kLogFlush;
        log.entries.push_back(flush);
    }
    return log;
}

size_t lastFlushBefore(const board::WriteLog& log, size_t entry, bool* found) {
    *found = false;
    size_t last = 0;
    for (size_t i = 0; i < entry; ++i) {
        if (board::isFlush(log.entries[i])) {
            last = i;
            *found = true;
        }
    }
    return last;
}

struct Campaign {
    size_t rounds;
    size_t count;
    uint64_t seed;
};

class CrashStateChoice : public ::testing::TestWithParam<Campaign> {};

TEST_P(CrashStateChoice, EveryStateIsOneADeviceCouldBeLeftIn) {
    const Campaign& c = GetParam();
    board::WriteLog log = syntheticLog(c.rounds);
    std::vector<board::CrashState> states = board::chooseCrashStates(log, c.count, c.seed);
    ASSERT_EQ(states.size(), c.count);
    for (const board::CrashState& s : states) {
        ASSERT_TRUE(std::is_sorted(s.entries.begin(), s.entries.end()));
        bool found = false;
        size_t flush = board::isFlush(log.entries[s.lastEntry])
                           ? s.lastEntry
                           : lastFlushBefore(log, s.lastEntry, &found);
        std::set<size_t> kept(s.entries.begin(), s.entries.end());
        // Everything up to the last completed flush reached the medium.
        if (board::isFlush(log.entries[s.lastEntry]) || found) {
            for (size_t i = 0; i <= flush; ++i)
                EXPECT_TRUE(kept.count(i)) << "entry " << i << " lost before a flush";
        }
        // Nothing after the cut, no FUA write lost, and a state between
        // flushes really loses something.
        size_t lost = 0;
        for (size_t i = (found ? flush + 1 : 0); i < log.entries.size(); ++i) {
            if (i > s.lastEntry) {
                EXPECT_FALSE(kept.count(i)) << "entry " << i << " after the cut";
            } else if (board::isWrite(log.entries[i]) && !kept.count(i)) {
                ++lost;
                EXPECT_EQ(log.entries[i].flags & board::kLogFua, 0u)
                    << "FUA write " << i << " lost";
            }
        }
        EXPECT_EQ(lost, s.dropped);
        if (!board::isFlush(log.entries[s.lastEntry])) {
            EXPECT_GT(s.dropped, 0u);
        }
    }
    // Spread: the states reach both the first and the last tenth of the log.
    size_t tenth = log.entries.size() / 10;
    EXPECT_TRUE(std::any_of(states.begin(), states.end(),
                            [&](const board::CrashState& s) { return s.lastEntry < 2 * tenth; }));
    EXPECT_TRUE(std::any_of(states.begin(), states.end(), [&](const board::CrashState& s) {
        return s.lastEntry >= log.entries.size() - 2 * tenth;
    }));
}

INSTANTIATE_TEST_SUITE_P(Board, CrashStateChoice,
                         ::testing::Values(Campaign{40, 5, 15}, Campaign{40, 200, 1},
                                           Campaign{12, 12, 7}, Campaign{43, 60, 99}));

TEST(CrashStateChoice, EveryFlushIsAStateWhenThereIsRoom) {
    board::WriteLog log = syntheticLog(20);
    std::vector<board::CrashState> states = board::chooseCrashStates(log, 100, 3);
    std::set<size_t> atFlush;
    for (const board::CrashState& s : states) {
        if (board::isFlush(log.entries[s.lastEntry]) && s.dropped == 0) atFlush.insert(s.lastEntry);
    }
    EXPECT_EQ(atFlush.size(), 20u);
}

// A log that starts with many one-write intervals, as a boot does: drawing
// there again and again must not count one state several times.
TEST(CrashStateChoice, NoStateIsCountedTwice) {
    board::WriteLog log;
    for (size_t r = 0; r < 30; ++r) {
        size_t writes = r < 20 ? 1 : 6;
        for (size_t w = 0; w < writes; ++w)
            log.entries.push_back(board::LogEntry{r * 10 + w, 1, 0, 0});
        log.entries.push_back(board::LogEntry{0, 0, board::kLogFlush, 0});
    }
    std::vector<board::CrashState> states = board::chooseCrashStates(log, 120, 5);
    std::set<std::vector<size_t>> distinct;
    for (const board::CrashState& s : states)
        distinct.insert(s.entries);
    EXPECT_EQ(distinct.size(), states.size());
}

TEST(CrashStateChoice, TheSeedFixesTheStates) {
    board::WriteLog log = syntheticLog(30);
    auto a = board::chooseCrashStates(log, 50, 11);
    auto b = board::chooseCrashStates(log, 50, 11);
    auto c = board::chooseCrashStates(log, 50, 12);
    auto entriesOf = [](const std::vector<board::CrashState>& v) {
        std::vector<std::vector<size_t>> out;
        for (const auto& s : v)
            out.push_back(s.entries);
        return out;
    };
    EXPECT_EQ(entriesOf(a), entriesOf(b));
    EXPECT_NE(entriesOf(a), entriesOf(c));
}

}  // namespace
