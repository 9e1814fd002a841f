// The plain-function door to the archive: callers hold the package as an
// opaque pointer (m_archiveHandle) and never see the class behind it.
#include "archive.h"

#include <unistd.h>

#include <new>

namespace {

using OpenOperation = int (ota::ArchiveImpl::*)(const char*);

// Creates the object, publishes it through *out and opens the package. An
// object whose open failed has nothing left to close: it is destroyed here
// and *out cleared, so no caller can release its reader a second time.
int createAndOpen(const char* path, void** out, OpenOperation open) {
    if (out == nullptr) {
        return kArchiveOpenFailed;
    }
    ota::ArchiveImpl* archive = new (std::nothrow) ota::ArchiveImpl();
    if (archive == nullptr) {
        *out = nullptr;
        return kArchiveNoMemory;
    }
    *out = archive;
    const int result = (archive->*open)(path);
    if (result != kArchiveOk) {
        delete archive;
        *out = nullptr;
    }
    return result;
}

ota::IArchive* fromHandle(void* h) {
    return static_cast<ota::ArchiveImpl*>(h);
}

}  // namespace

extern "C" {

int openArchive(const char* path, void** out) {
    return createAndOpen(path, out, &ota::ArchiveImpl::openArchive);
}

int openArchiveIntoMemory(const char* path, void** out) {
    return createAndOpen(path, out, &ota::ArchiveImpl::openArchiveIntoMemory);
}

int openArchiveFd(int fd, const char* name, const FileIdentity_T* pinned, void** out) {
    ota::ArchiveImpl* archive = out != nullptr ? new (std::nothrow) ota::ArchiveImpl() : nullptr;
    if (archive == nullptr) {
        close(fd);
        if (out != nullptr) {
            *out = nullptr;
        }
        return out != nullptr ? kArchiveNoMemory : kArchiveOpenFailed;
    }
    *out = archive;
    const int result = archive->openArchiveFd(fd, name, pinned);
    if (result != kArchiveOk) {
        delete archive;
        *out = nullptr;
    }
    return result;
}

int closeArchive(void* h) {
    if (h != nullptr) {
        ota::IArchive* archive = fromHandle(h);
        archive->closeArchive();
        delete archive;
    }
    return kArchiveOk;
}

int closeArchiveFromMemory(void* h) {
    if (h != nullptr) {
        ota::IArchive* archive = fromHandle(h);
        archive->closeArchiveFromMemory();
        delete archive;
    }
    return kArchiveOk;
}

int extractOneFile(void* h, const char* entryName, const char* destDir, int keepDirs) {
    if (h == nullptr) {
        return kArchiveNoEntry;
    }
    return fromHandle(h)->extractOneFile(entryName, destDir, keepDirs);
}

int extractEntryToFd(void* h, const char* entryName, int fd) {
    if (h == nullptr) {
        return kArchiveNoEntry;
    }
    return static_cast<ota::ArchiveImpl*>(h)->extractEntryToFd(entryName, fd);
}

}  // extern "C"

int extractEntryToMemory(void* h, const char* entryName, std::string* out, size_t maxSize) {
    if (h == nullptr || out == nullptr) {
        return kArchiveNoEntry;
    }
    return static_cast<ota::ArchiveImpl*>(h)->extractEntryToMemory(entryName, out, maxSize);
}

int entrySize(void* h, const char* entryName, uint64_t* size) {
    if (h == nullptr || size == nullptr) {
        return kArchiveNoEntry;
    }
    return static_cast<ota::ArchiveImpl*>(h)->entrySize(entryName, size);
}
