// Package archive: the only door to the patch package (a ZIP file), and the
// mapping of a package file into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

private:
    MemMapping m_mapping;
    ZipArchiveHandle m_zipHandle = nullptr;
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
}
