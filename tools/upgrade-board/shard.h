// Which part of a campaign's states one machine of a batch runs: the states
// are chosen from the seed as always, and shard I of N boots every N-th one,
// starting with the I-th. The rule is the host tools' shared one.
#pragma once

#include "batch_shard.h"

namespace board {

using host::chooseShard;
using host::inShard;
using host::parseShard;
using host::Shard;
using host::shardFromEnvironment;

}  // namespace board
