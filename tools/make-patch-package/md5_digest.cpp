#include "md5_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <openssl/evp.h>

#include "file_util.h"

namespace mpp {

struct Md5Digest::State {
    EVP_MD_CTX* ctx = nullptr;
};

Md5Digest::Md5Digest() : state_(new State) {
    state_->ctx = EVP_MD_CTX_new();
    if (state_->ctx == nullptr || EVP_DigestInit_ex(state_->ctx, EVP_md5(), nullptr) != 1) {
        // Without a digest nothing this tool writes can be trusted.
        abort();
    }
}

Md5Digest::~Md5Digest() {
    EVP_MD_CTX_free(state_->ctx);
}

void Md5Digest::update(const void* data, size_t size) {
    if (size != 0 && EVP_DigestUpdate(state_->ctx, data, size) != 1) {
        abort();
    }
}

std::string Md5Digest::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->ctx, digest, &length) != 1) {
        abort();
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0f];
    }
    return text;
}

std::string md5Hex(const void* data, size_t size) {
    Md5Digest digest;
    digest.update(data, size);
    return digest.hex();
}

std::string md5OfFile(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return std::string();
    }
    Md5Digest digest;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::string();
        }
        if (got == 0) {
            break;
        }
        digest.update(buffer.data(), static_cast<size_t>(got));
    }
    return digest.hex();
}

}  // namespace mpp
