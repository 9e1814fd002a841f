#include "suffix_index.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>

namespace bsdiff_gen {

bool buildSuffixIndex(const uint8_t* text, int64_t size, SuffixIndex_T* index) {
    index->text = text;
    index->size = 0;
    index->order.reset();
    if (size < 0 || size > kMaxIndexedSize) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    // Left uninitialised: the sort writes every entry, and touching 40 MB
    // first would cost time for nothing.
    std::unique_ptr<int32_t[]> order(new int32_t[static_cast<size_t>(size)]);
    if (divsufsort(text, order.get(), static_cast<saidx_t>(size)) != 0) {
        return false;
    }
    index->size = size;
    index->order = std::move(order);
    return true;
}

namespace {

// Of the suffixes around sorted position `at` that share best.length bytes
// with the query, the one nearest to `near`.
Match_T nearestOfEqual(const SuffixIndex_T& index, int64_t at, Match_T best, const uint8_t* query,
                       int64_t near) {
    if (near < 0 || best.length == 0 || best.length >= kNearestUpTo) {
        return best;
    }
    const auto distance = [near](int64_t pos) { return pos > near ? pos - near : near - pos; };
    int64_t bestDistance = distance(best.oldPos);
    for (int64_t direction = -1; direction <= 1; direction += 2) {
        for (int64_t step = 1; step <= kNearestSpan; ++step) {
            const int64_t sorted = at + direction * step;
            if (sorted < 0 || sorted >= index.size) {
                break;
            }
            const int64_t start = index.order[static_cast<size_t>(sorted)];
            if (index.size - start < best.length ||
                std::memcmp(index.text + start, query, static_cast<size_t>(best.length)) != 0) {
                break;  // sorted order: no suffix further out shares the length
            }
            if (distance(start) < bestDistance) {
                bestDistance = distance(start);
                best.oldPos = start;
            }
        }
    }
    return best;
}

}  // namespace

Match_T longestMatch(const SuffixIndex_T& index, const uint8_t* query, int64_t length,
                     int64_t near) {
    Match_T best;
    if (index.size == 0 || length <= 0) {
        return best;
    }
    // Binary search for where the query would sit among the sorted suffixes.
    // Every suffix strictly between `low` and `high` shares at least
    // min(lowCommon, highCommon) leading bytes with the query, so a probe
    // starts comparing there: on long runs of one byte this keeps a search
    // from re-reading the same prefix at every halving.
    int64_t low = -1;
    int64_t high = index.size;
    int64_t lowCommon = 0;
    int64_t highCommon = 0;
    while (high - low > 1) {
        const int64_t middle = low + (high - low) / 2;
        const int64_t start = index.order[static_cast<size_t>(middle)];
        const uint8_t* suffix = index.text + start;
        const int64_t limit = std::min(length, index.size - start);
        int64_t common = std::min(lowCommon, highCommon);
        while (common < limit && suffix[common] == query[common]) {
            ++common;
        }
        if (common == length) {
            // The whole query occurs here: nothing can be longer.
            best.oldPos = start;
            best.length = length;
            return nearestOfEqual(index, middle, best, query, near);
        }
        const bool suffixIsSmaller = common == index.size - start || suffix[common] < query[common];
        if (suffixIsSmaller) {
            low = middle;
            lowCommon = common;
        } else {
            high = middle;
            highCommon = common;
        }
    }
    // The longest match is a neighbour of the insertion point.
    int64_t at = -1;
    if (low >= 0) {
        best.oldPos = index.order[static_cast<size_t>(low)];
        best.length = lowCommon;
        at = low;
    }
    if (high < index.size && highCommon > best.length) {
        best.oldPos = index.order[static_cast<size_t>(high)];
        best.length = highCommon;
        at = high;
    }
    return at < 0 ? best : nearestOfEqual(index, at, best, query, near);
}

}  // namespace bsdiff_gen
