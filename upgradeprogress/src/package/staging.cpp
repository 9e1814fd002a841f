// Staging of the installed image: the partition is copied into part files of
// a fixed size before it is rewritten in place, so every part can be patched
// from its own copy while the partition itself changes underneath.
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
constexpr size_t kCopyBuffer = 1048576;

struct BufferFree {
    void operator()(unsigned char* buffer) const { free(buffer); }
};

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
    if (prefix == nullptr || source == nullptr || partSize == 0 || size == 0) {
        OTA_LOG("loadOriginalSplitFile: error param.\n");
        return 1;
    }
    char outFileName[kNameBuffer];
    if (strlen(prefix) + ota_format::kSuffixLength + 1 > sizeof outFileName) {
        OTA_LOG("suffix too long.\n");
        return 1;
    }

    FileOwner fp(fopenReadable(source, true));
    if (!fp) {
        OTA_LOG("open fp error...fileName = %s, error:%s(%d).\n", source, strerror(errno), errno);
        return 1;
    }
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
    if (fseek(fp.get(), 0, SEEK_SET) != 0) {
        OTA_LOG("fp read err ! error:%s(%d).\n", strerror(errno), errno);
        return 1;
    }

    std::unique_ptr<unsigned char, BufferFree> buffer(
        static_cast<unsigned char*>(malloc(kCopyBuffer)));
    if (!buffer) {
        OTA_LOG("filebuffer malloc is failed!\n");
        return 1;
    }

    FileOwner part;
    bool namesLeft = true;
    unsigned long room = partSize;
    unsigned long remaining = size;
    while (remaining != 0) {
        size_t chunk = remaining < kCopyBuffer ? remaining : kCopyBuffer;
        if (fread(buffer.get(), 1, chunk, fp.get()) != chunk) {
            OTA_LOG("fp read err ! error:%s(%d).\n", strerror(errno), errno);
            return 1;
        }
        size_t done = 0;
        while (done < chunk) {
            if (!part) {
                if (!namesLeft) {
                    OTA_LOG("output file suffixes exhausted.\n");
                    return 1;
                }
                part.reset(fopenFreshFile(outFileName));
                if (!part) {
                    OTA_LOG("open %s failed, error:%s(%d).\n", outFileName, strerror(errno), errno);
                    return 1;
                }
                namesLeft = nextFile(outFileName, ota_format::kSuffixLength) != nullptr;
            }
            size_t want = chunk - done < room ? chunk - done : room;
            if (fwrite(buffer.get() + done, 1, want, part.get()) != want || !syncPart(part.get())) {
                OTA_LOG("fp write err ! error:%s(%d).\n", strerror(errno), errno);
                return 1;
            }
            done += want;
            room -= want;
            if (room == 0) {
                if (fclose(part.release()) != 0) {
                    OTA_LOG("fp write err ! error:%s(%d).\n", strerror(errno), errno);
                    return 1;
                }
                room = partSize;
            }
        }
        remaining -= chunk;
    }

    buffer.reset();
    if (part) {
        bool synced = syncPart(part.get());
        if (fclose(part.release()) != 0 || !synced) {
            OTA_LOG("fp write err ! error:%s(%d).\n", strerror(errno), errno);
            return 1;
        }
    }
    return 0;
}
