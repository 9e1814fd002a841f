// Reading and checking the signature block at the end of a package, and the
// one pass over the package bytes that the signature covers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "package.h"

namespace {

using namespace ota_signature;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

unsigned readLittle16(const unsigned char* p) {
    return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
}

uint32_t readLittle32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool readExactly(int fd, unsigned char* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t got = pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// A ZIP reader finds the end record by its signature, scanning back from the
// end of the file. Another signature after the real end record (inside the
// block, or straddling the two) would make the reader see an archive other
// than the one that was signed.
bool holdsStrayEndRecord(const unsigned char* tail, size_t size) {
    for (size_t at = 1; at + 4 <= size; ++at) {
        if (readLittle32(tail + at) == kEndRecordSignature) {
            return true;
        }
    }
    return false;
}

bool verifiesWith(const PublicKey_T& key, const SignatureBlock_T& block,
                  const std::string& message) {
    std::unique_ptr<EVP_PKEY, KeyFree> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.raw, kPublicKeySize));
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx(EVP_MD_CTX_new());
    if (!pkey || !ctx) {
        return false;
    }
    // Ed25519 hashes the message itself: no digest is named here.
    return EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), block.signature, kSignatureSize,
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

}  // namespace

bool readSignatureBlock(int fd, uint64_t fileSize, SignatureBlock_T* block, std::string* why) {
    // Every length is compared before it is subtracted: nothing here wraps.
    if (fileSize < kEndRecordSize + kTrailerSize) {
        *why = "no signature";
        return false;
    }
    unsigned char trailer[kTrailerSize];
    if (!readExactly(fd, trailer, sizeof trailer, fileSize - kTrailerSize)) {
        *why = "cannot read the package";
        return false;
    }
    if (memcmp(trailer + 4, kMagic, sizeof kMagic) != 0) {
        *why = "no signature";
        return false;
    }
    const unsigned version = readLittle16(trailer);
    const unsigned length = readLittle16(trailer + 2);
    if (version != kVersion) {
        *why = "unsupported signature version " + std::to_string(version);
        return false;
    }
    if (length != kBlockSize) {
        *why = "malformed signature block: it claims " + std::to_string(length) + " bytes, not " +
               std::to_string(kBlockSize);
        return false;
    }
    if (fileSize - kEndRecordSize < kBlockSize) {
        *why = "malformed signature block: the package is too short to hold it";
        return false;
    }
    const uint64_t covered = fileSize - kBlockSize;
    unsigned char tail[kEndRecordSize + kBlockSize];
    if (!readExactly(fd, tail, sizeof tail, covered - kEndRecordSize)) {
        *why = "cannot read the package";
        return false;
    }
    if (readLittle32(tail) != kEndRecordSignature) {
        *why = "malformed signature block: no ZIP end record right before it";
        return false;
    }
    const unsigned commentLength = readLittle16(tail + kEndRecordSize - 2);
    if (commentLength != kBlockSize) {
        *why = "malformed signature block: the end record's comment is " +
               std::to_string(commentLength) + " bytes, the block " + std::to_string(kBlockSize);
        return false;
    }
    if (holdsStrayEndRecord(tail, sizeof tail)) {
        *why = "malformed signature block: a second end record signature follows the real one";
        return false;
    }
    memcpy(block->keyId, tail + kEndRecordSize, kKeyIdSize);
    memcpy(block->signature, tail + kEndRecordSize + kKeyIdSize, kSignatureSize);
    block->coveredLength = covered;
    return true;
}

bool digestPackageBytes(int fd, uint64_t length, unsigned char* digest, std::string* why) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    StreamResult_T read;
    if (!streamChunks(fd, 0, length, StreamHash::Sha256, nullptr, &read)) {
        *why = "cannot read the package";
        return false;
    }
    if (read.digest.size() != kDigestSize) {
        *why = "cannot finish SHA-256";
        return false;
    }
    memcpy(digest, read.digest.data(), kDigestSize);
    return true;
}

std::string signatureMessage(const unsigned char* keyId, uint64_t coveredLength,
                             const unsigned char* digest) {
    std::string message(kMagic, sizeof kMagic);
    message += static_cast<char>(kVersion & 0xff);
    message += static_cast<char>(kVersion >> 8);
    message.append(reinterpret_cast<const char*>(keyId), kKeyIdSize);
    for (int byte = 0; byte < 8; ++byte) {
        message += static_cast<char>((coveredLength >> (8 * byte)) & 0xff);
    }
    message.append(reinterpret_cast<const char*>(digest), kDigestSize);
    return message;
}

std::string checkPackageSignature(int fd, const std::vector<PublicKey_T>& keys) {
    // The size from fstat, not a seek: the ZIP reader is later handed this
    // descriptor and expects it at the start of the file.
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 0) {
        return "cannot read the package";
    }
    SignatureBlock_T block;
    std::string why;
    if (!readSignatureBlock(fd, static_cast<uint64_t>(st.st_size), &block, &why)) {
        return why;
    }
    // Only keys that carry the block's id are tried; the id is signed too,
    // so a changed id is a changed package.
    std::vector<const PublicKey_T*> candidates;
    for (const PublicKey_T& key : keys) {
        if (memcmp(key.id, block.keyId, kKeyIdSize) == 0) {
            candidates.push_back(&key);
        }
    }
    if (candidates.empty()) {
        return "signed by an unknown key";
    }
    unsigned char digest[kDigestSize];
    if (!digestPackageBytes(fd, block.coveredLength, digest, &why)) {
        return why;
    }
    const std::string message = signatureMessage(block.keyId, block.coveredLength, digest);
    for (const PublicKey_T* key : candidates) {
        if (verifiesWith(*key, block, message)) {
            return std::string();
        }
    }
    return "the signature does not match the package (changed or damaged)";
}
