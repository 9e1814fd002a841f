// The patch applier on any old part and any patch. The input is one mode
// byte, a 16-bit little-endian old-part length, the old part, then the patch:
// with an even mode byte the rest is the patch as it stands; with an odd one
// it is 8 bytes of new size, two 16-bit-length-prefixed blocks and a last
// block, which the harness compresses into a well-formed BSDIFF40 patch, so
// that mutations reach the control triples instead of dying in a bzip2 check.
// A patch the applier refuses leaves through bspatchFail, which this harness
// replaces with a throw so that the next input can run. A patch it accepts
// must have produced exactly the new size its header names, and a built one
// must be accepted or refused, and give the very bytes, as the format says.

#include <bzlib.h>

#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bspatch.h"
#include "scratch.h"

namespace {

struct PatchRefused {};

// The applier holds the whole new part in memory by design; a header asking
// for more than this (and less than 2^31, which the applier refuses itself)
// only measures the allocator, not the applier.
constexpr int64_t kMaxNewSize = int64_t{16} << 20;
constexpr int64_t kRefusedSize = int64_t{1} << 31;
constexpr char kMagic[] = "BSDIFF40";

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

// Takes a 16-bit little-endian length and that many bytes (fewer if the
// input ends) off the front of [*data, *data + *size).
std::vector<uint8_t> takeBlock(const uint8_t** data, size_t* size) {
    size_t length = 0;
    if (*size >= 2) {
        length = (*data)[0] | static_cast<size_t>((*data)[1]) << 8;
        *data += 2;
        *size -= 2;
    } else {
        *data += *size;
        *size = 0;
    }
    length = length < *size ? length : *size;
    std::vector<uint8_t> block(*data, *data + length);
    *data += length;
    *size -= length;
    return block;
}

std::vector<uint8_t> compress(const std::vector<uint8_t>& raw) {
    // bzip2 takes no null source, even for zero bytes.
    std::vector<char> source(raw.begin(), raw.end());
    source.reserve(1);
    std::vector<char> out(raw.size() + raw.size() / 100 + 600);
    unsigned int outLength = static_cast<unsigned int>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &outLength, source.data(),
                                 static_cast<unsigned int>(source.size()), 1, 0, 0) != BZ_OK) {
        abort();
    }
    return std::vector<uint8_t>(out.begin(), out.begin() + outLength);
}

void putPatchInt(std::vector<uint8_t>& patch, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        patch.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// The uncompressed contents of a built patch.
struct RawPatch {
    uint8_t newSize[8] = {};
    std::vector<uint8_t> control, diff, extra;
};

RawPatch splitRaw(const uint8_t* data, size_t size) {
    RawPatch raw;
    const size_t sizeBytes = size < 8 ? size : 8;
    memcpy(raw.newSize, data, sizeBytes);
    data += sizeBytes;
    size -= sizeBytes;
    raw.control = takeBlock(&data, &size);
    raw.diff = takeBlock(&data, &size);
    raw.extra.assign(data, data + size);
    return raw;
}

// Header and the three blocks, each compressed.
std::vector<uint8_t> buildPatch(const RawPatch& raw) {
    const std::vector<uint8_t> control = compress(raw.control);
    const std::vector<uint8_t> diff = compress(raw.diff);
    const std::vector<uint8_t> extra = compress(raw.extra);
    std::vector<uint8_t> patch(kMagic, kMagic + 8);
    putPatchInt(patch, control.size());
    putPatchInt(patch, diff.size());
    patch.insert(patch.end(), raw.newSize, raw.newSize + 8);
    for (const std::vector<uint8_t>* block : {&control, &diff, &extra}) {
        patch.insert(patch.end(), block->begin(), block->end());
    }
    return patch;
}

// A patch integer as the applier takes it: magnitudes of 2^31 and more are
// refused (false).
bool readInt(const uint8_t* bytes, int64_t* value) {
    if ((bytes[7] & 0x7f) != 0 || bytes[6] != 0 || bytes[5] != 0 || bytes[4] != 0 ||
        (bytes[3] & 0x80) != 0) {
        return false;
    }
    const int64_t magnitude = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | int64_t{bytes[3]} << 24;
    *value = (bytes[7] & 0x80) != 0 ? -magnitude : magnitude;
    return true;
}

// The new file a built patch must give, worked out straight from the format
// on the raw blocks, byte by byte; false where the applier must refuse.
bool expectedNew(const RawPatch& raw, const uint8_t* old, size_t oldSize,
                 std::vector<uint8_t>* out) {
    int64_t newSize = 0;
    if (!readInt(raw.newSize, &newSize) || newSize < 0) {
        return false;
    }
    out->assign(static_cast<size_t>(newSize), 0);
    size_t control = 0, diff = 0, extra = 0;
    int64_t oldPos = 0, newPos = 0;
    while (newPos < newSize) {
        int64_t x, y, z;
        if (raw.control.size() - control < 24 || !readInt(&raw.control[control], &x) ||
            !readInt(&raw.control[control + 8], &y) || !readInt(&raw.control[control + 16], &z)) {
            return false;
        }
        control += 24;
        if (x < 0 || newPos + x > newSize || static_cast<int64_t>(raw.diff.size() - diff) < x) {
            return false;
        }
        for (int64_t i = 0; i < x; ++i) {
            uint8_t byte = raw.diff[diff++];
            if (oldPos + i >= 0 && oldPos + i < static_cast<int64_t>(oldSize)) {
                byte = static_cast<uint8_t>(byte + old[oldPos + i]);
            }
            (*out)[static_cast<size_t>(newPos + i)] = byte;
        }
        newPos += x;
        oldPos += x;
        if (y < 0 || newPos + y > newSize || static_cast<int64_t>(raw.extra.size() - extra) < y) {
            return false;
        }
        for (int64_t i = 0; i < y; ++i) {
            (*out)[static_cast<size_t>(newPos + i)] = raw.extra[extra++];
        }
        newPos += y;
        oldPos += z;
    }
    return true;
}

}  // namespace

void bspatchFail(bool, const char*, ...) {
    throw PatchRefused{};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const bool built = (data[0] & 1) != 0;
    size_t oldSize = data[1] | static_cast<size_t>(data[2]) << 8;
    if (oldSize > size - 3) {
        oldSize = size - 3;
    }
    const uint8_t* old = data + 3;
    const uint8_t* rest = old + oldSize;
    const size_t restSize = size - 3 - oldSize;
    const RawPatch raw = built ? splitRaw(rest, restSize) : RawPatch{};
    const std::vector<uint8_t> patchBytes =
        built ? buildPatch(raw) : std::vector<uint8_t>(rest, rest + restSize);
    const uint8_t* patch = patchBytes.data();
    const size_t patchSize = patchBytes.size();
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

    bool accepted = true;
    try {
        bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str());
    } catch (const PatchRefused&) {
        accepted = false;
    }
    std::vector<uint8_t> written;
    if (accepted) {
        FILE* result = fopen(newPath.c_str(), "rb");
        if (result == nullptr) {
            abort();
        }
        uint8_t chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, result)) > 0) {
            written.insert(written.end(), chunk, chunk + got);
        }
        fclose(result);
        if (static_cast<int64_t>(written.size()) != declared) {
            fprintf(stderr, "accepted patch for %lld bytes wrote %zu\n",
                    static_cast<long long>(declared), written.size());
            abort();
        }
    }
    if (built) {
        std::vector<uint8_t> expected;
        const bool valid = expectedNew(raw, old, oldSize, &expected);
        if (valid != accepted || (valid && expected != written)) {
            fprintf(stderr, "applier %s a patch the format %s%s\n",
                    accepted ? "accepted" : "refused", valid ? "allows" : "refuses",
                    valid && accepted ? ", and wrote other bytes" : "");
            abort();
        }
    }
    return 0;
}
