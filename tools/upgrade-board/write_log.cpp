#include "write_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "unique_fd.h"
#include "raw_read.h"

namespace board {

namespace {

constexpr uint64_t kLogMagic = 0x6a736677736872ULL;
constexpr uint64_t kLogVersion = 1;

bool writeAll(int fd, const void* buf, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, static_cast<const char*>(buf) + done, size - done,
                           offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool isFlush(const LogEntry& e) {
    return (e.flags & kLogFlush) != 0;
}
bool isWrite(const LogEntry& e) {
    return (e.flags & (kLogDiscard | kLogMark)) == 0 && e.sectors > 0;
}

bool readWriteLog(const std::string& path, WriteLog* out, std::string* error) {
    host::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    unsigned char super[28] = {};
    if (!host::preadAll(fd.get(), super, sizeof super, 0)) {
        *error = path + " holds no super block";
        return false;
    }
    if (host::le64(super) != kLogMagic || host::le64(super + 8) != kLogVersion) {
        *error = path + " is not a write log (bad magic or version)";
        return false;
    }
    out->path = path;
    out->sectorSize = host::le32(super + 24);
    if (out->sectorSize < 512 || (out->sectorSize & (out->sectorSize - 1)) != 0) {
        *error = path + ": bad sector size " + std::to_string(out->sectorSize);
        return false;
    }
    out->entries.clear();
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t pos = out->sectorSize;
    while (pos + 32 <= size) {
        unsigned char raw[32];
        if (!host::preadAll(fd.get(), raw, sizeof raw, pos)) break;
        LogEntry e;
        e.sector = host::le64(raw);
        e.sectors = host::le64(raw + 8);
        e.flags = host::le64(raw + 16);
        if (e.sector == 0 && e.sectors == 0 && e.flags == 0) break;
        e.dataOffset = pos + out->sectorSize;
        // A discard names a range but carries no data.
        uint64_t dataBytes = (e.flags & kLogDiscard) ? 0 : e.sectors * out->sectorSize;
        if (e.dataOffset + dataBytes > size) {
            *error = path + ": entry " + std::to_string(out->entries.size()) +
                     " runs past the end of the log";
            return false;
        }
        out->entries.push_back(e);
        pos = e.dataOffset + dataBytes;
    }
    return true;
}

bool replayEntries(const WriteLog& log, const std::vector<size_t>& chosen, const std::string& disk,
                   std::string* error) {
    host::UniqueFd in(open(log.path.c_str(), O_RDONLY | O_CLOEXEC));
    host::UniqueFd outFd(open(disk.c_str(), O_WRONLY | O_CLOEXEC));
    if (!in.valid() || !outFd.valid()) {
        *error = "cannot open " + (in.valid() ? disk : log.path) + ": " + strerror(errno);
        return false;
    }
    std::vector<char> buf;
    for (size_t index : chosen) {
        const LogEntry& e = log.entries.at(index);
        if ((e.flags & kLogMark) != 0 || e.sectors == 0) continue;
        size_t bytes = static_cast<size_t>(e.sectors * log.sectorSize);
        buf.assign(bytes, 0);
        // A discarded range reads back as zeros on this device.
        if ((e.flags & kLogDiscard) == 0 &&
            !host::preadAll(in.get(), buf.data(), bytes, e.dataOffset)) {
            *error = "cannot read entry " + std::to_string(index) + " of " + log.path;
            return false;
        }
        if (!writeAll(outFd.get(), buf.data(), bytes,
                      static_cast<off_t>(e.sector * log.sectorSize))) {
            *error = "cannot write " + disk + ": " + strerror(errno);
            return false;
        }
    }
    if (fsync(outFd.get()) != 0) {
        *error = "cannot sync " + disk + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace board
