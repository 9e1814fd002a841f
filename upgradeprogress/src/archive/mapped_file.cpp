// Mapping a package file into memory: the plain route maps the file whole,
// "@<block map>" hands over to the block-map route. The view is read-only and
// private, so nothing the ZIP reader does can reach the package on storage.
#include "archive.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "block_map.h"
#include "ground.h"

namespace {

int openReadOnly(const char* path) {
    // The package lies where other programs write: only a regular file.
    return openReadable(path);
}

int mapPlainFile(const char* path, MemMapping* mapping) {
    const int fd = openReadOnly(path);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    // A file of length 0 cannot be mapped (mmap refuses a length of 0), and
    // one larger than the address space (a 32-bit set) must not be mapped
    // short: both fail here rather than later in the ZIP reader.
    if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
        close(fd);
        return -1;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* addr = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (addr == MAP_FAILED) {
        close(fd);
        return -1;
    }
    mapping->addr = static_cast<unsigned char*>(addr);
    mapping->length = size;
    mapping->ranges.push_back(MappedRange{addr, size});
    close(fd);  // the mapping keeps its own reference to the file
    return 0;
}

}  // namespace

int openBlockDevice(const char* path) {
    // The partition a block map names, or a plain file standing in for it.
    return openReadable(path, true);
}

int sysMapFile(const char* path, MemMapping* mapping) {
    if (path == nullptr || mapping == nullptr) {
        return -1;
    }
    mapping->addr = nullptr;
    mapping->length = 0;
    std::vector<MappedRange>().swap(mapping->ranges);

    if (path[0] == '@') {
        return mapBlockMapFile(path + 1, mapping);
    }
    return mapPlainFile(path, mapping);
}

void sysReleaseMap(MemMapping* mapping) {
    if (mapping == nullptr) {
        return;
    }
    for (const MappedRange& range : mapping->ranges) {
        munmap(range.addr, range.length);
    }
    mapping->ranges.clear();
}
