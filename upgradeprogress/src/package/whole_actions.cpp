// Item actions whose content comes whole from the package ("create",
// "entotal") or that carry none ("delete").
#include <fcntl.h>
#include <unistd.h>

#include "archive.h"
#include "ground.h"
#include "item_steps.h"
#include "package.h"
#include "partition.h"

using namespace item_steps;

namespace {

void keepImageAsFile(const HeldImage_T& image, const WorkFile_T& file) {
    const int fd = openFreshFileAt(file.fd(), file.atName().c_str(), 0644);
    if (fd < 0) {
        return;
    }
    streamChunks(
        image.fd, 0, image.size, StreamHash::None,
        [fd](const unsigned char* data, size_t size) {
            return write(fd, data, size) == static_cast<ssize_t>(size);
        },
        nullptr);
    close(fd);
}

}  // namespace

int handleCreateBspatch(CongfigItemValue_T item) {
    const WorkFile_T result = itemFile(kUpdateWork, item);
    OTA_LOG("handleCreateBspatch %s.\n", result.path().c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    // A verified part left in the persistent directory by a run cut short is
    // written as it is.
    HeldImage_T image;
    if (!reuseVerifiedResult(result, item, &image)) {
        // Read back once into sealed memory: that is what is checked and
        // written, whatever becomes of the file.
        if (extractEntry(item, result, &image) != 0) {
            return 1;
        }
        if (verifyOrDiscard(image, result.path(), item, {&result}) != 0) {
            return 1;
        }
    }
    return writeToPartition(image, result.path(), m_totalFileName, item, &result, nullptr);
}

int handleDeleteBspatch(CongfigItemValue_T item) {
    OTA_LOG("handleDeleteBspatch %s.\n", itemFile(kOriginalWork, item).path().c_str());
    return itemNameIsSafe(item) ? 0 : 1;
}

int handleEntireTotalBspatch(CongfigItemValue_T item) {
    const std::string name = fieldText(item.fileName);
    OTA_LOG("handleEntireTotalBspatch %s.\n", name.c_str());
    if (!itemNameIsSafe(item)) {
        return 1;
    }
    // The whole image goes straight into sealed memory, where it would
    // otherwise lie in /tmp (memory too on the set): it is never a file that
    // another program could change between its check and its write.
    const std::string image = itemFile(kPatchWork, item).path();
    HeldImage_T held;
    if (extractEntryToImage(item, &held) != 0) {
        return 1;
    }
    // A whole image is extracted once more before it is given up: a single
    // bad read of the package must not fail the upgrade.
    if (compareMD5(held.md5, fieldText(item.checkSum), image) != 0) {
        OTA_LOG("check %s sum error, will try again!\n", image.c_str());
        held = HeldImage_T();
        if (extractEntryToImage(item, &held) != 0) {
            return 1;
        }
        if (compareMD5(held.md5, fieldText(item.checkSum), image) != 0) {
            OTA_LOG("check %s sum error twice!\n", image.c_str());
            // Left where the image always lay, for a look afterwards.
            keepImageAsFile(held, itemFile(kPatchWork, item));
            return 1;
        }
    }
    // The image names its own partition: no "total" line is needed before it.
    if (writeToPartition(held, image, name, item, nullptr, nullptr) != 0) {
        return 1;
    }
    m_entotalWritten[name] = held.size;
    return 0;
}
