// Shared pieces of the archive tests: a private temporary directory, whole
// file reads and writes, and a look at the process's memory map to prove that
// a failed mapping left nothing behind.
#pragma once

#include "testing/files.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ota_test {

// A fresh directory under the test temp dir, removed with everything in it.
class ScopedTempDir {
public:
    ScopedTempDir() {
        std::string pattern = ::testing::TempDir() + "ota-archive-XXXXXX";
        char* made = mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr) << "mkdtemp " << pattern;
        char* real = made ? realpath(made, nullptr) : nullptr;
        m_path = real ? real : pattern;
        free(real);
    }
    ~ScopedTempDir() {
        const std::string command = "rm -rf '" + m_path + "'";
        if (system(command.c_str()) != 0) {
            ADD_FAILURE() << "could not remove " << m_path;
        }
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Names in a directory, "." and ".." left out, sorted.
inline std::set<std::string> listDir(const std::string& path) {
    std::set<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.insert(name);
            }
        }
        closedir(dir);
    }
    return names;
}

inline std::vector<std::string> memoryMapLines() {
    std::vector<std::string> lines;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline bool isFileMapped(const std::string& path) {
    for (const std::string& line : memoryMapLines()) {
        if (line.size() >= path.size() &&
            line.compare(line.size() - path.size(), path.size(), path) == 0) {
            return true;
        }
    }
    return false;
}

// Regions that appeared since `before` and look like a leftover of a mapping:
// an inaccessible reservation or a view of `file`.
inline std::vector<std::string> leftoverMappings(const std::vector<std::string>& before,
                                                 const std::string& file) {
    const std::set<std::string> old(before.begin(), before.end());
    std::vector<std::string> leftovers;
    for (const std::string& line : memoryMapLines()) {
        if (old.count(line) != 0) {
            continue;
        }
        // A package view is at most 4 GiB; the sanitizers' own inaccessible
        // regions, which come and go as their allocator grows, are larger.
        unsigned long long start = 0;
        unsigned long long end = 0;
        const bool parsed = sscanf(line.c_str(), "%llx-%llx", &start, &end) == 2;
        const bool reservation =
            parsed && line.find(" ---p ") != std::string::npos && end - start <= (1ull << 32);
        const bool ofFile = line.find(file) != std::string::npos;
        if (reservation || ofFile) {
            leftovers.push_back(line);
        }
    }
    return leftovers;
}

}  // namespace ota_test
