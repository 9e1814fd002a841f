// Small file helpers shared by the partition and staging tests: scratch
// directories, reproducible content, whole-file reads, and the system's own
// md5sum as the reference checksum.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/files.h"

namespace ota_test {

// Partition contents as the shared helpers read and write them.
using Bytes = std::string;

// A fresh directory, ending in '/', on tmpfs where the machine has one: the
// set stages and patches in a tmpfs /tmp, and fsync there costs nothing.
inline std::string makeTempDir(const std::string& tag) {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : ::testing::TempDir();
    std::string pattern = base + tag + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern;
        return std::string();
    }
    return std::string(name.data()) + "/";
}

inline void removeTree(const std::string& dir) {
    if (!dir.empty()) {
        std::string command = "rm -rf '" + dir + "'";
        if (system(command.c_str()) != 0) {
            ADD_FAILURE() << command;
        }
    }
}

// Bytes [offset, offset + size) of a file or block device, read with pread.
inline Bytes readRange(const std::string& path, off_t offset, size_t size) {
    Bytes bytes(size, '\0');
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path;
        return Bytes();
    }
    size_t done = 0;
    while (done < size) {
        ssize_t got =
            pread(fd, bytes.data() + done, size - done, offset + static_cast<off_t>(done));
        if (got <= 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    close(fd);
    bytes.resize(done);
    return bytes;
}

// Writes bytes at an offset of an existing file or block device, durably.
inline void writeRange(const std::string& path, off_t offset, const Bytes& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "open " << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(fsync(fd), 0);
    close(fd);
}

// The checksum md5sum prints for the output of a shell command.
inline std::string md5sumOf(const std::string& shellInput) {
    std::string command = shellInput + " | md5sum";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << command;
        return std::string();
    }
    char line[128] = {};
    if (fgets(line, sizeof line, pipe) == nullptr) {
        line[0] = '\0';
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    std::string hash(line);
    return hash.substr(0, hash.find(' '));
}

}  // namespace ota_test
