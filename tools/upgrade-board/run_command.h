// "upgrade-board run": one boot of the board on SETDIR, its end state written
// back into SETDIR so that the sandbox's checkers read it as they read theirs.
#pragma once

#include <string>
#include <vector>

namespace board {

struct RunRequest {
    std::string setDir;
    std::string rootfs;
    std::vector<std::string> command;
    long cutAfterMs = -1;
    std::string cutAtOutput;
    long timeoutS = -1;
};

// Prints the command's output, then the verdict line; returns its exit code.
int runOnBoard(const RunRequest& request);

}  // namespace board
