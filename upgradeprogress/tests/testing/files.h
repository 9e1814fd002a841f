// File helpers every suite shares: whole-file reads and writes, a look at a
// path that does not follow links, reproducible content, and a private
// scratch directory.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace ota_test {

// True when anything is at `path`, a dangling symbolic link included.
inline bool pathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Creates or truncates `path` and writes `bytes`; false on any failure.
inline bool writeFile(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

// The whole file into `bytes`; false when it cannot be read.
inline bool readFile(const std::string& path, std::string* bytes) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    bytes->clear();
    char buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->append(buffer, got);
    }
    const bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

// The whole file, or "<missing>" when it cannot be read, so that a missing
// file never passes for an expected empty one.
inline std::string readFile(const std::string& path) {
    std::string bytes;
    return readFile(path, &bytes) ? bytes : std::string("<missing>");
}

// Bytes that differ from position to position and between seeds and compress
// only a little, so that a misplaced or repeated block cannot match by chance.
inline std::string patternBytes(size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

// A directory of the test's own under $TMPDIR (or /tmp), named after
// `prefix`, removed with all it holds when the test ends. Links inside it are
// removed, never followed. path() is empty when it could not be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "ota-test") {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                              prefix + ".XXXXXX";
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // A folder `name` inside it, made when it is not there yet.
    std::string sub(const std::string& name) const {
        const std::string dir = file(name);
        mkdir(dir.c_str(), 0755);
        return dir;
    }

private:
    std::string path_;
};

}  // namespace ota_test
