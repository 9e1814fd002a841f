// Opening and closing the package behind an archive object, by path or from
// a mapped view of the package file.
#include "archive.h"
#include "ground.h"

namespace ota {

namespace {

// The reader hands out its handle even when the open fails; it must be
// released exactly once, and the member cleared so that no later close can
// release it a second time.
void releaseReader(ZipArchiveHandle* handle) {
    if (*handle != nullptr) {
        CloseArchive(*handle);
        *handle = nullptr;
    }
}

}  // namespace

int ArchiveImpl::openArchive(const char* path) {
    if (path == nullptr) {
        return kArchiveOpenFailed;
    }
    // The package lies where other programs write: only a regular file is
    // opened, and a pipe in its place never makes the reader wait.
    const int fd = openReadable(path);
    if (fd < 0) {
        return kArchiveOpenFailed;
    }
    // The reader owns the descriptor from here, on failure too.
    if (OpenArchiveFd(fd, path, &m_zipHandle, true) == 0) {
        return kArchiveOk;
    }
    releaseReader(&m_zipHandle);
    return kArchiveOpenFailed;
}

int ArchiveImpl::openArchiveFd(int fd, const char* name, const FileIdentity_T* pinned) {
    if (fd < 0) {
        return kArchiveOpenFailed;
    }
    // The reader owns the descriptor from here on, also when it refuses it.
    m_fd = fd;
    if (name == nullptr) {
        name = "package";
    }
    if (OpenArchiveFd(fd, name, &m_zipHandle, true) != 0) {
        releaseReader(&m_zipHandle);
        m_fd = -1;
        return kArchiveOpenFailed;
    }
    if (pinned != nullptr) {
        m_pinned = true;
        m_identity = *pinned;
        if (!packageUnchanged()) {
            OTA_LOG("%s changed on disk after it was checked\n", name);
            releaseReader(&m_zipHandle);
            m_fd = -1;
            return kArchiveOpenFailed;
        }
    }
    return kArchiveOk;
}

bool ArchiveImpl::packageUnchanged() const {
    FileIdentity_T now;
    return !m_pinned || (readFileIdentity(m_fd, &now) && sameFileIdentity(now, m_identity));
}

int ArchiveImpl::openArchiveIntoMemory(const char* path) {
    if (sysMapFile(path, &m_mapping) != 0) {
        return kArchiveMapFailed;
    }
    if (OpenArchiveFromMemory(m_mapping.addr, m_mapping.length, path, &m_zipHandle) == 0) {
        return kArchiveOk;
    }
    sysReleaseMap(&m_mapping);
    releaseReader(&m_zipHandle);
    return kArchiveOpenFailed;
}

int ArchiveImpl::closeArchive() {
    releaseReader(&m_zipHandle);
    m_fd = -1;
    return kArchiveOk;
}

int ArchiveImpl::closeArchiveFromMemory() {
    // Same order as a failed open: the view, then the reader, whose release
    // frees only its own tables and never reads the package bytes again.
    sysReleaseMap(&m_mapping);
    releaseReader(&m_zipHandle);
    return kArchiveOk;
}

}  // namespace ota
