// What the builder decides for one partition: the list lines and the items
// behind them, each checked before anything is packed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "list_line.h"
#include "options.h"

namespace mpp {

enum class ItemKind { kChkSync, kUpdate, kCreate, kDelete, kEntotal };

struct PartItem_T {
    ItemKind kind = ItemKind::kChkSync;
    int index = 0;
    std::string fileName;
    // MD5 of the item's result (chksync, delete: of the installed part).
    std::string checkSum;
    // Byte position of the part in the partition.
    long long offset = 0;
    // Bytes the item carries from the new image (create, update, entotal) or
    // names in the installed one (chksync, delete).
    long long length = 0;
    // update and chksync: the installed part the item is checked against,
    // its length and MD5 (for chksync the same bytes as the result).
    long long baseLength = 0;
    std::string baseMd5;
    // update only: the checked patch in the work directory, its size and MD5.
    std::string patchPath;
    long long patchSize = 0;
    std::string patchMd5;
};

struct PartitionPlan_T {
    std::string partition;
    bool whole = false;
    std::string oldPath;
    std::string newPath;
    long long oldSize = 0;
    long long newSize = 0;
    // MD5 of the whole installed image, for a partition split into parts.
    std::string oldMd5;
    std::string newMd5;
    std::vector<PartItem_T> items;
    std::vector<ListLine_T> lines;
};

struct PlanContext_T {
    std::string workDir;
    // Run as "<checker> --check-patch OLD NEW PATCH": applies a patch with the
    // set's own applier in a child, which may end itself on a bad patch.
    std::string checker;
    DiffTool diff = DiffTool::kBuiltin;
    // Run as "<bsdiff> OLD NEW PATCH" with --diff bsdiff.
    std::string bsdiff = "bsdiff";
    int jobs = 1;
};

// Called with (parts done, parts in all) as part items finish.
using PartProgress = std::function<void(int, int)>;

// Images at or above this size do not fit the set's signed 32-bit fields.
constexpr long long kMaxImageSize = 2147483648LL;

// Plans `plan.partition` from plan.oldPath/newPath (sizes already filled):
// a whole-image item when plan.whole, otherwise one item per part. Returns
// an empty string on success, else the reason the partition cannot be packed.
std::string planPartition(const PlanContext_T& context, PartitionPlan_T& plan,
                          const PartProgress& progress);

// Name of the whole-image item of a partition ("usrfs.img").
std::string wholeImageName(const std::string& partition);

}  // namespace mpp
