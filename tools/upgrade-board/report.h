// A campaign's endings as a file, so that the shards of one campaign run on
// several machines can be put together again, and the table per class with
// the campaign's last line made from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crash_states.h"
#include "shard.h"
#include "state_ending.h"

namespace board {

// How one state of a campaign with fault classes ended.
struct StateRecord {
    size_t number = 0;  // from 1, in the unsharded numbering
    Fault fault = Fault::Cached;
    StateEnding ending = StateEnding::Other;
    bool cleanUpLeft = false;
    std::string reason;
    // Where the cut fell: after this many entries of the recorded upgrade's
    // log, or of the failure run's; 0 when the report did not say.
    size_t entry = 0;
    bool failureRun = false;
};

// An ending as a report and the picture name it: "refused-or-failed".
const char* endingName(StateEnding ending);

// The table per class and the counts of its last lines.
struct Summary {
    std::vector<std::string> table;  // "campaign: by fault class", the header, rows, reasons
    size_t ran = 0, upgraded = 0, refused = 0, lost = 0, falseSuccesses = 0, others = 0;
    size_t cleanUpsLeft = 0;
    std::string othersLine() const;  // empty when every state ended one of the four ways
    std::string lastLine() const;
};

Summary summarize(const std::vector<Fault>& faults, const std::vector<StateRecord>& records);

struct Report {
    uint64_t seed = 0;
    size_t asked = 0;    // --states
    size_t total = 0;    // states the seed chose, over all shards
    std::string faults;  // the classes, "flush,cached"
    std::string log;     // what identifies the recorded log(s)
    Shard shard;
    std::vector<StateRecord> records;  // this shard's, by number
};

// A fingerprint of a file's bytes and size, "" when it cannot be read.
std::string fileFingerprint(const std::string& path);

// What identifies the logs a campaign recorded in its work directory: the
// upgrade's write.log, and failure/write.log when the failure class was
// asked for. A report's `log`; "" when one cannot be read.
std::string recordedLogId(const std::string& logDir, bool withFailure);

std::string faultList(const std::vector<Fault>& faults);

bool writeReport(const std::string& path, const Report& report, std::string* error);
bool readReport(const std::string& path, Report* report, std::string* error);

// One report from the shards' of one campaign: same seed, log, classes and
// state count, and every state exactly once.
bool mergeReports(const std::vector<Report>& reports, Report* merged, std::string* error);

}  // namespace board
