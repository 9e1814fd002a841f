// bench-md5: how fast the MD5 check reads, next to the system's md5sum.
//
//   bench-md5 [--size-mib N] [--dir DIR]       hash an N MiB file (default 256) made in DIR
//   bench-md5 --device PATH [--size-mib N]     also hash the first N MiB of PATH and write
//                                              an N MiB image to it with the image writer
//   --rounds R                                 best of R rounds of each (default 3)
//
// With --device it then times the final check's read-back, md5OfDevice over
// the first N MiB (past the page cache where the device allows it), next to
// `head -c N PATH | md5sum`, `dd iflag=direct ... | md5sum` and the buffered
// checkMD5Sum over the same bytes, in seconds per GiB. Each is timed cold
// (the page cache dropped before every round, when this process may drop it)
// and warm (right after a read of the same bytes).
//
// --device writes the device: give it only a partition of a simulated set,
// inside the sandbox runner (upgrade-sandbox run SET -- .../bench-md5 --device
// /dev/mmcblk0p26 --size-mib 48).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "partition.h"

namespace {

constexpr long kMiB = 1048576;
constexpr double kGiB = 1073741824.0;
int roundsOfEach = 3;  // best of so many rounds; --rounds

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

// The hash a shell command ending in md5sum prints; empty when it fails.
std::string md5sumOnce(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    char line[128] = {};
    if (pipe == nullptr) {
        return std::string();
    }
    const bool got = fgets(line, sizeof line, pipe) != nullptr;
    if (pclose(pipe) != 0 || !got) {
        return std::string();
    }
    return std::string(line, strnlen(line, 32));
}

// md5sum of the first `bytes` bytes of a path (0: all of it) and the best time of the rounds.
std::string md5sumCommand(const std::string& path, long bytes, double* best) {
    std::string command = bytes == 0
                              ? "md5sum < '" + path + "'"
                              : "head -c " + std::to_string(bytes) + " '" + path + "' | md5sum";
    std::string hash;
    *best = 1e30;
    for (int round = 0; round < roundsOfEach; ++round) {
        auto start = std::chrono::steady_clock::now();
        hash = md5sumOnce(command);
        if (hash.size() != 32) {
            return std::string();
        }
        *best = std::min(*best, seconds(start));
    }
    return hash;
}

// Best time of checkMD5Sum over the rounds, or a negative number on a mismatch.
double checkTime(const std::string& path, const std::string& hash, int length) {
    double best = 1e30;
    for (int round = 0; round < roundsOfEach; ++round) {
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
    for (int round = 0; round < roundsOfEach; ++round) {
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

// Drops the machine's clean page cache, the loop device's pages and those
// of the image file behind it included, so that the next read of the device
// comes from the disk. It needs root outside a user namespace; false when
// the kernel refuses.
bool dropPageCache() {
    sync();
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool dropped = write(fd, "1\n", 2) == 2;
    close(fd);
    return dropped;
}

// One way of reading the bytes under test: their MD5 as hex, empty on failure.
struct DeviceRead {
    std::string label;
    std::function<std::string()> read;
};

// Best seconds of the rounds of `how`, each cold (cache dropped first) or
// warm; negative when a round fails or disagrees with `expected`.
double bestRead(const DeviceRead& how, bool cold, const std::string& expected) {
    double best = 1e30;
    if (!cold && how.read() != expected) {  // the warming read
        return -1;
    }
    for (int round = 0; round < roundsOfEach; ++round) {
        if (cold && !dropPageCache()) {
            return -1;
        }
        auto start = std::chrono::steady_clock::now();
        const std::string hash = how.read();
        const double secs = seconds(start);
        if (hash != expected) {
            fprintf(stderr, "bench-md5: %s read %s, expected %s\n", how.label.c_str(),
                    hash.empty() ? "nothing" : hash.c_str(), expected.c_str());
            return -1;
        }
        best = std::min(best, secs);
    }
    return best;
}

// The final check's read-back of the first `bytes` of the device, next to
// md5sum and the buffered check over the same bytes.
int finalCheckBench(const std::string& device, long bytes) {
    std::string expected;
    bool direct = false;
    if (!md5OfDevice(device, 0, static_cast<uint64_t>(bytes), &expected, &direct)) {
        fprintf(stderr, "bench-md5: md5OfDevice cannot read %ld MiB of %s\n", bytes / kMiB,
                device.c_str());
        return 1;
    }
    const std::string quoted = "'" + device + "'";
    const std::vector<DeviceRead> reads = {
        {std::string("md5OfDevice (") + (direct ? "O_DIRECT" : "buffered: O_DIRECT refused") + ")",
         [&] {
             std::string md5;
             bool directNow = false;
             if (!md5OfDevice(device, 0, static_cast<uint64_t>(bytes), &md5, &directNow) ||
                 directNow != direct) {
                 return std::string();
             }
             return md5;
         }},
        {"head -c | md5sum (buffered)",
         [&] {
             return md5sumOnce("head -c " + std::to_string(bytes) + " " + quoted + " | md5sum");
         }},
        {"dd iflag=direct bs=1M | md5sum",
         [&] {
             return md5sumOnce("dd if=" + quoted + " bs=1M count=" + std::to_string(bytes / kMiB) +
                               " iflag=direct status=none | md5sum");
         }},
        {"checkMD5Sum (buffered)",
         [&] {
             return checkMD5Sum(device, expected, static_cast<int>(bytes)) == 0 ? expected
                                                                                : std::string();
         }},
    };

    const bool canDrop = dropPageCache();
    printf("final check read of the first %ld MiB of %s, best of %d rounds:\n", bytes / kMiB,
           device.c_str(), roundsOfEach);
    if (canDrop) {
        printf(
            "  cold: the page cache dropped before each round (the image file behind a\n"
            "  loop device included); warm: right after a read of the same bytes\n");
    } else {
        printf(
            "  the page cache cannot be dropped here: every read is warm, served from\n"
            "  the page cache (for a loop device, that of the image file behind it)\n");
    }
    for (bool cold : {true, false}) {
        if (cold && !canDrop) {
            continue;
        }
        for (const DeviceRead& how : reads) {
            const double secs = bestRead(how, cold, expected);
            if (secs < 0) {
                fprintf(stderr, "bench-md5: %s failed\n", how.label.c_str());
                return 1;
            }
            printf("  %-36s %-5s %7.3f s/GiB  (%.3f s)\n", how.label.c_str(),
                   cold ? "cold" : "warm", secs / (bytes / kGiB), secs);
        }
    }
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
        } else if (arg == "--rounds" && i + 1 < argc) {
            roundsOfEach = static_cast<int>(strtol(argv[++i], nullptr, 10));
        } else {
            fprintf(stderr,
                    "usage: bench-md5 [--size-mib N] [--dir DIR] [--device PATH] [--rounds R]\n");
            return 2;
        }
    }
    if (roundsOfEach < 1 || roundsOfEach > 100) {
        fprintf(stderr, "bench-md5: --rounds must be 1..100\n");
        return 2;
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
        if (status == 0) {
            status = finalCheckBench(device, bytes);
        }
    }
    unlink(path.c_str());
    return status;
}
