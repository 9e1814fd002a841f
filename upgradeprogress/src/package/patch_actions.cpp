// Item actions that work against the image installed on the partition:
// "total" stages it, "update" patches one part of it, "chksync" verifies a
// part the new image keeps.
#include <unistd.h>

#include "bspatch.h"
#include "ground.h"
#include "item_steps.h"
#include "package.h"
#include "partition.h"

using namespace item_steps;

int handleTotalBspatch(CongfigItemValue_T item) {
    OTA_LOG("handleTotalBspatch %s.\n", itemPath(ota_paths::kOriginalDir, item).c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    std::string device;
    if (!lookUpDevice(item, device)) {
        return 1;
    }
    const std::string name = fieldText(item.fileName);
    // Resume: partitions finished before a power cut hash to the new image and
    // end their list here. The first one that does not ends the checking for
    // the rest of the run.
    if (isUpgraded) {
        if (checkMD5Sum(device, fieldText(item.checkSum), item.offset) == 0) {
            OTA_LOG("This part has been Upgraded: %s.\n", name.c_str());
            return 0;
        }
        isUpgraded = false;
        OTA_LOG("This part has not been Upgraded: %s.\n", name.c_str());
    }

    // A negative size would pass as a huge unsigned one. On the set's 32-bit
    // build -1 becomes 4 GiB, few enough parts to pass the part count, and the
    // whole partition would be copied into /tmp, which is the set's RAM.
    if (item.fileSize <= 0) {
        OTA_LOG("total size %ld of %s is not a size.\n", static_cast<long>(item.fileSize),
                name.c_str());
        return 1;
    }
    const std::string prefix = itemPath(ota_paths::kOriginalDir, item) + ota_format::kSplitSuffix;
    OTA_LOG("load split: %s, %ld, %d, %s.\n", device.c_str(), static_cast<long>(item.fileSize),
            static_cast<int>(ota_format::kPartSize), prefix.c_str());
    if (loadOriginalSplitFile(device.c_str(), static_cast<unsigned long>(item.fileSize),
                              ota_format::kPartSize, prefix.c_str()) != 0) {
        OTA_LOG("Load original split file (%s) (%s) failed!.\n", device.c_str(), name.c_str());
        return 1;
    }
    m_totalFileName = name;
    return 0;
}

int handleUpdateBspatch(CongfigItemValue_T item) {
    const std::string original = itemPath(ota_paths::kOriginalDir, item);
    const std::string result = itemPath(ota_paths::kUpdateDir, item);
    const std::string patch = itemPath(ota_paths::kPatchDir, item);
    OTA_LOG("handleUpdateBspatch %s.\n", result.c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }

    // Resume: the leading parts written before a power cut were staged again
    // with their new content and are skipped. The first part that is not new
    // ends the checking for the rest of this list.
    if (isNeedCheck) {
        if (!fileExists(original)) {
            OTA_LOG("There is no %s.\n", original.c_str());
        } else if (checkMD5Sum(original, fieldText(item.checkSum), 0) == 0) {
            OTA_LOG("This part has been upgraded: %s.\n", original.c_str());
            removeIfPresent(result);
            return 0;
        } else {
            isNeedCheck = false;
        }
    }

    // A part whose write was cut is neither old nor new; its verified result
    // in the persistent directory is written again without patching.
    if (!reuseVerifiedResult(result, item)) {
        // The patcher ends the whole process when its base is missing; the
        // item fails instead, so the run ends through its failure path.
        if (!fileExists(original)) {
            OTA_LOG("Cannot patch %s: there is no staged part %s.\n", result.c_str(),
                    original.c_str());
            return 1;
        }
        if (extractEntry(item, ota_paths::kPatchDir) != 0) {
            return 1;
        }
        bspatch(original.c_str(), result.c_str(), patch.c_str());
        // The result must be on storage before it is trusted after a power cut.
        sync();
        if (verifyOrDiscard(result, item, {&result, &patch}) != 0) {
            return 1;
        }
    }
    return writeToPartition(result, m_totalFileName, item, &patch);
}

int handleChkSyncBspatch(CongfigItemValue_T item) {
    const std::string original = itemPath(ota_paths::kOriginalDir, item);
    OTA_LOG("handleChkSyncBspatch %s.\n", original.c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    std::string device;
    if (!lookUpDevice(item, device)) {
        return 1;
    }
    // Only a staged part can be compared. A list whose "total" staged less
    // than its check lines name passes those lines unchecked: nothing is
    // written for them, and packages in the field are built on that rule.
    if (!fileExists(original)) {
        return 0;
    }
    if (verifyOrDiscard(original, item, {}) != 0) {
        return 1;
    }
    OTA_LOG("This part has been check sync sucess: %s.\n", original.c_str());
    return 0;
}
