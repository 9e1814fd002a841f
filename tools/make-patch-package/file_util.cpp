#include "file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace mpp {

bool readAt(int fd, void* data, size_t size, off_t offset) {
    char* out = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = pread(fd, out, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        size -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

bool writeWholeFile(const std::string& path, const void* data, size_t size) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return false;
    }
    const char* in = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = write(fd.get(), in, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        in += put;
        size -= static_cast<size_t>(put);
    }
    return close(fd.release()) == 0;
}

long long regularFileSize(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

WorkDir::~WorkDir() {
    if (path_.empty()) {
        return;
    }
    // Only flat files are ever made here.
    if (DIR* dir = opendir(path_.c_str())) {
        std::vector<std::string> names;
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
        for (const std::string& name : names) {
            unlink((path_ + "/" + name).c_str());
        }
    }
    rmdir(path_.c_str());
}

bool WorkDir::create() {
    const char* base = getenv("TMPDIR");
    std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
    pattern += "/make-patch-package.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        return false;
    }
    path_ = buffer.data();
    return true;
}

}  // namespace mpp
