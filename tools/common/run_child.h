// Starting a helper program as a child of a host tool and waiting for it.
#pragma once

#include <string>
#include <vector>

namespace host {

struct ChildOptions {
    // Directory the child starts in; empty keeps the caller's.
    std::string workDir;
    // NAME=VALUE entries set in the child's environment on top of the
    // caller's.
    std::vector<std::string> environment;
    // Written to the child's stdin, which is closed after it; the child
    // reads /dev/null when empty.
    std::string input;
    // The child's stdout and stderr are appended to this file when given;
    // otherwise they are kept in ChildResult::output.
    std::string outputFile;
    // The child writes to the caller's own stdout and stderr instead.
    bool inheritOutput = false;
    // Wall-clock limit in milliseconds; 0 or less waits as long as it runs.
    // A child over it is killed with its whole process group.
    long timeoutMs = 0;
    // CPU-seconds limit of the child (RLIMIT_CPU, hard limit 5 s above);
    // 0 leaves it unlimited.
    long cpuLimitSeconds = 0;
};

struct ChildResult {
    // Exit status, 128 + the signal number when a signal ended it, or -1
    // when it could not be started or waited for.
    int status = -1;
    bool started = false;
    bool timedOut = false;
    // Its stdout and stderr interleaved, when they went to neither an output
    // file nor the caller's.
    std::string output;
    // Why it could not be started, when it could not.
    std::string error;
    // The child's user + system CPU time and its peak resident memory.
    double cpuSeconds = 0;
    long peakKiB = 0;

    bool succeeded() const { return status == 0 && !timedOut; }
};

// Runs argv[0] (looked up in PATH when it holds no '/') and waits for it;
// with a time-out, in a process group of its own. Safe from threaded
// programs: the child is spawned, not forked.
ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

// The command line as one line for messages: arguments joined by spaces.
std::string commandText(const std::vector<std::string>& argv);

}  // namespace host
