// Sorted suffixes of the old part, and the longest exact match of any new
// bytes among them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace bsdiff_gen {

struct SuffixIndex_T {
    const uint8_t* text = nullptr;
    int64_t size = 0;
    // Start of every suffix of `text`, in sorted order: 4 bytes per text byte.
    std::unique_ptr<int32_t[]> order;
};

struct Match_T {
    int64_t oldPos = 0;
    int64_t length = 0;
};

// Largest text the 32-bit suffix order can index.
constexpr int64_t kMaxIndexedSize = INT32_MAX;

// Sorts the suffixes of text[0, size). The text must outlive the index.
// False when the text is too large or the sort fails.
bool buildSuffixIndex(const uint8_t* text, int64_t size, SuffixIndex_T* index);

// The longest prefix of query[0, length) found anywhere in the text, with
// one of its positions. Length 0 when not even the first byte occurs. With
// `near` at 0 or more, a match shorter than kNearestUpTo bytes is taken, of
// the positions that share its length among the kNearestSpan suffixes on
// either side in sorted order, at the one nearest to `near` (the first
// found on a tie): in code, where the same few instructions recur
// everywhere, the copy near the alignment in use leaves more equal bytes
// around it and a shorter seek.
constexpr int64_t kNearestUpTo = 4096;
constexpr int64_t kNearestSpan = 16;
Match_T longestMatch(const SuffixIndex_T& index, const uint8_t* query, int64_t length,
                     int64_t near = -1);

}  // namespace bsdiff_gen
