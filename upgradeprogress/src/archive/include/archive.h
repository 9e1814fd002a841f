// Package archive: the only door to the patch package (a ZIP file), and the
// mapping of a package file into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>
#include <time.h>

#include <ziparchive/zip_archive.h>

// ---- Mapped package files -------------------------------------------------
struct MappedRange {
    void* addr;
    size_t length;
};

struct MemMapping {
    unsigned char* addr = nullptr;
    size_t length = 0;
    std::vector<MappedRange> ranges;
};

int sysMapFile(const char* path, MemMapping* mapping);
void sysReleaseMap(MemMapping* mapping);

// ---- Package file identity -------------------------------------------------
// What tells one state of an open file from another: the same inode, the same
// size, the same modification and change times. Every write to the file moves
// its change time, which no caller can set back, so an unchanged identity
// taken after the clock has passed the change time means unchanged bytes.
struct FileIdentity_T {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified = {};
    timespec changed = {};
};

bool readFileIdentity(int fd, FileIdentity_T* identity);
bool sameFileIdentity(const FileIdentity_T& a, const FileIdentity_T& b);

// ---- Archive interface ----------------------------------------------------
namespace ota {

class IArchive {
public:
    virtual ~IArchive() = default;
    virtual int openArchive(const char* path) = 0;
    virtual int closeArchive() = 0;
    virtual int openArchiveIntoMemory(const char* path) = 0;
    virtual int closeArchiveFromMemory() = 0;
    virtual int extractOneFile(const char* entryName, const char* destDir, int keepDirs) = 0;
};

class ArchiveImpl : public IArchive {
public:
    ~ArchiveImpl() override = default;
    int openArchive(const char* path) override;
    int closeArchive() override;
    int openArchiveIntoMemory(const char* path) override;
    int closeArchiveFromMemory() override;
    int extractOneFile(const char* entryName, const char* destDir, int keepDirs) override;
    // Opens the package from a descriptor the object then owns, pinned to
    // `pinned` (may be null): every extraction afterwards checks the file
    // still has that identity.
    int openArchiveFd(int fd, const char* name, const FileIdentity_T* pinned);
    int extractEntryToFd(const char* entryName, int fd);
    int extractEntryToMemory(const char* entryName, std::string* out, size_t maxSize);
    int entrySize(const char* entryName, uint64_t* size);

private:
    bool packageUnchanged() const;

    MemMapping m_mapping;
    ZipArchiveHandle m_zipHandle = nullptr;
    int m_fd = -1;
    bool m_pinned = false;
    FileIdentity_T m_identity;
};

}  // namespace ota

// Result codes shared by every operation.
enum : int {
    kArchiveOk = 0,
    kArchiveMapFailed = -1,
    kArchiveOpenFailed = -2,
    kArchiveNoEntry = -3,
    kArchiveOutputFailed = -4,
    kArchiveExtractFailed = -5,
    kArchiveNoMemory = -6,
};

extern "C" {
int openArchive(const char* path, void** out);
int closeArchive(void* h);
int openArchiveIntoMemory(const char* path, void** out);
int closeArchiveFromMemory(void* h);
int extractOneFile(void* h, const char* entryName, const char* destDir, int keepDirs);
// Opens the package from `fd`, which belongs to the archive from this call on
// (closed by closeArchive, or here when the open fails). With `pinned` set
// the open fails unless the file still has that identity, and so does every
// extraction after which it no longer has it.
int openArchiveFd(int fd, const char* name, const FileIdentity_T* pinned, void** out);
// Extracts the entry into `fd` (a file the caller made, or a memfd), from
// its start. kArchiveNoEntry when the package does not carry it.
int extractEntryToFd(void* h, const char* entryName, int fd);
}

// Extracts the entry into memory, refused when it holds more than `maxSize`
// bytes. The bytes come straight from the checked package: nothing another
// program can reach lies between the package and the caller.
int extractEntryToMemory(void* h, const char* entryName, std::string* out, size_t maxSize);
// kArchiveOk with the entry's uncompressed size when the package carries it.
int entrySize(void* h, const char* entryName, uint64_t* size);
