#include "summary.h"

#include <cstdio>

namespace mpp {

PartitionCounts_T countItems(const PartitionPlan_T& plan) {
    PartitionCounts_T counts;
    for (const PartItem_T& item : plan.items) {
        switch (item.kind) {
            case ItemKind::kChkSync:
                ++counts.unchanged;
                break;
            case ItemKind::kUpdate:
                ++counts.patched;
                break;
            case ItemKind::kCreate:
                ++counts.created;
                break;
            case ItemKind::kDelete:
                ++counts.deleted;
                break;
            case ItemKind::kEntotal:
                ++counts.whole;
                break;
        }
    }
    return counts;
}

std::string summaryText(const std::vector<PartitionPlan_T>& plans, long long packageSize) {
    std::string text;
    char line[256];
    long long newBytes = 0;
    for (const PartitionPlan_T& plan : plans) {
        const PartitionCounts_T counts = countItems(plan);
        if (plan.whole) {
            snprintf(line, sizeof(line), "%-12s whole image, %lld bytes\n", plan.partition.c_str(),
                     plan.newSize);
        } else {
            snprintf(line, sizeof(line), "%-12s %d unchanged, %d patched, %d created, %d deleted\n",
                     plan.partition.c_str(), counts.unchanged, counts.patched, counts.created,
                     counts.deleted);
        }
        text += line;
        newBytes += plan.newSize;
    }
    const double percent =
        newBytes > 0 ? 100.0 * static_cast<double>(packageSize) / static_cast<double>(newBytes)
                     : 0.0;
    snprintf(line, sizeof(line), "package %lld bytes for %lld bytes of new images (%.1f%%)\n",
             packageSize, newBytes, percent);
    text += line;
    return text;
}

}  // namespace mpp
