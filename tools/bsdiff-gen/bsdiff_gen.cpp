#include "bsdiff_gen.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "control_plan.h"
#include "patch_writer.h"
#include "suffix_index.h"

namespace bsdiff_gen {

namespace {

// The score settings tried after the greedy plan, in the order in which
// they win a tie. The first trusts the diff block with mismatches about as
// much as the extra block (parts whose new bytes are old bytes moved a
// little); the second prices a mismatch above an extra byte, as for random
// edits and rebuilt code; the third sits between them, for parts that are
// mostly new bytes with islands of rebuilt code. (One that leaned hard on
// fewer triples never gave the smallest patch on the benchmark's parts and
// only cost time.)
constexpr CostModel_T kCostModels[] = {
    {256, 1, 16, 16},
    {112, 1, 24, 16},
    {160, 1, 20, 16},
};

// The bzip2 block sizes the chosen plan's streams are written with, the
// largest first. Levels 4 to 8 never gave the smallest stream on the
// benchmark's parts by more than a few bytes over these.
const std::vector<int> kBlockLevels = {9, 3, 2, 1};

}  // namespace

std::string makePatch(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                      size_t newSize, std::vector<uint8_t>* patch) {
    patch->clear();
    if (oldSize > kMaxPartSize || newSize > kMaxPartSize) {
        return "parts of 2 GiB or more cannot be patched";
    }
    const Bytes_T old{oldData, static_cast<int64_t>(oldSize)};
    const Bytes_T next{newData, static_cast<int64_t>(newSize)};
    std::vector<std::vector<Control_T>> plans;
    {
        // The suffix order is by far the largest buffer; it is gone before
        // the compressors start, so the two never add up.
        SuffixIndex_T index;
        if (!buildSuffixIndex(old.data, old.size, &index)) {
            return "cannot sort the suffixes of the old part";
        }
        plans.push_back(planControls(index, old, next));
    }
    for (const CostModel_T& cost : kCostModels) {
        plans.push_back(mergeByCost(plans.front(), old, next, cost));
    }
    // Every plan is written and the smallest patch kept; the greedy plan
    // comes first and an equal size never replaces an earlier one, so the
    // result never grows past the greedy patch and is the same on every run.
    std::vector<uint8_t> candidate;
    size_t chosen = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        if (i > 0 && std::find(plans.begin(), plans.begin() + static_cast<std::ptrdiff_t>(i),
                               plans[i]) != plans.begin() + static_cast<std::ptrdiff_t>(i)) {
            continue;  // same triples as an earlier plan: same patch
        }
        const std::string error = writePatch(plans[i], old, next, i == 0 ? patch : &candidate);
        if (!error.empty()) {
            return error;
        }
        if (i > 0 && candidate.size() < patch->size()) {
            patch->swap(candidate);
            chosen = i;
        }
    }
    // The plans are compared in 900 k blocks; the chosen one is written
    // again at smaller block sizes too, stream by stream. Its 900 k streams
    // are among those tried, so this never grows the patch.
    const std::string error = writePatch(plans[chosen], old, next, &candidate, kBlockLevels);
    if (!error.empty()) {
        return error;
    }
    if (candidate.size() < patch->size()) {
        patch->swap(candidate);
    }
    return std::string();
}

bool deflatesBelow(const uint8_t* data, size_t size, size_t limit) {
    // The best deflate can do: one 258-byte match in about two bits.
    if (limit == 0 || limit < size / 1032) {
        return false;
    }
    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    std::vector<uint8_t> out(64 * 1024);
    size_t produced = 0;
    int status = Z_OK;
    stream.next_in = const_cast<Bytef*>(data);
    while (status == Z_OK && produced < limit) {
        if (stream.avail_in == 0 && stream.total_in < size) {
            stream.avail_in = static_cast<uInt>(std::min<size_t>(size - stream.total_in, 1u << 30));
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        status = deflate(&stream, stream.total_in < size ? Z_NO_FLUSH : Z_FINISH);
        produced += out.size() - stream.avail_out;
    }
    deflateEnd(&stream);
    return status == Z_STREAM_END && produced < limit;
}

}  // namespace bsdiff_gen
