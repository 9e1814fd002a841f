// bench-md5: how fast the MD5 check reads, next to the system's md5sum.
//
//   bench-md5 [--size-mib N] [--dir DIR]       hash an N MiB file (default 256) made in DIR
//   bench-md5 --device PATH [--size-mib N]     also hash the first N MiB of PATH and write
//                                              an N MiB image to it with the image writer
//
// --device writes the device: give it only a partition of a simulated set,
// inside the sandbox runner (upgrade-sandbox run SET -- .../bench-md5 --device
// /dev/mmcblk0p26 --size-mib 48).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "partition.h"

namespace {

constexpr long kMiB = 1048576;
constexpr int kRounds = 3;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Writes a file of pseudo-random content; false when it cannot.
bool makeFile(const std::string& path, long sizeMiB) {
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    std::vector<unsigned char> block(kMiB);
    uint32_t state = 12345;
    bool ok = true;
    for (long m = 0; m < sizeMiB && ok; ++m) {
        for (unsigned char& byte : block) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<unsigned char>(state >> 24);
        }
        ok = fwrite(block.data(), 1, block.size(), out) == block.size();
    }
    return fclose(out) == 0 && ok;
}

// md5sum of the first `bytes` bytes of a path (0: all of it) and the best time of the rounds.
std::string md5sumCommand(const std::string& path, long bytes, double* best) {
    std::string command = bytes == 0
                              ? "md5sum < '" + path + "'"
                              : "head -c " + std::to_string(bytes) + " '" + path + "' | md5sum";
    std::string hash;
    *best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        FILE* pipe = popen(command.c_str(), "r");
        char line[128] = {};
        if (pipe == nullptr || fgets(line, sizeof line, pipe) == nullptr) {
            if (pipe != nullptr) {
                pclose(pipe);
            }
            return std::string();
        }
        pclose(pipe);
        *best = std::min(*best, seconds(start));
        hash.assign(line, strnlen(line, 32));
    }
    return hash;
}

// Best time of checkMD5Sum over the rounds, or a negative number on a mismatch.
double checkTime(const std::string& path, const std::string& hash, int length) {
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        if (checkMD5Sum(path, hash, length) != 0) {
            return -1;
        }
        best = std::min(best, seconds(start));
    }
    return best;
}

void report(const char* what, long bytes, double secs) {
    printf("%-44s %8.1f MiB/s  (%ld MiB in %.3f s)\n", what,
           bytes / static_cast<double>(kMiB) / secs, bytes / kMiB, secs);
}

int hashBench(const std::string& path, long bytes, int length, const char* label) {
    double commandTime = 0;
    std::string hash = md5sumCommand(path, length, &commandTime);
    if (hash.size() != 32) {
        fprintf(stderr, "bench-md5: md5sum failed on %s\n", path.c_str());
        return 1;
    }
    double checkSecs = checkTime(path, hash, length);
    if (checkSecs < 0) {
        fprintf(stderr, "bench-md5: checkMD5Sum disagrees with md5sum on %s\n", path.c_str());
        return 1;
    }
    std::string ours = std::string("checkMD5Sum, ") + label;
    std::string theirs = std::string("md5sum command, ") + label;
    report(ours.c_str(), bytes, checkSecs);
    report(theirs.c_str(), bytes, commandTime);
    return 0;
}

int writeBench(const std::string& device, const std::string& image, long bytes) {
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        if (flashWriterBlock(device.c_str(), 0, image.c_str()) != 0) {
            fprintf(stderr, "bench-md5: the image writer failed on %s\n", device.c_str());
            return 1;
        }
        best = std::min(best, seconds(start));
    }
    report("flashWriterBlock to the device (with fsync)", bytes, best);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    long sizeMiB = 256;
    std::string dir = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    std::string device;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--size-mib" && i + 1 < argc) {
            sizeMiB = strtol(argv[++i], nullptr, 10);
        } else if (arg == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (arg == "--device" && i + 1 < argc) {
            device = argv[++i];
        } else {
            fprintf(stderr, "usage: bench-md5 [--size-mib N] [--dir DIR] [--device PATH]\n");
            return 2;
        }
    }
    if (sizeMiB <= 0 || sizeMiB >= 2048) {
        fprintf(stderr, "bench-md5: --size-mib must be 1..2047\n");
        return 2;
    }

    std::string path = dir + "/bench-md5.data";
    printf("bench-md5: making %ld MiB in %s\n", sizeMiB, path.c_str());
    if (!makeFile(path, sizeMiB)) {
        fprintf(stderr, "bench-md5: cannot write %s\n", path.c_str());
        return 1;
    }
    long bytes = sizeMiB * kMiB;
    int status = hashBench(path, bytes, 0, "whole file");
    if (status == 0 && !device.empty()) {
        status = writeBench(device, path, bytes);
        if (status == 0) {
            status =
                hashBench(device, bytes, static_cast<int>(bytes), "leading bytes of the device");
        }
    }
    unlink(path.c_str());
    return status;
}
