#include "campaign.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "board_disk.h"
#include "board_run.h"
#include "child.h"
#include "crash_states.h"
#include "ground.h"
#include "report.h"
#include "set_check.h"
#include "sandbox_set.h"
#include "state_ending.h"
#include "timeline_svg.h"
#include "write_log.h"

namespace board {

namespace {

std::mutex outputMutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

long nowS() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

std::string seconds(long ms) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
    return buf;
}

struct Trial {
    std::string label;
    const CrashState* state = nullptr;  // a crash state of the write log
    long cutAfterMs = -1;               // or a board cut by killing QEMU
    bool cutRestart = false;            // the restart that resumes `state` is cut too
    uint64_t restartSeed = 0;           // which crash state of that restart
    bool classed = false;               // one of the fault classes' states
    bool ofFailureRun = false;          // replayed from the run that took the failure ending
};

struct Shared {
    const CampaignRequest* request;
    BoardFiles files;
    DiskLayout layout;
    std::string baseDisk;
    WriteLog log;
    ExpectedImages expected;
    std::string rootfs;
    std::string logDir;  // where the recorded log and disks stay
    // A run that takes the failure ending: the set with a checked part
    // drifted from the package's base, and its log.
    std::string failureBase;
    WriteLog failureLog;
};

// The partition the last write up to a log entry went to, for a state's line.
std::string partitionAt(const Shared& shared, const WriteLog& log, size_t entry) {
    while (entry > 0 && !isWrite(log.entries.at(entry)))
        --entry;
    const LogEntry& e = log.entries.at(entry);
    if (!isWrite(e)) return "nothing";
    const long long at = static_cast<long long>(e.sector * log.sectorSize);
    for (const DiskPartition& p : shared.layout.partitions) {
        if (at >= p.offset && at < p.offset + p.bytes) return p.name;
    }
    return "outside the partitions";
}

// How a state with a fault class ended, from the problems its boots left.
Outcome classify(const Shared& shared, const Trial& trial, const std::string& disk,
                 const std::string& dir, const std::string& problems, bool committedAtCut) {
    EndingFacts facts;
    std::string error;
    facts.fault = trial.state->fault;
    facts.committedAtCut = committedAtCut;
    facts.problems = problems;
    if (!problems.empty()) {
        facts.successFlags = successFlagsSet(shared.layout, disk);
        facts.imageProblems = imageProblems(shared.layout, disk, shared.expected);
        facts.pending = upgradePending(shared.layout, disk, &error);
        facts.recordReadable = lastResult(shared.layout, disk, dir, &facts.record);
    }
    return decideEnding(facts);
}

// A boot of `disk` that runs the installed program without echoing it, its
// scratch files in `dir` and its whole console in `consoleLog`.
BoardBoot quietBoot(const Shared& shared, const std::string& disk, const std::string& dir,
                    const std::string& consoleLog) {
    BoardBoot boot;
    boot.disk = disk;
    boot.rootfs = shared.rootfs;
    boot.echo = false;
    boot.timeoutS = shared.request->timeoutS;
    boot.scratchDir = dir;
    boot.consoleLog = consoleLog;
    return boot;
}

size_t flushesIn(const WriteLog& log) {
    return static_cast<size_t>(std::count_if(log.entries.begin(), log.entries.end(),
                                             [](const LogEntry& e) { return isFlush(e); }));
}

// Keeps a failing crash state as a set of its own, so that "upgrade-board run"
// boots it again exactly as the campaign first did.
std::string keepState(const Shared& shared, const std::string& crashDisk, const std::string& dir) {
    std::string setDir = dir + "/set";
    std::string error;
    if (mkdir(setDir.c_str(), 0755) != 0 || mkdir((setDir + "/emmc").c_str(), 0755) != 0) return "";
    DiskLayout copy = shared.layout;
    for (DiskPartition& p : copy.partitions) {
        if (p.ext4) {
            p.hostPath = p.name == "OAD" ? sandbox::oadPath(setDir) : sandbox::varLocalPath(setDir);
            mkdir(p.hostPath.c_str(), 0755);
        } else {
            p.hostPath = sandbox::imagePath(setDir, p.name.c_str());
            if (!runTool({"truncate", "-s", std::to_string(p.bytes), p.hostPath}, &error))
                return "";
        }
    }
    if (!writeBackDisk(copy, crashDisk, &error)) return "";
    return setDir;
}

// Boots the disk on the boot stage's rule; returns the problems, empty when
// the disk ended upgraded.
std::string bootUntilDone(const Shared& shared, const std::string& dir, const std::string& disk,
                          int* boots, std::string* notes) {
    std::string error;
    bool ranToEnd = false;
    std::string lastVerdict;
    while (*boots < boot_stage::kRestarts && upgradePending(shared.layout, disk, &error)) {
        BoardBoot boot =
            quietBoot(shared, disk, dir, dir + "/boot-" + std::to_string(*boots + 1) + ".log");
        BoardResult r = bootBoard(shared.files, boot);
        ++*boots;
        lastVerdict = verdictText(r, boot.timeoutS);
        ranToEnd = r.ending == Ending::Reboot;
        if (!ranToEnd) return "boot " + std::to_string(*boots) + " ended: " + lastVerdict;
    }
    return upgradeProblems(shared.layout, disk, shared.expected, ranToEnd, dir, notes);
}

// A run's log up to its first write to the boot-flag partition: the image
// writes and the work files, before any byte the boot stage reads, so that a
// cut there always leaves a restart due. The whole log when no flag is written.
WriteLog beforeFlagWrites(const WriteLog& log, const DiskLayout& layout) {
    WriteLog early = log;
    const DiskPartition* flags = findPartition(layout, flagPartitionName());
    if (flags == nullptr) return early;
    const uint64_t begin = static_cast<uint64_t>(flags->offset);
    const uint64_t end = begin + static_cast<uint64_t>(flags->bytes);
    for (size_t i = 0; i < log.entries.size(); ++i) {
        const LogEntry& e = log.entries[i];
        const uint64_t from = e.sector * log.sectorSize;
        const uint64_t to = (e.sector + e.sectors) * log.sectorSize;
        if (isWrite(e) && from < end && to > begin) {
            early.entries.resize(i);
            break;
        }
    }
    return early;
}

// A power cut while the set resumes: boots the crash state once with every
// write and flush logged, puts the disk back as the first cut left it, and
// replays a crash state of that restart's own log onto it: from before its
// flag writes, or from anywhere when it wrote nothing else first. That
// restart counts as one of the boot stage's starts. Returns what went wrong; empty
// when `disk` now holds the second crash state or no restart was due.
std::string cutTheRestart(const Shared& shared, const std::string& dir, const std::string& disk,
                          uint64_t seed, int* boots, std::string* label) {
    std::string error;
    if (!upgradePending(shared.layout, disk, &error)) {
        *label += ", no restart due to cut";
        return error;
    }
    std::string before = dir + "/before-restart.img";
    if (!copyFile(disk, before, &error)) return "runner failed (" + error + ")";
    BoardBoot boot = quietBoot(shared, disk, dir, dir + "/boot-1.log");
    boot.writeLog = dir + "/restart-write.log";
    BoardResult r = bootBoard(shared.files, boot);
    ++*boots;
    if (r.ending != Ending::Reboot)
        return "the recorded restart ended: " + verdictText(r, boot.timeoutS);
    WriteLog log;
    if (!readWriteLog(boot.writeLog, &log, &error)) return "runner failed (" + error + ")";
    std::vector<CrashState> states =
        chooseCrashStates(beforeFlagWrites(log, shared.layout), 8, seed);
    if (states.empty()) states = chooseCrashStates(log, 8, seed);
    if (states.empty()) return "the restart wrote nothing that a cut could fall in";
    std::mt19937_64 rng(seed);
    const CrashState& second = states[rng() % states.size()];
    if (rename(before.c_str(), disk.c_str()) != 0 ||
        !replayEntries(log, second.entries, disk, &error)) {
        return "runner failed (" + (error.empty() ? "cannot restore " + before : error) + ")";
    }
    *label += "; its restart cut at " + second.describe(log.entries.size(), flushesIn(log));
    unlink(boot.writeLog.c_str());
    return "";
}

std::string runTrial(const Shared& shared, const Trial& trial, size_t index, Outcome* outcome) {
    const CampaignRequest& req = *shared.request;
    char name[32];
    snprintf(name, sizeof name, "/%s-%03zu", trial.state ? "state" : "cut", index + 1);
    std::string dir = req.workDir + name;
    std::string error;
    runTool({"rm", "-rf", "--", dir}, &error);
    mkdir(dir.c_str(), 0755);
    std::string disk = dir + "/disk.img";
    std::string crashDisk = dir + "/crash.img";
    if (!copyFile(trial.ofFailureRun ? shared.failureBase : shared.baseDisk, disk, &error))
        return trial.label + ": runner failed (" + error + ")";
    int boots = 0;
    std::string prefix = trial.label;
    if (trial.state != nullptr) {
        if (!replayCrashState(trial.ofFailureRun ? shared.failureLog : shared.log, *trial.state,
                              disk, &error)) {
            return trial.label + ": runner failed (" + error + ")";
        }
    } else {
        BoardBoot boot = quietBoot(shared, disk, dir, dir + "/cut.log");
        boot.cutAfterMs = trial.cutAfterMs;
        BoardResult r = bootBoard(shared.files, boot);
        prefix += " (" + verdictText(r, req.timeoutS) + ")";
        if (r.ending == Ending::Failed) return prefix + ": runner failed";
    }
    std::string problems;
    if (trial.cutRestart)
        problems = cutTheRestart(shared, dir, disk, trial.restartSeed, &boots, &prefix);
    // What a failing trial keeps: the disk as the last cut left it.
    copyFile(disk, crashDisk, &error);
    const bool committedAtCut = successFlagsSet(shared.layout, disk);
    std::string notes;
    if (problems.empty()) problems = bootUntilDone(shared, dir, disk, &boots, &notes);
    std::string line =
        prefix + ": " + std::to_string(boots) + (boots == 1 ? " start" : " starts") + ", ";
    if (trial.classed) {
        *outcome = classify(shared, trial, disk, dir, problems, committedAtCut);
    } else {
        outcome->ending = problems.empty() ? StateEnding::Upgraded : StateEnding::Other;
        outcome->reason = problems;
    }
    // A state booted again alone (--only) keeps its consoles and disks
    // whatever its ending: it is being looked into.
    const bool keep = req.only != 0;
    if (outcome->ending == StateEnding::Upgraded) {
        line += "upgraded";
        if (!notes.empty()) line += " (" + notes + ")";
        outcome->cleanUpLeft = !notes.empty();
        if (!keep) runTool({"rm", "-rf", "--", dir}, &error);
        if (keep) line += "; consoles in " + dir;
        return line;
    }
    if (outcome->ending == StateEnding::RefusedOrFailed) {
        line += "refused or failed as the design allows: " + outcome->reason;
    } else if (outcome->ending == StateEnding::LostAfterCommit) {
        line += "lost after commit: " + outcome->reason;
    } else if (outcome->ending == StateEnding::FalseSuccess) {
        line += "FALSE SUCCESS: success flags set while " + outcome->reason;
    } else {
        line += "NOT upgraded: " + problems;
    }
    if (!keep && (outcome->ending == StateEnding::RefusedOrFailed ||
                  outcome->ending == StateEnding::LostAfterCommit)) {
        runTool({"rm", "-rf", "--", dir}, &error);
        return line;
    }
    std::string kept = keepState(shared, crashDisk, dir);
    line += "; consoles in " + dir;
    if (!kept.empty()) line += "; boot it again: upgrade-board run " + kept + " " + shared.rootfs;
    return line;
}

// The set as the recorded run found it, with the first 4 KiB of every data
// partition turned over, so that the program's pre-check refuses the package; that run is recorded
// in LOGDIR/failure/ (or taken from there with --log). Returns what went wrong.
std::string recordFailureRun(Shared* shared) {
    std::string error;
    const std::string dir = shared->logDir + "/failure";
    shared->failureBase = dir + "/base.img";
    const std::string logPath = dir + "/write.log";
    if (shared->request->logDir.empty()) {
        mkdir(dir.c_str(), 0755);
        if (!copyFile(shared->baseDisk, shared->failureBase, &error)) return error;
        // Every data partition drifts: whichever the package patches, its
        // pre-check then finds a part that is not the base it was made for.
        for (const auto& image : shared->expected) {
            const DiskPartition* p = findPartition(shared->layout, image.first);
            std::string bytes;
            if (p == nullptr || !readPartition(*p, shared->failureBase, 0, 4096, &bytes, &error))
                return "cannot read " + image.first + " of " + shared->failureBase;
            for (char& c : bytes)
                c = static_cast<char>(~c);
            FILE* f = fopen(shared->failureBase.c_str(), "r+b");
            bool written = f != nullptr && fseeko(f, p->offset, SEEK_SET) == 0 &&
                           fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
            if (f != nullptr && fclose(f) != 0) written = false;
            if (!written) return "cannot drift " + image.first + " in " + shared->failureBase;
        }
        const std::string disk = dir + "/disk.img";
        if (!copyFile(shared->failureBase, disk, &error)) return error;
        BoardBoot boot = quietBoot(*shared, disk, dir, dir + "/console.log");
        boot.writeLog = logPath;
        BoardResult r = bootBoard(shared->files, boot);
        std::string record;
        if (r.ending != Ending::Reboot || successFlagsSet(shared->layout, disk) ||
            upgradePending(shared->layout, disk, &error) ||
            !lastResult(shared->layout, disk, dir, &record)) {
            return "the run with drifted partitions did not take the failure ending (" +
                   verdictText(r, shared->request->timeoutS) + "); console in " + boot.consoleLog;
        }
        say("campaign: recorded one failure ending, every data partition's first 4 KiB "
            "drifted: " +
            record);
    }
    if (!readWriteLog(logPath, &shared->failureLog, &error)) return error;
    return "";
}

}  // namespace

int runCampaign(const CampaignRequest& requestIn) {
    CampaignRequest request = requestIn;
    long started = nowS();
    Shared shared;
    shared.request = &request;
    std::string error;
    auto fail = [](const std::string& why) {
        printf("campaign: runner failed (%s)\n", why.c_str());
        fflush(stdout);
        return kExitRunnerFailure;
    };
    if (!findBoardFiles(&shared.files, &error)) return fail(error);
    shared.rootfs = request.rootfs.empty() ? shared.files.armRootfs : request.rootfs;
    if (shared.rootfs.empty())
        return fail("no ROOTFS given and no armhf build: run scripts/cross-armhf");
    // Booting states of an earlier campaign again must not remove its log.
    if (request.workDir.empty())
        request.workDir =
            request.setDir + (request.logDir.empty() ? "/.board/campaign" : "/.board/again");
    shared.logDir = request.logDir.empty() ? request.workDir : request.logDir;
    runTool({"rm", "-rf", "--", request.workDir}, &error);
    if (!runTool({"mkdir", "-p", request.workDir}, &error)) return fail(error);
    if (!planDisk(request.setDir, &shared.layout, &error)) return fail(error);
    shared.baseDisk = shared.logDir + "/base.img";
    std::string recordDir = shared.logDir + "/record";
    std::string recorded = recordDir + "/disk.img";
    BoardBoot boot = quietBoot(shared, recorded, recordDir, recordDir + "/console.log");
    boot.writeLog = shared.logDir + "/write.log";
    BoardResult record;
    if (!request.logDir.empty()) {
        // The upgrade an earlier campaign recorded, already checked there.
        record.ending = Ending::Reboot;
    } else {
        if (!buildDisk(shared.layout, shared.baseDisk, &error)) return fail(error);
        if (!upgradePending(shared.layout, shared.baseDisk, &error))
            return fail("the set has no upgrade pending");
        // One upgrade with every write and flush logged.
        mkdir(recordDir.c_str(), 0755);
        if (!copyFile(shared.baseDisk, recorded, &error)) return fail(error);
        record = bootBoard(shared.files, boot);
    }
    if (record.ending != Ending::Reboot) {
        return fail("the recorded upgrade ended: " + verdictText(record, request.timeoutS) +
                    "; console in " + boot.consoleLog);
    }
    if (!readWriteLog(boot.writeLog, &shared.log, &error)) return fail(error);
    const size_t flushes = flushesIn(shared.log);
    if (!request.logDir.empty()) {
        say("campaign: the upgrade recorded in " + request.logDir + ": " +
            std::to_string(shared.log.entries.size()) + " log entries, " + std::to_string(flushes) +
            " FLUSH");
    } else {
        const size_t fua = static_cast<size_t>(
            std::count_if(shared.log.entries.begin(), shared.log.entries.end(),
                          [](const LogEntry& e) { return (e.flags & kLogFua) != 0; }));
        say("campaign: recorded one upgrade: boot " + seconds(record.bootMs) + ", program " +
            seconds(record.elapsedMs) + ", QEMU " + seconds(record.totalMs) + "; " +
            std::to_string(shared.log.entries.size()) + " log entries, " + std::to_string(flushes) +
            " FLUSH, " + std::to_string(fua) + " FUA");

        // The reader is only trusted if the whole log rebuilds the recorded disk.
        std::string replayed = request.workDir + "/replayed.img";
        std::vector<size_t> all(shared.log.entries.size());
        for (size_t i = 0; i < all.size(); ++i)
            all[i] = i;
        if (!copyFile(shared.baseDisk, replayed, &error) ||
            !replayEntries(shared.log, all, replayed, &error)) {
            return fail(error);
        }
        if (!runTool({"cmp", "--quiet", replayed, recorded}, &error)) {
            return fail("replaying the whole write log does not give the recorded disk");
        }
        unlink(replayed.c_str());
        say("campaign: replaying the whole write log gives the recorded disk byte for byte");
    }

    if (!request.newImages.empty()) {
        if (!loadNewImages(request.newImages, &shared.expected, &error)) return fail(error);
    } else if (!imagesOfDisk(shared.layout, recorded, &shared.expected, &error)) {
        return fail(error);
    }
    // An earlier campaign's log may be shared by several campaigns at once
    // (the shards of one): its recorded disk is checked through a copy, as
    // reading a disk leaves scratch files beside it.
    std::string checked = recorded, checkDir = recordDir;
    if (!request.logDir.empty()) {
        checked = request.workDir + "/recorded.img";
        checkDir = request.workDir + "/record-check";
        mkdir(checkDir.c_str(), 0755);
        if (!copyFile(recorded, checked, &error)) return fail(error);
    }
    std::string notes;
    std::string recordProblems =
        upgradeProblems(shared.layout, checked, shared.expected, true, checkDir, &notes);
    if (!request.logDir.empty()) runTool({"rm", "-rf", "--", checked, checkDir}, &error);
    if (!recordProblems.empty())
        return fail("the recorded upgrade did not end upgraded: " + recordProblems);

    const bool withFailure = std::find(request.faults.begin(), request.faults.end(),
                                       Fault::Failure) != request.faults.end();
    if (withFailure) {
        std::string why = recordFailureRun(&shared);
        if (!why.empty()) return fail(why);
    }

    // What tells the shards of one campaign from those of another: the
    // states are chosen from the logs, so every shard must replay the same.
    const std::string logId = recordedLogId(shared.logDir, withFailure);

    std::vector<CrashState> states;
    if (request.faults.empty()) {
        states = chooseCrashStates(shared.log, request.states, request.seed);
    } else {
        std::vector<size_t> share = spreadStates(request.states, request.faults.size());
        for (size_t c = 0; c < request.faults.size(); ++c) {
            std::vector<CrashState> more;
            if (request.faults[c] == Fault::Failure) {
                more = chooseCrashStates(shared.failureLog, share[c], request.seed ^ 0x6661696cULL);
                for (size_t k = 0; k < more.size(); ++k) {
                    more[k].fault = Fault::Failure;
                    more[k].seed = (request.seed ^ 0x6661696cULL) * 1000003ULL + k;
                }
            } else if (request.faults[c] == Fault::Twice) {
                more = chooseCrashStates(beforeFlagWrites(shared.log, shared.layout), share[c],
                                         request.seed ^ 0x7477696365ULL);
                for (size_t k = 0; k < more.size(); ++k) {
                    more[k].fault = Fault::Twice;
                    more[k].seed = request.seed * 1000003ULL + k;
                }
            } else {
                more = chooseFaultStates(shared.log, request.faults[c], share[c], request.seed);
            }
            if (more.size() < share[c]) {
                say(std::string("campaign: the log holds only ") + std::to_string(more.size()) +
                    " " + faultName(request.faults[c]) + " states of the " +
                    std::to_string(share[c]) + " asked for");
            }
            states.insert(states.end(), more.begin(), more.end());
        }
    }
    std::vector<Trial> trials;
    const std::string again = "upgrade-board campaign " + request.setDir + " " + shared.rootfs +
                              (request.newImages.empty() ? "" : " --new " + request.newImages) +
                              " --log " + shared.logDir + " --faults " + request.faultsText +
                              " --states " + std::to_string(request.states) + " --seed " +
                              std::to_string(request.seed) + " --only ";
    for (size_t i = 0; i < states.size() && !request.faults.empty(); ++i) {
        const CrashState& st = states[i];
        const WriteLog& log = st.fault == Fault::Failure ? shared.failureLog : shared.log;
        std::string damage = describeDamage(st);
        Trial t{"state " + std::to_string(i + 1) + "/" + std::to_string(states.size()) + " " +
                    faultName(st.fault) + " seed " + std::to_string(st.seed) + " (" +
                    (st.fault == Fault::Failure ? "failure run's " : "") +
                    st.describe(log.entries.size(), flushesIn(log)) + ", last write to " +
                    partitionAt(shared, log, st.lastEntry) + (damage.empty() ? "" : "; " + damage) +
                    "; again: " + again + std::to_string(i + 1) + ")",
                &st, -1};
        t.classed = true;
        t.cutRestart = st.fault == Fault::Twice;
        t.ofFailureRun = st.fault == Fault::Failure;
        t.restartSeed = st.seed;
        trials.push_back(t);
    }
    for (size_t i = 0; i < states.size() && request.faults.empty(); ++i) {
        trials.push_back({"state " + std::to_string(i + 1) + "/" + std::to_string(states.size()) +
                              " (" + states[i].describe(shared.log.entries.size(), flushes) + ")",
                          &states[i], -1});
    }
    // Crash states whose resuming restart is cut as well.
    std::vector<CrashState> twiceStates =
        request.twice > 0 ? chooseCrashStates(beforeFlagWrites(shared.log, shared.layout),
                                              request.twice, request.seed ^ 0x7477696365ULL)
                          : std::vector<CrashState>();
    for (size_t i = 0; i < twiceStates.size(); ++i) {
        Trial t{"twice " + std::to_string(i + 1) + "/" + std::to_string(twiceStates.size()) + " (" +
                    twiceStates[i].describe(shared.log.entries.size(), flushes) + ")",
                &twiceStates[i], -1};
        t.cutRestart = true;
        t.restartSeed = request.seed * 1000003ULL + i;
        trials.push_back(t);
    }
    std::mt19937_64 rng(request.seed ^ 0x6375747320ULL);
    for (size_t c = 0; c < request.cuts; ++c) {
        // Spread over the program's whole run, clean-up included.
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        long ms = static_cast<long>((static_cast<double>(c) + unit(rng)) * record.elapsedMs /
                                    request.cuts);
        trials.push_back(
            {"cut " + std::to_string(c + 1) + "/" + std::to_string(request.cuts), nullptr, ms});
    }
    say("campaign: " + std::to_string(states.size()) + " crash states, " +
        std::to_string(twiceStates.size()) + " cut twice and " + std::to_string(request.cuts) +
        " cuts, seed " + std::to_string(request.seed) + ", " + std::to_string(request.jobs) +
        " at a time");

    if (request.only > trials.size())
        return fail("there is no state " + std::to_string(request.only));
    if (request.shard.count > 1) {
        std::string mine;
        for (size_t i = request.shard.index - 1; i < trials.size() && mine.size() < 60;
             i += request.shard.count)
            mine += (mine.empty() ? "" : ", ") + std::to_string(i + 1);
        say("campaign: shard " + std::to_string(request.shard.index) + " of " +
            std::to_string(request.shard.count) + ": " +
            (mine.empty() ? "no state" : "states " + mine + (mine.size() >= 60 ? ", ..." : "")));
    }
    std::atomic<size_t> next{0};
    std::atomic<size_t> statesUpgraded{0}, twiceUpgraded{0}, cutsUpgraded{0}, cleanUpsLeft{0};
    std::vector<Outcome> outcomes(trials.size());
    std::vector<char> ran(trials.size(), 0);  // one byte each: the workers write them at once
    auto worker = [&]() {
        for (size_t i = next++; i < trials.size(); i = next++) {
            if (request.only != 0 && i + 1 != request.only) continue;
            if (!inShard(request.shard, i)) continue;
            std::string line = runTrial(shared, trials[i], i, &outcomes[i]);
            ran[i] = 1;
            if (outcomes[i].ending == StateEnding::Upgraded) {
                (trials[i].classed      ? statesUpgraded
                 : trials[i].cutRestart ? twiceUpgraded
                 : trials[i].state      ? statesUpgraded
                                        : cutsUpgraded)++;
            }
            if (outcomes[i].cleanUpLeft) cleanUpsLeft++;
            say(line);
        }
    };
    std::vector<std::thread> pool;
    for (int j = 0; j < std::max(1, request.jobs); ++j)
        pool.emplace_back(worker);
    for (std::thread& t : pool)
        t.join();

    long wall = nowS() - started;
    std::vector<StateRecord> records;
    for (size_t i = 0; i < trials.size(); ++i) {
        if (!trials[i].classed || !ran[i]) continue;
        const Outcome& o = outcomes[i];
        records.push_back({i + 1, trials[i].state->fault, o.ending, o.cleanUpLeft, o.reason,
                           trials[i].state->lastEntry + 1, trials[i].ofFailureRun});
    }
    const Summary summary = summarize(request.faults, records);
    const size_t falseSuccesses = summary.falseSuccesses, others = summary.others;
    if (!request.faults.empty()) {
        for (const std::string& line : summary.table)
            say(line);
    }
    if (request.faults.empty()) {
        say("campaign: " + std::to_string(statesUpgraded.load()) + " of " +
            std::to_string(states.size()) + " crash states ended upgraded");
    }
    if (!twiceStates.empty()) {
        say("campaign: " + std::to_string(twiceUpgraded.load()) + " of " +
            std::to_string(twiceStates.size()) +
            " crash states cut again in their restart ended upgraded");
    }
    if (request.cuts > 0) {
        say("campaign: " + std::to_string(cutsUpgraded.load()) + " of " +
            std::to_string(request.cuts) + " QEMU cuts ended upgraded");
    }
    if (cleanUpsLeft > 0) {
        say("campaign: " + std::to_string(cleanUpsLeft.load()) +
            " of them had the success flags set before the cut and are not started again; their "
            "/OAD keeps what "
            "the clean-up had not removed yet");
    }
    say("campaign: wall time " + std::to_string(wall / 60) + " min " + std::to_string(wall % 60) +
        " s");
    if (!request.faults.empty()) {
        if (others > 0) say(summary.othersLine());
        say(summary.lastLine());
        if (!request.reportPath.empty()) {
            Report report;
            report.seed = request.seed;
            report.asked = request.states;
            report.total = trials.size();
            report.faults = faultList(request.faults);
            report.log = logId;
            report.shard = request.shard;
            report.records = records;
            if (!writeReport(request.reportPath, report, &error)) return fail(error);
            say("campaign: endings written to " + request.reportPath);
        }
        const std::string picture =
            request.picturePath.empty() ? request.workDir + "/timeline.svg" : request.picturePath;
        Timeline timeline;
        if (!loadTimeline(shared.logDir, withFailure, &timeline, &error)) return fail(error);
        // The classes' states only, as a report of a shard counts them: QEMU
        // cuts and --twice are not drawn.
        timeline.caption = timelineCaption(request.seed, states.size(), faultList(request.faults));
        if (!writeTimeline(picture, timelineSvg(timeline, records), &error)) return fail(error);
        say("campaign: picture " + picture);
        // The recorded log stays, so that each state's command boots it again.
        const bool twiceAndCutsGood =
            twiceUpgraded == twiceStates.size() && cutsUpgraded == request.cuts;
        return falseSuccesses == 0 && others == 0 && twiceAndCutsGood ? 0 : 1;
    }
    bool allGood = statesUpgraded == states.size() && twiceUpgraded == twiceStates.size() &&
                   cutsUpgraded == request.cuts;
    if (allGood && request.logDir.empty())
        runTool({"rm", "-rf", "--", recordDir, shared.baseDisk, boot.writeLog}, &error);
    return allGood ? 0 : 1;
}

int mergeCampaign(const std::vector<std::string>& paths, const std::string& logDir,
                  const std::string& picture) {
    std::vector<Report> reports(paths.size());
    std::string error;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!readReport(paths[i], &reports[i], &error)) {
            printf("merge: %s\n", error.c_str());
            return kExitRunnerFailure;
        }
    }
    Report merged;
    if (!mergeReports(reports, &merged, &error)) {
        printf("merge: %s\n", error.c_str());
        return kExitRunnerFailure;
    }
    std::vector<Fault> faults;
    parseFaults(merged.faults, &faults, &error);
    const bool withFailure =
        std::find(faults.begin(), faults.end(), Fault::Failure) != faults.end();
    if (!logDir.empty()) {
        // The states' places are entries of the logs they replayed: a picture
        // over other logs would put them where their cuts did not fall.
        const std::string id = recordedLogId(logDir, withFailure);
        if (id != merged.log) {
            printf("merge: the logs in %s (%s) are not the ones the reports replayed (%s)\n",
                   logDir.c_str(), id.empty() ? "unreadable" : id.c_str(), merged.log.c_str());
            return kExitRunnerFailure;
        }
    }
    const Summary summary = summarize(faults, merged.records);
    say("campaign: " + std::to_string(reports.size()) + " reports of seed " +
        std::to_string(merged.seed) + ", " + std::to_string(merged.total) + " crash states");
    for (const std::string& line : summary.table)
        say(line);
    if (summary.cleanUpsLeft > 0) {
        say("campaign: " + std::to_string(summary.cleanUpsLeft) +
            " of them had the success flags set before the cut and are not started again; their "
            "/OAD keeps what "
            "the clean-up had not removed yet");
    }
    if (summary.others > 0) say(summary.othersLine());
    say(summary.lastLine());
    if (!logDir.empty()) {
        Timeline timeline;
        bool drawn = loadTimeline(logDir, withFailure, &timeline, &error);
        if (drawn) {
            timeline.caption = timelineCaption(merged.seed, merged.total, merged.faults);
            drawn = writeTimeline(picture, timelineSvg(timeline, merged.records), &error);
        }
        if (!drawn) {
            printf("merge: %s\n", error.c_str());
            return kExitRunnerFailure;
        }
        say("campaign: picture " + picture);
    }
    return summary.falseSuccesses == 0 && summary.others == 0 ? 0 : 1;
}

}  // namespace board
