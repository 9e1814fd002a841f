#include "crash_states.h"

#include <algorithm>
#include <random>
#include <set>

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
