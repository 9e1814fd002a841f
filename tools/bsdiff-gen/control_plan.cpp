#include "control_plan.h"

#include <algorithm>

namespace bsdiff_gen {

namespace {

// A new alignment must match this many more bytes than the one in use
// before it is worth a control triple of its own (24 bytes before
// compression).
constexpr int64_t kMinGain = 8;

// Exact matches at least this long let the search skip ahead (see the
// comment in findNextMatch).
constexpr int64_t kSkipFrom = 64;

// The alignment the patch is currently taking bytes from.
struct Alignment_T {
    int64_t newStart = 0;  // first new byte not yet in a triple
    int64_t oldStart = 0;  // old byte aligned with it
    int64_t offset = 0;    // old position minus new position
    // End of the exact match that began this alignment: a later backward
    // extension stops there, see extendBackward.
    int64_t exactEnd = 0;
};

bool alignedEqual(Bytes_T old, Bytes_T next, int64_t newPos, int64_t offset) {
    const int64_t oldPos = newPos + offset;
    return oldPos >= 0 && oldPos < old.size && old.data[oldPos] == next.data[newPos];
}

enum class Outcome { kEnd, kSameAlignment, kNewAlignment };

struct Found_T {
    Outcome outcome = Outcome::kEnd;
    int64_t scan = 0;
    Match_T match;
};

// Walks new bytes from `scan` until either the exact match there is
// explained byte for byte by the alignment in use (nothing to say), or an
// exact match beats the alignment in use by more than kMinGain, or the new
// part ends.
Found_T findNextMatch(const SuffixIndex_T& index, Bytes_T old, Bytes_T next, int64_t scan,
                      int64_t offset) {
    Found_T found;
    int64_t scoredEnd = scan;  // bytes [scan, scoredEnd) are counted in `aligned`
    int64_t aligned = 0;
    while (scan < next.size) {
        // Among equal matches, the one nearest the alignment in use.
        const Match_T match = longestMatch(index, next.data + scan, next.size - scan,
                                           std::max<int64_t>(0, scan + offset));
        for (; scoredEnd < scan + match.length; ++scoredEnd) {
            aligned += alignedEqual(old, next, scoredEnd, offset) ? 1 : 0;
        }
        if (match.length > 0 && aligned == match.length) {
            return {Outcome::kSameAlignment, scan, match};
        }
        if (match.length > aligned + kMinGain) {
            return {Outcome::kNewAlignment, scan, match};
        }
        // The bound on work per byte. Stepping one byte at a time through a
        // long match that the alignment in use nearly explains costs a search
        // as long as the match at every byte: quadratic on runs of zeros and
        // on repeated inode records. Past kSkipFrom bytes the search moves on
        // by half the match, so each byte is searched over at most twice.
        // This is safe for the patch size: over [scan, scan + length) the
        // alignment in use misses at most kMinGain bytes, so a better match
        // starting inside the skipped half either ends inside the span and
        // could have gained at most kMinGain bytes there, or runs past the
        // landing point, where the search still finds it and the backward
        // extension takes back the skipped head byte by byte. Either way the
        // cost is a few non-zero diff bytes, never new extra bytes.
        const int64_t step = match.length >= kSkipFrom ? match.length / 2 : 1;
        for (int64_t i = 0; i < step; ++i, ++scan) {
            if (scan < scoredEnd && alignedEqual(old, next, scan, offset)) {
                --aligned;
            }
        }
        scoredEnd = std::max(scoredEnd, scan);
    }
    found.scan = next.size;
    return found;
}

// How far the alignment in use reaches forward from its start: the length
// with the most matching bytes over mismatching ones, never past `limit`.
int64_t extendForward(Bytes_T old, Bytes_T next, const Alignment_T& from, int64_t limit) {
    int64_t score = 0;
    int64_t bestScore = 0;
    int64_t bestLength = 0;
    for (int64_t i = 0; from.newStart + i < limit && from.oldStart + i < old.size; ++i) {
        score += old.data[from.oldStart + i] == next.data[from.newStart + i] ? 1 : -1;
        if (score > bestScore) {
            bestScore = score;
            bestLength = i + 1;
        }
    }
    return bestLength;
}

// How far the new match at (scan, oldPos) reaches backward, scored the same
// way. It stops at `floor`, the end of the exact match that began the
// alignment in use. The alignment in use matches every byte of that match,
// so the new one could at best tie there, and the forward extension
// normally runs through it. Without the floor, on a long stretch of
// near-identical records, where every alignment matches most bytes, each
// new match would extend back over the whole stretch again: quadratic.
int64_t extendBackward(Bytes_T old, Bytes_T next, int64_t scan, int64_t oldPos, int64_t floor) {
    int64_t score = 0;
    int64_t bestScore = 0;
    int64_t bestLength = 0;
    for (int64_t i = 1; scan - i >= floor && oldPos - i >= 0; ++i) {
        score += old.data[oldPos - i] == next.data[scan - i] ? 1 : -1;
        if (score > bestScore) {
            bestScore = score;
            bestLength = i;
        }
    }
    return bestLength;
}

// Where the forward and backward extensions overlap, the new bytes
// [start, start + overlap) go to the forward one up to the returned count
// and to the backward one after it: the split that matches most bytes.
int64_t splitOverlap(Bytes_T old, Bytes_T next, int64_t start, int64_t overlap,
                     int64_t forwardOffset, int64_t backwardOffset) {
    int64_t score = 0;
    int64_t bestScore = 0;
    int64_t bestSplit = 0;
    for (int64_t i = 0; i < overlap; ++i) {
        const int64_t newPos = start + i;
        score += next.data[newPos] == old.data[newPos + forwardOffset] ? 1 : 0;
        score -= next.data[newPos] == old.data[newPos + backwardOffset] ? 1 : 0;
        if (score > bestScore) {
            bestScore = score;
            bestSplit = i + 1;
        }
    }
    return bestSplit;
}

}  // namespace

std::vector<Control_T> planControls(const SuffixIndex_T& index, Bytes_T old, Bytes_T next) {
    std::vector<Control_T> controls;
    Alignment_T current;
    int64_t scan = 0;
    while (true) {
        const Found_T found = findNextMatch(index, old, next, scan, current.offset);
        if (found.outcome == Outcome::kSameAlignment) {
            scan = found.scan + found.match.length;
            continue;
        }
        const bool atEnd = found.outcome == Outcome::kEnd;
        if (atEnd && current.newStart >= next.size) {
            break;
        }
        scan = found.scan;
        int64_t forward = extendForward(old, next, current, scan);
        int64_t backward = atEnd ? 0
                                 : extendBackward(old, next, scan, found.match.oldPos,
                                                  std::max(current.newStart, current.exactEnd));
        const int64_t overlap = (current.newStart + forward) - (scan - backward);
        if (overlap > 0) {
            const int64_t split = splitOverlap(old, next, scan - backward, overlap, current.offset,
                                               found.match.oldPos - scan);
            forward -= overlap - split;
            backward -= split;
        }
        Control_T control;
        control.diffLength = forward;
        control.extraLength = (scan - backward) - (current.newStart + forward);
        if (atEnd) {
            controls.push_back(control);
            break;
        }
        control.seek = (found.match.oldPos - backward) - (current.oldStart + forward);
        controls.push_back(control);
        current.newStart = scan - backward;
        current.oldStart = found.match.oldPos - backward;
        current.offset = found.match.oldPos - scan;
        current.exactEnd = scan + found.match.length;
        scan += found.match.length;
    }
    return controls;
}

}  // namespace bsdiff_gen

namespace bsdiff_gen {

namespace {

// A triple by where its runs sit: diff run at new [newStart, newStart +
// diff) over old [oldStart, oldStart + diff), then `extra` new bytes.
struct Run_T {
    int64_t newStart = 0;
    int64_t oldStart = 0;
    int64_t diff = 0;
    int64_t extra = 0;
};

// Folding looks at most this many triples ahead, and never over an extra
// run, or a diff run on another diagonal, longer than these: past them a
// triple of its own is always the cheaper choice, and the bounds keep the
// work per byte constant.
constexpr int kLookAhead = 4;
constexpr int64_t kMaxGap = 64 * 1024;
constexpr int64_t kMaxOtherRun = 64 * 1024;

constexpr int64_t kUnreachable = INT64_MAX / 4;

// Cost of new [newStart, newStart + length) as diff bytes over the old
// bytes `offset` further on; unreachable when those leave the old part.
int64_t diagonalCost(Bytes_T old, Bytes_T next, int64_t newStart, int64_t length, int64_t offset,
                     const CostModel_T& cost) {
    const int64_t oldStart = newStart + offset;
    if (length <= 0) {
        return 0;
    }
    if (oldStart < 0 || oldStart + length > old.size) {
        return kUnreachable;
    }
    int64_t same = 0;
    for (int64_t i = 0; i < length; ++i) {
        same += next.data[newStart + i] == old.data[oldStart + i] ? 1 : 0;
    }
    return same * cost.zeroDiff + (length - same) * cost.otherDiff;
}

// Moves bytes of `run`'s extra run into diff runs where that is cheaper:
// the longest-paying head onto `run`'s diagonal, then the longest-paying
// tail of what is left onto the diagonal of `after` (null at the end).
void growIntoExtra(Bytes_T old, Bytes_T next, const CostModel_T& cost, Run_T* run, Run_T* after) {
    const int64_t start = run->newStart + run->diff;
    int64_t forward = 0;
    if (run->diff > 0) {
        int64_t gain = 0;
        int64_t bestGain = 0;
        const int64_t oldAt = run->oldStart + run->diff;
        for (int64_t i = 0; i < run->extra && oldAt + i < old.size; ++i) {
            gain += cost.extra -
                    (next.data[start + i] == old.data[oldAt + i] ? cost.zeroDiff : cost.otherDiff);
            if (gain > bestGain) {
                bestGain = gain;
                forward = i + 1;
            }
        }
    }
    run->diff += forward;
    run->extra -= forward;
    if (after == nullptr || after->diff == 0) {
        return;
    }
    int64_t backward = 0;
    int64_t gain = 0;
    int64_t bestGain = 0;
    for (int64_t i = 1; i <= run->extra && after->oldStart - i >= 0; ++i) {
        gain += cost.extra - (next.data[after->newStart - i] == old.data[after->oldStart - i]
                                  ? cost.zeroDiff
                                  : cost.otherDiff);
        if (gain > bestGain) {
            bestGain = gain;
            backward = i;
        }
    }
    run->extra -= backward;
    after->newStart -= backward;
    after->oldStart -= backward;
    after->diff += backward;
}

}  // namespace

std::vector<Control_T> mergeByCost(const std::vector<Control_T>& plan, Bytes_T old, Bytes_T next,
                                   const CostModel_T& cost) {
    std::vector<Run_T> runs;
    runs.reserve(plan.size());
    int64_t newPos = 0;
    int64_t oldPos = 0;
    for (const Control_T& control : plan) {
        runs.push_back({newPos, oldPos, control.diffLength, control.extraLength});
        newPos += control.diffLength + control.extraLength;
        oldPos += control.diffLength + control.seek;
    }

    std::vector<Run_T> merged;
    size_t next_ = 0;
    while (next_ < runs.size()) {
        Run_T current = runs[next_++];
        while (next_ < runs.size()) {
            // Try folding the next 1..kLookAhead triples into `current`: each
            // one folded saves its triple and its extra run before it, and
            // pays for its span (that extra run and its diff run) as diff
            // bytes on current's diagonal. Keep the count that saves most.
            int foldCount = 0;
            if (current.diff > 0) {
                const int64_t offset = current.oldStart - current.newStart;
                int64_t saving = 0;
                int64_t bestSaving = 0;
                int64_t gapStart = current.newStart + current.diff;
                int64_t gapLength = current.extra;
                for (int k = 1; k <= kLookAhead && next_ + static_cast<size_t>(k) - 1 < runs.size();
                     ++k) {
                    const Run_T& candidate = runs[next_ + static_cast<size_t>(k) - 1];
                    if (gapLength > kMaxGap) {
                        break;
                    }
                    const int64_t gapCost =
                        diagonalCost(old, next, gapStart, gapLength, offset, cost);
                    if (gapCost >= kUnreachable) {
                        break;
                    }
                    saving += cost.triple + gapLength * cost.extra - gapCost;
                    if (candidate.oldStart - candidate.newStart != offset && candidate.diff > 0) {
                        // Another diagonal: its diff bytes are paid again on
                        // this one.
                        if (candidate.diff > kMaxOtherRun) {
                            break;
                        }
                        const int64_t here = diagonalCost(old, next, candidate.newStart,
                                                          candidate.diff, offset, cost);
                        if (here >= kUnreachable) {
                            break;
                        }
                        saving += diagonalCost(old, next, candidate.newStart, candidate.diff,
                                               candidate.oldStart - candidate.newStart, cost) -
                                  here;
                    }
                    // On the same diagonal the diff run costs the same either way.
                    if (saving > bestSaving) {
                        bestSaving = saving;
                        foldCount = k;
                    }
                    gapStart = candidate.newStart + candidate.diff;
                    gapLength = candidate.extra;
                }
            }
            if (foldCount == 0) {
                break;
            }
            const Run_T& last = runs[next_ + static_cast<size_t>(foldCount) - 1];
            current.diff = last.newStart + last.diff - current.newStart;
            current.extra = last.extra;
            next_ += static_cast<size_t>(foldCount);
        }
        growIntoExtra(old, next, cost, &current, next_ < runs.size() ? &runs[next_] : nullptr);
        merged.push_back(current);
    }

    std::vector<Control_T> controls;
    controls.reserve(merged.size());
    for (size_t i = 0; i < merged.size(); ++i) {
        Control_T control;
        control.diffLength = merged[i].diff;
        control.extraLength = merged[i].extra;
        if (i + 1 < merged.size()) {
            control.seek = merged[i + 1].oldStart - (merged[i].oldStart + merged[i].diff);
        }
        controls.push_back(control);
    }
    return controls;
}

}  // namespace bsdiff_gen
