// Which part of a campaign's states one machine of a batch runs: the states
// are chosen from the seed as always, and shard I of N boots every N-th one,
// starting with the I-th.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace board {

struct Shard {
    size_t index = 1;  // counted from 1
    size_t count = 1;  // 1: every state
};

// "I/N" with 1 <= I <= N.
bool parseShard(const std::string& text, Shard* out, std::string* error);

// The shard a batch engine gave this job, for a campaign without --shard:
//   CI_NODE_INDEX (from 1) of CI_NODE_TOTAL;
//   SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN (from 0) of `shards`;
//   JOB_COMPLETION_INDEX (from 0) of `shards`.
// `shards` is --shards N, 0 when not given. Returns false with `error` set
// when the variables are inconsistent; `found` tells whether any applied.
bool shardFromEnvironment(const std::function<const char*(const char*)>& getEnv, size_t shards,
                          Shard* out, bool* found, std::string* error);

// Whether the state at `position` (from 0, in the unsharded order) is this shard's.
inline bool inShard(const Shard& shard, size_t position) {
    return position % shard.count == shard.index - 1;
}

}  // namespace board
