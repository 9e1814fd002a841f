// The package builder's BSDIFF40 patch maker: a patch that turns `old` into
// `next`, for the set's applier and for any bspatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bsdiff_gen {

// Parts larger than this cannot be indexed (and the set's applier reads
// sizes as signed 32-bit numbers anyway).
constexpr size_t kMaxPartSize = 0x7fffffff;

// Peak memory of one makePatch call beyond the two parts it is handed: the
// suffix order (4 bytes per old byte) while matching, then one libbz2
// compressor (under 8 MiB at 900k blocks), the smallest
// patch so far, the one being written and, while the chosen plan is
// written at smaller block sizes, one stream on trial (each at most about
// the new part).
constexpr size_t workingMemory(size_t oldSize, size_t newSize) {
    return oldSize * 4 > 3 * newSize + (12u << 20) ? oldSize * 4 : 3 * newSize + (12u << 20);
}

// Fills `patch` with a complete BSDIFF40 patch: the smallest of the greedy
// plan and its rewrites by a few cost settings, its streams then written
// at the bzip2 block size that suits each. Empty string on success,
// else the reason there is none. Either part may be empty.
std::string makePatch(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                      size_t newSize, std::vector<uint8_t>* patch);

// Whether `data` deflated (raw deflate, best compression, as the package
// stores a whole part) takes fewer than `limit` bytes: then carrying the
// part whole beats a patch of `limit` bytes. Stops as soon as the answer is
// known, and deflate never shrinks data more than about 1032 to 1, so a
// patch that small is never checked against it.
bool deflatesBelow(const uint8_t* data, size_t size, size_t limit);

}  // namespace bsdiff_gen
