// The public keys a package may be signed with: Ed25519 keys in PEM files.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include "package.h"

namespace {

using namespace ota_signature;

// A PEM public key is a few hundred bytes; anything far larger is no key
// file and is not read whole.
constexpr size_t kMaxKeyFile = 16384;

constexpr const char kKeySuffix[] = ".pem";

bool hasKeySuffix(const std::string& name) {
    const size_t suffix = sizeof kKeySuffix - 1;
    return name.size() > suffix && name.compare(name.size() - suffix, suffix, kKeySuffix) == 0;
}

bool readSmallFile(const std::string& path, std::string* bytes) {
    FileOwner file(fopenReadable(path.c_str()));
    if (!file) {
        return false;
    }
    bytes->assign(kMaxKeyFile + 1, '\0');
    const size_t got = fread(&(*bytes)[0], 1, bytes->size(), file.get());
    bytes->resize(got);
    return ferror(file.get()) == 0;
}

}  // namespace

PublicKey_T publicKeyFromRaw(const unsigned char* raw, const std::string& source) {
    PublicKey_T key;
    key.source = source;
    memcpy(key.raw, raw, kPublicKeySize);
    unsigned char hash[SHA256_DIGEST_LENGTH];
    SHA256(raw, kPublicKeySize, hash);
    memcpy(key.id, hash, kKeyIdSize);
    return key;
}

bool loadPublicKey(const std::string& path, PublicKey_T* key, std::string* why) {
    std::string pem;
    if (!readSmallFile(path, &pem)) {
        *why = "cannot be read";
        return false;
    }
    if (pem.size() > kMaxKeyFile) {
        *why = "is larger than " + std::to_string(kMaxKeyFile) + " bytes";
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    if (!pkey) {
        *why = "holds no PEM public key";
        return false;
    }
    if (EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_ED25519) {
        *why = "holds a public key that is not Ed25519";
        return false;
    }
    unsigned char raw[kPublicKeySize];
    size_t rawSize = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(pkey.get(), raw, &rawSize) != 1 || rawSize != sizeof raw) {
        *why = "holds an Ed25519 key that cannot be read out";
        return false;
    }
    *key = publicKeyFromRaw(raw, path);
    return true;
}

std::vector<PublicKey_T> loadKeyDirectory(const char* dir) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(dir)) {
        while (const dirent* entry = readdir(listing)) {
            if (hasKeySuffix(entry->d_name)) {
                names.push_back(entry->d_name);
            }
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());

    std::vector<PublicKey_T> keys;
    for (const std::string& name : names) {
        std::string path = dir;
        if (path.empty() || path.back() != '/') {
            path += '/';
        }
        path += name;
        PublicKey_T key;
        std::string why;
        if (loadPublicKey(path, &key, &why)) {
            keys.push_back(key);
        } else {
            OTA_LOG("key %s %s; it is not used\n", path.c_str(), why.c_str());
        }
    }
    return keys;
}
