// How a crash state with a fault class ended, decided from what its boots
// left on the disk: upgraded, refused or failed as the design allows, lost
// after commit, or a false success.
#pragma once

#include <string>

#include "crash_states.h"

namespace board {

enum class StateEnding { Upgraded, RefusedOrFailed, LostAfterCommit, FalseSuccess, Other };

struct Outcome {
    StateEnding ending = StateEnding::Other;
    std::string reason;  // refused or failed: why; otherwise what is wrong
    bool cleanUpLeft = false;
};

// What the campaign read from the disk after the state's last start.
struct EndingFacts {
    Fault fault = Fault::Cached;
    bool committedAtCut = false;  // the success flags were on the medium at the cut
    std::string problems;         // the boots' and the upgrade check's, empty when upgraded
    bool successFlags = false;    // 55 AA 55 AA at bytes 4, 5, 7, 8 now
    std::string imageProblems;    // the partitions without their new image
    bool pending = false;         // the boot stage would start the program again
    bool recordReadable = false;  // /var/local could be read
    std::string record;           // its last_result, in one line
};

Outcome decideEnding(const EndingFacts& facts);

}  // namespace board
