// The split of a new part into control triples: runs of bytes taken as a
// difference to the old part, runs of bytes carried as they are, and seeks
// in the old part between them.
#pragma once

#include <cstdint>
#include <vector>

#include "suffix_index.h"

namespace bsdiff_gen {

struct Control_T {
    // New bytes written as (new - old) over the old bytes at the same run.
    int64_t diffLength = 0;
    // New bytes carried unchanged after the diff run.
    int64_t extraLength = 0;
    // Move of the old position once both runs are done.
    int64_t seek = 0;

    bool operator==(const Control_T& other) const {
        return diffLength == other.diffLength && extraLength == other.extraLength &&
               seek == other.seek;
    }
};

struct Bytes_T {
    const uint8_t* data = nullptr;
    int64_t size = 0;
};

// Plans the triples that rebuild `next` from `old`; `index` sorts old's
// suffixes. The diff runs only ever read old bytes inside the old part.
// Every alignment that matches kMinGain bytes more than the one in use gets
// a triple of its own: the greedy plan.
std::vector<Control_T> planControls(const SuffixIndex_T& index, Bytes_T old, Bytes_T next);

// Estimated compressed cost, in 1/16 byte, of what a plan puts in the three
// blocks of a patch. Diff bytes are mostly zero and bzip2 squeezes runs of
// zeros to almost nothing; a mismatch in a diff run costs about a byte of
// noise; an extra byte costs what the new part's own bytes compress to; a
// triple is 24 bytes that compress poorly, since seeks and lengths vary.
struct CostModel_T {
    int64_t triple = 0;
    int64_t zeroDiff = 0;
    int64_t otherDiff = 0;
    int64_t extra = 0;
};

// Rewrites a plan for `next` by cost: a triple whose diff run (and the
// extra run before it) costs more as its own triple than as diff bytes on
// the alignment before it is folded into that one, whether it lies on the
// same diagonal across a small gap or on another one whose bytes mostly
// agree with it; then each diff run grows into the extra runs around it
// while that is cheaper. The result still rebuilds `next` exactly and only
// reads old bytes inside the old part.
std::vector<Control_T> mergeByCost(const std::vector<Control_T>& plan, Bytes_T old, Bytes_T next,
                                   const CostModel_T& cost);

}  // namespace bsdiff_gen
