// Which part of a long run one machine of a batch takes: the whole run's
// items are chosen as always, and shard I of N takes every N-th one,
// starting with the I-th. The host tools that split their runs share this
// rule and the batch engines' variables it reads.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace host {

struct Shard {
    size_t index = 1;  // counted from 1
    size_t count = 1;  // 1: every item
};

// "I/N" with 1 <= I <= N.
bool parseShard(const std::string& text, Shard* out, std::string* error);

// The shard a batch engine gave this job, for a run without --shard:
//   CI_NODE_INDEX (from 1) of CI_NODE_TOTAL;
//   SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN (from 0) of `shards`;
//   JOB_COMPLETION_INDEX (from 0) of `shards`.
// `shards` is --shards N, 0 when not given. Returns false with `error` set
// when the variables are inconsistent; `found` tells whether any applied.
bool shardFromEnvironment(const std::function<const char*(const char*)>& getEnv, size_t shards,
                          Shard* out, bool* found, std::string* error);

// The shard of a command line: --shard I/N as given (`given`, null without
// it); else, when the run writes a report or was given --shards N (`shards`,
// 0 without it), the batch engine's; else the whole run. False with `error`
// set when --shard and --shards disagree, the variables are inconsistent, or
// --shards names a count and nothing names the index.
bool chooseShard(const Shard* given, size_t shards, bool writesReport,
                 const std::function<const char*(const char*)>& getEnv, Shard* out,
                 std::string* error);

// Whether the item at `position` (from 0, in the unsharded order) is this shard's.
inline bool inShard(const Shard& shard, size_t position) {
    return position % shard.count == shard.index - 1;
}

// For a merge of shards' reports: "" when every one of `seen`'s items (each
// nonzero once some report held it) was claimed, else "M of T <plural> are
// in no report: 4, 9, ..." naming the first ten.
std::string unclaimedInReports(const std::vector<size_t>& seen, const std::string& plural);

}  // namespace host
