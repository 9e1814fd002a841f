// A verify run's outcome as data: what its summary table and last line are
// made from, and the file a shard of a cut sweep writes so that the shards
// run on several machines can be put back into the table one run prints.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "batch_shard.h"

namespace mpp {

// One base's uncut run.
struct VerifiedBase {
    std::string dir;      // as given to --old
    std::string images;   // what identifies it: "optfs=SHA256 ..." of the images it holds
    std::string verdict;  // upgrades; refused, no partition changed; failed, changed: ...; ...
    std::string detail;
    double seconds = 0;
    long deviceCalls = -1;
};

// A cut of the sweep: the base it cuts and the device call it cuts after.
struct PlannedCut {
    size_t base = 0;
    long deviceCall = 0;
};

// The K values a sweep of `cuts` (--cuts: 0 none, -1 every device call, N sampled) cuts at, for a
// run of `deviceCalls` calls: every one, or `cuts` spread evenly from the first to the last.
std::vector<long> cutPoints(long cuts, long deviceCalls);

// The cuts of a sweep, in the order that numbers them (cut n is element
// n - 1): every base that upgrades, in --old order, with the device calls
// cutPoints(cuts, its calls) chooses, or `cutAt` alone when it is > 0.
std::vector<PlannedCut> planCuts(long cuts, long cutAt, const std::vector<VerifiedBase>& bases);

enum class CutEnding {
    Survived,     // the final state is the uncut run's
    PackageLeft,  // survived, but /OAD still holds the package
    Lost,         // the final state differs
};

struct CutRecord {
    long number = 0;  // from 1, in the unsharded numbering
    size_t base = 0;  // index into the run's bases
    long deviceCall = 0;
    CutEnding ending = CutEnding::Lost;
    std::string reason;     // Lost: why, and how the final state differs from the uncut run's
    std::string reproduce;  // Lost: the command that makes this cut alone
};

struct VerifyRun {
    std::string package;        // as given
    std::string packageSha256;  // of its bytes
    std::string cutsAsked;      // --cuts: "every" or a count
    long total = 0;             // the sweep's cuts over all shards
    host::Shard shard;
    size_t reports = 1;       // a merged run: how many shards' reports it was made from
    double sweepSeconds = 0;  // this shard's sweep; a merged run: the shards' added up
    std::vector<VerifiedBase> bases;
    std::vector<CutRecord> cuts;  // by number
};

// The table per base, each lost cut with its reproduce command, the notes,
// the sweep's line and the last line. Returns the exit code of the run:
// 0 when every base upgrades and every cut survived, else 1.
int printVerifySummary(const VerifyRun& run, FILE* out);

// Written whole under another name first, then renamed over `path`.
bool writeVerifyReport(const std::string& path, const VerifyRun& run, std::string* error);
// Reads a report back, refusing one whose cuts are not those its header's
// bases and --cuts choose.
bool readVerifyReport(const std::string& path, VerifyRun* run, std::string* error);

// One run from the shards' reports of one sweep: same package, bases (their
// images, verdicts and device calls), --cuts and number of cuts, and every
// cut exactly once.
bool mergeVerifyReports(const std::vector<VerifyRun>& reports, VerifyRun* merged,
                        std::string* error);

}  // namespace mpp
