// upgrade-board: runs the armhf program on an emulated ARM board
// (qemu-system-arm, Debian's armmp kernel) whose one virtio disk is the set's
// eMMC, and cuts it the two ways a real power cut loses data: what the
// guest's page cache still held (QEMU killed), and what the device's volatile
// cache still held (the write log replayed to a crash point).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "campaign.h"
#include "ground.h"
#include "run_command.h"
#include "command_line.h"
#include "parse_number.h"

namespace {

const std::string kUsage =
    "usage:\n"
    "  upgrade-board run SETDIR [ROOTFS] [--cut-after-ms N] [--cut-at-output TEXT] [--timeout S]\n"
    "                    [-- COMMAND ARGS...]\n"
    "      Boots the board on SETDIR (made by 'upgrade-sandbox new'): its images and folders\n"
    "      become one GPT disk, the guest's /usr is the host's armhf /usr with ROOTFS's usr\n"
    "      laid over it (default: build-armhf/rootfs). Runs COMMAND, or the installed\n"
    "      program, and writes the disk back into SETDIR however the run ended.\n"
    "      --cut-after-ms N kills QEMU N ms after the command started, --cut-at-output TEXT\n"
    "      as soon as TEXT appears: what the guest's page cache held is lost.\n"
    "      --timeout S kills it S s after QEMU started.\n"
    "  upgrade-board campaign SETDIR [ROOTFS] [--states N] [--cuts N] [--twice N]\n"
    "                    [--seed S] [-j N] [--new DIR] [--timeout S]\n"
    "                    [--faults LIST] [--log DIR] [--only K]\n"
    "                    [--shard I/N | --shards N] [--report FILE] [--picture FILE]\n"
    "      Records one upgrade of SETDIR with every write and flush logged, replays the log\n"
    "      to N crash points (default 20) and boots each again while bytes 4 and 7 of the\n"
    "      boot flags are not both 0x55, at most " +
    std::to_string(boot_stage::kRestarts) +
    " times. --cuts N also kills QEMU at N\n"
    "      moments of the program's run. --twice N takes N more crash states from before the\n"
    "      first write to the boot flags and cuts the restart that resumes each one as well:\n"
    "      that restart is recorded, and a crash state of its own log (before its flag\n"
    "      writes when it wrote anything else first) is replayed onto the disk as the first\n"
    "      cut left it. Each state must end with every partition holding its new image\n"
    "      (DIR/optfs.img ..., or the recorded run's end state), the success flags set and\n"
    "      /OAD clean. Exit 0 when all did.\n"
    "      --faults LIST spreads the N states over fault classes (comma-separated, or all):\n"
    "      flush, cached (the default states), torn (as cached, one write since the flush\n"
    "      landed in part), flipped (as cached, bits flipped in sectors written since the\n"
    "      flush), neighbour (as flush, a flushed sector near the last write damaged),\n"
    "      reordered (a write acknowledged before the last flush lost, later ones kept),\n"
    "      twice (as --twice), failure (a run of the set with its partitions drifted from\n"
    "      the package's base, which takes the failure ending, recorded and cut as\n"
    "      cached). Each state then ends upgraded, refused or failed as the\n"
    "      design allows, lost after commit, or a false success; a table per class\n"
    "      follows. Exit 0 when no state was a false success or ended otherwise.\n"
    "      --log DIR takes the upgrade an earlier campaign recorded in DIR (its work\n"
    "      directory) instead of recording one; --only K boots only the K-th state.\n"
    "      Each state's line prints the command that boots it again alone.\n"
    "      --shard I/N (I from 1) boots only states I, I+N, I+2N ... of the states the seed\n"
    "      chose, under their numbers in the whole campaign. Without it, with --report or\n"
    "      --shards N, the shard comes from CI_NODE_INDEX (from 1) of CI_NODE_TOTAL, or\n"
    "      SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN (from 0) of N, or\n"
    "      JOB_COMPLETION_INDEX (from 0) of N. --report FILE writes each state's class,\n"
    "      ending and reason to FILE. Both need --faults, and neither --cuts nor --twice.\n"
    "      With --faults the campaign also draws an SVG timeline of the recorded logs: the\n"
    "      writes by partition, the flushes, and each state where its cut fell, coloured by\n"
    "      its ending; into --picture FILE, or else timeline.svg in its work directory.\n"
    "  upgrade-board merge [--log DIR] [--picture FILE] REPORT...\n"
    "      Prints the table per class and last line of the campaign whose shards wrote the\n"
    "      REPORTs, and exits as it would have. Refuses reports of different seeds, logs,\n"
    "      classes or state counts, and a set that holds a state twice or misses one.\n"
    "      --log DIR (the campaign's work directory with the recorded logs) also draws the\n"
    "      campaign's timeline into --picture FILE (default timeline.svg); refused (2) when\n"
    "      DIR's logs are not the ones the reports replayed.\n"
    "\n"
    "The last line of 'run' on stdout, and the exit code (as upgrade-sandbox's):\n"
    "  upgrade-board: exit status N        N\n"
    "  upgrade-board: reboot requested     100\n"
    "  upgrade-board: killed by signal N   128+N\n"
    "  upgrade-board: cut after N ms       101\n"
    "  upgrade-board: timed out after S s  124\n"
    "  upgrade-board: runner failed (...)  2\n";

int usageError(const std::string& message) {
    fprintf(stderr, "upgrade-board: %s\n%s", message.c_str(), kUsage.c_str());
    return 2;
}

int commandRun(int argc, char** argv) {
    board::RunRequest request;
    const host::SplitWords words = host::splitAtCommand(argc, argv);
    const std::vector<std::string>& own = words.own;
    for (size_t i = 0; i < own.size(); ++i) {
        const std::string& arg = own[i];
        const bool hasValue = i + 1 < own.size();
        if (arg == "--timeout" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &request.timeoutS))
                return usageError("bad --timeout");
        } else if (arg == "--cut-at-output" && hasValue) {
            request.cutAtOutput = own[++i];
            if (request.cutAtOutput.empty()) return usageError("bad --cut-at-output");
        } else if (arg == "--cut-after-ms" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &request.cutAfterMs))
                return usageError("bad --cut-after-ms");
        } else if (arg.rfind("--", 0) == 0) {
            return usageError("unknown option " + arg);
        } else if (!host::takeOperand(arg, {&request.setDir, &request.rootfs})) {
            return usageError("unexpected argument " + arg);
        }
    }
    request.command = words.command;
    if (request.setDir.empty()) return usageError("run needs SETDIR");
    return board::runOnBoard(request);
}

int commandCampaign(int argc, char** argv) {
    board::CampaignRequest request;
    board::Shard given;  // --shard I/N
    bool shardGiven = false;
    size_t shards = 0;  // --shards N
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        long value = 0;
        bool hasValue = i + 1 < argc;
        if (arg == "--states" && hasValue) {
            if (!host::parseNumber(argv[++i], &value) || value == 0)
                return usageError("bad --states");
            request.states = static_cast<size_t>(value);
        } else if (arg == "--cuts" && hasValue) {
            if (!host::parseNumber(argv[++i], &value)) return usageError("bad --cuts");
            request.cuts = static_cast<size_t>(value);
        } else if (arg == "--twice" && hasValue) {
            if (!host::parseNumber(argv[++i], &value)) return usageError("bad --twice");
            request.twice = static_cast<size_t>(value);
        } else if (arg == "--seed" && hasValue) {
            if (!host::parseNumber(argv[++i], &value)) return usageError("bad --seed");
            request.seed = static_cast<uint64_t>(value);
        } else if (arg == "-j" && hasValue) {
            if (!host::parseNumber(argv[++i], &value) || value == 0 || value > 64)
                return usageError("bad -j");
            request.jobs = static_cast<int>(value);
        } else if (arg == "--timeout" && hasValue) {
            if (!host::parseNumber(argv[++i], &value) || value == 0)
                return usageError("bad --timeout");
            request.timeoutS = value;
        } else if (arg == "--new" && hasValue) {
            request.newImages = argv[++i];
        } else if (arg == "--faults" && hasValue) {
            std::string error;
            request.faultsText = argv[++i];
            if (!board::parseFaults(request.faultsText, &request.faults, &error))
                return usageError("bad --faults: " + error);
        } else if (arg == "--log" && hasValue) {
            request.logDir = argv[++i];
        } else if (arg == "--only" && hasValue) {
            if (!host::parseNumber(argv[++i], &value) || value == 0)
                return usageError("bad --only");
            request.only = static_cast<size_t>(value);
        } else if (arg == "--shard" && hasValue) {
            std::string error;
            if (!board::parseShard(argv[++i], &given, &error))
                return usageError("bad --shard: " + error);
            shardGiven = true;
        } else if (arg == "--shards" && hasValue) {
            if (!host::parseNumber(argv[++i], &value) || value == 0)
                return usageError("bad --shards");
            shards = static_cast<size_t>(value);
        } else if (arg == "--report" && hasValue) {
            request.reportPath = argv[++i];
        } else if (arg == "--picture" && hasValue) {
            request.picturePath = argv[++i];
            if (request.picturePath.empty()) return usageError("bad --picture");
        } else if (arg.rfind("-", 0) == 0) {
            return usageError("unknown option " + arg);
        } else if (!host::takeOperand(arg, {&request.setDir, &request.rootfs})) {
            return usageError("unexpected argument " + arg);
        }
    }
    if (request.setDir.empty()) return usageError("campaign needs SETDIR");
    if (!request.picturePath.empty() && request.faults.empty())
        return usageError("--picture needs --faults");
    if (!request.logDir.empty() && request.cuts > 0)
        return usageError("--cuts needs a recorded run of its own, not --log");
    std::string shardError;
    if (!board::chooseShard(shardGiven ? &given : nullptr, shards, !request.reportPath.empty(),
                            getenv, &request.shard, &shardError))
        return usageError(shardError);
    if (request.shard.count > 1 || !request.reportPath.empty()) {
        if (request.faults.empty()) return usageError("--shard and --report need --faults");
        if (request.cuts > 0 || request.twice > 0)
            return usageError(
                "--shard and --report take no --cuts or --twice (--faults twice "
                "cuts restarts)");
        if (request.only != 0) return usageError("--only boots one state; it takes no --shard");
    }
    return board::runCampaign(request);
}

int commandMerge(int argc, char** argv) {
    std::string logDir, picture;
    std::vector<std::string> reports;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc) {
            logDir = argv[++i];
            if (logDir.empty()) return usageError("bad --log");
        } else if (arg == "--picture" && i + 1 < argc) {
            picture = argv[++i];
            if (picture.empty()) return usageError("bad --picture");
        } else if (arg.rfind("--", 0) == 0) {
            return usageError("unknown option " + arg);
        } else {
            reports.push_back(arg);
        }
    }
    if (reports.empty()) return usageError("merge needs the shards' reports");
    if (!picture.empty() && logDir.empty())
        return usageError("merge --picture needs --log DIR, the campaign's recorded logs");
    return board::mergeCampaign(reports, logDir,
                                picture.empty() && !logDir.empty() ? "timeline.svg" : picture);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("missing command");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage.c_str(), stdout);
        return 0;
    }
    if (command == "run") return commandRun(argc - 2, argv + 2);
    if (command == "campaign") return commandCampaign(argc - 2, argv + 2);
    if (command == "merge") return commandMerge(argc - 2, argv + 2);
    return usageError("unknown command " + command);
}
