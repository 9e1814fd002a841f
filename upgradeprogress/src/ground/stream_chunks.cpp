// The one loop that moves bytes: a stream read in chunks, hashed on the way,
// and each chunk handed on. The MD5 checks, the staging copy, the image
// writer and the package's signature hash all stand on it, so a check and
// the use of what it checked see the same chunks.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "ground.h"

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

struct AlignedFree {
    void operator()(unsigned char* buffer) const { free(buffer); }
};

const EVP_MD* digestOf(StreamHash hash) {
    switch (hash) {
        case StreamHash::Md5:
            return EVP_md5();
        case StreamHash::Sha256:
            return EVP_sha256();
        case StreamHash::None:
            break;
    }
    return nullptr;
}

ssize_t preadRetrying(int fd, unsigned char* data, size_t size, uint64_t offset) {
    ssize_t got;
    do {
        got = pread(fd, data, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

bool streamChunks(int fd, uint64_t start, uint64_t length, StreamHash hash, const ChunkSink& each,
                  StreamResult_T* result, bool direct) {
    StreamResult_T local;
    StreamResult_T& out = result != nullptr ? *result : local;
    out = StreamResult_T();

    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx;
    if (const EVP_MD* md = digestOf(hash)) {
        ctx.reset(EVP_MD_CTX_new());
        if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
            return false;
        }
    }
    // A read past the page cache needs a buffer, an offset and a size in
    // whole device blocks; the page size is a multiple of every block size.
    if (direct && start % kDirectAlignment != 0) {
        return false;
    }
    void* raw = nullptr;
    if (posix_memalign(&raw, kDirectAlignment, kStreamChunk) != 0) {
        return false;
    }
    std::unique_ptr<unsigned char, AlignedFree> buffer(static_cast<unsigned char*>(raw));

    uint64_t offset = start;
    const bool toEnd = length == kWholeStream;
    bool complete = true;
    while (toEnd || out.bytes < length) {
        // `need` bytes make this chunk; `want` is what is read for them,
        // rounded up to whole blocks past the page cache.
        size_t need = kStreamChunk;
        if (!toEnd && length - out.bytes < need) {
            need = static_cast<size_t>(length - out.bytes);
        }
        const size_t want =
            direct ? (need + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment : need;
        // A chunk is filled whole before it is handed on: a stream that ends
        // early never hands on a part of a chunk as if it were all of it.
        size_t filled = 0;
        while (filled < need) {
            const ssize_t got = preadRetrying(fd, buffer.get() + filled, want - filled, offset);
            if (got < 0) {
                return false;
            }
            if (got == 0) {
                break;
            }
            filled += static_cast<size_t>(got);
            offset += static_cast<uint64_t>(got);
        }
        const size_t use = filled < need ? filled : need;
        if (ctx && use > 0 && EVP_DigestUpdate(ctx.get(), buffer.get(), use) != 1) {
            return false;
        }
        if (use < need && !toEnd) {
            // Short: hashed as far as it went, not handed on.
            out.bytes += use;
            complete = false;
            break;
        }
        if (use > 0 && each && !each(buffer.get(), use)) {
            return false;
        }
        out.bytes += use;
        if (use < need) {
            break;  // the end of a stream read to its end
        }
    }
    if (ctx) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
            return false;
        }
        out.digest.assign(reinterpret_cast<const char*>(digest), size);
    }
    return complete;
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = write(fd, next, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        next += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool readSmallFile(const char* path, uint64_t maxBytes, std::string* text) {
    text->clear();
    const int fd = openReadable(path);
    if (fd < 0) {
        return false;
    }
    const bool read = streamChunks(
        fd, 0, kWholeStream, StreamHash::None,
        [text, maxBytes](const unsigned char* data, size_t size) {
            text->append(reinterpret_cast<const char*>(data), size);
            return text->size() <= maxBytes;
        },
        nullptr);
    close(fd);
    return read;
}

std::string hexDigest(const std::string& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}
