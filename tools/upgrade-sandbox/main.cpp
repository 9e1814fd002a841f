// upgrade-sandbox: runs the upgrade program, or a test binary, on a simulated
// set, never on this machine. Each run gets fresh mount, PID and IPC
// namespaces whose init is the runner's child, a private read-only root, the
// set's partition images as loop block devices under their eMMC names, and
// the set's persistent /OAD and /var/local. reboot() inside only ends the
// namespace.
//
//   upgrade-sandbox new SETDIR [--rootfs ROOTFS] [--size-mib N]
//   upgrade-sandbox run SETDIR [ROOTFS] [--cut-after-ms N] [--cut-at-output TEXT] [--timeout S]
//                       [--cut-at-write K | --hold-at-write K --meanwhile SHELLTEXT]
//                       [--count-writes] [-- COMMAND ARGS...]
//
// The last line on stdout of "run" is the verdict; the exit code follows it:
//   upgrade-sandbox: exit status N        N
//   upgrade-sandbox: reboot requested     100
//   upgrade-sandbox: killed by signal N   128+N
//   upgrade-sandbox: cut after N ms       101
//   upgrade-sandbox: timed out after S s  124
//   upgrade-sandbox: runner failed ...    2   (the runner's own failure: no root,
//                                              no namespaces or loop devices, bad set)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run.h"
#include "sandbox_set.h"
#include "command_line.h"
#include "parse_number.h"

namespace {

// The set's largest partition is a few GiB; anything past 64 GiB is a typo.
constexpr long kMaxPartitionMiB = 65536;

const char kUsage[] =
    "usage:\n"
    "  upgrade-sandbox new SETDIR [--rootfs ROOTFS] [--size-mib N]\n"
    "      Makes a fresh simulated set: SETDIR/emmc/mmcblk0p4.img (boot flags, 1 MiB of\n"
    "      zeros), mmcblk0p18/26/28/34.img (N MiB each, default 64, sparse), SETDIR/OAD/\n"
    "      and SETDIR/var-local/ (a copy of ROOTFS/var/local when given).\n"
    "  upgrade-sandbox run SETDIR [ROOTFS] [--cut-after-ms N] [--cut-at-output TEXT]\n"
    "                      [--timeout S] [--keep-writable DIR] [--tmp-kib N]\n"
    "                      [--cut-at-write K | --hold-at-write K --meanwhile SHELLTEXT]\n"
    "                      [--count-writes] [-- COMMAND ARGS...]\n"
    "      Runs COMMAND (an absolute path), or ROOTFS's /usr/bin/upgradeprogress/upgradeprogress,\n"
    "      as the only program of the set, in fresh mount and PID namespaces: the host's\n"
    "      /usr and /etc read-only with ROOTFS laid over them, the images as loop devices\n"
    "      /dev/mmcblk0p{4,18,26,28,34} (and /dev/block/mmcblk0p4), /OAD and /var/local\n"
    "      from SETDIR, fresh /tmp, /proc, /dev, and DirectFB set to its headless dummy\n"
    "      system. --cut-after-ms kills everything N ms after the command starts, like a\n"
    "      power cut between two system calls: what was written to a device stays in its\n"
    "      image even if it was never fsynced (the host's page cache survives the cut).\n"
    "      --cut-at-output cuts the same way as soon as TEXT appears on the command's\n"
    "      stdout (which then passes through the runner); the cut lands a moment after\n"
    "      the line, not before the command's next step. --timeout kills it likewise\n"
    "      after S seconds. --keep-writable DIR keeps the root's only writable layers\n"
    "      outside /OAD, /var/local and /tmp, that is /run and /dev, in DIR/run and\n"
    "      DIR/dev for a look afterwards, and binds no host path into the sandbox.\n"
    "      --tmp-kib N makes /tmp hold at most N KiB. --cut-at-write K cuts right after\n"
    "      the K-th device call: a write, pwrite64, writev, pwritev, pwritev2, fsync or\n"
    "      fdatasync on a partition's device, counted over every process and thread of\n"
    "      the run (traced with seccomp and ptrace); calls past the K-th never run.\n"
    "      --hold-at-write K stops the K-th device call at its entry and, once every\n"
    "      earlier one has completed, runs /bin/sh -c SHELLTEXT in the sandbox; the call\n"
    "      runs when that has ended. The command's other threads run on meanwhile, but\n"
    "      their device calls wait too. It prints 'upgrade-sandbox: held at device call K\n"
    "      while the meanwhile command ran (exit N)' before the verdict.\n"
    "      --count-writes (and --cut-at-write) print 'upgrade-sandbox: N device calls'\n"
    "      before the verdict. Needs root.\n"
    "\n"
    "The last line of 'run' on stdout, and the exit code:\n"
    "  upgrade-sandbox: exit status N        N\n"
    "  upgrade-sandbox: reboot requested     100  (reboot(RB_AUTOBOOT) was called)\n"
    "  upgrade-sandbox: killed by signal N   128+N\n"
    "  upgrade-sandbox: cut after N ms       101  (with '(device call K)' for --cut-at-write)\n"
    "  upgrade-sandbox: timed out after S s  124\n"
    "  upgrade-sandbox: runner failed ...    2    (no root, namespaces or loop devices; bad set)\n";

int usageError(const char* message) {
    fprintf(stderr, "upgrade-sandbox: %s\n%s", message, kUsage);
    return 2;
}

int commandNew(int argc, char** argv) {
    std::string setDir, rootfs;
    long sizeMiB = sandbox::kDefaultPartitionMiB;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--rootfs" && i + 1 < argc) {
            rootfs = argv[++i];
        } else if (arg == "--size-mib" && i + 1 < argc) {
            if (!host::parseNumber(argv[++i], &sizeMiB) || sizeMiB == 0 ||
                sizeMiB > kMaxPartitionMiB) {
                return usageError("bad --size-mib (1 to 65536)");
            }
        } else if (setDir.empty() && arg.rfind("--", 0) != 0) {
            setDir = arg;
        } else {
            return usageError(("unexpected argument " + arg).c_str());
        }
    }
    if (setDir.empty()) return usageError("new needs SETDIR");
    return sandbox::makeSet(setDir, rootfs, sizeMiB);
}

int commandRun(int argc, char** argv) {
    sandbox::RunOptions options;
    const host::SplitWords words = host::splitAtCommand(argc, argv);
    const std::vector<std::string>& own = words.own;
    for (size_t i = 0; i < own.size(); ++i) {
        const std::string& arg = own[i];
        const bool hasValue = i + 1 < own.size();
        if (arg == "--cut-after-ms" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &options.cutAfterMs))
                return usageError("bad --cut-after-ms");
        } else if (arg == "--cut-at-write" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &options.cutAtWrite) ||
                options.cutAtWrite == 0)
                return usageError("bad --cut-at-write (1 or more)");
        } else if (arg == "--hold-at-write" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &options.holdAtWrite) ||
                options.holdAtWrite == 0)
                return usageError("bad --hold-at-write (1 or more)");
        } else if (arg == "--meanwhile" && hasValue) {
            options.meanwhile = own[++i];
            if (options.meanwhile.empty()) return usageError("bad --meanwhile");
        } else if (arg == "--count-writes") {
            options.countWrites = true;
        } else if (arg == "--cut-at-output" && hasValue) {
            options.cutAtOutput = own[++i];
            if (options.cutAtOutput.empty()) return usageError("bad --cut-at-output");
        } else if (arg == "--timeout" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &options.timeoutS))
                return usageError("bad --timeout");
        } else if (arg == "--keep-writable" && hasValue) {
            options.keepWritable = own[++i];
        } else if (arg == "--tmp-kib" && hasValue) {
            if (!host::parseNumber(own[++i].c_str(), &options.tmpSizeKib) ||
                options.tmpSizeKib <= 0)
                return usageError("bad --tmp-kib");
        } else if (arg.rfind("--", 0) == 0) {
            return usageError(("unknown option " + arg).c_str());
        } else if (!host::takeOperand(arg, {&options.setDir, &options.rootfs})) {
            return usageError(("unexpected argument " + arg).c_str());
        }
    }
    options.command = words.command;
    if (options.setDir.empty()) return usageError("run needs SETDIR");
    if ((options.holdAtWrite > 0) != !options.meanwhile.empty())
        return usageError("--hold-at-write and --meanwhile go together");
    // A hold lets the call run afterwards; a cut never does.
    if (options.holdAtWrite > 0 && options.cutAtWrite > 0)
        return usageError("--hold-at-write and --cut-at-write exclude each other");
    return sandbox::runSandbox(options);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("missing command");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "new") return commandNew(argc - 2, argv + 2);
    if (command == "run") return commandRun(argc - 2, argv + 2);
    return usageError(("unknown command " + command).c_str());
}
