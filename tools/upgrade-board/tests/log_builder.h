// Writes logs in the dm-log-writes format, as QEMU's blklogwrites does, so
// the reader is tested on files laid out byte by byte as documented.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// `count` 512-byte sectors of `fill`.
inline std::string sectors(char fill, size_t count) {
    return std::string(512 * count, fill);
}

struct BuiltEntry {
    uint64_t sector;
    uint64_t flags;
    std::string data;  // a whole number of 512-byte sectors; for a discard, its length only
};

inline void putLe64(std::string* out, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        (*out)[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// superCount: what the super block claims (QEMU updates it only now and then).
inline std::string buildLog(const std::vector<BuiltEntry>& entries, uint64_t superCount,
                            bool zeroedTail) {
    std::string log(512, '\0');
    putLe64(&log, 0, 0x6a736677736872ULL);
    putLe64(&log, 8, 1);
    putLe64(&log, 16, superCount);
    log[24] = 0;
    log[25] = 2;  // sector size 512, little-endian 32 bits
    for (const BuiltEntry& e : entries) {
        std::string header(512, '\0');
        putLe64(&header, 0, e.sector);
        putLe64(&header, 8, e.data.size() / 512);
        putLe64(&header, 16, e.flags);
        log += header;
        if ((e.flags & 4) == 0) log += e.data;
    }
    if (zeroedTail) log += std::string(4096, '\0');
    return log;
}
