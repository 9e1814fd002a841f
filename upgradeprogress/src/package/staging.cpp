// Staging of the installed image: the partition is copied into part files of
// a fixed size before it is rewritten in place, so every part can be patched
// from its own copy while the partition itself changes underneath.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ground.h"
#include "package.h"

namespace {

constexpr size_t kNameBuffer = 256;

struct FdOwner {
    int fd;
    explicit FdOwner(int opened) : fd(opened) {}
    ~FdOwner() { close(fd); }
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;
};

size_t baseNameStart(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

// Every byte written into a part is on storage before the next one is read.
bool syncPart(FILE* part) {
    return fflush(part) == 0 && fsync(fileno(part)) == 0;
}

}  // namespace

char* nextFile(char* name, unsigned suffixLength) {
    size_t length = strlen(name);
    if (suffixLength == 0 || suffixLength > length) {
        return nullptr;
    }
    char* first = name + length - suffixLength;
    char* last = name + length - 1;
    // zz... has no successor; the name stays as it was.
    char* p = last;
    while (p >= first && *p == 'z') {
        --p;
    }
    if (p < first) {
        return nullptr;
    }
    ++*p;
    for (char* q = p + 1; q <= last; ++q) {
        *q = 'a';
    }
    return name;
}

int loadOriginalSplitFile(const char* source, unsigned long size, unsigned long partSize,
                          const char* prefix) {
    return loadOriginalSplitFileAt(AT_FDCWD, source, size, partSize, prefix);
}

int loadOriginalSplitFileAt(int dirFd, const char* source, unsigned long size,
                            unsigned long partSize, const char* prefix) {
    if (prefix == nullptr || source == nullptr || partSize == 0 || size == 0) {
        OTA_LOG("loadOriginalSplitFile: error param.\n");
        return 1;
    }
    char outFileName[kNameBuffer];
    if (strlen(prefix) + ota_format::kSuffixLength + 1 > sizeof outFileName) {
        OTA_LOG("suffix too long.\n");
        return 1;
    }

    const int fd = openReadable(source, true);
    if (fd < 0) {
        OTA_LOG("open fp error...fileName = %s, error:%s(%d).\n", source, strerror(errno), errno);
        return 1;
    }
    FdOwner sourceOwner(fd);
    unsigned long splitFileNum = size / partSize + (size % partSize != 0 ? 1 : 0);
    OTA_LOG("splitFileNum = %lu.\n", splitFileNum);
    // Refused before any part exists: the names must last to the final part.
    if (splitFileNum > static_cast<unsigned long>(ota_format::kMaxParts)) {
        OTA_LOG("output file suffixes exhausted.\n");
        return 1;
    }

    snprintf(outFileName, sizeof outFileName, "%s%.*s", prefix,
             static_cast<int>(ota_format::kSuffixLength), "aaaaaaaa");
    OTA_LOG("outFileName: %s.\n", outFileName);
    // Inside a held directory a part is made by its own name, not by a path
    // that another program could point elsewhere.
    const size_t nameStart = dirFd == AT_FDCWD ? 0 : baseNameStart(outFileName);

    FileOwner part;
    bool namesLeft = true;
    bool writeFailed = false;
    unsigned long room = partSize;
    StreamResult_T read;
    const bool copied = streamChunks(
        fd, 0, size, StreamHash::None,
        [&](const unsigned char* data, size_t chunk) {
            size_t done = 0;
            while (done < chunk) {
                if (!part) {
                    if (!namesLeft) {
                        OTA_LOG("output file suffixes exhausted.\n");
                        writeFailed = true;
                        return false;
                    }
                    part.reset(fopenFreshFileAt(dirFd, outFileName + nameStart));
                    if (!part) {
                        OTA_LOG("open %s failed, error:%s(%d).\n", outFileName, strerror(errno),
                                errno);
                        writeFailed = true;
                        return false;
                    }
                    namesLeft = nextFile(outFileName, ota_format::kSuffixLength) != nullptr;
                }
                size_t want = chunk - done < room ? chunk - done : room;
                if (fwrite(data + done, 1, want, part.get()) != want || !syncPart(part.get())) {
                    OTA_LOG("fp write err ! error:%s(%d).\n", strerror(errno), errno);
                    writeFailed = true;
                    return false;
                }
                done += want;
                room -= want;
                if (room == 0) {
                    if (fclose(part.release()) != 0) {
                        OTA_LOG("fp write err ! error:%s(%d).\n", strerror(errno), errno);
                        writeFailed = true;
                        return false;
                    }
                    room = partSize;
                }
            }
            return true;
        },
        &read);
    if (!copied) {
        if (!writeFailed) {
            OTA_LOG("fp read err ! error:%s(%d).\n", strerror(errno), errno);
        }
        return 1;
    }

    if (part) {
        bool synced = syncPart(part.get());
        if (fclose(part.release()) != 0 || !synced) {
            OTA_LOG("fp write err ! error:%s(%d).\n", strerror(errno), errno);
            return 1;
        }
    }
    return 0;
}
