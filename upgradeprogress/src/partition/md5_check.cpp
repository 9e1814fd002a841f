// MD5 of a file, of a held image or of the leading bytes of a partition,
// compared with the checksum an update list gives for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ground.h"
#include "partition.h"

namespace {

// The MD5 (hex) of the first `length` bytes of fd (0: all of it; negative:
// none), as checkMD5Sum has always counted them: a stream that ends early
// is hashed as far as it goes.
std::string md5OfFd(int fd, int length) {
    const uint64_t want =
        length == 0 ? kWholeStream : (length < 0 ? 0 : static_cast<uint64_t>(length));
    StreamResult_T read;
    streamChunks(fd, 0, want, StreamHash::Md5, nullptr, &read);
    if (read.digest.empty()) {
        // The stream ended on an error: hash what was read, which cannot match.
        streamChunks(fd, 0, read.bytes, StreamHash::Md5, nullptr, &read);
    }
    return hexDigest(read.digest);
}

}  // namespace

int compareMD5(const std::string& actual, const std::string& expected, const std::string& what) {
    // Whole-text comparison: a checksum with anything after its 32 digits,
    // even after a NUL, is not the same checksum.
    if (expected == actual) {
        return 0;
    }
    OTA_LOG("fileMd is %s .\n", actual.c_str());
    OTA_LOG("md5Sum is %s .\n", expected.c_str());
    OTA_LOG("%s checksum is failed.\n", what.c_str());
    return 1;
}

int checkMD5SumFd(int fd, const std::string& expected, int length, const std::string& what) {
    return compareMD5(md5OfFd(fd, length), expected, what);
}

int checkMD5Sum(std::string path, std::string expected, int length) {
    const int fd = openReadable(path.c_str(), true);
    if (fd < 0) {
        OTA_LOG("Open file [%s] failed.\n", path.c_str());
        return 1;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const int result = checkMD5SumFd(fd, expected, length, path);
    close(fd);
    return result;
}

bool md5OfDevice(const std::string& device, uint64_t start, uint64_t length, std::string* md5,
                 bool* direct) {
    *direct = false;
    // Past the page cache where the kernel allows it: the check must read
    // what reached the device, not what the kernel still holds for it.
    int fd = -1;
    if (start % kDirectAlignment == 0) {
        fd = open(device.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
        *direct = fd >= 0;
    }
    if (fd < 0) {
        fd = openReadable(device.c_str(), true);
    } else {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
            close(fd);
            fd = openReadable(device.c_str(), true);
            *direct = false;
        }
    }
    if (fd < 0) {
        return false;
    }
    StreamResult_T read;
    bool ok = streamChunks(fd, start, length, StreamHash::Md5, nullptr, &read, *direct);
    if (!ok && *direct && read.bytes == 0) {
        // Some devices take O_DIRECT at the open and refuse it at the read.
        *direct = false;
        ok = streamChunks(fd, start, length, StreamHash::Md5, nullptr, &read, false);
    }
    close(fd);
    if (ok) {
        *md5 = hexDigest(read.digest);
    }
    return ok;
}
