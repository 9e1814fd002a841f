// Item actions that work against the image installed on the partition:
// "total" stages it, "update" patches one part of it, "chksync" verifies a
// part the new image keeps.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "bspatch.h"
#include "ground.h"
#include "item_steps.h"
#include "package.h"
#include "partition.h"

using namespace item_steps;

namespace {

// 0 when the staged part has the item's checksum, as checkMD5Sum answers.
int checkStagedPart(const WorkFile_T& part, const CongfigItemValue_T& item) {
    const int fd = openReadableAt(part.fd(), part.atName().c_str());
    if (fd < 0) {
        OTA_LOG("Open file [%s] failed.\n", part.path().c_str());
        return 1;
    }
    const int result = checkMD5SumFd(fd, fieldText(item.checkSum), 0, part.path());
    close(fd);
    return result;
}

}  // namespace

int handleTotalBspatch(CongfigItemValue_T item) {
    const WorkFile_T staged = itemFile(kOriginalWork, item);
    OTA_LOG("handleTotalBspatch %s.\n", staged.path().c_str());
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
        const auto verdict = m_totalVerdicts.find(name);
        const bool upgraded = verdict != m_totalVerdicts.end()
                                  ? verdict->second
                                  : checkMD5Sum(device, fieldText(item.checkSum), item.offset) == 0;
        if (upgraded) {
            OTA_LOG("This part has been Upgraded: %s.\n", name.c_str());
            m_upgradedAtStart.insert(name);
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
    const std::string prefix = staged.path() + ota_format::kSplitSuffix;
    OTA_LOG("load split: %s, %ld, %d, %s.\n", device.c_str(), static_cast<long>(item.fileSize),
            static_cast<int>(ota_format::kPartSize), prefix.c_str());
    if (loadOriginalSplitFileAt(staged.fd(), device.c_str(),
                                static_cast<unsigned long>(item.fileSize), ota_format::kPartSize,
                                prefix.c_str()) != 0) {
        OTA_LOG("Load original split file (%s) (%s) failed!.\n", device.c_str(), name.c_str());
        return 1;
    }
    m_totalFileName = name;
    return 0;
}

int handleUpdateBspatch(CongfigItemValue_T item) {
    const WorkFile_T original = itemFile(kOriginalWork, item);
    const WorkFile_T result = itemFile(kUpdateWork, item);
    const WorkFile_T patch = itemFile(kPatchWork, item);
    OTA_LOG("handleUpdateBspatch %s.\n", result.path().c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }

    // Resume: the leading parts written before a power cut were staged again
    // with their new content and are skipped. The first part that is not new
    // ends the checking for the rest of this list. A skip is only a shortcut:
    // the final check reads the partition before success is written.
    if (isNeedCheck) {
        if (!workFileExists(original)) {
            OTA_LOG("There is no %s.\n", original.path().c_str());
        } else if (checkStagedPart(original, item) == 0) {
            OTA_LOG("This part has been upgraded: %s.\n", original.path().c_str());
            removeWorkFile(result);
            return 0;
        } else {
            isNeedCheck = false;
        }
    }

    // A part whose write was cut is neither old nor new; its verified result
    // in the persistent directory is written again without patching.
    HeldImage_T image;
    if (!reuseVerifiedResult(result, item, &image)) {
        // The patcher ends the whole process when its base is missing; the
        // item fails instead, so the run ends through its failure path.
        if (!workFileExists(original)) {
            OTA_LOG("Cannot patch %s: there is no staged part %s.\n", result.path().c_str(),
                    original.path().c_str());
            return 1;
        }
        if (extractEntry(item, patch) != 0) {
            return 1;
        }
        // The patcher takes paths: these reach the files through the held
        // directories, whatever has been renamed in their place since.
        bspatch(original.heldPath().c_str(), result.heldPath().c_str(), patch.heldPath().c_str());
        // The result must be on storage before it is trusted after a power cut.
        sync();
        if (!holdWorkFile(result, &image)) {
            image = HeldImage_T();
        }
        if (verifyOrDiscard(image, result.path(), item, {&result, &patch}) != 0) {
            return 1;
        }
    }
    return writeToPartition(image, result.path(), m_totalFileName, item, &result, &patch);
}

int handleChkSyncBspatch(CongfigItemValue_T item) {
    const WorkFile_T original = itemFile(kOriginalWork, item);
    OTA_LOG("handleChkSyncBspatch %s.\n", original.path().c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    std::string device;
    if (!lookUpDevice(item, device)) {
        return 1;
    }
    // Only a staged part can be compared. A list whose "total" staged less
    // than its check lines name passes those lines unchecked: nothing is
    // written for them, packages in the field are built on that rule, and the
    // final check still reads the partition before success is written.
    if (!workFileExists(original)) {
        return 0;
    }
    if (checkStagedPart(original, item) != 0) {
        OTA_LOG("check %s sum error!\n", original.path().c_str());
        return 1;
    }
    OTA_LOG("This part has been check sync sucess: %s.\n", original.path().c_str());
    return 0;
}
