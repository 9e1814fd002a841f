#include "item_steps.h"

#include <unistd.h>

#include <cstdio>

#include "archive.h"
#include "ground.h"
#include "partition.h"

namespace item_steps {

std::string itemPath(const char* dir, const CongfigItemValue_T& item) {
    return dir + fieldText(item.fileName);
}

bool itemNameIsSafe(const CongfigItemValue_T& item) {
    const std::string name = fieldText(item.fileName);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        OTA_LOG("Item name [%s] is not a plain file name, refused.\n", name.c_str());
        return false;
    }
    return true;
}

void removeIfPresent(const std::string& path) {
    if (fileExists(path)) {
        remove(path.c_str());
    }
}

bool reuseVerifiedResult(const std::string& result, const CongfigItemValue_T& item) {
    if (!fileExists(result)) {
        return false;
    }
    if (checkMD5Sum(result, fieldText(item.checkSum), 0) == 0) {
        OTA_LOG("This part has been extracted: %s.\n", result.c_str());
        return true;
    }
    remove(result.c_str());
    return false;
}

int extractEntry(const CongfigItemValue_T& item, const char* dir) {
    const std::string entry = ota_format::kEntryDir + fieldText(item.fileName);
    if (extractOneFile(m_archiveHandle, entry.c_str(), dir, 0) != 0) {
        OTA_LOG("extractOneFile: %s failed.\n", entry.c_str());
        return 1;
    }
    return 0;
}

int verifyOrDiscard(const std::string& file, const CongfigItemValue_T& item,
                    std::initializer_list<const std::string*> discard) {
    if (checkMD5Sum(file, fieldText(item.checkSum), 0) == 0) {
        return 0;
    }
    OTA_LOG("check %s sum error!\n", file.c_str());
    for (const std::string* path : discard) {
        removeIfPresent(*path);
    }
    return 1;
}

int writeToPartition(const std::string& file, const std::string& partition,
                     const CongfigItemValue_T& item, const std::string* leftover) {
    if (updateModuleBlock(file, partition, item.offset) != 0) {
        OTA_LOG("Writing %s emmc failed.\n", file.c_str());
        removeIfPresent(file);
        return 1;
    }
    if (leftover != nullptr) {
        removeIfPresent(*leftover);
    }
    return 0;
}

bool lookUpDevice(const CongfigItemValue_T& item, std::string& device) {
    device = "/dev/zero";
    if (getLoadEmmcNum(fieldText(item.fileName), device) == 0) {
        OTA_LOG("can not get blkdev.\n");
        return false;
    }
    return true;
}

}  // namespace item_steps
