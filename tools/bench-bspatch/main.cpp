// bench-bspatch: how fast the program's patch applier rebuilds a 10 MiB part,
// next to the system's bspatch command on the very same files.
//
//   bench-bspatch [RUNS]      (default 5 runs per case; the median is shown)
//
// Two patches are made with /usr/bin/bsdiff from one old part: a few scattered
// edits (the common update) and a heavily changed part (most blocks rewritten
// or shifted). Every result is compared with the expected new part before its
// time counts. MB/s is new-part bytes (10^6) per second, once of wall time and
// once of CPU time (user + system) of the process that applied the patch;
// the CPU figure holds steady on a busy machine, the wall figure does not.
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bspatch.h"
#include "run_child.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t kPartSize = 10 * 1024 * 1024;
constexpr size_t kBlock = 4096;

// A fixed xorshift sequence: every run, on every machine, benchmarks the same
// parts, so figures taken on different days stay comparable.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    void fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            out[i] = static_cast<uint8_t>(next() >> 32);
        }
    }

private:
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    uint64_t state_;
};

// A fresh directory under $TMPDIR (or /tmp) for the parts and patches,
// removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                              "/bench-bspatch.XXXXXX";
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            nftw(path_.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    static int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
        return remove(path);
    }
    std::string path_;
};

bool writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

// The whole file; empty when it cannot be read.
Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Old part shaped like a slice of a file-system image: compressed data,
// empty blocks, and tables of little-endian words.
Bytes makeOldPart(Rng& rng) {
    Bytes part(kPartSize);
    for (size_t at = 0; at < part.size(); at += kBlock) {
        switch (rng.below(4)) {
            case 0:
                break;  // empty block
            case 1:
                for (size_t i = 0; i < kBlock; i += 4) {
                    const uint32_t word =
                        0x00400000u + static_cast<uint32_t>(rng.below(0x10000)) * 4;
                    for (int b = 0; b < 4; ++b) {
                        part[at + i + b] = static_cast<uint8_t>(word >> (8 * b));
                    }
                }
                break;
            default:
                rng.fill(&part[at], kBlock);
        }
    }
    return part;
}

Bytes fewEdits(Rng& rng, const Bytes& old) {
    Bytes part = old;
    for (int edit = 0; edit < 16; ++edit) {
        rng.fill(&part[rng.below(part.size() - 32)], 1 + rng.below(32));
    }
    return part;
}

// Most blocks change: a third rewritten, the word tables relocated (every
// word moves by the same amount, as code does when a library grows), and
// blocks inserted and dropped so that the rest shifts.
Bytes heavyChanges(Rng& rng, const Bytes& old) {
    Bytes part;
    part.reserve(old.size() + old.size() / 8);
    Bytes block(kBlock);
    for (size_t at = 0; at < old.size(); at += kBlock) {
        std::copy(old.begin() + at, old.begin() + at + kBlock, block.begin());
        const size_t roll = rng.below(100);
        if (roll < 33) {
            rng.fill(block.data(), kBlock);
        } else if (roll < 80) {
            for (size_t i = 0; i < kBlock; i += 4) {
                uint32_t word = block[i] | block[i + 1] << 8 | block[i + 2] << 16 |
                                uint32_t{block[i + 3]} << 24;
                word += 0x3a0;
                for (int b = 0; b < 4; ++b) {
                    block[i + b] = static_cast<uint8_t>(word >> (8 * b));
                }
            }
        }
        if (roll % 17 == 0) {
            continue;  // dropped
        }
        part.insert(part.end(), block.begin(), block.end());
        if (roll % 13 == 0) {
            const size_t extra = part.size();
            part.resize(extra + 1 + rng.below(kBlock));
            rng.fill(&part[extra], part.size() - extra);
        }
    }
    return part;
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs a command to its end; `cpu` receives the child's user + system time.
bool runCommand(const std::vector<std::string>& args, double* cpu = nullptr) {
    host::ChildOptions options;
    options.inheritOutput = true;
    const host::ChildResult run = host::runChild(args, options);
    if (cpu != nullptr) {
        *cpu = run.cpuSeconds;
    }
    return run.succeeded();
}

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Case {
    const char* name;
    Bytes expected;
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const ScratchDir dir;
    if (!dir.ok()) {
        perror("mkdtemp");
        return 1;
    }
    const std::string oldPath = dir.file("old");

    Rng rng(2024);
    const Bytes old = makeOldPart(rng);
    std::vector<Case> cases;
    cases.push_back({"few scattered edits", fewEdits(rng, old)});
    cases.push_back({"heavily changed", heavyChanges(rng, old)});
    if (!writeFile(oldPath, old)) {
        fprintf(stderr, "cannot write %s\n", oldPath.c_str());
        return 1;
    }

    printf("old part %zu bytes, %d runs per case, median shown\n", old.size(), runs);
    printf("%-20s %9s %8s | %-26s | %-26s\n", "", "", "", "  program's applier",
           "  system bspatch");
    printf("%-20s %9s %8s | %6s %6s %6s %6s | %6s %6s %6s %6s\n", "case", "new size", "patch",
           "wall s", "MB/s", "cpu s", "MB/s", "wall s", "MB/s", "cpu s", "MB/s");
    int status = 0;
    for (const Case& c : cases) {
        const std::string refPath = dir.file("ref"), patchPath = dir.file("patch");
        const std::string ownPath = dir.file("own"), systemPath = dir.file("system");
        if (!writeFile(refPath, c.expected)) {
            fprintf(stderr, "cannot write %s\n", refPath.c_str());
            status = 1;
            continue;
        }
        if (!runCommand({"/usr/bin/bsdiff", oldPath, refPath, patchPath})) {
            fprintf(stderr, "bsdiff failed for %s\n", c.name);
            status = 1;
            continue;
        }
        const size_t patchSize = readFile(patchPath).size();

        std::vector<double> own, ownCpu, system, systemCpu;
        bool exact = true;
        for (int run = 0; run < runs; ++run) {
            remove(ownPath.c_str());
            remove(systemPath.c_str());
            const double cpuStart = processCpuSeconds();
            Clock::time_point start = Clock::now();
            bspatch(oldPath.c_str(), ownPath.c_str(), patchPath.c_str());
            own.push_back(seconds(start));
            ownCpu.push_back(processCpuSeconds() - cpuStart);
            double childCpu = 0;
            start = Clock::now();
            const bool ran =
                runCommand({"/usr/bin/bspatch", oldPath, systemPath, patchPath}, &childCpu);
            system.push_back(seconds(start));
            systemCpu.push_back(childCpu);
            exact = exact && ran && readFile(ownPath) == c.expected &&
                    readFile(systemPath) == c.expected;
        }
        if (!exact) {
            fprintf(stderr, "%s: a result differs from the expected new part\n", c.name);
            status = 1;
            continue;
        }
        const double mb = static_cast<double>(c.expected.size()) / 1e6;
        printf("%-20s %9zu %8zu | %6.3f %6.1f %6.3f %6.1f | %6.3f %6.1f %6.3f %6.1f\n", c.name,
               c.expected.size(), patchSize, median(own), mb / median(own), median(ownCpu),
               mb / median(ownCpu), median(system), mb / median(system), median(systemCpu),
               mb / median(systemCpu));
    }
    return status;
}
