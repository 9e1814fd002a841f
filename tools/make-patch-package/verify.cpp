#include "verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <climits>
#include <algorithm>
#include <mutex>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "file_util.h"
#include "ground.h"
#include "md5_digest.h"
#include "options.h"
#include "run_child.h"
#include "upgraded_set.h"
#include "verify_partitions.h"
#include "verify_record.h"
#include "verify_report.h"

namespace mpp {

namespace {

constexpr long kMiB = 1L << 20;
constexpr long kRunTimeoutS = 900;
constexpr int kExitReboot = 100;  // the runner's codes
constexpr int kExitCut = 101;

const char kVerifyUsage[] =
    "usage: make-patch-package verify PKG --old DIR [--old DIR ...] [--new DIR] [--key PUB.pem]\n"
    "                                 [--cuts every|N] [--cut-at K] [--lang CODE] [-j N]\n"
    "                                 [--shard I/N | --shards N] [--report FILE]\n"
    "                                 [--runner PATH] [--rootfs DIR]\n"
    "       make-patch-package verify-merge REPORT...\n"
    "  Runs PKG as the set will: for each --old directory of installed images (optfs.img,\n"
    "  usrfs.img, tvservice.img, serialsdata.img) a simulated set is made with the sandbox\n"
    "  runner, the images in its partitions, PKG as /OAD/patch_package.zip and the upgrade\n"
    "  pending, and the installed program runs on it. Verdict per base: upgrades;\n"
    "  refused, no partition changed; failed, changed: PARTITION ... (the failure ending,\n"
    "  told apart by comparing every partition with what was installed); stops; or invalid\n"
    "  signature (--key given and PKG does not verify with it). The set's record of the\n"
    "  run (/var/local/upgrade/last_result) is shown under each base.\n"
    "  --new DIR     'upgrades' also needs every partition to hold DIR's image afterwards\n"
    "  --cuts every  cut the power right after every device call of the run, restart as the\n"
    "                boot stage does, and compare the final state with the uncut run's;\n"
    "  --cuts N      N cuts spread evenly; --cut-at K one cut alone (to reproduce it)\n"
    "  --shard I/N   (I from 1) make only cuts I, I+N, I+2N ... of the sweep's cuts, chosen\n"
    "                and numbered as without it; every shard runs the uncut runs itself.\n"
    "                Without it, with --report or --shards N, the shard comes from\n"
    "                CI_NODE_INDEX (from 1) of CI_NODE_TOTAL, or SLURM_ARRAY_TASK_ID -\n"
    "                SLURM_ARRAY_TASK_MIN (from 0) of N, or JOB_COMPLETION_INDEX (from 0) of N\n"
    "  --report FILE write the shard's cuts (number, device call, ending, reason) to FILE\n"
    "                under the package's SHA-256, the bases' images and uncut runs, --cuts\n"
    "                and the sweep's number of cuts. --shard, --shards and --report need\n"
    "                --cuts and take no --cut-at\n"
    "  --lang CODE   the set's language (default eng)\n"
    "  -j N          sets run at once (default 1)\n"
    "  --runner, --rootfs  the sandbox runner and the set's root file system (default: beside\n"
    "                this program in the build tree, bin/upgrade-sandbox and rootfs)\n"
    "  Needs root, as the runner does. Exit 0 only when every base upgrades and every cut\n"
    "  survives; 1 otherwise; 2 for a usage error or a report that could not be written.\n"
    "  verify-merge prints the table and last line of the sweep whose shards wrote the\n"
    "  REPORTs and exits as it would have; 2 for reports of different packages, bases or\n"
    "  --cuts, a cut in two reports or a cut in none.\n";

bool parseCount(const char* text, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v <= 0) return false;
    *out = v;
    return true;
}

std::string parentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs argv with stdout and stderr into `logPath`; returns the exit code
// (128 + signal), or -1 when it could not start.
int runLogged(const std::vector<std::string>& args, const std::string& logPath) {
    host::ChildOptions options;
    options.outputFile = logPath;
    return host::runChild(args, options).status;
}

// Copies `from` over the start of `to`, leaving the rest of `to` as it is.
bool copyInto(const std::string& from, const std::string& to, bool truncate) {
    UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644));
    if (!in.valid() || !out.valid()) return false;
    std::vector<char> buf(kMiB);
    for (;;) {
        ssize_t got = read(in.get(), buf.data(), buf.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        for (ssize_t done = 0; done < got;) {
            ssize_t n = write(out.get(), buf.data() + done, static_cast<size_t>(got - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += n;
        }
    }
}

std::string flagImage(const std::string& setDir) {
    return setPartitionImage(setDir, ota_paths::kFlagDevice);
}

std::string flagBytes(const std::string& setDir) {
    std::string bytes(sandbox::successFlagBytes(), '\0');
    UniqueFd fd(open(flagImage(setDir).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || !readAt(fd.get(), bytes.data(), bytes.size(), 0)) return std::string();
    return bytes;
}

// The boot stage's rule on the set's flags. A set whose flag image cannot be
// read is not started again: its final state shows why.
bool bootStageStartsProgram(const std::string& flags) {
    return !flags.empty() && boot_stage::upgradePending(flags);
}

std::string hexBytes(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%s%02x", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}

// What a finished run leaves that the set's next boot depends on.
std::string finalState(const std::string& setDir) {
    std::string state = "flags " + hexBytes(flagBytes(setDir)) + "\n";
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions)
        state += std::string(p.name) + " " + md5OfFile(setPartitionImage(setDir, p.device)) + "\n";
    return state;
}

// The lines of `cut` that the uncut run's final state does not have.
std::string stateDifference(const std::string& uncut, const std::string& cut) {
    std::istringstream in(cut);
    std::string line, differs;
    while (std::getline(in, line)) {
        if (uncut.find(line + "\n") == std::string::npos)
            differs += (differs.empty() ? "" : "; ") + line;
    }
    return differs;
}

// Where an uncut run keeps the partitions as installed, to compare them with
// after the run.
std::string installedCopyDir(const std::string& setDir) {
    return setDir + ".installed";
}

struct Base {
    std::string dir;
    long sizeMiB = 0;
};

struct RunResult {
    int exitCode = -1;
    std::string verdictLine;  // the runner's last line
    std::string log;
    double seconds = 0;
    long deviceCalls = -1;
    int restarts = 0;
    std::string state;
    std::string setup;  // non-empty: the set could not be made
    SetRecord record;   // uncut runs only
};

struct Context {
    VerifyOptions_T options;
    std::string workDir;
    std::string package;
};

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

long deviceCallsIn(const std::string& log) {
    const std::string key = "upgrade-sandbox: ";
    for (size_t at = log.rfind(" device calls\n"); at != std::string::npos;) {
        size_t start = log.rfind(key, at);
        if (start == std::string::npos) break;
        return atol(log.c_str() + start + key.size());
    }
    return -1;
}

std::string makeSet(const Context& c, const Base& base, const std::string& setDir) {
    runLogged({"/bin/rm", "-rf", "--", setDir}, "/dev/null");
    std::string log = setDir + ".log";
    unlink(log.c_str());
    if (runLogged({c.options.runner, "new", setDir, "--rootfs", c.options.rootfs, "--size-mib",
                   std::to_string(base.sizeMiB)},
                  log) != 0) {
        return "cannot make a set: " + lastLine(readText(log));
    }
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
        std::string image = base.dir + "/" + p.name + ".img";
        if (regularFileSize(image) < 0) continue;
        if (!copyInto(image, setPartitionImage(setDir, p.device), false))
            return "cannot copy " + image + " into the set";
    }
    std::string lang = c.options.lang + "\n";
    if (!writeWholeFile(setDir + "/var-local/upgrade/am_tv_lang", lang.data(), lang.size()) ||
        !writeWholeFile(setDir + "/var-local/suspend_force_off", "", 0) ||
        !copyInto(c.package, setDir + "/OAD/patch_package.zip", true)) {
        return "cannot lay the language, the package or the power state into the set";
    }
    return std::string();
}

// One simulated set from fresh: the base installed, the package pending, the
// program run (cut at `cutAt` when > 0, then restarted as the boot stage does).
RunResult runOnFreshSet(const Context& c, const Base& base, const std::string& setDir, long cutAt) {
    RunResult r;
    auto started = std::chrono::steady_clock::now();
    r.setup = makeSet(c, base, setDir);
    if (!r.setup.empty()) return r;
    if (cutAt == 0) {
        runLogged({"/bin/rm", "-rf", "--", installedCopyDir(setDir)}, "/dev/null");
        r.setup = keepInstalledPartitions(setDir, installedCopyDir(setDir));
        if (!r.setup.empty()) return r;
    }
    std::vector<std::string> args = {c.options.runner, "run",       setDir,
                                     c.options.rootfs, "--timeout", std::to_string(kRunTimeoutS)};
    if (cutAt > 0) {
        args.push_back("--cut-at-write");
        args.push_back(std::to_string(cutAt));
    } else {
        args.push_back("--count-writes");
    }
    std::string log = setDir + "/run-0.log";
    r.exitCode = runLogged(args, log);
    r.log = readText(log);
    r.verdictLine = lastLine(r.log);
    r.deviceCalls = deviceCallsIn(r.log);
    if (cutAt > 0) {
        while (r.restarts < boot_stage::kRestarts && bootStageStartsProgram(flagBytes(setDir))) {
            ++r.restarts;
            log = setDir + "/run-" + std::to_string(r.restarts) + ".log";
            r.exitCode = runLogged({c.options.runner, "run", setDir, c.options.rootfs, "--timeout",
                                    std::to_string(kRunTimeoutS)},
                                   log);
            r.log = readText(log);
            r.verdictLine = lastLine(r.log);
        }
    }
    r.state = finalState(setDir);
    if (cutAt == 0) r.record = readSetRecord(setDir);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

// The line of the program's log that tells why it took the failure ending:
// the first failure inside the last item an action named, or else the last
// failure before the ending. (A partition the package does not carry logs a
// failed list extraction too, and the upgrade goes on.)
std::string firstFailure(const std::string& log) {
    std::istringstream in(log);
    std::string line, item, firstInItem, last;
    while (std::getline(in, line)) {
        // The failure ending has begun: its own lines say nothing of why.
        if (line.find("the failure ending writes") != std::string::npos ||
            line.find("TV will reset the flags") != std::string::npos)
            break;
        // Each item action names its item first: "handleUpdateBspatch NAME."
        size_t name = line.find("Bspatch ");
        if (name != std::string::npos) {
            item = line.substr(name + 8);
            while (!item.empty() && (item.back() == '.' || item.back() == ' '))
                item.pop_back();
            firstInItem.clear();
            continue;
        }
        std::string lower = line;
        for (char& ch : lower)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        bool failure = false;
        for (const char* sign :
             {"fail", "sum error", "refused", "cannot", "can not", " err ", "error param",
              "exhausted", "outside the", "there is no ", "there no handle"}) {
            failure = failure || lower.find(sign) != std::string::npos;
        }
        if (!failure) continue;
        last = line;
        if (firstInItem.empty()) firstInItem = line;
    }
    if (!item.empty() && !firstInItem.empty()) return "item " + item + ": " + firstInItem;
    return last.empty() ? "no failure line in the log" : last;
}

// The failure ending, told by the partitions' bytes: refused when every one
// holds what was installed, failed (with those that do not) otherwise. The
// record's word is only checked against that: a set that says "refused" has
// promised that no partition changed. Leaves a note on a mismatch in
// `b->detail`.
void judgeFailureEnding(const RunResult& r, const std::string& setDir, VerifiedBase* b) {
    std::vector<std::string> changed;
    std::string error = changedPartitions(setDir, installedCopyDir(setDir), &changed);
    if (!error.empty()) {
        b->verdict = "not compared";
        b->detail = "; " + error;
        return;
    }
    std::string names;
    for (const std::string& name : changed)
        names += " " + name;
    b->verdict = changed.empty() ? "refused, no partition changed" : "failed, changed:" + names;
    const std::string& said = r.record.result;
    if (!r.record.present) {
        b->detail = "; the set left no record";
    } else if (said == "refused" && !changed.empty()) {
        b->detail = "; the record says result=refused, yet" + names + " changed";
    } else if (said != "refused" && said != "failed") {
        b->detail = "; the record says result=" + said + " after the failure ending";
    }
}

VerifiedBase judgeUncut(const Context& c, const RunResult& r, const std::string& setDir) {
    VerifiedBase b;
    b.seconds = r.seconds;
    b.deviceCalls = r.deviceCalls;
    if (!r.setup.empty()) {
        b.verdict = "not run";
        b.detail = r.setup;
        return b;
    }
    std::string flags = flagBytes(setDir);
    if (r.exitCode == kExitReboot && sandbox::successFlagsSet(flags)) {
        b.verdict = "upgrades";
        if (!c.options.newDir.empty()) {
            for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
                std::string want = c.options.newDir + "/" + p.name + ".img";
                long long size = regularFileSize(want);
                if (size < 0) continue;
                Md5Digest have;
                UniqueFd fd(open(setPartitionImage(setDir, p.device).c_str(), O_RDONLY));
                std::vector<char> buf(static_cast<size_t>(size));
                if (!fd.valid() || !readAt(fd.get(), buf.data(), buf.size(), 0) ||
                    md5Hex(buf.data(), buf.size()) != md5OfFile(want)) {
                    b.verdict = "wrong image";
                    b.detail = std::string(p.name) + " does not hold " + want;
                    return b;
                }
            }
        }
        return b;
    }
    if (r.exitCode == kExitReboot) {
        judgeFailureEnding(r, setDir, &b);
        b.detail = firstFailure(r.log) + " (flags " + hexBytes(flags) + ")" + b.detail;
        return b;
    }
    if (r.exitCode == 1) {
        b.verdict = "stops";
        std::string program = r.log.substr(0, r.log.rfind("upgrade-sandbox: "));
        b.detail = lastLine(program.substr(0, program.rfind("upgrade-sandbox: ")));
        return b;
    }
    b.verdict = "ends otherwise";
    b.detail = r.verdictLine;
    return b;
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

std::string reproduceCommand(const Context& c, const std::string& baseDir, long k) {
    std::string cmd = "make-patch-package verify " + c.options.package + " --old " + baseDir;
    if (!c.options.newDir.empty()) cmd += " --new " + c.options.newDir;
    cmd += " --cut-at " + std::to_string(k) + " --runner " + c.options.runner + " --rootfs " +
           c.options.rootfs;
    return cmd;
}

}  // namespace

std::vector<long> cutPoints(long cuts, long deviceCalls) {
    std::vector<long> points;
    if (deviceCalls <= 0 || cuts == 0) return points;
    if (cuts < 0 || cuts >= deviceCalls) {
        for (long k = 1; k <= deviceCalls; ++k)
            points.push_back(k);
        return points;
    }
    if (cuts == 1) return {deviceCalls};
    for (long i = 0; i < cuts; ++i) {
        long k = 1 + (deviceCalls - 1) * i / (cuts - 1);
        if (points.empty() || points.back() != k) points.push_back(k);
    }
    return points;
}

const char* verifyUsageText() {
    return kVerifyUsage;
}

std::string parseVerifyOptions(int argc, char** argv, VerifyOptions_T* o,
                               const std::function<const char*(const char*)>& getEnv) {
    host::Shard given;
    bool shardGiven = false;
    size_t shards = 0;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            o->help = true;
        } else if (arg == "--old" && hasValue) {
            o->oldDirs.push_back(argv[++i]);
        } else if (arg == "--new" && hasValue) {
            o->newDir = argv[++i];
        } else if (arg == "--key" && hasValue) {
            o->key = argv[++i];
        } else if (arg == "--runner" && hasValue) {
            o->runner = argv[++i];
        } else if (arg == "--rootfs" && hasValue) {
            o->rootfs = argv[++i];
        } else if (arg == "--lang" && hasValue) {
            o->lang = argv[++i];
            if (o->lang.empty() || o->lang.find('/') != std::string::npos)
                return "bad --lang " + o->lang;
        } else if (arg == "--cuts" && hasValue) {
            std::string v = argv[++i];
            if (v == "every") {
                o->cuts = -1;
            } else if (!parseCount(v.c_str(), &o->cuts)) {
                return "--cuts takes 'every' or a count";
            }
        } else if (arg == "--cut-at" && hasValue) {
            if (!parseCount(argv[++i], &o->cutAt)) return "--cut-at takes a device call number";
        } else if (arg == "--shard" && hasValue) {
            std::string error;
            if (!host::parseShard(argv[++i], &given, &error)) return "bad --shard: " + error;
            shardGiven = true;
        } else if (arg == "--shards" && hasValue) {
            long n = 0;
            if (!parseCount(argv[++i], &n)) return "--shards takes a count";
            shards = static_cast<size_t>(n);
        } else if (arg == "--report" && hasValue) {
            o->report = argv[++i];
            if (o->report.empty()) return "--report takes a file";
        } else if (arg == "-j" && hasValue) {
            long j = 0;
            if (!parseCount(argv[++i], &j) || j > 64) return "-j takes 1 to 64";
            o->jobs = static_cast<int>(j);
        } else if (arg.rfind("-", 0) == 0) {
            return "unknown option " + arg;
        } else if (o->package.empty()) {
            o->package = arg;
        } else {
            return "unexpected argument " + arg;
        }
    }
    if (o->help) return std::string();
    if (o->package.empty()) return "verify needs PKG";
    if (o->oldDirs.empty()) return "verify needs at least one --old DIR";
    const bool splits = shardGiven || shards != 0 || !o->report.empty();
    if (splits && o->cutAt > 0)
        return "--cut-at makes one cut alone; it takes no --shard, --shards or --report";
    if (splits && o->cuts == 0)
        return "--shard, --shards and --report split a sweep: give --cuts every or --cuts N";
    std::string error;
    if (!host::chooseShard(shardGiven ? &given : nullptr, shards, !o->report.empty(), getEnv,
                           &o->shard, &error)) {
        return error;
    }
    return std::string();
}

namespace {

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
    Context c;
    std::string error = parseVerifyOptions(argc, argv, &c.options, getenv);
    if (c.options.help) {
        fputs(kVerifyUsage, stdout);
        return 0;
    }
    if (!error.empty()) {
        fprintf(stderr, "make-patch-package verify: %s\n%s", error.c_str(), kVerifyUsage);
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
        bool survived = r.setup.empty() && r.state == uncut[cut.base].state;
        bool packageLeft = regularFileSize(setDir + "/OAD/patch_package.zip") >= 0;
        cut.ending = !survived     ? CutEnding::Lost
                     : packageLeft ? CutEnding::PackageLeft
                                   : CutEnding::Survived;
        if (!survived) {
            std::string why = !r.setup.empty()        ? r.setup
                              : r.verdictLine.empty() ? "no verdict"
                                                      : "after " + std::to_string(r.restarts) +
                                                            " restarts, last: " + r.verdictLine;
            cut.reason = why + "; differs from the uncut run: " +
                         stateDifference(uncut[cut.base].state, r.state);
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
            fputs(kVerifyUsage, stdout);
            return 0;
        }
        if (arg.rfind("-", 0) == 0) {
            fprintf(stderr, "make-patch-package verify-merge: unknown option %s\n%s", arg.c_str(),
                    kVerifyUsage);
            return 2;
        }
        paths.push_back(arg);
    }
    if (paths.empty()) {
        fprintf(stderr, "make-patch-package verify-merge: needs the shards' reports\n%s",
                kVerifyUsage);
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
