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
};

struct Bytes_T {
    const uint8_t* data = nullptr;
    int64_t size = 0;
};

// Plans the triples that rebuild `next` from `old`; `index` sorts old's
// suffixes. The diff runs only ever read old bytes inside the old part.
std::vector<Control_T> planControls(const SuffixIndex_T& index, Bytes_T old, Bytes_T next);

}  // namespace bsdiff_gen
