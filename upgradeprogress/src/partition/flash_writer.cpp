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

namespace {

// Writes `size` bytes read from `source` at `offset` into the device, every
// chunk as it was read, then forces them to storage.
int writeStreamToDevice(const char* device, long offset, int source, long size) {
    if (size <= 0 || size > kMaxImageSize) {
        OTA_LOG("[OTA_Flash_Writer]filesize err ! filesize = %ld...\n", size);
        return kWriteFailed;
    }
    WriteAttempt attempt;
    attempt.device = openDevice(device);
    if (attempt.device == nullptr) {
        OTA_LOG("[OTA_Flash_Writer]open fd error...\n");
        return kWriteFailed;
    }
    if (!fitsDevice(attempt.device, offset, size)) {
        OTA_LOG("[OTA_Flash_Writer]image does not fit ! offset = %ld, filesize = %ld...\n", offset,
                size);
        return kWriteFailed;
    }
    // Writing anywhere but at the offset would overwrite live data.
    if (fseek(attempt.device, offset, SEEK_SET) != 0) {
        OTA_LOG("[OTA_Flash_Writer]fseek fd error ! offset = %ld..errno = %d..\n", offset, errno);
        return kWriteFailed;
    }

    bool writeFailed = false;
    StreamResult_T read;
    const bool streamed = streamChunks(
        source, 0, static_cast<uint64_t>(size), StreamHash::None,
        [&](const unsigned char* data, size_t chunk) {
            const size_t put = fwrite(data, 1, chunk, attempt.device);
            if (put < chunk) {
                OTA_LOG("[OTA_Flash_Writer]fd write err ! err = %d..errno = %d..\n",
                        static_cast<int>(put), errno);
                writeFailed = true;
                return false;
            }
            return true;
        },
        &read);
    if (!streamed) {
        if (!writeFailed) {
            OTA_LOG("[OTA_Flash_Writer]fp read err ! err = %d...\n", static_cast<int>(read.bytes));
        }
        return kWriteFailed;
    }

    // The image counts as written only once the device holds it: a power cut
    // after this point must find the new bytes in the partition.
    if (fflush(attempt.device) != 0 || fsync(fileno(attempt.device)) != 0) {
        OTA_LOG("[OTA_Flash_Writer]fsync fd error ! errno = %d..\n", errno);
        return kWriteFailed;
    }
    return 0;
}

}  // namespace

int flashWriterBlock(const char* device, long offset, const char* imagePath) {
    const int image = openReadable(imagePath);
    if (image < 0) {
        OTA_LOG("[OTA_Flash_Writer]open fp error...fileName = %s\n", imagePath);
        return kWriteFailed;
    }
    struct stat st {};
    const long size = fstat(image, &st) == 0 ? static_cast<long>(st.st_size) : -1;
    const int result = writeStreamToDevice(device, offset, image, size);
    close(image);
    return result;
}

int flashWriterImage(const char* device, long offset, const HeldImage_T& image) {
    if (image.size > static_cast<uint64_t>(kMaxImageSize)) {
        OTA_LOG("[OTA_Flash_Writer]filesize err ! filesize = %llu...\n",
                static_cast<unsigned long long>(image.size));
        return kWriteFailed;
    }
    return writeStreamToDevice(device, offset, image.fd, static_cast<long>(image.size));
}

namespace {

// The partition's device, or false (logged) when the name designates none.
bool deviceOf(const std::string& partitionName, std::string& device) {
    if (getLoadEmmcNum(partitionName, device) == 0) {
        OTA_LOG("can not get blkdev.\n");
        return false;
    }
    return true;
}

}  // namespace

int updateModuleBlock(const std::string& imagePath, const std::string& partitionName, long offset) {
    if (access(imagePath.c_str(), F_OK) != 0) {
        OTA_LOG("updateFilePath %s not exist.\n", imagePath.c_str());
        return 1;
    }
    std::string device;
    if (!deviceOf(partitionName, device)) {
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

int updateModuleBlockImage(const HeldImage_T& image, const std::string& label,
                           const std::string& partitionName, long offset) {
    std::string device;
    if (!deviceOf(partitionName, device)) {
        return 1;
    }
    OTA_LOG("image: %s to be programmed to %s.\n", device.c_str(), label.c_str());
    if (flashWriterImage(device.c_str(), offset, image) != 0) {
        OTA_LOG("Could not write: %s. Try again.\n", label.c_str());
        if (flashWriterImage(device.c_str(), offset, image) != 0) {
            OTA_LOG("Could not write again: %s. \n", label.c_str());
            return 1;
        }
    }
    return 0;
}
