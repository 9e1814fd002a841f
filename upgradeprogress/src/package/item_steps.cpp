#include "item_steps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "archive.h"
#include "ground.h"
#include "partition.h"

namespace item_steps {

std::set<std::string> m_upgradedAtStart;
std::map<std::string, uint64_t> m_entotalWritten;
std::map<std::string, bool> m_totalVerdicts;

namespace {

std::string entryOf(const CongfigItemValue_T& item) {
    return ota_format::kEntryDir + fieldText(item.fileName);
}

int extractFailed(const CongfigItemValue_T& item) {
    OTA_LOG("extractOneFile: %s failed.\n", entryOf(item).c_str());
    return 1;
}

}  // namespace

WorkFile_T itemFile(WorkDir dir, const CongfigItemValue_T& item) {
    return WorkFile_T{dir, fieldText(item.fileName)};
}

bool itemNameIsSafe(const CongfigItemValue_T& item) {
    const std::string name = fieldText(item.fileName);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        OTA_LOG("Item name [%s] is not a plain file name, refused.\n", name.c_str());
        return false;
    }
    return true;
}

bool holdWorkFile(const WorkFile_T& file, HeldImage_T* image) {
    const int fd = openReadableAt(file.fd(), file.atName().c_str());
    if (fd < 0) {
        return false;
    }
    const bool held = holdImageFrom(fd, file.name.c_str(), image);
    close(fd);
    return held;
}

bool reuseVerifiedResult(const WorkFile_T& result, const CongfigItemValue_T& item,
                         HeldImage_T* image) {
    if (!workFileExists(result)) {
        return false;
    }
    if (holdWorkFile(result, image) &&
        compareMD5(image->md5, fieldText(item.checkSum), result.path()) == 0) {
        OTA_LOG("This part has been extracted: %s.\n", result.path().c_str());
        return true;
    }
    removeWorkFile(result);
    return false;
}

int extractEntry(const CongfigItemValue_T& item, const WorkFile_T& into, HeldImage_T* image) {
    const int fd = openFreshFileAt(into.fd(), into.atName().c_str(), 0644, image != nullptr);
    if (fd < 0) {
        return extractFailed(item);
    }
    const int result = extractEntryToFd(m_archiveHandle, entryOf(item).c_str(), fd);
    const bool synced = fsync(fd) == 0;
    // Read back through the descriptor that wrote it: the name is never
    // opened again.
    if (result == kArchiveOk && synced && image != nullptr &&
        !holdImageFrom(fd, into.name.c_str(), image)) {
        *image = HeldImage_T();
    }
    close(fd);
    if (result != kArchiveOk || !synced) {
        removeWorkFile(into);
        return extractFailed(item);
    }
    return 0;
}

int extractEntryToImage(const CongfigItemValue_T& item, HeldImage_T* image) {
    const int fd = newImageFd(fieldText(item.fileName).c_str());
    if (fd < 0) {
        return extractFailed(item);
    }
    if (extractEntryToFd(m_archiveHandle, entryOf(item).c_str(), fd) != kArchiveOk) {
        close(fd);
        return extractFailed(item);
    }
    if (!sealImage(fd, image)) {
        return extractFailed(item);
    }
    return 0;
}

int verifyOrDiscard(const HeldImage_T& image, const std::string& label,
                    const CongfigItemValue_T& item,
                    std::initializer_list<const WorkFile_T*> discard) {
    if (image.fd >= 0 && compareMD5(image.md5, fieldText(item.checkSum), label) == 0) {
        return 0;
    }
    OTA_LOG("check %s sum error!\n", label.c_str());
    for (const WorkFile_T* file : discard) {
        removeWorkFile(*file);
    }
    return 1;
}

int writeToPartition(const HeldImage_T& image, const std::string& label,
                     const std::string& partition, const CongfigItemValue_T& item,
                     const WorkFile_T* file, const WorkFile_T* leftover) {
    // Counted before the attempt: a failed write may have changed bytes too.
    ++m_partitionWrites;
    if (updateModuleBlockImage(image, label, partition, item.offset) != 0) {
        OTA_LOG("Writing %s emmc failed.\n", label.c_str());
        if (file != nullptr) {
            removeWorkFile(*file);
        }
        return 1;
    }
    if (file != nullptr) {
        removeWorkFile(*file);
    }
    if (leftover != nullptr) {
        removeWorkFile(*leftover);
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
