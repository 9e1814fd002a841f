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
        const Match_T match = longestMatch(index, next.data + scan, next.size - scan);
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
