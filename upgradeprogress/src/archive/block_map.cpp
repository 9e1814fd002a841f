// The "@" route: a package that lies in blocks on a raw block device, read
// without a file system. The block map names the device, the package size
// and block size, and the device block ranges in package order; every range
// is mapped read-only at consecutive addresses inside one reservation, so the
// ZIP reader sees one contiguous package.
#include "block_map.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <android-base/file.h>
#include <android-base/strings.h>

namespace {

constexpr uint64_t kMaxMappedBytes =
    4294967295u;  // the view is indexed by a 32-bit size on the set
constexpr uint64_t kMaxDeviceOffset = static_cast<uint64_t>(INT64_MAX);

// Reads exactly `count` unsigned decimal numbers separated by white space.
// Signs, overflow and anything after the last number are refused: a block map
// that is not exactly what the builder wrote must not map the wrong blocks.
bool parseNumbers(const std::string& line, uint64_t* out, size_t count) {
    const char* p = line.c_str();
    for (size_t i = 0; i < count; ++i) {
        while (isspace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (!isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = strtoull(p, &end, 10);
        if (errno == ERANGE) {
            return false;
        }
        out[i] = value;
        p = end;
    }
    while (isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return *p == '\0';
}

struct BlockMapHeader {
    std::string device;
    uint64_t size = 0;       // package bytes
    uint64_t blockSize = 0;  // bytes per block
    uint64_t rangeCount = 0;
    uint64_t totalBytes = 0;  // whole blocks that hold the package
};

bool parseHeader(const std::vector<std::string>& lines, BlockMapHeader* header) {
    if (lines.size() < 4) {
        return false;
    }
    uint64_t sizes[2];
    uint64_t count;
    if (!parseNumbers(lines[1], sizes, 2) || !parseNumbers(lines[2], &count, 1)) {
        return false;
    }
    const uint64_t size = sizes[0];
    const uint64_t blockSize = sizes[1];
    if (size == 0 || blockSize == 0 || blockSize > kMaxMappedBytes) {
        return false;
    }
    const uint64_t blocks = (size - 1) / blockSize + 1;
    if (blocks > kMaxMappedBytes / blockSize) {
        return false;
    }
    if (count == 0 || lines.size() - 3 != count) {
        return false;
    }
    header->device = lines[0];
    header->size = size;
    header->blockSize = blockSize;
    header->rangeCount = count;
    header->totalBytes = blocks * blockSize;
    return true;
}

// Maps every range line into the reservation, in order. False at the first
// range that is malformed, overruns the package's blocks, lies past the end
// of the device or cannot be mapped.
bool mapRanges(const std::vector<std::string>& lines, const BlockMapHeader& header, int fd,
               unsigned char* reservation, std::vector<MappedRange>* ranges) {
    const off_t deviceEnd = lseek(fd, 0, SEEK_END);
    if (deviceEnd < 0) {
        return false;
    }
    const uint64_t deviceSize = static_cast<uint64_t>(deviceEnd);
    unsigned char* next = reservation;
    uint64_t remaining = header.totalBytes;
    for (uint64_t i = 0; i < header.rangeCount; ++i) {
        uint64_t blocks[2];
        if (!parseNumbers(lines[i + 3], blocks, 2)) {
            return false;
        }
        const uint64_t first = blocks[0];
        const uint64_t end = blocks[1];
        if (first >= end || end - first > kMaxMappedBytes / header.blockSize) {
            return false;
        }
        const uint64_t length = (end - first) * header.blockSize;
        if (length > remaining || end > kMaxDeviceOffset / header.blockSize) {
            return false;
        }
        const uint64_t offset = first * header.blockSize;
        // Package bytes past the end of the device would read as zeros or
        // kill the reader with SIGBUS; only the unused tail of the last block
        // may lie beyond it.
        const uint64_t viewOffset = header.totalBytes - remaining;
        const uint64_t used =
            viewOffset < header.size ? std::min(length, header.size - viewOffset) : 0;
        if (offset + used > deviceSize) {
            return false;
        }
        void* addr =
            mmap(next, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, static_cast<off_t>(offset));
        if (addr == MAP_FAILED) {
            return false;
        }
        (*ranges)[i] = MappedRange{addr, static_cast<size_t>(length)};
        next += length;
        remaining -= length;
    }
    return remaining == 0;
}

}  // namespace

int mapBlockMapFile(const char* mapPath, MemMapping* mapping) {
    std::string content;
    if (!android::base::ReadFileToString(mapPath, &content, false)) {
        return -1;
    }
    const std::vector<std::string> lines = android::base::Split(android::base::Trim(content), "\n");
    BlockMapHeader header;
    if (!parseHeader(lines, &header)) {
        return -1;
    }

    // One reservation without access rights holds the place of the whole
    // view, so the ranges land next to each other and one munmap undoes all.
    const size_t total = static_cast<size_t>(header.totalBytes);
    void* reserved = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED) {
        return -1;
    }
    const int fd = openBlockDevice(header.device.c_str());
    if (fd < 0) {
        munmap(reserved, total);
        return -1;
    }

    unsigned char* reservation = static_cast<unsigned char*>(reserved);
    mapping->ranges.resize(static_cast<size_t>(header.rangeCount));
    if (!mapRanges(lines, header, fd, reservation, &mapping->ranges)) {
        munmap(reserved, total);
        close(fd);
        // Nothing of the reservation is ours any more: a stray release must
        // not unmap addresses that someone else may since have been given.
        mapping->ranges.clear();
        return -1;
    }
    mapping->addr = reservation;
    mapping->length = static_cast<size_t>(header.size);
    close(fd);
    return 0;
}
