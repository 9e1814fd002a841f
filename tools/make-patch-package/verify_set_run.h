// One simulated set of a verify run: made fresh by the sandbox runner with a
// base's images in its partitions and the package pending, the installed
// program run on it (cut at a device call, then restarted as the boot stage
// does), and what the run left behind.
#pragma once

#include <string>
#include <vector>

#include "verify.h"
#include "verify_record.h"

namespace mpp {

// A directory of installed images (--old) and the size of the set's
// partitions that hold them.
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
    std::string state;  // finalState() after the last start
    std::string setup;  // non-empty: the set could not be made
    SetRecord record;   // uncut runs only
};

struct VerifyContext {
    VerifyOptions_T options;
    std::string workDir;
    std::string package;  // the resolved path of the package laid into each set
};

// Runs argv with stdout and stderr into `logPath`; returns the exit code
// (128 + signal), or -1 when it could not start.
int runLogged(const std::vector<std::string>& args, const std::string& logPath);

// The whole of a text file; empty when it cannot be read.
std::string readText(const std::string& path);
// The last non-empty line of `text`.
std::string lastLine(const std::string& text);
// "55 aa 00 ..."
std::string hexBytes(const std::string& bytes);

// The boot-flag bytes the checks read, from the set's flag partition; empty
// when they cannot be read.
std::string flagBytes(const std::string& setDir);

// What a finished run leaves that the set's next boot depends on: the flags
// and every partition's MD5, a line each.
std::string finalState(const std::string& setDir);

// Where an uncut run keeps the partitions as installed, to compare them with
// after the run.
std::string installedCopyDir(const std::string& setDir);

// The set made fresh at `setDir`, run once (cutAt 0, its device calls
// counted and its partitions as installed kept aside) or cut after device
// call `cutAt` and restarted while the boot stage would.
RunResult runOnFreshSet(const VerifyContext& c, const Base& base, const std::string& setDir,
                        long cutAt);

}  // namespace mpp
