// One run of a command on a simulated set, inside fresh namespaces.
#pragma once

#include <string>
#include <vector>

#include "sandbox_set.h"

namespace sandbox {

struct RunOptions {
    std::string setDir;
    std::string rootfs;                // may be empty when a command is given
    long cutAfterMs = -1;              // < 0: no cut
    long timeoutS = -1;                // < 0: no limit
    std::string cutAtOutput;           // non-empty: cut as soon as the command prints this
    std::vector<std::string> command;  // empty: the program installed in rootfs
    std::string keepWritable;          // non-empty: keep /run and /dev here, bind no host path
    long tmpSizeKib = -1;              // > 0: a /tmp of this size
    long cutAtWrite = -1;              // > 0: cut right after this many device calls
    bool countWrites = false;          // report how many device calls the run made
    long holdAtWrite = -1;             // > 0: hold this device call at its entry while...
    std::string meanwhile;             // ...this shell text runs in the sandbox
};

// The program as the set's image installs it.
constexpr const char kInstalledProgram[] = "/usr/bin/upgradeprogress/upgradeprogress";

// Prints the command's output as it comes, then one verdict line; returns the
// runner's exit code.
int runSandbox(const RunOptions& options);

}  // namespace sandbox
