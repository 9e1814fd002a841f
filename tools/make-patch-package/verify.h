// "make-patch-package verify": runs a finished package, as the set will, on
// simulated sets holding the images installed in the field, and optionally
// cuts the power at every write it makes to a partition.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "batch_shard.h"

namespace mpp {

struct VerifyOptions_T {
    std::string package;
    std::vector<std::string> oldDirs;  // one simulated set per installed version
    std::string newDir;                // empty: the images are not compared
    std::string key;                   // empty: the signature is not checked
    std::string runner;                // the sandbox runner; empty: beside this program
    std::string rootfs;                // the set's root file system; empty: the build's rootfs
    std::string lang = "eng";
    long cuts = 0;       // 0: none, -1: every device call, N: N sampled
    long cutAt = 0;      // > 0: that single cut alone (to reproduce one)
    host::Shard shard;   // the part of the sweep's cuts this run makes
    std::string report;  // non-empty: the file the run's outcome is written to
    int jobs = 1;
    bool help = false;
};

// `getEnv` gives the batch engine's variables, which are read only for a
// run given --report or --shards and no --shard.
std::string parseVerifyOptions(int argc, char** argv, VerifyOptions_T* options,
                               const std::function<const char*(const char*)>& getEnv);
const char* verifyUsageText();

// Entry of the verb; argv starts after "verify". Exit 0 only when every base
// upgrades (and survives every cut asked for).
int verifyCommand(int argc, char** argv);

// "verify-merge REPORT...": the summary and last line of the sweep whose
// shards wrote the reports, and its exit code; 2 when they do not make one.
int verifyMergeCommand(int argc, char** argv);

}  // namespace mpp
