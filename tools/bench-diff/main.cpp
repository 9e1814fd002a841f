// bench-diff: the builder's own patch maker side by side with Debian's
// bsdiff on the same 10 MiB parts, then whole packages built with it.
//
//   bench-diff [--cap SECONDS] [--parts N] [--before BENCH_DIFF]
//              [--binary-corpus DIR] [--streams] [--no-packages | --only-packages]
//
// The corpus is made here, in a scratch directory under $TMPDIR: random
// data with scattered edits, a part of zeros but a few blocks, a part
// shifted by a few bytes, and ext4 images made with mkfs.ext4 -d from this
// machine's Python library, locale files and Perl library, with a few
// percent of the files edited (N changed parts of each, default all).
// Every diff runs in a child of its own, so its CPU time (user + system)
// and peak memory (maximum resident set) are the child's alone; the parts
// wait on disk meanwhile, since a forked child starts out with the
// benchmark's own resident pages. A part is diffed three times by each tool
// and the median CPU time shown, unless Debian's first run takes over 10 s;
// Debian's bsdiff gets at most SECONDS of CPU per run (default 60) and
// shows as "> cap" past it. Each patch of the built-in maker is applied
// with Debian's bspatch and with the set's applier and compared with the
// new part before it counts.
//
// --before names the bench-diff of an older build: its maker is measured on
// the same parts, so one run compares the two makers. --binary-corpus names
// a directory holding old.img and new.img of rebuilt binaries (see
// scripts/make-armhf-corpus), whose changed parts are a corpus of their own.
// --streams adds a line under each part: the compressed sizes of the
// control, diff and extra streams and the number of triples, Debian's
// patch next to ours, and the totals of each per corpus: where the bytes
// go. Per corpus the totals follow: patch bytes of each maker over the parts
// Debian's finishes within its cap, their ratio to Debian's, CPU per part
// and the largest peak memory of a job.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <bzlib.h>

#include "bsdiff_gen.h"
#include "bspatch.h"
#include "corpus.h"
#include "run_child.h"

namespace {

namespace fs = std::filesystem;
using diff_corpus::Bytes;
using diff_corpus::PartPair_T;

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kPart = 10 * kMiB;
constexpr size_t kImage = 64 * kMiB;

struct Settings_T {
    int capSeconds = 60;
    int partsPerImage = 7;
    bool packages = true;
    bool parts = true;
    bool streams = false;      // a line per part on the three streams
    std::string before;        // bench-diff of an older build, or empty
    std::string binaryCorpus;  // directory with old.img and new.img, or empty
};

struct DiffRun_T {
    bool finished = false;
    bool capped = false;
    double cpuSeconds = 0;
    double peakMb = 0;
    long long patchSize = 0;
};

std::string selfPath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return std::string();
    }
    path[length] = '\0';
    return path;
}

// Runs argv in a child limited to `capSeconds` of CPU (0: no limit). The
// child's peak memory counts the pages it was started with, so callers keep
// their parts on disk, not in memory, while it runs.
DiffRun_T runMeasured(const std::vector<std::string>& argv, int capSeconds,
                      const std::string& patchPath) {
    DiffRun_T run;
    unlink(patchPath.c_str());
    host::ChildOptions options;
    options.inheritOutput = true;
    options.cpuLimitSeconds = capSeconds;
    const host::ChildResult child = host::runChild(argv, options);
    if (!child.started || child.status < 0) {
        return run;
    }
    run.cpuSeconds = child.cpuSeconds;
    run.peakMb = static_cast<double>(child.peakKiB) / 1024.0;  // MiB
    run.capped = child.status == 128 + SIGXCPU || child.status == 128 + SIGKILL;
    run.finished = child.status == 0;
    struct stat st;
    if (run.finished && stat(patchPath.c_str(), &st) == 0) {
        run.patchSize = static_cast<long long>(st.st_size);
    } else {
        run.finished = false;
    }
    return run;
}

// The child side of a built-in diff: a process of its own, so that its peak
// memory is the maker's and not the benchmark's.
int diffOne(const char* oldPath, const char* newPath, const char* patchPath) {
    const Bytes oldPart = diff_corpus::readFile(oldPath);
    const Bytes newPart = diff_corpus::readFile(newPath);
    Bytes patch;
    const std::string error = bsdiff_gen::makePatch(oldPart.data(), oldPart.size(), newPart.data(),
                                                    newPart.size(), &patch);
    if (!error.empty()) {
        fprintf(stderr, "bench-diff: %s\n", error.c_str());
        return 1;
    }
    return diff_corpus::writeFile(patchPath, patch) ? 0 : 1;
}

bool sameFiles(const std::string& one, const std::string& other) {
    return diff_corpus::readFile(one) == diff_corpus::readFile(other);
}

// Both appliers that will read a patch: Debian's bspatch and the set's own,
// which ends its process on a bad patch and so runs in a child.
bool rebuildsWithBothAppliers(const std::string& dir) {
    host::ChildOptions quiet;
    quiet.outputFile = "/dev/null";
    if (!host::runChild({"bspatch", dir + "/old", dir + "/check", dir + "/ours.patch"}, quiet)
             .succeeded() ||
        !sameFiles(dir + "/check", dir + "/new")) {
        return false;
    }
    const std::string oldPath = dir + "/old";
    const std::string outPath = dir + "/check-set";
    const std::string patchPath = dir + "/ours.patch";
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(bspatch(oldPath.c_str(), outPath.c_str(), patchPath.c_str()) == 0 ? 0 : 3);
    }
    int status = 0;
    const bool applied =
        pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return applied && sameFiles(outPath, dir + "/new");
}

// CPU time: the median of the runs; peak memory: the largest of them.
DiffRun_T medianOf(const std::vector<DiffRun_T>& runs) {
    DiffRun_T result = runs[0];
    std::vector<double> cpu;
    for (const DiffRun_T& run : runs) {
        cpu.push_back(run.cpuSeconds);
        result.peakMb = std::max(result.peakMb, run.peakMb);
        result.finished = result.finished && run.finished;
    }
    std::sort(cpu.begin(), cpu.end());
    result.cpuSeconds = cpu[cpu.size() / 2];
    return result;
}

// Where a patch's bytes go: its three compressed streams, from the
// lengths in its header, and the number of control triples.
struct Streams_T {
    long long control = 0;
    long long diff = 0;
    long long extra = 0;
    long long triples = 0;
    void add(const Streams_T& other) {
        control += other.control;
        diff += other.diff;
        extra += other.extra;
        triples += other.triples;
    }
};

long long readOfftout(const Bytes& bytes, size_t at) {
    long long value = bytes[at + 7] & 0x7f;
    for (int i = 6; i >= 0; --i) {
        value = value * 256 + bytes[at + static_cast<size_t>(i)];
    }
    return (bytes[at + 7] & 0x80) != 0 ? -value : value;
}

// False when the file is no BSDIFF40 patch.
bool readStreams(const std::string& path, Streams_T* streams) {
    const Bytes patch = diff_corpus::readFile(path);
    if (patch.size() < 32 || std::memcmp(patch.data(), "BSDIFF40", 8) != 0) {
        return false;
    }
    streams->control = readOfftout(patch, 8);
    streams->diff = readOfftout(patch, 16);
    streams->extra = static_cast<long long>(patch.size()) - 32 - streams->control - streams->diff;
    if (streams->control < 0 || streams->diff < 0 || streams->extra < 0) {
        return false;
    }
    // A triple is 24 bytes once decompressed.
    Bytes controls(1 << 20);
    while (true) {
        unsigned int length = static_cast<unsigned int>(controls.size());
        const int status = BZ2_bzBuffToBuffDecompress(
            reinterpret_cast<char*>(controls.data()), &length,
            const_cast<char*>(reinterpret_cast<const char*>(patch.data() + 32)),
            static_cast<unsigned int>(streams->control), 0, 0);
        if (status == BZ_OUTBUFF_FULL && controls.size() < (1u << 30)) {
            controls.resize(controls.size() * 4);
            continue;
        }
        streams->triples = status == BZ_OK ? length / 24 : -1;
        return status == BZ_OK;
    }
}

// One maker's sums over the parts of a corpus.
struct MakerTotals_T {
    long long bytes = 0;          // over every part
    long long comparedBytes = 0;  // over the parts Debian's finished
    double cpu = 0;
    double worstCpu = 0;
    double worstPeakMb = 0;
    void add(const DiffRun_T& run, bool compared) {
        bytes += run.patchSize;
        comparedBytes += compared ? run.patchSize : 0;
        cpu += run.cpuSeconds;
        worstCpu = std::max(worstCpu, run.cpuSeconds);
        worstPeakMb = std::max(worstPeakMb, run.peakMb);
    }
};

struct CorpusTotals_T {
    int parts = 0;
    int compared = 0;         // parts Debian's finished within its cap
    int failed = 0;           // parts whose built-in patch was not made or did not rebuild
    Streams_T debianStreams;  // over the parts Debian's finished
    Streams_T ourStreams;     // over the same parts
    MakerTotals_T debian;
    MakerTotals_T before;
    MakerTotals_T ours;
};

struct Totals_T {
    // By corpus name, in the order they are first benched.
    std::vector<std::string> order;
    std::map<std::string, CorpusTotals_T> corpora;
    int failures = 0;
    CorpusTotals_T& corpus(const std::string& name) {
        if (corpora.find(name) == corpora.end()) {
            order.push_back(name);
        }
        return corpora[name];
    }
};

std::string cell(double value, const char* format) {
    char text[32];
    snprintf(text, sizeof(text), format, value);
    return text;
}

std::string describe(const Streams_T& streams) {
    char text[96];
    snprintf(text, sizeof(text), "%lld/%lld/%lld, %lld", streams.control, streams.diff,
             streams.extra, streams.triples);
    return text;
}

// Diffs DIR/old to DIR/new with both tools and prints one row.
void benchPart(const Settings_T& settings, const std::string& dir, const std::string& corpus,
               const std::string& label, Totals_T* totals) {
    // The two tools take turns, so a change in the machine's load between
    // runs falls on both alike.
    const std::vector<std::string> debianArgs = {"/usr/bin/bsdiff", dir + "/old", dir + "/new",
                                                 dir + "/debian.patch"};
    const std::vector<std::string> ourArgs = {selfPath(), "--diff-one", dir + "/old", dir + "/new",
                                              dir + "/ours.patch"};
    const std::vector<std::string> beforeArgs = {settings.before, "--diff-one", dir + "/old",
                                                 dir + "/new", dir + "/before.patch"};
    std::vector<DiffRun_T> debianRuns;
    std::vector<DiffRun_T> beforeRuns;
    std::vector<DiffRun_T> ourRuns;
    for (int round = 0; round < 3; ++round) {
        const bool debianAgain =
            round == 0 || (debianRuns[0].finished && debianRuns[0].cpuSeconds < 10.0);
        if (debianAgain) {
            debianRuns.push_back(
                runMeasured(debianArgs, settings.capSeconds, dir + "/debian.patch"));
        }
        if (!settings.before.empty()) {
            beforeRuns.push_back(runMeasured(beforeArgs, 0, dir + "/before.patch"));
        }
        ourRuns.push_back(runMeasured(ourArgs, 0, dir + "/ours.patch"));
    }
    const DiffRun_T debian = medianOf(debianRuns);
    const DiffRun_T ours = medianOf(ourRuns);
    const bool good = ours.finished && rebuildsWithBothAppliers(dir);
    if (!good) {
        ++totals->failures;
    }
    CorpusTotals_T& sums = totals->corpus(corpus);
    ++sums.parts;
    sums.failed += good ? 0 : 1;
    sums.compared += debian.finished ? 1 : 0;
    sums.ours.add(ours, debian.finished);
    if (debian.finished) {
        sums.debian.add(debian, true);
    }
    if (!beforeRuns.empty()) {
        const DiffRun_T before = medianOf(beforeRuns);
        if (!before.finished) {
            ++totals->failures;
        }
        sums.before.add(before, debian.finished);
    }
    std::string debianCpu = cell(debian.cpuSeconds, "%.2f");
    std::string debianSize = std::to_string(debian.patchSize);
    std::string speedup = "-";
    std::string ratio = "-";
    if (debian.finished) {
        const double times = debian.cpuSeconds / std::max(ours.cpuSeconds, 1e-3);
        const double sizeRatio = static_cast<double>(ours.patchSize) /
                                 static_cast<double>(std::max(1LL, debian.patchSize));
        speedup = cell(times, "%.1fx");
        ratio = cell(sizeRatio, "%.3f");
    } else if (debian.capped) {
        debianCpu = "> " + std::to_string(settings.capSeconds);
        debianSize = "-";
        speedup = "> " + cell(settings.capSeconds / std::max(ours.cpuSeconds, 1e-3), "%.0fx");
    } else {
        debianCpu = "failed";
        debianSize = "-";
    }
    printf("%-34s %8s %7s %9s | %6.2f %7.1f %9lld %s | %7s %6s\n", label.c_str(), debianCpu.c_str(),
           cell(debian.peakMb, "%.1f").c_str(), debianSize.c_str(), ours.cpuSeconds, ours.peakMb,
           ours.patchSize, good ? "ok " : "BAD", speedup.c_str(), ratio.c_str());
    Streams_T debianStreams;
    Streams_T ourStreams;
    if (settings.streams && debian.finished && readStreams(dir + "/debian.patch", &debianStreams) &&
        readStreams(dir + "/ours.patch", &ourStreams)) {
        printf("  %-32s %s\n", "streams: control/diff/extra, triples",
               (describe(debianStreams) + "  |  " + describe(ourStreams)).c_str());
        sums.debianStreams.add(debianStreams);
        sums.ourStreams.add(ourStreams);
    }
    fflush(stdout);
}

void printHeader() {
    printf("%-34s %8s %7s %9s | %6s %7s %9s %s | %7s %6s\n", "part (10 MiB)", "deb cpu", "deb MiB",
           "deb patch", "cpu s", "peak MiB", "patch", "chk", "faster", "size");
    printf("%s\n", std::string(120, '-').c_str());
}

bool copyRange(int from, off_t offset, size_t length, const std::string& to) {
    diff_corpus::Bytes bytes(length);
    const ssize_t got = length == 0 ? 0 : pread(from, bytes.data(), length, offset);
    if (got < 0) {
        return false;
    }
    bytes.resize(static_cast<size_t>(got));
    return diff_corpus::writeFile(to, bytes);
}

// Benches the parts of two image files that differ, at most `limit` of them.
void benchImageParts(const Settings_T& settings, const std::string& dir, const std::string& corpus,
                     const std::string& label, const std::string& oldImage,
                     const std::string& newImage, Totals_T* totals) {
    const int oldFd = open(oldImage.c_str(), O_RDONLY | O_CLOEXEC);
    const int newFd = open(newImage.c_str(), O_RDONLY | O_CLOEXEC);
    const size_t size = static_cast<size_t>(fs::file_size(newImage));
    int benched = 0;
    for (size_t at = 0; at < size && benched < settings.partsPerImage; at += kPart) {
        const size_t length = std::min(kPart, size - at);
        if (!copyRange(oldFd, static_cast<off_t>(at), length, dir + "/old") ||
            !copyRange(newFd, static_cast<off_t>(at), length, dir + "/new")) {
            ++totals->failures;
            break;
        }
        if (sameFiles(dir + "/old", dir + "/new")) {
            continue;
        }
        benchPart(settings, dir, corpus, label + ", part " + std::to_string(at / kPart), totals);
        ++benched;
    }
    close(oldFd);
    close(newFd);
}

void writePair(const std::string& dir, const PartPair_T& pair) {
    diff_corpus::writeFile(dir + "/old", pair.oldPart);
    diff_corpus::writeFile(dir + "/new", pair.newPart);
}

struct Ext4Source_T {
    const char* label;
    std::string dir;
};

std::vector<Ext4Source_T> ext4Sources() {
    std::vector<Ext4Source_T> sources;
    std::string python;
    for (const auto& entry : fs::directory_iterator("/usr/lib")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("python3.", 0) == 0 && fs::is_directory(entry.path()) &&
            (python.empty() || name > fs::path(python).filename().string())) {
            python = entry.path().string();
        }
    }
    if (!python.empty()) {
        sources.push_back({"ext4 python library", python});
    }
    sources.push_back({"ext4 locale files", "/usr/share/locale"});
    sources.push_back({"ext4 perl library", "/usr/share/perl"});
    return sources;
}

// The machine's one-minute load average: other work on it stretches wall
// times, while CPU times hold.
std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string first;
    in >> first;
    return first;
}

// Builds a package from OLD/NEW with the built-in maker at -j 2 and reports
// its wall time and the CPU time of the builder and its checks.
void timePackage(const std::string& label, const std::string& root) {
    const fs::path builder = fs::path(selfPath()).parent_path() / "make-patch-package";
    const std::string summary = root + "/summary.txt";
    unlink(summary.c_str());
    host::ChildOptions options;
    options.outputFile = summary;
    const auto start = std::chrono::steady_clock::now();
    const host::ChildResult built =
        host::runChild({builder.string(), "--old", root + "/old", "--new", root + "/new", "-o",
                        root + "/patch_package.zip", "-j", "2"},
                       options);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int status = built.status;
    // The builder's own CPU time with that of the checks it waited for.
    const double cpu = built.cpuSeconds;
    printf("%-44s %s  wall %.1f s, cpu %.1f s, load average %s, package %lld bytes\n",
           label.c_str(), status == 0 ? "built" : "FAILED", wall, cpu, loadAverage().c_str(),
           status == 0 ? static_cast<long long>(fs::file_size(root + "/patch_package.zip")) : 0LL);
    if (status != 0) {
        const Bytes said = diff_corpus::readFile(root + "/summary.txt");
        fwrite(said.data(), 1, said.size(), stdout);
    }
    fflush(stdout);
}

constexpr const char* kSynthetic = "synthetic parts";
constexpr const char* kExt4 = "ext4 images of this machine's files";
constexpr const char* kBinaries = "ext4 images of Debian armhf packages";

double ratio(long long part, long long whole) {
    return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0;
}

// `parts`: how many parts the maker's CPU time is summed over.
void printMaker(const char* name, const MakerTotals_T& maker, int parts,
                const MakerTotals_T& debian) {
    printf("  %-22s %11lld %11lld %7.3f %8.2f %8.2f %9.1f\n", name, maker.bytes,
           maker.comparedBytes, ratio(maker.comparedBytes, debian.comparedBytes),
           parts > 0 ? maker.cpu / parts : 0.0, maker.worstCpu, maker.worstPeakMb);
}

// The table per corpus and the goals of the built-in maker.
void printTotals(const Settings_T& settings, const Totals_T& totals) {
    for (const std::string& name : totals.order) {
        const CorpusTotals_T& corpus = totals.corpora.at(name);
        printf("\n%s: %d parts, %d of them finished by Debian's bsdiff\n", name.c_str(),
               corpus.parts, corpus.compared);
        printf("  %-22s %11s %11s %7s %8s %8s %9s\n", "maker", "bytes", "compared", "ratio",
               "cpu/part", "cpu max", "peak MiB");
        printMaker("Debian bsdiff", corpus.debian, corpus.compared, corpus.debian);
        if (!settings.before.empty()) {
            printMaker("built-in, --before", corpus.before, corpus.parts, corpus.debian);
        }
        printMaker("built-in", corpus.ours, corpus.parts, corpus.debian);
        if (settings.streams && corpus.compared > 0) {
            printf("  streams (control/diff/extra, triples): Debian bsdiff %s; built-in %s\n",
                   describe(corpus.debianStreams).c_str(), describe(corpus.ourStreams).c_str());
        }
    }

    printf("\nGoals of the built-in maker:\n");
    const auto payloadGoal = [&](const char* name, double goal) {
        const auto found = totals.corpora.find(name);
        if (found == totals.corpora.end() || found->second.compared == 0) {
            printf("  payload <= %.2fx Debian's, %s: not measured\n", goal, name);
            return;
        }
        // A part without a good patch counts no bytes: no ratio can stand.
        if (found->second.failed > 0) {
            printf("  payload <= %.2fx Debian's, %s: not measured, %d parts without a good patch\n",
                   goal, name, found->second.failed);
            return;
        }
        const double reached =
            ratio(found->second.ours.comparedBytes, found->second.debian.comparedBytes);
        printf("  payload <= %.2fx Debian's, %s: %.3fx  %s\n", goal, name, reached,
               reached <= goal ? "met" : "NOT MET");
    };
    payloadGoal(kExt4, 0.90);
    payloadGoal(kBinaries, 0.95);
    double cpu = 0;
    double beforeCpu = 0;
    double worstPeak = 0;
    for (const auto& [name, corpus] : totals.corpora) {
        cpu += corpus.ours.cpu;
        beforeCpu += corpus.before.cpu;
        worstPeak = std::max(worstPeak, corpus.ours.worstPeakMb);
    }
    if (!settings.before.empty() && beforeCpu > 0) {
        printf("  CPU per part <= 2x the --before maker's: %.2fx over all parts  %s\n",
               cpu / beforeCpu, cpu <= 2 * beforeCpu ? "met" : "NOT MET");
    } else {
        printf("  CPU per part <= 2x the older maker's: not measured (no --before)\n");
    }
    printf("  peak memory per job <= 80 MiB: %.1f MiB at most  %s\n", worstPeak,
           worstPeak <= 80.0 ? "met" : "NOT MET");
    printf("  patches rebuilt by Debian's bspatch and the set's applier: %s\n",
           totals.failures == 0 ? "all" : "NOT ALL");
}

int bench(const Settings_T& settings) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench-diff.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("bench-diff: mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    struct Remove {
        std::string dir;
        ~Remove() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } remove{dir};

    printf(
        "Debian bsdiff next to the built-in maker; CPU cap for Debian's: %d s per part;"
        " %u cores, load average %s\n\n",
        settings.capSeconds, std::thread::hardware_concurrency(), loadAverage().c_str());
    Totals_T totals;
    if (settings.parts) {
        printHeader();
        // Each synthetic pair lives only while it is written: see runMeasured.
        writePair(dir, diff_corpus::scatteredEdits(kPart, 200, 1));
        benchPart(settings, dir, kSynthetic, "random, scattered edits", &totals);
        writePair(dir, diff_corpus::zerosButBlocks(kPart, 2));
        benchPart(settings, dir, kSynthetic, "zeros but a few blocks", &totals);
        writePair(dir, diff_corpus::shiftedBy(kPart, 5, 3));
        benchPart(settings, dir, kSynthetic, "shifted by 5 bytes", &totals);
    }

    // Each image pair is kept for the ext4 package below.
    const std::string ext4Root = dir + "/ext4-set";
    fs::create_directories(ext4Root + "/old");
    fs::create_directories(ext4Root + "/new");
    const char* partitions[] = {"optfs", "usrfs", "tvservice", "serialsdata"};
    int imageCount = 0;
    for (const Ext4Source_T& source : ext4Sources()) {
        const uint64_t seed = 100 + static_cast<uint64_t>(imageCount);
        const std::string error =
            diff_corpus::makeExt4Pair(source.dir, dir, kImage, 40 * kMiB, 4, seed);
        if (!error.empty()) {
            printf("%s: %s\n", source.label, error.c_str());
            ++totals.failures;
            continue;
        }
        const std::string oldImage = ext4Root + "/old/" + partitions[imageCount] + ".img";
        const std::string newImage = ext4Root + "/new/" + partitions[imageCount] + ".img";
        fs::rename(dir + "/old.img", oldImage);
        fs::rename(dir + "/new.img", newImage);
        ++imageCount;
        if (settings.parts) {
            benchImageParts(settings, dir, kExt4, source.label, oldImage, newImage, &totals);
        }
    }
    if (settings.parts && !settings.binaryCorpus.empty()) {
        benchImageParts(settings, dir, kBinaries, "armhf packages",
                        settings.binaryCorpus + "/old.img", settings.binaryCorpus + "/new.img",
                        &totals);
    }

    if (settings.parts) {
        printTotals(settings, totals);
    }

    if (settings.packages) {
        printf("\nWhole packages, built-in maker, -j 2:\n");
        const std::string easyRoot = dir + "/easy-set";
        fs::create_directories(easyRoot + "/old");
        fs::create_directories(easyRoot + "/new");
        for (int i = 0; i < 4; ++i) {
            const PartPair_T pair = diff_corpus::scatteredEdits(kImage, 400, 200 + i);
            diff_corpus::writeFile(easyRoot + "/old/" + partitions[i] + ".img", pair.oldPart);
            diff_corpus::writeFile(easyRoot + "/new/" + partitions[i] + ".img", pair.newPart);
        }
        timePackage("4 x 64 MiB random-based, scattered edits", easyRoot);
        timePackage(std::to_string(imageCount) + " x 64 MiB ext4 images", ext4Root);
    }
    return totals.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--diff-one") == 0) {
        return diffOne(argv[2], argv[3], argv[4]);
    }
    Settings_T settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cap" && i + 1 < argc) {
            settings.capSeconds = std::max(1, atoi(argv[++i]));
        } else if (arg == "--parts" && i + 1 < argc) {
            settings.partsPerImage = std::max(0, atoi(argv[++i]));
        } else if (arg == "--before" && i + 1 < argc) {
            settings.before = argv[++i];
        } else if (arg == "--binary-corpus" && i + 1 < argc) {
            settings.binaryCorpus = argv[++i];
        } else if (arg == "--streams") {
            settings.streams = true;
        } else if (arg == "--no-packages") {
            settings.packages = false;
        } else if (arg == "--only-packages") {
            settings.parts = false;
        } else {
            fprintf(stderr,
                    "usage: bench-diff [--cap SECONDS] [--parts N] [--before BENCH_DIFF]"
                    " [--binary-corpus DIR] [--streams] [--no-packages | --only-packages]\n");
            return 2;
        }
    }
    return bench(settings);
}
