#include "package_signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <openssl/pem.h>

#include "file_util.h"

namespace mpp {

namespace {

using namespace ota_signature;

void putLittle16(unsigned char* p, unsigned value) {
    p[0] = static_cast<unsigned char>(value & 0xff);
    p[1] = static_cast<unsigned char>((value >> 8) & 0xff);
}

std::string hexOf(const unsigned char* bytes, size_t size) {
    std::string hex;
    char two[3];
    for (size_t i = 0; i < size; ++i) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

bool sign(EVP_PKEY* key, const std::string& message, unsigned char* signature) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t size = kSignatureSize;
    return ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
           EVP_DigestSign(ctx.get(), signature, &size,
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1 &&
           size == kSignatureSize;
}

}  // namespace

std::string loadSigningKey(const std::string& path, SigningKey_T* key) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "cannot open the signing key " + path;
    }
    EVP_PKEY* pkey = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    fclose(file);
    if (pkey == nullptr) {
        return path + " holds no PEM private key";
    }
    key->privateKey.reset(pkey, EVP_PKEY_free);
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_ED25519) {
        return path + " is no Ed25519 private key";
    }
    unsigned char raw[kPublicKeySize];
    size_t rawSize = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(pkey, raw, &rawSize) != 1 || rawSize != sizeof raw) {
        return "cannot derive the public key of " + path;
    }
    key->publicKey = publicKeyFromRaw(raw, path);
    return std::string();
}

std::string signPackageFile(const std::string& path, const SigningKey_T& key) {
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        return "cannot open " + path + " to sign it";
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    unsigned char end[kEndRecordSize];
    if (size < kEndRecordSize || !readAt(fd.get(), end, sizeof end, st.st_size - kEndRecordSize)) {
        return path + " is too short to be a package";
    }
    const uint32_t signature = static_cast<uint32_t>(end[0]) | end[1] << 8 | end[2] << 16 |
                               static_cast<uint32_t>(end[3]) << 24;
    if (signature != kEndRecordSignature || end[20] != 0 || end[21] != 0) {
        return path + " does not end in a ZIP end record without a comment";
    }

    // The comment length is part of the signed bytes: set it first.
    putLittle16(end + 20, kBlockSize);
    if (pwrite(fd.get(), end + 20, 2, st.st_size - 2) != 2) {
        return "cannot write " + path;
    }
    unsigned char digest[kDigestSize];
    std::string why;
    if (!digestPackageBytes(fd.get(), size, digest, &why)) {
        return path + ": " + why;
    }
    unsigned char block[kBlockSize];
    memcpy(block, key.publicKey.id, kKeyIdSize);
    if (!sign(key.privateKey.get(), signatureMessage(key.publicKey.id, size, digest),
              block + kKeyIdSize)) {
        return "cannot sign " + path;
    }
    unsigned char* trailer = block + kKeyIdSize + kSignatureSize;
    putLittle16(trailer, kVersion);
    putLittle16(trailer + 2, kBlockSize);
    memcpy(trailer + 4, kMagic, sizeof kMagic);
    if (pwrite(fd.get(), block, sizeof block, st.st_size) != static_cast<ssize_t>(sizeof block) ||
        fsync(fd.get()) != 0) {
        return "cannot write the signature into " + path;
    }

    // What the set will do, with the key the set will hold.
    why = checkPackageSignature(fd.get(), {key.publicKey});
    if (!why.empty()) {
        return "the signed package does not verify with " + key.publicKey.source + ": " + why;
    }
    return std::string();
}

std::string describeSignature(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return "cannot read the package";
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    char magic[sizeof kMagic];
    if (size < sizeof magic) {
        return "unsigned";
    }
    if (!readAt(fd, magic, sizeof magic, st.st_size - static_cast<off_t>(sizeof magic))) {
        return "cannot read the package";
    }
    if (memcmp(magic, kMagic, sizeof magic) != 0) {
        return "unsigned";
    }
    SignatureBlock_T block;
    std::string why;
    if (!readSignatureBlock(fd, size, &block, &why)) {
        return "unreadable signature block: " + why;
    }
    return "key id " + hexOf(block.keyId, kKeyIdSize);
}

int checkSignatureCommand(int argc, char** argv) {
    std::string package;
    std::vector<std::string> keyPaths;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--key" && i + 1 < argc) {
            keyPaths.push_back(argv[++i]);
        } else if (package.empty() && !arg.empty() && arg[0] != '-') {
            package = arg;
        } else {
            package.clear();
            break;
        }
    }
    if (package.empty() || keyPaths.empty()) {
        fputs("usage: make-patch-package check-signature PKG --key PUB.pem [--key PUB.pem ...]\n",
              stderr);
        return 2;
    }
    std::vector<PublicKey_T> keys;
    for (const std::string& path : keyPaths) {
        PublicKey_T key;
        std::string why;
        if (!loadPublicKey(path, &key, &why)) {
            fprintf(stderr, "check-signature: %s %s\n", path.c_str(), why.c_str());
            return 2;
        }
        keys.push_back(key);
    }
    UniqueFd fd(open(package.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        printf("%s: signature check failed: cannot open it\n", package.c_str());
        return 1;
    }
    const std::string why = checkPackageSignature(fd.get(), keys);
    if (!why.empty()) {
        printf("%s: signature check failed: %s\n", package.c_str(), why.c_str());
        return 1;
    }
    struct stat st;
    SignatureBlock_T block;
    std::string unused;
    if (fstat(fd.get(), &st) != 0 ||
        !readSignatureBlock(fd.get(), static_cast<uint64_t>(st.st_size), &block, &unused)) {
        printf("%s: signature check failed: cannot read it again\n", package.c_str());
        return 1;
    }
    for (const PublicKey_T& key : keys) {
        if (memcmp(key.id, block.keyId, kKeyIdSize) == 0) {
            printf("%s: signature verified with %s (key id %s)\n", package.c_str(),
                   key.source.c_str(), hexOf(block.keyId, kKeyIdSize).c_str());
            break;
        }
    }
    return 0;
}

}  // namespace mpp
