#include "crash_states.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <set>

#include "unique_fd.h"

namespace board {

namespace {

struct Interval {
    size_t flushesBefore;        // flushes before the interval
    size_t begin;                // first entry after that flush
    std::vector<size_t> writes;  // writes in the interval, up to the next flush
};

std::vector<size_t> allUpTo(size_t lastEntry) {
    std::vector<size_t> out(lastEntry + 1);
    for (size_t i = 0; i <= lastEntry; ++i)
        out[i] = i;
    return out;
}

}  // namespace

std::string CrashState::describe(size_t totalEntries, size_t totalFlushes) const {
    std::string s = "entry " + std::to_string(lastEntry + 1) + " of " +
                    std::to_string(totalEntries) + ", " + std::to_string(flushesBefore) + " of " +
                    std::to_string(totalFlushes) + " flushes";
    if (since > 0)
        s += ", " + std::to_string(dropped) + " of " + std::to_string(since) +
             " writes since the flush lost";
    return s;
}

std::vector<CrashState> chooseCrashStates(const WriteLog& log, size_t count, uint64_t seed) {
    std::vector<size_t> flushes;
    std::vector<Interval> intervals(1, Interval{0, 0, {}});
    for (size_t i = 0; i < log.entries.size(); ++i) {
        const LogEntry& e = log.entries[i];
        if (isWrite(e)) intervals.back().writes.push_back(i);
        if (isFlush(e)) {
            flushes.push_back(i);
            intervals.push_back(Interval{flushes.size(), i + 1, {}});
        }
    }
    std::vector<Interval> withWrites;
    for (const Interval& iv : intervals) {
        bool droppable = std::any_of(iv.writes.begin(), iv.writes.end(), [&](size_t w) {
            return (log.entries[w].flags & kLogFua) == 0;
        });
        if (droppable) withWrites.push_back(iv);
    }

    size_t flushStates =
        std::min(flushes.size(), count >= 2 * flushes.size() ? flushes.size() : (count + 1) / 2);
    if (withWrites.empty()) flushStates = std::min(flushes.size(), count);
    std::vector<CrashState> states;
    for (size_t k = 0; k < flushStates; ++k) {
        // Evenly over the whole upgrade, the last flush included.
        size_t pick =
            flushStates == 1 ? flushes.size() - 1 : k * (flushes.size() - 1) / (flushStates - 1);
        CrashState s;
        s.lastEntry = flushes[pick];
        s.entries = allUpTo(s.lastEntry);
        s.flushesBefore = pick + 1;
        states.push_back(s);
    }

    // Cut points between flushes, stratified over the writes a cache could
    // still hold, so they follow where the upgrade writes most.
    struct CutPoint {
        size_t interval;
        size_t upTo;  // writes of the interval issued before the cut
    };
    std::vector<CutPoint> points;
    for (size_t i = 0; i < withWrites.size(); ++i) {
        for (size_t w = 0; w < withWrites[i].writes.size(); ++w) {
            if ((log.entries[withWrites[i].writes[w]].flags & kLogFua) == 0)
                points.push_back({i, w + 1});
        }
    }
    std::mt19937_64 rng(seed);
    std::set<std::vector<size_t>> seen;
    for (const CrashState& s : states)
        seen.insert(s.entries);
    size_t dropStates = withWrites.empty() ? 0 : count - states.size();
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (size_t d = 0; d < dropStates; ++d) {
        CrashState s;
        // A state already chosen is drawn again, then from anywhere in the
        // log: small intervals hold only a few distinct states.
        for (int attempt = 0; attempt < 64; ++attempt) {
            double where =
                attempt < 8 ? (static_cast<double>(d) + unit(rng)) / static_cast<double>(dropStates)
                            : unit(rng);
            const CutPoint& cp =
                points[std::min(points.size() - 1,
                                static_cast<size_t>(where * static_cast<double>(points.size())))];
            const Interval& iv = withWrites[cp.interval];
            s = CrashState();
            s.flushesBefore = iv.flushesBefore;
            s.lastEntry = iv.writes[cp.upTo - 1];
            s.entries = iv.begin == 0 ? std::vector<size_t>() : allUpTo(iv.begin - 1);
            std::vector<size_t> candidates;
            std::vector<bool> keep(cp.upTo, true);
            for (size_t w = 0; w < cp.upTo; ++w) {
                if ((log.entries[iv.writes[w]].flags & kLogFua) != 0) continue;
                candidates.push_back(w);
                keep[w] = (rng() & 1) != 0;
            }
            if (std::all_of(candidates.begin(), candidates.end(),
                            [&](size_t w) { return keep[w]; })) {
                std::uniform_int_distribution<size_t> lose(0, candidates.size() - 1);
                keep[candidates[lose(rng)]] = false;
            }
            for (size_t w = 0; w < cp.upTo; ++w) {
                if (keep[w]) {
                    s.entries.push_back(iv.writes[w]);
                } else {
                    ++s.dropped;
                }
            }
            s.since = cp.upTo;
            if (seen.count(s.entries) == 0) break;
        }
        seen.insert(s.entries);
        states.push_back(s);
    }
    std::stable_sort(states.begin(), states.end(), [](const CrashState& a, const CrashState& b) {
        return a.lastEntry < b.lastEntry;
    });
    return states;
}

}  // namespace board

namespace board {

namespace {

constexpr uint64_t kRegionBytes = 4ULL << 20;  // an erase block's neighbourhood

uint64_t mix(uint64_t seed, uint64_t a, uint64_t b) {
    // splitmix64 over the three, so nearby seeds give unrelated states.
    uint64_t z = seed ^ (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xBF58476D1CE4E5B9ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

bool isFua(const LogEntry& e) {
    return (e.flags & kLogFua) != 0;
}

// 512-byte sectors a log entry covers.
uint64_t smallSectors(const WriteLog& log, const LogEntry& e) {
    return e.sectors * (log.sectorSize / 512);
}
uint64_t firstSmallSector(const WriteLog& log, const LogEntry& e) {
    return e.sector * (log.sectorSize / 512);
}

struct LogShape {
    std::vector<size_t> flushes;
    std::vector<Interval> intervals;  // before the first flush, then after each
};

LogShape shapeOf(const WriteLog& log) {
    LogShape shape;
    shape.intervals.push_back(Interval{0, 0, {}});
    for (size_t i = 0; i < log.entries.size(); ++i) {
        const LogEntry& e = log.entries[i];
        if (isWrite(e)) shape.intervals.back().writes.push_back(i);
        if (isFlush(e)) {
            shape.flushes.push_back(i);
            shape.intervals.push_back(Interval{shape.flushes.size(), i + 1, {}});
        }
    }
    return shape;
}

// A cut between two flushes: a point stratified by `where` (0..1) over the
// writes a cache could still hold, and a random part of the writes since the
// flush lost (at least one). False when the log has no such write.
bool cachedState(const WriteLog& log, const LogShape& shape, double where, std::mt19937_64& rng,
                 CrashState* s) {
    std::vector<std::pair<size_t, size_t>> points;  // interval, writes issued before the cut
    for (size_t i = 0; i < shape.intervals.size(); ++i) {
        const Interval& iv = shape.intervals[i];
        for (size_t w = 0; w < iv.writes.size(); ++w) {
            if (!isFua(log.entries[iv.writes[w]])) points.push_back({i, w + 1});
        }
    }
    if (points.empty()) return false;
    const auto& cp = points[std::min(
        points.size() - 1, static_cast<size_t>(where * static_cast<double>(points.size())))];
    const Interval& iv = shape.intervals[cp.first];
    s->flushesBefore = iv.flushesBefore;
    s->lastEntry = iv.writes[cp.second - 1];
    s->entries = iv.begin == 0 ? std::vector<size_t>() : allUpTo(iv.begin - 1);
    std::vector<size_t> candidates;
    std::vector<bool> keep(cp.second, true);
    for (size_t w = 0; w < cp.second; ++w) {
        if (isFua(log.entries[iv.writes[w]])) continue;
        candidates.push_back(w);
        keep[w] = (rng() & 1) != 0;
    }
    if (std::all_of(candidates.begin(), candidates.end(), [&](size_t w) { return keep[w]; }))
        keep[candidates[rng() % candidates.size()]] = false;
    s->dropped = 0;
    for (size_t w = 0; w < cp.second; ++w) {
        if (keep[w]) {
            s->entries.push_back(iv.writes[w]);
        } else {
            ++s->dropped;
        }
    }
    s->since = cp.second;
    return true;
}

// The writes since the last flush up to the cut, kept or lost, without FUA.
std::vector<size_t> writesSinceFlush(const WriteLog& log, const LogShape& shape,
                                     const CrashState& s) {
    std::vector<size_t> out;
    const Interval& iv = shape.intervals[s.flushesBefore];
    for (size_t w : iv.writes) {
        if (w <= s.lastEntry && !isFua(log.entries[w])) out.push_back(w);
    }
    return out;
}

bool tearOneWrite(const WriteLog& log, const LogShape& shape, std::mt19937_64& rng, CrashState* s) {
    std::vector<size_t> writes = writesSinceFlush(log, shape, *s);
    std::vector<size_t> multi;
    for (size_t w : writes) {
        if (smallSectors(log, log.entries[w]) >= 2) multi.push_back(w);
    }
    if (multi.empty()) return false;
    TornWrite& t = s->tornWrite;
    t.entry = multi[rng() % multi.size()];
    const uint64_t n = smallSectors(log, log.entries[t.entry]);
    t.kept.clear();
    switch (rng() % 3) {
        case 0: {
            t.shape = "prefix";
            uint64_t k = 1 + rng() % (n - 1);
            for (uint64_t i = 0; i < k; ++i)
                t.kept.push_back(i);
            break;
        }
        case 1: {
            t.shape = "suffix";
            uint64_t k = 1 + rng() % (n - 1);
            for (uint64_t i = n - k; i < n; ++i)
                t.kept.push_back(i);
            break;
        }
        default:
            t.shape = "subset";
            for (uint64_t i = 0; i < n; ++i) {
                if (rng() & 1) t.kept.push_back(i);
            }
            if (t.kept.empty()) t.kept.push_back(rng() % n);
            if (t.kept.size() == n) t.kept.erase(t.kept.begin() + static_cast<long>(rng() % n));
            break;
    }
    t.rest = static_cast<TornRest>(rng() % 3);
    // The torn write is on the medium in part, whether the cache would have
    // kept it or lost it.
    auto at = std::lower_bound(s->entries.begin(), s->entries.end(), t.entry);
    if (at == s->entries.end() || *at != t.entry) {
        s->entries.insert(at, t.entry);
        --s->dropped;
    }
    s->torn = true;
    return true;
}

void flipSomeBits(const WriteLog& log, const LogShape& shape, std::mt19937_64& rng, CrashState* s) {
    std::vector<size_t> writes = writesSinceFlush(log, shape, *s);
    const size_t sectors = 1 + rng() % 3;
    for (size_t k = 0; k < sectors && !writes.empty(); ++k) {
        const LogEntry& e = log.entries[writes[rng() % writes.size()]];
        SectorDamage d;
        d.kind = SectorDamage::Flip;
        d.sector = firstSmallSector(log, e) + rng() % smallSectors(log, e);
        const size_t bits = 1 + rng() % 4;
        for (size_t b = 0; b < bits; ++b)
            d.bits.push_back(static_cast<uint32_t>(rng() % (512 * 8)));
        s->damage.push_back(d);
    }
}

// The 512-byte sectors written by entries before `last` that lie in the same
// 4 MiB region as the write `last`.
std::vector<uint64_t> neighbours(const WriteLog& log, size_t last) {
    const LogEntry& lw = log.entries[last];
    const uint64_t region = firstSmallSector(log, lw) * 512 / kRegionBytes;
    std::set<uint64_t> out;
    for (size_t i = 0; i < last; ++i) {
        const LogEntry& e = log.entries[i];
        if (!isWrite(e)) continue;
        for (uint64_t k = 0; k < smallSectors(log, e); ++k) {
            const uint64_t sector = firstSmallSector(log, e) + k;
            if (sector * 512 / kRegionBytes == region &&
                (sector < firstSmallSector(log, lw) ||
                 sector >= firstSmallSector(log, lw) + smallSectors(log, lw)))
                out.insert(sector);
        }
    }
    return std::vector<uint64_t>(out.begin(), out.end());
}

bool neighbourState(const WriteLog& log, const LogShape& shape, double where, std::mt19937_64& rng,
                    CrashState* s) {
    // Flushes whose last write has a flushed neighbour to damage.
    std::vector<std::pair<size_t, size_t>> usable;  // flush number, last write
    for (size_t f = 0; f < shape.flushes.size(); ++f) {
        size_t last = SIZE_MAX;
        for (size_t i = shape.flushes[f]; i-- > 0;) {
            if (isWrite(log.entries[i])) {
                last = i;
                break;
            }
        }
        if (last != SIZE_MAX && !neighbours(log, last).empty()) usable.push_back({f, last});
    }
    if (usable.empty()) return false;
    const auto& pick = usable[std::min(
        usable.size() - 1, static_cast<size_t>(where * static_cast<double>(usable.size())))];
    s->lastEntry = shape.flushes[pick.first];
    s->entries = allUpTo(s->lastEntry);
    s->flushesBefore = pick.first + 1;
    std::vector<uint64_t> near = neighbours(log, pick.second);
    SectorDamage d;
    d.sector = near[rng() % near.size()];
    d.kind = (rng() & 1) ? SectorDamage::Garbage : SectorDamage::Erased;
    d.seed = rng();
    s->damage.push_back(d);
    return true;
}

bool reorderedState(const WriteLog& log, const LogShape& shape, double where, std::mt19937_64& rng,
                    CrashState* s) {
    // Cut points: any write or flush from the first flush that acknowledged
    // a write on, which comes after a write that could be lost.
    size_t firstAck = SIZE_MAX;
    for (size_t f : shape.flushes) {
        for (size_t j = 0; j < f && firstAck == SIZE_MAX; ++j) {
            if (isWrite(log.entries[j]) && !isFua(log.entries[j])) firstAck = f;
        }
        if (firstAck != SIZE_MAX) break;
    }
    std::vector<size_t> points;
    for (size_t i = firstAck; i < log.entries.size(); ++i) {
        if (isWrite(log.entries[i]) || isFlush(log.entries[i])) points.push_back(i);
    }
    if (points.empty()) return false;
    const size_t cut = points[std::min(
        points.size() - 1, static_cast<size_t>(where * static_cast<double>(points.size())))];
    size_t lastFlush = 0, flushes = 0;
    for (size_t f : shape.flushes) {
        if (f > cut) break;
        lastFlush = f;
        ++flushes;
    }
    // The write lost: every other state one from the interval the last flush
    // closed (when that holds one), else one from anywhere before that flush,
    // so that writes long acknowledged, the images' among them, are lost too.
    const Interval& closed = shape.intervals[flushes - 1];
    const bool recent = (rng() & 1) != 0;
    std::vector<size_t> candidates;
    for (size_t w : closed.writes) {
        if (recent && w < lastFlush && !isFua(log.entries[w])) candidates.push_back(w);
    }
    // A later write lands: the loss breaks the order, not only the flush.
    size_t lastWrite = 0;
    for (size_t i = 0; i <= cut; ++i) {
        if (isWrite(log.entries[i])) lastWrite = i;
    }
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](size_t w) { return w >= lastWrite; }),
                     candidates.end());
    if (candidates.empty()) {
        for (size_t j = 0; j < lastFlush && j < lastWrite; ++j) {
            if (isWrite(log.entries[j]) && !isFua(log.entries[j])) candidates.push_back(j);
        }
    }
    if (candidates.empty()) return false;
    s->lostEarly = candidates[rng() % candidates.size()];
    s->lastEntry = cut;
    s->flushesBefore = flushes;
    s->entries.clear();
    for (size_t i = 0; i <= cut; ++i) {
        if (i != s->lostEarly) s->entries.push_back(i);
    }
    // Every write since the flush landed: the line names the lost one instead.
    s->since = 0;
    return true;
}

const char* restName(TornRest r) {
    return r == TornRest::Old ? "old" : r == TornRest::Zeros ? "zeros" : "0xFF";
}

bool pwriteAll(int fd, const char* buf, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, buf + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
bool preadAll(int fd, char* buf, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buf + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::Flush:
            return "flush";
        case Fault::Cached:
            return "cached";
        case Fault::Torn:
            return "torn";
        case Fault::Flipped:
            return "flipped";
        case Fault::Neighbour:
            return "neighbour";
        case Fault::Reordered:
            return "reordered";
        case Fault::Twice:
            return "twice";
        case Fault::Failure:
            return "failure";
    }
    return "?";
}

bool parseFaults(const std::string& list, std::vector<Fault>* out, std::string* error) {
    const Fault all[] = {Fault::Flush,     Fault::Cached,    Fault::Torn,  Fault::Flipped,
                         Fault::Neighbour, Fault::Reordered, Fault::Twice, Fault::Failure};
    out->clear();
    size_t from = 0;
    while (from <= list.size()) {
        size_t comma = list.find(',', from);
        std::string name =
            list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        bool known = false;
        for (Fault f : all) {
            if (name == "all" || name == faultName(f)) {
                known = true;
                if (std::find(out->begin(), out->end(), f) == out->end()) out->push_back(f);
            }
        }
        if (!known) {
            *error = "unknown fault class '" + name + "'";
            return false;
        }
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    std::sort(out->begin(), out->end());
    return true;
}

std::vector<size_t> spreadStates(size_t count, size_t classes) {
    std::vector<size_t> out(classes, classes == 0 ? 0 : count / classes);
    for (size_t i = 0; classes > 0 && i < count % classes; ++i)
        ++out[i];
    return out;
}

std::vector<CrashState> chooseFaultStates(const WriteLog& log, Fault fault, size_t count,
                                          uint64_t seed) {
    LogShape shape = shapeOf(log);
    std::vector<CrashState> states;
    for (size_t k = 0; k < count; ++k) {
        CrashState s;
        s.fault = fault;
        s.seed = mix(seed, static_cast<uint64_t>(fault) + 1, k);
        std::mt19937_64 rng(s.seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        // Stratified: the k-th state falls in the k-th part of the log.
        const double first = (static_cast<double>(k) + unit(rng)) / static_cast<double>(count);
        bool made = false;
        // A point that does not fit the class is drawn again from anywhere.
        for (int attempt = 0; attempt < 16 && !made; ++attempt) {
            const double where = attempt == 0 ? first : unit(rng);
            s = CrashState();
            s.fault = fault;
            s.seed = mix(seed, static_cast<uint64_t>(fault) + 1, k);
            switch (fault) {
                case Fault::Flush: {
                    if (shape.flushes.empty()) break;
                    size_t pick = std::min(
                        shape.flushes.size() - 1,
                        static_cast<size_t>(where * static_cast<double>(shape.flushes.size())));
                    s.lastEntry = shape.flushes[pick];
                    s.entries = allUpTo(s.lastEntry);
                    s.flushesBefore = pick + 1;
                    made = true;
                    break;
                }
                case Fault::Cached:
                    made = cachedState(log, shape, where, rng, &s);
                    break;
                case Fault::Torn:
                    // A cut whose writes since the flush hold one of several sectors.
                    made = cachedState(log, shape, where, rng, &s) &&
                           tearOneWrite(log, shape, rng, &s);
                    break;
                case Fault::Flipped:
                    made = cachedState(log, shape, where, rng, &s);
                    if (made) flipSomeBits(log, shape, rng, &s);
                    break;
                case Fault::Neighbour:
                    made = neighbourState(log, shape, where, rng, &s);
                    break;
                case Fault::Reordered:
                    made = reorderedState(log, shape, where, rng, &s);
                    break;
                case Fault::Twice:
                case Fault::Failure:
                    break;
            }
        }
        if (made) states.push_back(s);
    }
    return states;
}

std::string describeDamage(const CrashState& s) {
    std::string out;
    auto add = [&out](const std::string& text) { out += (out.empty() ? "" : "; ") + text; };
    if (s.torn) {
        add("entry " + std::to_string(s.tornWrite.entry + 1) + " torn: " + s.tornWrite.shape + " " +
            std::to_string(s.tornWrite.kept.size()) + " sectors landed, rest " +
            restName(s.tornWrite.rest));
    }
    if (s.lostEarly != SIZE_MAX)
        add("acknowledged entry " + std::to_string(s.lostEarly + 1) + " lost");
    for (const SectorDamage& d : s.damage) {
        add("sector " + std::to_string(d.sector) +
            (d.kind == SectorDamage::Flip ? " " + std::to_string(d.bits.size()) + " bits flipped"
             : d.kind == SectorDamage::Erased ? " reads 0xFF"
                                              : " reads garbage"));
    }
    return out;
}

bool replayCrashState(const WriteLog& log, const CrashState& s, const std::string& disk,
                      std::string* error) {
    std::vector<size_t> before, after;
    for (size_t e : s.entries) {
        if (s.torn && e == s.tornWrite.entry) continue;
        (s.torn && e > s.tornWrite.entry ? after : before).push_back(e);
    }
    if (!replayEntries(log, before, disk, error)) return false;
    host::UniqueFd fd(open(disk.c_str(), O_RDWR | O_CLOEXEC));
    host::UniqueFd in(open(log.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || (s.torn && !in.valid())) {
        *error = "cannot open " + (fd.valid() ? log.path : disk) + ": " + strerror(errno);
        return false;
    }
    char sector[512];
    if (s.torn) {
        const LogEntry& e = log.entries.at(s.tornWrite.entry);
        const uint64_t n = smallSectors(log, e);
        std::vector<bool> landed(n, false);
        for (uint64_t k : s.tornWrite.kept)
            landed.at(k) = true;
        for (uint64_t k = 0; k < n; ++k) {
            if (landed[k]) {
                if (!preadAll(in.get(), sector, 512, e.dataOffset + k * 512)) {
                    *error = "cannot read entry " + std::to_string(s.tornWrite.entry) + " of " +
                             log.path;
                    return false;
                }
            } else if (s.tornWrite.rest == TornRest::Old) {
                continue;
            } else {
                memset(sector, s.tornWrite.rest == TornRest::Zeros ? 0 : 0xFF, sizeof sector);
            }
            if (!pwriteAll(fd.get(), sector, 512, (firstSmallSector(log, e) + k) * 512)) {
                *error = "cannot write " + disk + ": " + strerror(errno);
                return false;
            }
        }
        if (fsync(fd.get()) != 0 || !replayEntries(log, after, disk, error)) {
            if (error->empty()) *error = "cannot sync " + disk;
            return false;
        }
    }
    for (const SectorDamage& d : s.damage) {
        const uint64_t at = d.sector * 512;
        if (d.kind == SectorDamage::Flip) {
            if (!preadAll(fd.get(), sector, 512, at)) {
                *error = "cannot read sector " + std::to_string(d.sector) + " of " + disk;
                return false;
            }
            for (uint32_t b : d.bits)
                sector[b / 8] = static_cast<char>(sector[b / 8] ^ (1 << (b % 8)));
        } else if (d.kind == SectorDamage::Erased) {
            memset(sector, 0xFF, sizeof sector);
        } else {
            std::mt19937_64 garbage(d.seed);
            for (char& c : sector)
                c = static_cast<char>(garbage() & 0xff);
        }
        if (!pwriteAll(fd.get(), sector, 512, at)) {
            *error = "cannot write " + disk + ": " + strerror(errno);
            return false;
        }
    }
    if (fsync(fd.get()) != 0) {
        *error = "cannot sync " + disk + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace board
