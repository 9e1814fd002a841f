// Item actions whose content comes whole from the package ("create",
// "entotal") or that carry none ("delete").
#include "ground.h"
#include "item_steps.h"
#include "package.h"
#include "partition.h"

using namespace item_steps;

int handleCreateBspatch(CongfigItemValue_T item) {
    const std::string result = itemPath(ota_paths::kUpdateDir, item);
    OTA_LOG("handleCreateBspatch %s.\n", result.c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    // A verified part left in the persistent directory by a run cut short is
    // written as it is.
    if (!reuseVerifiedResult(result, item)) {
        if (extractEntry(item, ota_paths::kUpdateDir) != 0 ||
            verifyOrDiscard(result, item, {&result}) != 0) {
            return 1;
        }
    }
    return writeToPartition(result, m_totalFileName, item, nullptr);
}

int handleDeleteBspatch(CongfigItemValue_T item) {
    OTA_LOG("handleDeleteBspatch %s.\n", itemPath(ota_paths::kOriginalDir, item).c_str());
    return itemNameIsSafe(item) ? 0 : 1;
}

int handleEntireTotalBspatch(CongfigItemValue_T item) {
    const std::string name = fieldText(item.fileName);
    OTA_LOG("handleEntireTotalBspatch %s.\n", name.c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    const std::string image = itemPath(ota_paths::kPatchDir, item);
    if (extractEntry(item, ota_paths::kPatchDir) != 0) {
        return 1;
    }
    // A whole image is extracted once more before it is given up: a single
    // bad read of the package must not fail the upgrade.
    if (checkMD5Sum(image, fieldText(item.checkSum), 0) != 0) {
        OTA_LOG("check %s sum error, will try again!\n", image.c_str());
        removeIfPresent(image);
        if (extractEntry(item, ota_paths::kPatchDir) != 0) {
            return 1;
        }
        if (checkMD5Sum(image, fieldText(item.checkSum), 0) != 0) {
            OTA_LOG("check %s sum error twice!\n", image.c_str());
            return 1;
        }
    }
    // The image names its own partition: no "total" line is needed before it.
    return writeToPartition(image, name, item, nullptr);
}
