// The write log that QEMU's blklogwrites driver keeps of one run, in the
// kernel's dm-log-writes format: a super block, then one entry per completed
// write or flush, each entry in its own sector followed by its data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace board {

constexpr uint64_t kLogFlush = 1;
constexpr uint64_t kLogFua = 2;
constexpr uint64_t kLogDiscard = 4;
constexpr uint64_t kLogMark = 8;

struct LogEntry {
    uint64_t sector = 0;  // on the logged disk, in the log's sector size
    uint64_t sectors = 0;
    uint64_t flags = 0;
    uint64_t dataOffset = 0;  // where its data starts in the log file
};

struct WriteLog {
    std::string path;
    uint32_t sectorSize = 512;
    std::vector<LogEntry> entries;
};

bool isFlush(const LogEntry& e);
// A write that carries data onto the disk (not a bare flush, discard or mark).
bool isWrite(const LogEntry& e);

// Reads every entry. The super block's count is only updated now and then, so
// the entries are read until a zeroed one or the end of the file.
bool readWriteLog(const std::string& path, WriteLog* out, std::string* error);

// Applies the chosen entries (indices in log order) to the disk image.
bool replayEntries(const WriteLog& log, const std::vector<size_t>& chosen, const std::string& disk,
                   std::string* error);

}  // namespace board
