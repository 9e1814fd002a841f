#include "verify_partitions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_util.h"
#include "ground.h"
#include "package.h"
#include "sandbox_set.h"

namespace mpp {

namespace {

constexpr size_t kChunk = 1 << 20;

// Reads up to `size` bytes at `offset`, short only at the end of the file.
ssize_t readChunk(int fd, char* data, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool writeChunk(int fd, const char* data, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A partition is mostly holes: the runner makes it sparse and an image fills
// only its start. Zero chunks stay holes in the copy.
bool copySparse(const std::string& from, const std::string& to) {
    UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!in.valid() || !out.valid()) return false;
    std::vector<char> buf(kChunk);
    off_t offset = 0;
    for (;;) {
        ssize_t got = readChunk(in.get(), buf.data(), buf.size(), offset);
        if (got < 0) return false;
        if (got == 0) break;
        bool zero = std::all_of(buf.begin(), buf.begin() + got, [](char c) { return c == 0; });
        if (!zero && !writeChunk(out.get(), buf.data(), static_cast<size_t>(got), offset))
            return false;
        offset += got;
    }
    return ftruncate(out.get(), offset) == 0;
}

// 1: the files differ, 0: they are the same bytes, -1: one cannot be read.
int filesDiffer(const std::string& a, const std::string& b) {
    UniqueFd fa(open(a.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd fb(open(b.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fa.valid() || !fb.valid()) return -1;
    std::vector<char> ba(kChunk), bb(kChunk);
    for (off_t offset = 0;; offset += static_cast<off_t>(kChunk)) {
        ssize_t ga = readChunk(fa.get(), ba.data(), kChunk, offset);
        ssize_t gb = readChunk(fb.get(), bb.data(), kChunk, offset);
        if (ga < 0 || gb < 0) return -1;
        if (ga != gb || memcmp(ba.data(), bb.data(), static_cast<size_t>(ga)) != 0) return 1;
        if (ga == 0) return 0;
    }
}

const char* deviceOf(const char* name) {
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
        if (strcmp(p.name, name) == 0) return p.device;
    }
    return nullptr;
}

}  // namespace

std::string setPartitionImage(const std::string& setDir, const char* device) {
    return sandbox::imagePath(setDir, sandbox::deviceName(device));
}

namespace {

// Copies `from` into `to` from its start, chunk by chunk; with `truncate`,
// `to` ends where `from` does, else the rest of `to` stays as it was.
bool copyFrom(const std::string& from, const std::string& to, bool truncate) {
    UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644));
    if (!in.valid() || !out.valid()) return false;
    std::vector<char> buf(kChunk);
    for (off_t offset = 0;;) {
        ssize_t got = readChunk(in.get(), buf.data(), buf.size(), offset);
        if (got < 0) return false;
        if (got == 0) return true;
        if (!writeChunk(out.get(), buf.data(), static_cast<size_t>(got), offset)) return false;
        offset += got;
    }
}

}  // namespace

bool copyOver(const std::string& from, const std::string& to) {
    return copyFrom(from, to, false);
}

bool copyWhole(const std::string& from, const std::string& to) {
    return copyFrom(from, to, true);
}

std::string keepInstalledPartitions(const std::string& setDir, const std::string& keepDir) {
    if (mkdir(keepDir.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot make " + keepDir + ": " + strerror(errno);
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
        if (!copySparse(setPartitionImage(setDir, p.device), keepDir + "/" + p.name + ".img"))
            return std::string("cannot keep a copy of the installed ") + p.name;
    }
    return std::string();
}

std::string changedPartitions(const std::string& setDir, const std::string& keepDir,
                              std::vector<std::string>* changed) {
    changed->clear();
    for (const char* name : ota_format::kRunOrder) {
        const char* device = deviceOf(name);
        if (device == nullptr) return std::string("no device for ") + name;
        int differs = filesDiffer(setPartitionImage(setDir, device), keepDir + "/" + name + ".img");
        if (differs < 0) return std::string("cannot compare ") + name + " with its installed image";
        if (differs > 0) changed->push_back(name);
    }
    return std::string();
}

}  // namespace mpp
