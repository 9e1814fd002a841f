// The package's manifest: what the package expects of the set and what it
// leaves there, in the lines package.h describes.
#pragma once

#include <string>
#include <vector>

#include "partition_plan.h"

namespace mpp {

// Largest release number --release takes: like every number of the lists, it
// fits the set's signed 32-bit fields.
constexpr long long kMaxRelease = 2147483647LL;

// The manifest of a package of `plans` (in run order) that installs `release`.
// The same plans give the same text.
std::string manifestText(const std::vector<PartitionPlan_T>& plans, long long release);

}  // namespace mpp
