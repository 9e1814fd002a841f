// A scratch directory of the fuzzing process's own, and the few file chores
// every target does in it. Header-only: each target is one translation unit.
#pragma once

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_scratch {

// Removes `dir` and everything under it without following links.
inline void removeTree(const std::string& dir) {
    nftw(
        dir.c_str(),
        [](const char* name, const struct stat*, int, struct FTW*) { return remove(name), 0; }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// OTA_FUZZ_SCRATCH names where the directory is made (scripts/fuzz points it
// at a small private tmpfs); /tmp otherwise. Made once per process.
inline const std::string& directory() {
    static const std::string dir = [] {
        const char* base = getenv("OTA_FUZZ_SCRATCH");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/ota-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            perror("fuzz scratch directory");
            abort();
        }
        return pattern;
    }();
    // A run that ends normally leaves nothing behind; one that crashes keeps
    // the scratch files of the crashing input for a look.
    static const bool cleanedAtExit = atexit([] { removeTree(directory()); }) == 0;
    (void)cleanedAtExit;
    return dir;
}

inline std::string path(const char* name) {
    return directory() + "/" + name;
}

// Writes the bytes as the whole file; a failure here is the harness's, not
// the code's under test, so it aborts loudly.
inline void writeFile(const std::string& file, const void* data, size_t size) {
    FILE* out = fopen(file.c_str(), "wb");
    if (out == nullptr || (size > 0 && fwrite(data, 1, size, out) != size) || fclose(out) != 0) {
        perror(file.c_str());
        abort();
    }
}

}  // namespace fuzz_scratch
