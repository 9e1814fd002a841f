// One boot of the emulated board: QEMU with the armmp kernel, the board's
// initramfs, the set's disk and the host's /usr over 9p, running one command.
#pragma once

#include <string>
#include <vector>

#include "sandbox_set.h"

namespace board {

// Exit codes and verdicts, the same as the sandbox runner's.
using sandbox::kExitCut;
using sandbox::kExitReboot;
using sandbox::kExitRunnerFailure;
using sandbox::kExitSignalBase;
using sandbox::kExitTimeout;

struct BoardFiles {
    std::string kernel;     // build/board/vmlinuz
    std::string initramfs;  // build/board/initramfs.cpio
    std::string armRootfs;  // build-armhf/rootfs: the program as the set installs it
};
// Finds the board's files beside this executable's build tree.
bool findBoardFiles(BoardFiles* out, std::string* error);

struct BoardBoot {
    std::string disk;
    std::string writeLog;              // non-empty: record every write and flush here
    std::string rootfs;                // laid over the host's /usr; may be empty
    std::vector<std::string> command;  // empty: the installed program
    long cutAfterMs = -1;              // after the command has started
    std::string cutAtOutput;
    long timeoutS = -1;      // from QEMU's start
    std::string consoleLog;  // the whole console, boot included
    bool echo = true;        // pass the command's output to stdout
    std::string scratchDir;  // holds the guest's control share
};

enum class Ending { Reboot, Exit, Signal, Cut, Timeout, Failed };

struct BoardResult {
    Ending ending = Ending::Failed;
    int value = 0;       // exit status or signal
    long elapsedMs = 0;  // cut moment, or the command's run time
    long bootMs = -1;    // QEMU's start to the command's start
    long totalMs = 0;    // QEMU's start to its end
    std::string detail;  // why the runner failed
};

BoardResult bootBoard(const BoardFiles& files, const BoardBoot& boot);

std::string verdictText(const BoardResult& result, long timeoutS);
int exitCodeOf(const BoardResult& result);

}  // namespace board
