// The closing report of a build.
#pragma once

#include <string>
#include <vector>

#include "partition_plan.h"

namespace mpp {

struct PartitionCounts_T {
    int unchanged = 0;
    int patched = 0;
    int created = 0;
    int deleted = 0;
    int whole = 0;
};

PartitionCounts_T countItems(const PartitionPlan_T& plan);

// A line per partition, then the package size against the new images' size.
std::string summaryText(const std::vector<PartitionPlan_T>& plans, long long packageSize);

}  // namespace mpp
