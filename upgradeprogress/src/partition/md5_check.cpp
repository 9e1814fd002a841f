// MD5 of a file or of the leading bytes of a partition, compared with the
// checksum an update list gives for it.
#include <openssl/md5.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ground.h"
#include "partition.h"

namespace {

constexpr size_t kReadBlock = 128;
// The hashing reads 128 bytes at a time; the stream underneath fetches a
// partition in requests of this size so the device is not read in 4 KiB steps.
constexpr size_t kStreamBuffer = 1048576;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Hashes the whole stream (length 0), its first `length` bytes, or nothing
// (a negative length). A read error ends the input like the end of the file.
void digestStream(FILE* fp, int length, unsigned char* digest) {
    unsigned char block[kReadBlock];
    MD5_CTX context;
    MD5_Init(&context);
    if (length == 0) {
        size_t got;
        while ((got = fread(block, 1, kReadBlock, fp)) > 0) {
            MD5_Update(&context, block, got);
        }
    } else {
        long remaining = length;
        while (remaining > 0) {
            size_t want = remaining < static_cast<long>(kReadBlock) ? static_cast<size_t>(remaining)
                                                                    : kReadBlock;
            size_t got = fread(block, 1, want, fp);
            if (got == 0) {
                break;
            }
            MD5_Update(&context, block, got);
            remaining -= static_cast<long>(got);
        }
    }
    MD5_Final(digest, &context);
}

#pragma GCC diagnostic pop

}  // namespace

int checkMD5Sum(std::string path, std::string expected, int length) {
    // Declared before the stream so that it outlives the stream using it.
    std::unique_ptr<char[]> streamBuffer(new (std::nothrow) char[kStreamBuffer]);
    FileOwner fp(fopenReadable(path.c_str(), true));
    if (!fp) {
        OTA_LOG("Open file [%s] failed.\n", path.c_str());
        return 1;
    }
    if (streamBuffer) {
        setvbuf(fp.get(), streamBuffer.get(), _IOFBF, kStreamBuffer);
    }

    unsigned char md5Digest[MD5_DIGEST_LENGTH] = {};
    digestStream(fp.get(), length, md5Digest);
    fp.reset();

    char fileMd[2 * MD5_DIGEST_LENGTH + 1] = {};
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        snprintf(fileMd + 2 * i, 3, "%02x", md5Digest[i]);
    }
    // Whole-text comparison: a checksum with anything after its 32 digits,
    // even after a NUL, is not the same checksum.
    if (expected == fileMd) {
        return 0;
    }
    OTA_LOG("fileMd is %s .\n", fileMd);
    OTA_LOG("md5Sum is %s .\n", expected.c_str());
    OTA_LOG("%s checksum is failed.\n", path.c_str());
    return 1;
}
