#include "verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "child_process.h"
#include "file_util.h"
#include "ground.h"
#include "md5_digest.h"
#include "verify_judge.h"
#include "verify_report.h"
#include "verify_set_run.h"

namespace mpp {

namespace {

constexpr long kMiB = 1L << 20;

std::string parentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Runs `tasks` on `jobs` threads, each task on its own set.
void runParallel(int jobs, size_t count, const std::function<void(size_t)>& task) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < std::max(1, jobs); ++t) {
        threads.emplace_back([&] {
            for (size_t i = next++; i < count; i = next++)
                task(i);
        });
    }
    for (std::thread& t : threads)
        t.join();
}

// The set's record after the uncut run, its lines as the program wrote them.
void printRecord(const RunResult& r) {
    if (!r.setup.empty()) return;
    if (!r.record.present) {
        printf("    last_result: none\n");
        return;
    }
    printf("    last_result:\n");
    for (const std::string& line : r.record.lines)
        printf("      %s\n", line.c_str());
}

std::string reproduceCommand(const VerifyContext& c, const std::string& baseDir, long k) {
    std::string cmd = "make-patch-package verify " + c.options.package + " --old " + baseDir;
    if (!c.options.newDir.empty()) cmd += " --new " + c.options.newDir;
    cmd += " --cut-at " + std::to_string(k) + " --runner " + c.options.runner + " --rootfs " +
           c.options.rootfs;
    return cmd;
}

std::string fileSha256(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    StreamResult_T read;
    if (!fd.valid() || !streamChunks(fd.get(), 0, kWholeStream, StreamHash::Sha256, nullptr, &read))
        return std::string();
    return hexDigest(read.digest);
}

// What identifies a base across machines: its images' digests, whatever
// path it lies under.
std::string baseImages(const std::string& dir) {
    std::string images;
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
        const std::string image = dir + "/" + p.name + ".img";
        if (regularFileSize(image) < 0) continue;
        const std::string sha = fileSha256(image);
        images += (images.empty() ? "" : " ") + std::string(p.name) + "=" +
                  (sha.empty() ? "unreadable" : sha);
    }
    return images.empty() ? "none" : images;
}

}  // namespace

int verifyCommand(int argc, char** argv) {
    VerifyContext c;
    std::string error = parseVerifyOptions(argc, argv, &c.options, getenv);
    if (c.options.help) {
        fputs(verifyUsageText(), stdout);
        return 0;
    }
    if (!error.empty()) {
        fprintf(stderr, "make-patch-package verify: %s\n%s", error.c_str(), verifyUsageText());
        return 2;
    }
    VerifyOptions_T& o = c.options;
    if (geteuid() != 0) {
        fprintf(stderr,
                "make-patch-package verify: must run as root: it runs the package on simulated "
                "sets through the sandbox runner, which makes namespaces and binds loop devices\n");
        return 2;
    }
    std::string self = selfExecutable();
    std::string buildDir = parentDir(parentDir(self));
    if (o.runner.empty()) o.runner = parentDir(self) + "/upgrade-sandbox";
    if (o.rootfs.empty()) o.rootfs = buildDir + "/rootfs";
    if (access(o.runner.c_str(), X_OK) != 0) {
        fprintf(stderr, "make-patch-package verify: no sandbox runner at %s (give --runner)\n",
                o.runner.c_str());
        return 2;
    }
    if (access((o.rootfs + "/usr/bin/upgradeprogress/upgradeprogress").c_str(), X_OK) != 0) {
        fprintf(stderr,
                "make-patch-package verify: %s holds no installed program (give --rootfs, or lay "
                "one out with DESTDIR=%s cmake --install BUILD)\n",
                o.rootfs.c_str(), o.rootfs.c_str());
        return 2;
    }
    char resolved[PATH_MAX];
    if (realpath(o.package.c_str(), resolved) == nullptr || regularFileSize(resolved) <= 0) {
        fprintf(stderr, "make-patch-package verify: no package %s\n", o.package.c_str());
        return 2;
    }
    c.package = resolved;

    // Partitions hold the larger of the old and the new image, and the set's
    // one partition size is the largest of all.
    long long largest = 0;
    std::vector<std::string> dirs = o.oldDirs;
    if (!o.newDir.empty()) dirs.push_back(o.newDir);
    for (const std::string& dir : dirs) {
        struct stat st {};
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "make-patch-package verify: %s is not a directory\n", dir.c_str());
            return 2;
        }
        for (const ota_paths::Partition_T& p : ota_paths::kPartitions)
            largest = std::max(largest, regularFileSize(dir + "/" + p.name + ".img"));
    }
    std::vector<Base> bases;
    for (const std::string& dir : o.oldDirs)
        bases.push_back({dir, static_cast<long>(largest / kMiB) + 2});

    VerifyRun run;
    run.package = o.package;
    run.cutsAsked = o.cuts < 0 ? "every" : std::to_string(o.cuts);
    run.shard = o.shard;
    run.bases.resize(bases.size());
    if (!o.report.empty()) {
        // Only a report needs what tells this run's package and bases from
        // another machine's.
        run.packageSha256 = fileSha256(c.package);
        if (run.packageSha256.empty()) {
            fprintf(stderr, "make-patch-package verify: cannot read %s\n", o.package.c_str());
            return 2;
        }
        for (size_t i = 0; i < bases.size(); ++i)
            run.bases[i].images = baseImages(bases[i].dir);
    }
    if (!o.key.empty()) {
        int rc = runLogged({self, "check-signature", c.package, "--key", o.key}, "/dev/null");
        if (rc != 0) {
            printf("%s does not verify with %s\n", o.package.c_str(), o.key.c_str());
            for (VerifiedBase& b : run.bases) {
                b.verdict = "invalid signature";
                b.detail = "the set holding this key refuses it before any write";
            }
        }
    }

    WorkDir work;
    if (!work.create()) {
        fprintf(stderr, "make-patch-package verify: cannot make a work directory\n");
        return 2;
    }
    c.workDir = work.path();
    std::mutex printLock;
    std::vector<RunResult> uncut(bases.size());
    bool signatureRefused = !run.bases.empty() && run.bases[0].verdict == "invalid signature";
    if (!signatureRefused) {
        runParallel(o.jobs, bases.size(), [&](size_t i) {
            std::string setDir = c.workDir + "/base-" + std::to_string(i);
            uncut[i] = runOnFreshSet(c, bases[i], setDir, 0);
            VerifiedBase judged = judgeUncut(c, uncut[i], setDir);
            std::lock_guard<std::mutex> hold(printLock);
            judged.images = run.bases[i].images;
            run.bases[i] = judged;
            printf("%s: %s in %.1f s, %ld device calls%s%s\n", bases[i].dir.c_str(),
                   judged.verdict.c_str(), judged.seconds, judged.deviceCalls,
                   judged.detail.empty() ? "" : ": ", judged.detail.c_str());
            printRecord(uncut[i]);
            fflush(stdout);
        });
    }
    for (size_t i = 0; i < bases.size(); ++i)
        run.bases[i].dir = bases[i].dir;

    // Cuts, on the bases that upgrade: each one a fresh set of its own. A
    // shard numbers them as the whole sweep does and makes its own part.
    const std::vector<PlannedCut> planned = planCuts(o.cuts, o.cutAt, run.bases);
    run.total = static_cast<long>(planned.size());
    std::vector<CutRecord> cuts;
    for (size_t t = 0; t < planned.size(); ++t) {
        if (!host::inShard(o.shard, t)) continue;
        CutRecord cut;
        cut.number = static_cast<long>(t + 1);
        cut.base = planned[t].base;
        cut.deviceCall = planned[t].deviceCall;
        cuts.push_back(cut);
    }
    auto sweepStarted = std::chrono::steady_clock::now();
    runParallel(o.jobs, cuts.size(), [&](size_t t) {
        CutRecord& cut = cuts[t];
        const Base& base = bases[cut.base];
        std::string setDir = c.workDir + "/cut-" + std::to_string(cut.number);
        RunResult r = runOnFreshSet(c, base, setDir, cut.deviceCall);
        judgeCut(r, uncut[cut.base], setDir, &cut);
        if (cut.ending == CutEnding::Lost) {
            cut.reproduce = reproduceCommand(c, base.dir, cut.deviceCall);
            std::lock_guard<std::mutex> hold(printLock);
            printf("%s: cut at device call %ld did not survive\n", base.dir.c_str(),
                   cut.deviceCall);
            fflush(stdout);
        }
        runLogged({"/bin/rm", "-rf", "--", setDir}, "/dev/null");
    });
    run.sweepSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sweepStarted).count();
    run.cuts = std::move(cuts);

    if (!o.report.empty() && !writeVerifyReport(o.report, run, &error)) {
        fprintf(stderr, "make-patch-package verify: %s\n", error.c_str());
        printVerifySummary(run, stdout);
        return 2;
    }
    return printVerifySummary(run, stdout);
}

int verifyMergeCommand(int argc, char** argv) {
    std::vector<std::string> paths;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(verifyUsageText(), stdout);
            return 0;
        }
        if (arg.rfind("-", 0) == 0) {
            fprintf(stderr, "make-patch-package verify-merge: unknown option %s\n%s", arg.c_str(),
                    verifyUsageText());
            return 2;
        }
        paths.push_back(arg);
    }
    if (paths.empty()) {
        fprintf(stderr, "make-patch-package verify-merge: needs the shards' reports\n%s",
                verifyUsageText());
        return 2;
    }
    std::vector<VerifyRun> reports(paths.size());
    std::string error;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!readVerifyReport(paths[i], &reports[i], &error)) {
            fprintf(stderr, "make-patch-package verify-merge: %s\n", error.c_str());
            return 2;
        }
    }
    VerifyRun merged;
    if (!mergeVerifyReports(reports, &merged, &error)) {
        fprintf(stderr, "make-patch-package verify-merge: %s\n", error.c_str());
        return 2;
    }
    return printVerifySummary(merged, stdout);
}

}  // namespace mpp
