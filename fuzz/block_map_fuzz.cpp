// The block-map route of the mapped package file on any block map. The
// harness supplies the device line itself (a scratch file standing in for
// the raw device: the first input byte picks one of 64 KiB or one of 5000
// bytes, a size no block size divides), so the map cannot name a real device
// of this machine; the rest of the input is the map from its second line on.
// A map that is accepted must give one gap-free view whose every byte can be
// read; a refused one must leave nothing behind in the mapping.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive.h"
#include "scratch.h"

namespace {

const std::string& device(size_t size) {
    static const std::string whole = [] {
        std::vector<uint8_t> bytes(64 * 1024);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + i / 512);
        }
        const std::string path = fuzz_scratch::path("device-64k");
        fuzz_scratch::writeFile(path, bytes.data(), bytes.size());
        const std::string odd = fuzz_scratch::path("device-5000");
        fuzz_scratch::writeFile(odd, bytes.data(), 5000);
        return path;
    }();
    static const std::string odd = fuzz_scratch::path("device-5000");
    return size == 5000 ? odd : whole;
}

void checkView(const MemMapping& mapping) {
    if (mapping.addr == nullptr || mapping.length == 0 || mapping.ranges.empty() ||
        mapping.ranges.front().addr != mapping.addr) {
        abort();
    }
    const unsigned char* next = mapping.addr;
    size_t covered = 0;
    for (const MappedRange& range : mapping.ranges) {
        if (range.addr != next || range.length == 0) {
            abort();  // the ranges must lie one after another
        }
        next += range.length;
        covered += range.length;
    }
    if (covered < mapping.length) {
        abort();
    }
    // Every byte of the view must be backed by the device: one that is not
    // kills the reader with SIGBUS right here.
    volatile unsigned sum = 0;
    for (size_t i = 0; i < mapping.length; ++i) {
        sum = sum + mapping.addr[i];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static const std::string mapPath = fuzz_scratch::path("block.map");
    std::string map = device((data[0] & 1) != 0 ? 5000 : 65536) + "\n";
    map.append(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzz_scratch::writeFile(mapPath, map.data(), map.size());

    MemMapping mapping;
    const std::string route = "@" + mapPath;
    if (sysMapFile(route.c_str(), &mapping) == 0) {
        checkView(mapping);
        sysReleaseMap(&mapping);
        if (!mapping.ranges.empty()) {
            abort();
        }
    } else if (mapping.addr != nullptr || mapping.length != 0 || !mapping.ranges.empty()) {
        abort();
    }
    return 0;
}
