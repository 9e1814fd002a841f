// What verify makes of a finished run: the verdict on a base's uncut run,
// the ending of a cut, and the log line that tells why a run failed.
#pragma once

#include <string>

#include "verify_report.h"
#include "verify_set_run.h"

namespace mpp {

// The line of the program's log that tells why it took the failure ending:
// the first failure inside the last item an action named, or else the last
// failure before the ending. (A partition the package does not carry logs a
// failed list extraction too, and the upgrade goes on.)
std::string firstFailure(const std::string& log);

// The verdict on a base's uncut run on `setDir`: upgrades (the success flags,
// the set cleaned up, and with --new every partition holding its new image);
// refused or failed, told by the partitions' bytes; stops; or ends otherwise.
VerifiedBase judgeUncut(const VerifyContext& c, const RunResult& r, const std::string& setDir);

// The ending of a cut run on `setDir`, against its base's uncut run: survived
// when the final state is the uncut run's (package left when the cut fell
// after the flags and before the clean-up), lost otherwise with the reason.
void judgeCut(const RunResult& cutRun, const RunResult& uncut, const std::string& setDir,
              CutRecord* cut);

}  // namespace mpp
