#include "state_ending.h"

#include "ground.h"

namespace board {

Outcome decideEnding(const EndingFacts& f) {
    Outcome out;
    const std::string& problems = f.problems;
    if (problems.empty()) {
        out.ending = StateEnding::Upgraded;
        return out;
    }
    if (f.successFlags) {
        if (!f.imageProblems.empty()) {
            // Only a device that breaks its flush contract, or damages what it
            // had already stored, can do this after the flags were on its
            // medium; anything else is the program's fault.
            const bool deviceAfterCommit =
                f.committedAtCut && (f.fault == Fault::Reordered || f.fault == Fault::Neighbour);
            out.ending =
                deviceAfterCommit ? StateEnding::LostAfterCommit : StateEnding::FalseSuccess;
            out.reason = f.imageProblems;
        } else if (problems.find("cannot be read") != std::string::npos) {
            out.ending = StateEnding::RefusedOrFailed;
            out.reason = "/OAD or /var/local unmountable";
        } else {
            out.reason = problems;
        }
        return out;
    }
    // The board's init mounts /OAD and /var/local before the program starts,
    // as the set's boot does: damage that leaves one unmountable stops there.
    const bool aBoot = problems.rfind("boot ", 0) == 0;
    const std::string unmountable = "guest init failed: mount ";
    const size_t mount = problems.find(unmountable);
    if (aBoot && mount != std::string::npos) {
        const size_t at = mount + unmountable.size();
        out.ending = StateEnding::RefusedOrFailed;
        out.reason = problems.substr(at, problems.find(')', at) - at) + " unmountable";
        return out;
    }
    if (aBoot) {
        // A start that did not end in the program's reboot: only the patch
        // applier's refusal (exit 1) is an ending of the design.
        const std::string exit1 = ": exit status 1";
        const bool refusedPatch =
            problems.size() >= exit1.size() &&
            problems.compare(problems.size() - exit1.size(), exit1.size(), exit1) == 0;
        out.ending = refusedPatch ? StateEnding::RefusedOrFailed : StateEnding::Other;
        out.reason = problems;
        return out;
    }
    if (problems.rfind("runner failed", 0) == 0 || problems.rfind("the recorded restart", 0) == 0) {
        out.reason = problems;
        return out;
    }
    out.ending = StateEnding::RefusedOrFailed;
    if (!f.recordReadable) {
        out.reason = "/var/local unmountable";
    } else if (f.pending) {
        out.reason = "still pending after " + std::to_string(boot_stage::kRestarts) +
                     " starts, last record " + f.record;
    } else {
        out.reason = "failure ending, " + f.record;
    }
    return out;
}

}  // namespace board
