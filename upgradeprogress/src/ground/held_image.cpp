// Images held in sealed memory. A result is read once, through one
// descriptor, into a memfd that is then sealed: no process, this one
// included, can change, grow or shrink its bytes afterwards. It is hashed
// there and written to the partition from there, so the bytes written are
// the bytes whose MD5 was checked, whatever happens to the file they came
// from.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "ground.h"

namespace {

constexpr unsigned kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

}  // namespace

HeldImage_T::~HeldImage_T() {
    if (fd >= 0) {
        close(fd);
    }
}

HeldImage_T::HeldImage_T(HeldImage_T&& other) noexcept
    : fd(other.fd), size(other.size), md5(std::move(other.md5)) {
    other.fd = -1;
}

HeldImage_T& HeldImage_T::operator=(HeldImage_T&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) {
            close(fd);
        }
        fd = other.fd;
        size = other.size;
        md5 = std::move(other.md5);
        other.fd = -1;
    }
    return *this;
}

int newImageFd(const char* name) {
    return memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
}

bool sealImage(int fd, HeldImage_T* image) {
    *image = HeldImage_T();
    image->fd = fd;
    if (fd < 0 || fcntl(fd, F_ADD_SEALS, kSeals) != 0) {
        return false;
    }
    // Hashed only once sealed: nothing can change after the hash.
    StreamResult_T read;
    if (!streamChunks(fd, 0, kWholeStream, StreamHash::Md5, nullptr, &read)) {
        return false;
    }
    image->size = read.bytes;
    image->md5 = hexDigest(read.digest);
    return true;
}

bool holdImageFrom(int source, const char* name, HeldImage_T* image) {
    *image = HeldImage_T();
    const int fd = newImageFd(name);
    if (fd < 0) {
        return false;
    }
    const bool copied = streamChunks(
        source, 0, kWholeStream, StreamHash::None,
        [fd](const unsigned char* data, size_t size) { return writeAll(fd, data, size); }, nullptr);
    if (!copied) {
        close(fd);
        return false;
    }
    // Hashed after the seal, from the memfd itself: a write through
    // /proc/<pid>/fd between the copy and the seal cannot slip past the hash.
    return sealImage(fd, image);
}
