// "upgrade-board campaign": records one upgrade's writes, replays them to
// many crash points, boots every crash state again on the boot stage's rule
// and checks that each ends upgraded. Also cuts whole boards by killing QEMU,
// and cuts the restart that resumes a crash state a second time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crash_states.h"
#include "shard.h"

namespace board {

struct CampaignRequest {
    std::string setDir;  // a set with the upgrade pending and the package in OAD
    std::string rootfs;
    std::string newImages;  // DIR with optfs.img ...; empty: the recorded run's end state
    size_t states = 20;
    size_t cuts = 0;   // boards cut by killing QEMU at a random moment
    size_t twice = 0;  // crash states whose resuming restart is cut as well
    uint64_t seed = 1;
    int jobs = 1;
    long timeoutS = 900;  // per boot
    std::string workDir;  // empty: SETDIR/.board/campaign
    // Fault classes: the states are spread over them, and each state ends
    // upgraded, refused or failed, lost after commit, or a false success.
    // Empty: today's crash states at flushes and with cached writes lost.
    std::vector<Fault> faults;
    std::string faultsText;  // as given, for the command that boots a state again
    // A previous campaign's work directory: its recorded log and disks are
    // used instead of recording a new upgrade.
    std::string logDir;
    size_t only = 0;  // 1..: boot only this state of the list
    // This machine's part of the states: every shard.count-th, in the
    // numbering of the whole campaign.
    Shard shard;
    std::string reportPath;  // also write the endings there, for "upgrade-board merge"
    // With fault classes: where the timeline picture goes; empty:
    // WORKDIR/timeline.svg.
    std::string picturePath;
};

// One line per state, then the summary; 0 when every state ended upgraded
// (with fault classes: when none was a false success or ended otherwise than
// the four ways).
int runCampaign(const CampaignRequest& request);

// "upgrade-board merge": the table and last line of the campaign whose
// shards wrote `reports`; exits as that campaign would have. With `logDir`
// (the campaign's work directory, whose logs the reports must have
// replayed) it also draws the campaign's picture into `picture`.
int mergeCampaign(const std::vector<std::string>& reports, const std::string& logDir = "",
                  const std::string& picture = "");

}  // namespace board
