// Small owners and whole-buffer I/O for the builder's files.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace mpp {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
bool readAt(int fd, void* data, size_t size, off_t offset);

// Creates (or truncates) `path` and writes `size` bytes into it.
bool writeWholeFile(const std::string& path, const void* data, size_t size);

// Size of a regular file, or -1 when it does not exist or is no regular file.
long long regularFileSize(const std::string& path);

// A private directory for the builder's scratch files, emptied and removed
// when the owner goes.
class WorkDir {
public:
    WorkDir() = default;
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    // Makes a fresh directory below $TMPDIR (or /tmp); false on failure.
    bool create();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace mpp
