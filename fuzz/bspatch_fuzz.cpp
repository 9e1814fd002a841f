// The patch applier on any old part and any patch. The input is a 16-bit
// little-endian old-part length, the old part, then the patch. A patch the
// applier refuses leaves through bspatchFail, which this harness replaces
// with a throw so that the next input can run; a patch it accepts must have
// produced exactly the new size its header names.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bspatch.h"
#include "scratch.h"

namespace {

struct PatchRefused {};

// The applier holds the whole new part in memory by design; a header asking
// for more than this (and less than 2^31, which the applier refuses itself)
// only measures the allocator, not the applier.
constexpr int64_t kMaxNewSize = int64_t{16} << 20;
constexpr int64_t kRefusedSize = int64_t{1} << 31;

int64_t headerNewSize(const uint8_t* patch, size_t size) {
    if (size < 32) {
        return 0;
    }
    const uint8_t* field = patch + 24;
    int64_t magnitude = 0;
    for (int i = 6; i >= 0; --i) {
        magnitude = magnitude << 8 | field[i];
    }
    magnitude |= static_cast<int64_t>(field[7] & 0x7f) << 56;
    return (field[7] & 0x80) != 0 ? -magnitude : magnitude;
}

}  // namespace

void bspatchFail(bool, const char*, ...) {
    throw PatchRefused{};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t oldSize = data[0] | static_cast<size_t>(data[1]) << 8;
    if (oldSize > size - 2) {
        oldSize = size - 2;
    }
    const uint8_t* old = data + 2;
    const uint8_t* patch = old + oldSize;
    const size_t patchSize = size - 2 - oldSize;
    const int64_t declared = headerNewSize(patch, patchSize);
    if (declared > kMaxNewSize && declared < kRefusedSize) {
        return 0;
    }

    static const std::string oldPath = fuzz_scratch::path("old");
    static const std::string newPath = fuzz_scratch::path("new");
    static const std::string patchPath = fuzz_scratch::path("patch");
    fuzz_scratch::writeFile(oldPath, old, oldSize);
    fuzz_scratch::writeFile(patchPath, patch, patchSize);
    remove(newPath.c_str());

    try {
        bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str());
    } catch (const PatchRefused&) {
        return 0;
    }
    struct stat written;
    if (stat(newPath.c_str(), &written) != 0 || written.st_size != declared) {
        fprintf(stderr, "accepted patch for %lld bytes wrote %lld\n",
                static_cast<long long>(declared), static_cast<long long>(written.st_size));
        abort();
    }
    return 0;
}
