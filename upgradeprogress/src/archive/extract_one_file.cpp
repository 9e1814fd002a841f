// Extracting one named entry of the package into a file.
#include "archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ground.h"

namespace {

// Room for a destination directory, a separator and a long entry name.
constexpr size_t kExtractPathSize = 4352;

// With the entry's directories kept, an absolute name or a ".." component
// would create directories and a file outside the destination: a package
// must never write anywhere but where the caller points it.
bool escapesDestination(const char* entryName) {
    if (entryName[0] == '/') {
        return true;
    }
    const char* component = entryName;
    while (true) {
        const char* slash = strchr(component, '/');
        const size_t length = slash ? static_cast<size_t>(slash - component) : strlen(component);
        if (length == 2 && component[0] == '.' && component[1] == '.') {
            return true;
        }
        if (slash == nullptr) {
            return false;
        }
        component = slash + 1;
    }
}

// Writes `dir` '/' `name` (or `name` alone for a null `dir`) into `path`.
// False when it would not fit; nothing is written past the buffer.
bool composePath(char* path, const char* dir, const char* name) {
    const int written = dir != nullptr ? snprintf(path, kExtractPathSize, "%s%c%s", dir, '/', name)
                                       : snprintf(path, kExtractPathSize, "%s", name);
    return written >= 0 && static_cast<size_t>(written) < kExtractPathSize;
}

// Creates every directory named by the entry part of `path` (from
// `entryStart` on). Failures are not checked here: a directory that is
// missing shows up as a failed open of the output file.
void makeEntryDirectories(char* path, size_t entryStart) {
    for (char* p = path + entryStart; *p != '\0'; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(path, 0777);
            *p = '/';
        }
    }
}

const char* baseName(const char* entryName) {
    const char* slash = strrchr(entryName, '/');
    return slash ? slash + 1 : entryName;
}

}  // namespace

namespace ota {

int ArchiveImpl::extractOneFile(const char* entryName, const char* destDir, int keepDirs) {
    if (entryName == nullptr || m_zipHandle == nullptr) {
        return kArchiveNoEntry;
    }
    ZipEntry entry;
    if (FindEntry(m_zipHandle, entryName, &entry) != 0) {
        return kArchiveNoEntry;
    }

    // Only the path that is opened has to fit: without kept directories
    // that is the destination and the base name of the entry.
    char path[kExtractPathSize] = {};
    const char* outputName = keepDirs != 0 ? entryName : baseName(entryName);
    if (!composePath(path, destDir, outputName)) {
        OTA_LOG("output path for %s is longer than %zu bytes\n", entryName, kExtractPathSize - 1);
        return kArchiveOutputFailed;
    }
    if (keepDirs != 0) {
        if (escapesDestination(entryName)) {
            OTA_LOG("refusing entry %s: it leads outside the destination\n", entryName);
            return kArchiveOutputFailed;
        }
        makeEntryDirectories(path, destDir != nullptr ? strlen(destDir) + 1 : 0);
    }

    const int fd = openFreshFile(path, 0644);
    if (fd < 0) {
        return kArchiveOutputFailed;
    }
    const int32_t extracted = ExtractEntryToFile(m_zipHandle, &entry, fd);
    close(fd);
    // Bytes read from a package that was written to after its check are not
    // the bytes that were checked: they must not be left for anyone to use.
    if (!packageUnchanged()) {
        OTA_LOG("the package changed on disk while %s was extracted\n", entryName);
        unlink(path);
        return kArchiveExtractFailed;
    }
    return extracted != 0 ? kArchiveExtractFailed : kArchiveOk;
}

int ArchiveImpl::extractEntryToFd(const char* entryName, int fd) {
    if (entryName == nullptr || m_zipHandle == nullptr) {
        return kArchiveNoEntry;
    }
    ZipEntry entry;
    if (FindEntry(m_zipHandle, entryName, &entry) != 0) {
        return kArchiveNoEntry;
    }
    const int32_t extracted = ExtractEntryToFile(m_zipHandle, &entry, fd);
    if (!packageUnchanged()) {
        OTA_LOG("the package changed on disk while %s was extracted\n", entryName);
        return kArchiveExtractFailed;
    }
    return extracted != 0 ? kArchiveExtractFailed : kArchiveOk;
}

int ArchiveImpl::entrySize(const char* entryName, uint64_t* size) {
    ZipEntry entry;
    if (entryName == nullptr || m_zipHandle == nullptr ||
        FindEntry(m_zipHandle, entryName, &entry) != 0) {
        return kArchiveNoEntry;
    }
    *size = entry.uncompressed_length;
    return kArchiveOk;
}

int ArchiveImpl::extractEntryToMemory(const char* entryName, std::string* out, size_t maxSize) {
    out->clear();
    if (entryName == nullptr || m_zipHandle == nullptr) {
        return kArchiveNoEntry;
    }
    ZipEntry entry;
    if (FindEntry(m_zipHandle, entryName, &entry) != 0) {
        return kArchiveNoEntry;
    }
    // The size comes from the package: bounded before anything is allocated.
    if (entry.uncompressed_length > maxSize) {
        OTA_LOG("entry %s holds %u bytes, more than the %zu allowed\n", entryName,
                entry.uncompressed_length, maxSize);
        return kArchiveExtractFailed;
    }
    std::string bytes(entry.uncompressed_length, '\0');
    const int32_t extracted =
        bytes.empty() ? 0
                      : ExtractToMemory(m_zipHandle, &entry, reinterpret_cast<uint8_t*>(&bytes[0]),
                                        entry.uncompressed_length);
    if (!packageUnchanged()) {
        OTA_LOG("the package changed on disk while %s was extracted\n", entryName);
        return kArchiveExtractFailed;
    }
    if (extracted != 0) {
        return kArchiveExtractFailed;
    }
    *out = std::move(bytes);
    return kArchiveOk;
}

}  // namespace ota
