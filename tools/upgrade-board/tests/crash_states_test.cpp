// Crash states must be states a device could really be left in: everything
// before the last completed flush on the medium, and of the writes since,
// any subset (but never a write with FUA). And they must cover the whole
// upgrade, not bunch at its start.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "crash_states.h"
#include "log_builder.h"

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

// The fault classes, on a real log file replayed onto a disk image: each
// class's damage must lie where the class says, and nowhere else.
namespace {

std::string scratch(const std::string& name) {
    return ::testing::TempDir() + "board-fault-test-" + std::to_string(getpid()) + "-" + name;
}

constexpr uint64_t kRegionSectors = (4u << 20) / 512;

// An upgrade-like log in two 4 MiB regions: every round writes a few runs of
// 1 to 8 sectors, each sector filled with a byte of its own, then flushes.
// The disk starts filled with '.'.
struct FaultLog {
    std::string logPath, basePath;
    board::WriteLog log;
    size_t diskBytes = 2 * kRegionSectors * 512;

    explicit FaultLog(const std::string& name) {
        logPath = scratch(name + ".log");
        basePath = scratch(name + ".base");
        std::vector<BuiltEntry> built;
        unsigned char fill = 0;
        for (size_t round = 0; round < 12; ++round) {
            for (size_t w = 0; w < 2 + round % 4; ++w) {
                const uint64_t region = (round + w) % 2;
                const uint64_t sector = region * kRegionSectors + (round * 37 + w * 11) % 400;
                const size_t count = 1 + (round * 3 + w) % 8;
                std::string data;
                for (size_t k = 0; k < count; ++k)
                    data += std::string(512, static_cast<char>('A' + (fill++ % 50)));
                built.push_back({sector, (round % 5 == 0 && w == 0) ? board::kLogFua : 0, data});
            }
            built.push_back({0, board::kLogFlush, ""});
        }
        std::ofstream(logPath, std::ios::binary | std::ios::trunc) << buildLog(built, 0, true);
        std::ofstream(basePath, std::ios::binary | std::ios::trunc) << std::string(diskBytes, '.');
        std::string error;
        EXPECT_TRUE(board::readWriteLog(logPath, &log, &error)) << error;
    }
    ~FaultLog() {
        unlink(logPath.c_str());
        unlink(basePath.c_str());
    }

    // The disk after replaying the state, and after replaying only its entries.
    std::string replay(const board::CrashState& s, bool withDamage) const {
        std::string disk = scratch("disk");
        std::ofstream(disk, std::ios::binary | std::ios::trunc) << readFile(basePath);
        std::string error;
        if (withDamage) {
            EXPECT_TRUE(board::replayCrashState(log, s, disk, &error)) << error;
        } else {
            EXPECT_TRUE(board::replayEntries(log, s.entries, disk, &error)) << error;
        }
        std::string bytes = readFile(disk);
        unlink(disk.c_str());
        return bytes;
    }
    std::string sectorOf(const board::LogEntry& e, uint64_t k) const {
        std::ifstream in(logPath, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(e.dataOffset + k * 512));
        std::string out(512, '\0');
        in.read(&out[0], 512);
        return out;
    }
};

size_t lastFlushAtOrBefore(const board::WriteLog& log, size_t entry) {
    size_t last = SIZE_MAX;
    for (size_t i = 0; i <= entry; ++i) {
        if (board::isFlush(log.entries[i])) last = i;
    }
    return last;
}

std::vector<board::Fault> logClasses() {
    return {board::Fault::Flush,   board::Fault::Cached,    board::Fault::Torn,
            board::Fault::Flipped, board::Fault::Neighbour, board::Fault::Reordered};
}

std::string fingerprint(const board::CrashState& s) {
    std::string out = std::to_string(s.seed) + ":" + std::to_string(s.lastEntry) + ":";
    for (size_t e : s.entries)
        out += std::to_string(e) + ",";
    out += board::describeDamage(s);
    for (const board::SectorDamage& d : s.damage) {
        out += "|" + std::to_string(d.sector) + "/" + std::to_string(d.seed);
        for (uint32_t b : d.bits)
            out += "." + std::to_string(b);
    }
    for (uint64_t k : s.tornWrite.kept)
        out += "t" + std::to_string(k);
    return out;
}

TEST(FaultClasses, NamesAndSpread) {
    std::vector<board::Fault> faults;
    std::string error;
    ASSERT_TRUE(board::parseFaults("all", &faults, &error));
    EXPECT_EQ(faults.size(), 8u);
    ASSERT_TRUE(board::parseFaults("torn,flush,torn", &faults, &error));
    EXPECT_EQ(faults, (std::vector<board::Fault>{board::Fault::Flush, board::Fault::Torn}));
    EXPECT_FALSE(board::parseFaults("flush,shorn", &faults, &error));
    EXPECT_NE(error.find("shorn"), std::string::npos);
    EXPECT_FALSE(board::parseFaults("", &faults, &error));
    EXPECT_EQ(board::spreadStates(14, 7), std::vector<size_t>(7, 2));
    EXPECT_EQ(board::spreadStates(5, 3), (std::vector<size_t>{2, 2, 1}));
}

TEST(FaultClasses, TheSeedFixesEveryStateAndItsDamage) {
    FaultLog f("seeded");
    for (board::Fault fault : logClasses()) {
        auto a = board::chooseFaultStates(f.log, fault, 6, 21);
        auto b = board::chooseFaultStates(f.log, fault, 6, 21);
        auto c = board::chooseFaultStates(f.log, fault, 6, 22);
        ASSERT_EQ(a.size(), 6u) << board::faultName(fault);
        std::vector<std::string> fa, fb, fc;
        std::set<uint64_t> seeds;
        for (size_t i = 0; i < a.size(); ++i) {
            fa.push_back(fingerprint(a[i]));
            fb.push_back(fingerprint(b[i]));
            seeds.insert(a[i].seed);
            EXPECT_EQ(a[i].fault, fault);
        }
        for (const auto& s : c)
            fc.push_back(fingerprint(s));
        EXPECT_EQ(fa, fb) << board::faultName(fault);
        EXPECT_NE(fa, fc) << board::faultName(fault);
        EXPECT_EQ(seeds.size(), a.size()) << "states of one class share a seed";
        // The same seed replays to the same bytes.
        EXPECT_EQ(f.replay(a[0], true), f.replay(b[0], true)) << board::faultName(fault);
    }
}

TEST(FaultClasses, FlushAndCachedStatesCarryNoDamage) {
    FaultLog f("plain");
    for (board::Fault fault : {board::Fault::Flush, board::Fault::Cached}) {
        for (const board::CrashState& s : board::chooseFaultStates(f.log, fault, 8, 5)) {
            EXPECT_FALSE(s.torn);
            EXPECT_TRUE(s.damage.empty());
            EXPECT_EQ(s.lostEarly, SIZE_MAX);
            EXPECT_EQ(board::isFlush(f.log.entries[s.lastEntry]), fault == board::Fault::Flush);
            if (fault == board::Fault::Cached) {
                EXPECT_GT(s.dropped, 0u);
            }
            EXPECT_EQ(f.replay(s, true), f.replay(s, false));
        }
    }
}

TEST(FaultClasses, ATornWriteKeepsOnlyTheChosenSectors) {
    FaultLog f("torn");
    std::set<std::string> shapes;
    std::set<board::TornRest> rests;
    for (const board::CrashState& s : board::chooseFaultStates(f.log, board::Fault::Torn, 30, 3)) {
        ASSERT_TRUE(s.torn);
        const board::TornWrite& t = s.tornWrite;
        const board::LogEntry& e = f.log.entries[t.entry];
        shapes.insert(t.shape);
        rests.insert(t.rest);
        // A write since the last flush before the cut, never one with FUA.
        EXPECT_LE(t.entry, s.lastEntry);
        size_t flush = lastFlushAtOrBefore(f.log, s.lastEntry);
        EXPECT_TRUE(flush == SIZE_MAX || t.entry > flush);
        EXPECT_EQ(e.flags & board::kLogFua, 0u);
        ASSERT_FALSE(t.kept.empty());
        ASSERT_LT(t.kept.size(), e.sectors);
        if (t.shape == "prefix") {
            EXPECT_EQ(t.kept.front(), 0u);
        }
        if (t.shape == "suffix") {
            EXPECT_EQ(t.kept.back(), e.sectors - 1);
        }

        // Against the same entries replayed without the torn one: only its
        // sectors differ, the kept ones hold its data, the rest what `rest` says.
        board::CrashState without = s;
        without.entries.erase(std::find(without.entries.begin(), without.entries.end(), t.entry));
        std::string whole = f.replay(without, false);
        std::string torn = f.replay(s, true);
        bool overwrittenLater = false;
        for (size_t later : s.entries) {
            const board::LogEntry& l = f.log.entries[later];
            if (later > t.entry && board::isWrite(l) && l.sector < e.sector + e.sectors &&
                l.sector + l.sectors > e.sector)
                overwrittenLater = true;
        }
        if (overwrittenLater) continue;
        for (uint64_t k = 0; k < e.sectors; ++k) {
            std::string got = torn.substr((e.sector + k) * 512, 512);
            bool kept = std::find(t.kept.begin(), t.kept.end(), k) != t.kept.end();
            std::string want = kept ? f.sectorOf(e, k)
                               : t.rest == board::TornRest::Old
                                   ? whole.substr((e.sector + k) * 512, 512)
                               : t.rest == board::TornRest::Zeros ? std::string(512, '\0')
                                                                  : std::string(512, '\xff');
            EXPECT_EQ(got, want) << "sector " << k << " of the torn entry " << t.entry;
        }
        torn.replace(e.sector * 512, e.sectors * 512, std::string(e.sectors * 512, '\0'));
        whole.replace(e.sector * 512, e.sectors * 512, std::string(e.sectors * 512, '\0'));
        EXPECT_EQ(torn, whole) << "a byte outside the torn write changed";
    }
    EXPECT_EQ(shapes.size(), 3u);
    EXPECT_EQ(rests.size(), 3u);
}

TEST(FaultClasses, FlippedBitsLieInSectorsWrittenSinceTheFlush) {
    FaultLog f("flipped");
    for (const board::CrashState& s :
         board::chooseFaultStates(f.log, board::Fault::Flipped, 20, 8)) {
        ASSERT_FALSE(s.damage.empty());
        size_t flush = lastFlushAtOrBefore(f.log, s.lastEntry);
        std::map<uint64_t, std::set<uint32_t>> toggled;  // a bit flipped twice is back
        for (const board::SectorDamage& d : s.damage) {
            EXPECT_EQ(d.kind, board::SectorDamage::Flip);
            EXPECT_FALSE(d.bits.empty());
            bool touched = false;
            for (size_t i = (flush == SIZE_MAX ? 0 : flush + 1); i <= s.lastEntry; ++i) {
                const board::LogEntry& e = f.log.entries[i];
                if (board::isWrite(e) && d.sector >= e.sector && d.sector < e.sector + e.sectors)
                    touched = true;
            }
            EXPECT_TRUE(touched) << "sector " << d.sector << " was not written since the flush";
            for (uint32_t b : d.bits) {
                if (!toggled[d.sector].insert(b).second) toggled[d.sector].erase(b);
            }
        }
        std::map<uint64_t, size_t> flips;
        for (const auto& t : toggled) {
            if (!t.second.empty()) flips[t.first] = t.second.size();
        }
        std::string clean = f.replay(s, false), damaged = f.replay(s, true);
        ASSERT_EQ(clean.size(), damaged.size());
        std::map<uint64_t, size_t> differ;
        for (size_t i = 0; i < clean.size(); ++i) {
            unsigned char x = static_cast<unsigned char>(clean[i] ^ damaged[i]);
            if (x != 0) differ[i / 512] += static_cast<size_t>(__builtin_popcount(x));
        }
        EXPECT_EQ(differ, flips) << "flipped bits differ from the chosen ones";
    }
}

TEST(FaultClasses, ANeighbourIsAFlushedSectorInTheLastWritesRegion) {
    FaultLog f("neighbour");
    for (const board::CrashState& s :
         board::chooseFaultStates(f.log, board::Fault::Neighbour, 10, 4)) {
        ASSERT_TRUE(board::isFlush(f.log.entries[s.lastEntry]));
        ASSERT_EQ(s.entries.size(), s.lastEntry + 1)
            << "everything up to the flush is on the medium";
        ASSERT_EQ(s.damage.size(), 1u);
        const board::SectorDamage& d = s.damage[0];
        size_t last = s.lastEntry;
        while (!board::isWrite(f.log.entries[last]))
            --last;
        const board::LogEntry& lw = f.log.entries[last];
        EXPECT_EQ(d.sector / kRegionSectors, lw.sector / kRegionSectors);
        EXPECT_FALSE(d.sector >= lw.sector && d.sector < lw.sector + lw.sectors);
        bool written = false;
        for (size_t i = 0; i < last; ++i) {
            const board::LogEntry& e = f.log.entries[i];
            written |= board::isWrite(e) && d.sector >= e.sector && d.sector < e.sector + e.sectors;
        }
        EXPECT_TRUE(written) << "sector " << d.sector << " was never written";
        std::string clean = f.replay(s, false), damaged = f.replay(s, true);
        std::string sector = damaged.substr(d.sector * 512, 512);
        if (d.kind == board::SectorDamage::Erased) {
            EXPECT_EQ(sector, std::string(512, '\xff'));
        }
        EXPECT_NE(sector, clean.substr(d.sector * 512, 512));
        clean.replace(d.sector * 512, 512, sector);
        EXPECT_EQ(clean, damaged) << "a byte outside the neighbour changed";
    }
}

TEST(FaultClasses, ReorderedLosesAnAcknowledgedWriteAndKeepsALaterOne) {
    FaultLog f("reordered");
    for (const board::CrashState& s :
         board::chooseFaultStates(f.log, board::Fault::Reordered, 20, 6)) {
        ASSERT_NE(s.lostEarly, SIZE_MAX);
        size_t flush = lastFlushAtOrBefore(f.log, s.lastEntry);
        ASSERT_NE(flush, SIZE_MAX);
        EXPECT_LT(s.lostEarly, flush) << "the lost write was acknowledged by a flush";
        EXPECT_TRUE(board::isWrite(f.log.entries[s.lostEarly]));
        EXPECT_EQ(f.log.entries[s.lostEarly].flags & board::kLogFua, 0u);
        std::set<size_t> kept(s.entries.begin(), s.entries.end());
        EXPECT_FALSE(kept.count(s.lostEarly));
        for (size_t i = 0; i <= s.lastEntry; ++i) {
            if (i != s.lostEarly) {
                EXPECT_TRUE(kept.count(i)) << "entry " << i << " lost too";
            }
        }
        EXPECT_EQ(kept.size(), s.lastEntry);
        bool laterWrite = false;
        for (size_t i = s.lostEarly + 1; i <= s.lastEntry; ++i)
            laterWrite |= board::isWrite(f.log.entries[i]);
        EXPECT_TRUE(laterWrite) << "no later write lands";
        // On the disk the lost write's own sectors that no later write
        // covers still hold what was there before it.
        const board::LogEntry& lost = f.log.entries[s.lostEarly];
        std::vector<size_t> before;
        for (size_t i = 0; i < s.lostEarly; ++i)
            before.push_back(i);
        board::CrashState earlier;
        earlier.entries = before;
        std::string old = f.replay(earlier, false), disk = f.replay(s, true);
        for (uint64_t k = 0; k < lost.sectors; ++k) {
            bool coveredLater = false;
            for (size_t i = s.lostEarly + 1; i <= s.lastEntry; ++i) {
                const board::LogEntry& e = f.log.entries[i];
                coveredLater |= board::isWrite(e) && lost.sector + k >= e.sector &&
                                lost.sector + k < e.sector + e.sectors;
            }
            if (!coveredLater) {
                EXPECT_EQ(disk.substr((lost.sector + k) * 512, 512),
                          old.substr((lost.sector + k) * 512, 512));
            }
        }
    }
}

}  // namespace
