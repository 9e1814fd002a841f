// Reading a written package back with the set's ZIP reader, for the build's
// own check and for inspect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The set's ZIP reader's archive, opened by PackageReader::open.
struct ZipArchive;

namespace mpp {

struct PackageEntry_T {
    std::string name;
    bool deflated = false;
    uint32_t storedSize = 0;        // bytes in the package
    uint32_t uncompressedSize = 0;  // bytes once extracted
    long long offset = 0;           // of its data in the file
};

class PackageReader {
public:
    PackageReader() = default;
    ~PackageReader();
    PackageReader(const PackageReader&) = delete;
    PackageReader& operator=(const PackageReader&) = delete;

    // Empty string when `path` opens as a ZIP, else why not.
    std::string open(const std::string& path);

    // Every entry, in the order of their data in the file. Empty string on
    // success, else why the central directory cannot be read.
    std::string entries(std::vector<PackageEntry_T>* list) const;
    bool has(const std::string& name) const;
    // The extracted content of `name`, checked against its CRC. Empty
    // string on success, else why not.
    std::string read(const std::string& name, std::string* bytes) const;
    // MD5 of the extracted content, streamed rather than held.
    std::string md5(const std::string& name, std::string* md5) const;

private:
    ZipArchive* archive_ = nullptr;
};

}  // namespace mpp
