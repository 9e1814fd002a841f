#include "package_reader.h"

#include <algorithm>

#include <ziparchive/zip_archive.h>

#include "md5_digest.h"

namespace mpp {

namespace {

struct HashCookie {
    Md5Digest digest;
};

bool hashChunk(const uint8_t* data, size_t size, void* cookie) {
    static_cast<HashCookie*>(cookie)->digest.update(data, size);
    return true;
}

}  // namespace

PackageReader::~PackageReader() {
    if (archive_ != nullptr) {
        CloseArchive(archive_);
    }
}

std::string PackageReader::open(const std::string& path) {
    if (archive_ != nullptr) {
        CloseArchive(archive_);
        archive_ = nullptr;
    }
    ZipArchiveHandle archive = nullptr;
    const int32_t code = OpenArchive(path.c_str(), &archive);
    if (code != 0) {
        // The reader wants its handle closed even when opening failed.
        CloseArchive(archive);
        return "cannot open " + path + " as a ZIP: " + ErrorCodeString(code);
    }
    archive_ = archive;
    return std::string();
}

std::string PackageReader::entries(std::vector<PackageEntry_T>* list) const {
    list->clear();
    void* cookie = nullptr;
    int32_t code = StartIteration(archive_, &cookie);
    if (code != 0) {
        return std::string("cannot list the entries: ") + ErrorCodeString(code);
    }
    ZipEntry entry;
    std::string name;
    while ((code = Next(cookie, &entry, &name)) == 0) {
        PackageEntry_T item;
        item.name = name;
        item.deflated = entry.method != kCompressStored;
        item.storedSize = entry.compressed_length;
        item.uncompressedSize = entry.uncompressed_length;
        item.offset = static_cast<long long>(entry.offset);
        list->push_back(item);
    }
    EndIteration(cookie);
    if (code != -1) {
        return std::string("cannot list the entries: ") + ErrorCodeString(code);
    }
    // The reader walks its name table, not the file.
    std::sort(list->begin(), list->end(),
              [](const PackageEntry_T& a, const PackageEntry_T& b) { return a.offset < b.offset; });
    return std::string();
}

bool PackageReader::has(const std::string& name) const {
    ZipEntry entry;
    return FindEntry(archive_, name, &entry) == 0;
}

std::string PackageReader::read(const std::string& name, std::string* bytes) const {
    ZipArchiveHandle archive = archive_;
    ZipEntry entry;
    int32_t code = FindEntry(archive, name, &entry);
    if (code != 0) {
        return "the package lacks " + name + ": " + ErrorCodeString(code);
    }
    bytes->assign(entry.uncompressed_length, '\0');
    code = ExtractToMemory(archive, &entry, reinterpret_cast<uint8_t*>(&(*bytes)[0]),
                           entry.uncompressed_length);
    if (code != 0) {
        return "cannot read " + name + ": " + ErrorCodeString(code);
    }
    return std::string();
}

std::string PackageReader::md5(const std::string& name, std::string* md5) const {
    ZipArchiveHandle archive = archive_;
    ZipEntry entry;
    int32_t code = FindEntry(archive, name, &entry);
    if (code != 0) {
        return "the package lacks " + name + ": " + ErrorCodeString(code);
    }
    HashCookie cookie;
    code = ProcessZipEntryContents(archive, &entry, hashChunk, &cookie);
    if (code != 0) {
        return "cannot read back " + name + ": " + ErrorCodeString(code);
    }
    *md5 = cookie.digest.hex();
    return std::string();
}

}  // namespace mpp
