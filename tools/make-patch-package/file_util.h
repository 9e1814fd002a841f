// Small owners and whole-buffer I/O for the builder's files.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "unique_fd.h"

namespace mpp {

using host::UniqueFd;

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
