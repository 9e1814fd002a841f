#include "run_command.h"

#include <sys/stat.h>

#include <cstdio>

#include "board_disk.h"
#include "board_run.h"

namespace board {

namespace {

int failRun(const std::string& why) {
    fprintf(stderr, "upgrade-board: %s\n", why.c_str());
    printf("upgrade-board: runner failed (%s)\n", why.c_str());
    fflush(stdout);
    return kExitRunnerFailure;
}

}  // namespace

int runOnBoard(const RunRequest& request) {
    BoardFiles files;
    std::string error;
    if (!findBoardFiles(&files, &error)) return failRun(error);
    BoardBoot boot;
    boot.rootfs = request.rootfs;
    if (boot.rootfs.empty() && request.command.empty()) boot.rootfs = files.armRootfs;
    if (boot.rootfs.empty() && request.command.empty()) {
        return failRun("no ROOTFS given and no armhf build: run scripts/cross-armhf");
    }
    DiskLayout layout;
    if (!planDisk(request.setDir, &layout, &error)) return failRun(error);
    std::string scratch = request.setDir + "/.board";
    mkdir(scratch.c_str(), 0755);
    boot.disk = scratch + "/disk.img";
    boot.consoleLog = scratch + "/console.log";
    boot.scratchDir = scratch;
    boot.command = request.command;
    boot.cutAfterMs = request.cutAfterMs;
    boot.cutAtOutput = request.cutAtOutput;
    boot.timeoutS = request.timeoutS;
    if (!buildDisk(layout, boot.disk, &error)) return failRun(error);
    BoardResult result = bootBoard(files, boot);
    // A cut board keeps what reached its disk, like a set whose power went.
    if (result.ending != Ending::Failed && !writeBackDisk(layout, boot.disk, &error))
        return failRun(error);
    fprintf(stderr, "upgrade-board: boot %ld ms, command %ld ms, QEMU %ld ms; console in %s\n",
            result.bootMs, result.elapsedMs, result.totalMs, boot.consoleLog.c_str());
    printf("upgrade-board: %s\n", verdictText(result, request.timeoutS).c_str());
    fflush(stdout);
    return exitCodeOf(result);
}

}  // namespace board
