// Writing a finished image into a partition at a byte offset. An attempt
// either writes every byte of the image and forces it to storage, or fails
// with 255; the caller gets one more attempt before the item fails.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ground.h"
#include "partition.h"

namespace {

constexpr int kWriteFailed = 255;
// Image sizes are signed 32-bit on the set.
constexpr long kMaxImageSize = INT32_MAX;

// Owns what one attempt opened; releases it on every path in the order
// image, device, buffer.
struct WriteAttempt {
    FILE* image = nullptr;
    FILE* device = nullptr;
    unsigned char* buffer = nullptr;

    WriteAttempt() = default;
    WriteAttempt(const WriteAttempt&) = delete;
    WriteAttempt& operator=(const WriteAttempt&) = delete;
    ~WriteAttempt() { OTA_flashWrite_releaseBuf(image, device, buffer); }
};

// The size of the image, or -1 when the stream cannot be positioned.
long imageSize(FILE* image) {
    if (fseek(image, 0, SEEK_END) != 0) {
        return -1;
    }
    return ftell(image);
}

// Opens the partition for writing without creating or truncating anything:
// a missing device node must fail, not turn into a regular file that takes
// the image and reports success.
FILE* openDevice(const char* device) {
    int fd = open(device, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    // Every fwrite goes straight to the device, so a short count is the
    // device's own answer and nothing waits in a stdio buffer at fsync time.
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// A block device refuses bytes past its end only after the bytes before
// have landed; an image that cannot fit is refused before it is begun, so
// the partition keeps its old content.
bool fitsDevice(FILE* device, long offset, long size) {
    int fd = fileno(device);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        return true;
    }
    uint64_t capacity = 0;
    if (ioctl(fd, BLKGETSIZE64, &capacity) != 0) {
        return false;
    }
    // A negative offset is refused by the positioning that follows.
    return offset < 0 || static_cast<uint64_t>(offset) + static_cast<uint64_t>(size) <= capacity;
}

}  // namespace

void OTA_flashWrite_releaseBuf(FILE* image, FILE* device, unsigned char* buffer) {
    if (image != nullptr) {
        fclose(image);
    }
    if (device != nullptr) {
        fclose(device);
    }
    if (buffer != nullptr) {
        free(buffer);
    }
}

int flashWriterBlock(const char* device, long offset, const char* imagePath) {
    WriteAttempt attempt;
    attempt.image = fopenReadable(imagePath);
    if (attempt.image == nullptr) {
        OTA_LOG("[OTA_Flash_Writer]open fp error...fileName = %s\n", imagePath);
        return kWriteFailed;
    }

    long fileSize = imageSize(attempt.image);
    if (fileSize <= 0 || fileSize > kMaxImageSize) {
        OTA_LOG("[OTA_Flash_Writer]filesize err ! filesize = %ld...\n", fileSize);
        return kWriteFailed;
    }

    attempt.device = openDevice(device);
    if (attempt.device == nullptr) {
        OTA_LOG("[OTA_Flash_Writer]open fd error...\n");
        return kWriteFailed;
    }
    if (!fitsDevice(attempt.device, offset, fileSize)) {
        OTA_LOG("[OTA_Flash_Writer]image does not fit ! offset = %ld, filesize = %ld...\n", offset,
                fileSize);
        return kWriteFailed;
    }
    // Writing anywhere but at the offset would overwrite live data.
    if (fseek(attempt.device, offset, SEEK_SET) != 0) {
        OTA_LOG("[OTA_Flash_Writer]fseek fd error ! offset = %ld..errno = %d..\n", offset, errno);
        return kWriteFailed;
    }

    attempt.buffer = static_cast<unsigned char*>(malloc(kFlashChunkSize));
    if (attempt.buffer == nullptr) {
        OTA_LOG("[OTA_Flash_Writer]fp read err ! err = %d...\n", 0);
        return kWriteFailed;
    }
    memset(attempt.buffer, 0, kFlashChunkSize);
    if (fseek(attempt.image, 0, SEEK_SET) != 0) {
        OTA_LOG("[OTA_Flash_Writer]fseek fp error...fileName = %s\n", imagePath);
        return kWriteFailed;
    }

    // Cleared once: every chunk is read whole into the buffer before it is
    // written (a short read fails the attempt), so no byte of an earlier chunk
    // or of the heap can reach the device, and a clear per chunk would only
    // cost 4 MiB of stores each time.
    long remaining = fileSize;
    while (remaining > 0) {
        size_t chunk =
            static_cast<size_t>(remaining < kFlashChunkSize ? remaining : kFlashChunkSize);
        size_t got = fread(attempt.buffer, 1, chunk, attempt.image);
        if (got < chunk) {
            OTA_LOG("[OTA_Flash_Writer]fp read err ! err = %d...\n", static_cast<int>(got));
            return kWriteFailed;
        }
        size_t put = fwrite(attempt.buffer, 1, chunk, attempt.device);
        if (put < chunk) {
            OTA_LOG("[OTA_Flash_Writer]fd write err ! err = %d..errno = %d..\n",
                    static_cast<int>(put), errno);
            return kWriteFailed;
        }
        remaining -= static_cast<long>(chunk);
    }

    // The image counts as written only once the device holds it: a power cut
    // after this point must find the new bytes in the partition.
    if (fflush(attempt.device) != 0 || fsync(fileno(attempt.device)) != 0) {
        OTA_LOG("[OTA_Flash_Writer]fsync fd error ! errno = %d..\n", errno);
        return kWriteFailed;
    }
    return 0;
}

int updateModuleBlock(const std::string& imagePath, const std::string& partitionName, long offset) {
    if (access(imagePath.c_str(), F_OK) != 0) {
        OTA_LOG("updateFilePath %s not exist.\n", imagePath.c_str());
        return 1;
    }
    std::string device;
    if (getLoadEmmcNum(partitionName, device) == 0) {
        OTA_LOG("can not get blkdev.\n");
        return 1;
    }
    OTA_LOG("image: %s to be programmed to %s.\n", device.c_str(), imagePath.c_str());

    if (flashWriterBlock(device.c_str(), offset, imagePath.c_str()) != 0) {
        OTA_LOG("Could not write: %s. Try again.\n", imagePath.c_str());
        if (flashWriterBlock(device.c_str(), offset, imagePath.c_str()) != 0) {
            OTA_LOG("Could not write again: %s. \n", imagePath.c_str());
            return 1;
        }
    }
    if (remove(imagePath.c_str()) != 0) {
        OTA_LOG("Cannot delete: %s.\n", imagePath.c_str());
    }
    return 0;
}
