#include "package_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include <ziparchive/zip_archive.h>
#include <ziparchive/zip_writer.h>

#include "file_util.h"
#include "interrupt.h"
#include "md5_digest.h"

namespace mpp {

namespace {

// Without ZIP64 every offset and size of the archive must fit 32 bits.
constexpr long long kMaxArchiveSize = 0xffffffffLL;

std::string zipError(const char* what, const std::string& name, int32_t code) {
    return std::string(what) + " " + name + ": " + ZipWriter::ErrorCodeString(code);
}

// Streams `length` bytes of `path` from `offset` into the open entry, hashing
// them on the way.
std::string copyInto(ZipWriter& writer, const std::string& path, long long offset, long long length,
                     std::string* md5) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return "cannot open " + path;
    }
    Md5Digest digest;
    std::vector<char> buffer(1 << 20);
    while (length > 0) {
        const size_t chunk = static_cast<size_t>(std::min<long long>(length, buffer.size()));
        if (!readAt(fd.get(), buffer.data(), chunk, static_cast<off_t>(offset))) {
            return "cannot read " + path;
        }
        digest.update(buffer.data(), chunk);
        const int32_t code = writer.WriteBytes(buffer.data(), chunk);
        if (code != 0) {
            return zipError("cannot pack", path, code);
        }
        offset += static_cast<long long>(chunk);
        length -= static_cast<long long>(chunk);
    }
    *md5 = digest.hex();
    return std::string();
}

struct EntrySource_T {
    std::string entry;
    bool compress;
    std::string path;
    long long offset;
    long long length;
    std::string md5;
};

// The entries of one partition in package order: its list, then the content
// of its items in list order.
std::vector<EntrySource_T> entriesOf(const PartitionPlan_T& plan) {
    std::vector<EntrySource_T> entries;
    for (const PartItem_T& item : plan.items) {
        switch (item.kind) {
            case ItemKind::kUpdate:
                // Patches are bzip2 streams already; deflate would only cost time.
                entries.push_back({itemEntryName(item.fileName), false, item.patchPath, 0,
                                   item.patchSize, item.patchMd5});
                break;
            case ItemKind::kCreate:
            case ItemKind::kEntotal:
                entries.push_back({itemEntryName(item.fileName), true, plan.newPath, item.offset,
                                   item.length, item.checkSum});
                break;
            case ItemKind::kChkSync:
            case ItemKind::kDelete:
                break;
        }
    }
    return entries;
}

std::string writeEntries(ZipWriter& writer, const std::vector<PartitionPlan_T>& plans) {
    for (const PartitionPlan_T& plan : plans) {
        const std::string name = listEntryName(plan.partition);
        const std::string text = listText(plan);
        int32_t code = writer.StartEntryWithTime(name, ZipWriter::kCompress, kEntryTime);
        if (code == 0) {
            code = writer.WriteBytes(text.data(), text.size());
        }
        if (code == 0) {
            code = writer.FinishEntry();
        }
        if (code != 0) {
            return zipError("cannot pack", name, code);
        }
        for (const EntrySource_T& source : entriesOf(plan)) {
            if (interrupted()) {
                return "interrupted";
            }
            code = writer.StartEntryWithTime(
                source.entry, source.compress ? ZipWriter::kCompress : 0, kEntryTime);
            if (code != 0) {
                return zipError("cannot start", source.entry, code);
            }
            std::string md5;
            const std::string error =
                copyInto(writer, source.path, source.offset, source.length, &md5);
            if (!error.empty()) {
                return error;
            }
            if (md5 != source.md5) {
                return source.path + " changed while the package was built (" + source.entry + ")";
            }
            code = writer.FinishEntry();
            if (code != 0) {
                return zipError("cannot finish", source.entry, code);
            }
        }
    }
    const int32_t code = writer.Finish();
    if (code != 0) {
        return zipError("cannot finish", "the package", code);
    }
    return std::string();
}

struct HashCookie {
    Md5Digest digest;
    unsigned long long bytes = 0;
};

bool hashChunk(const uint8_t* data, size_t size, void* cookie) {
    HashCookie* hash = static_cast<HashCookie*>(cookie);
    hash->digest.update(data, size);
    hash->bytes += size;
    return true;
}

std::string entryMd5(ZipArchiveHandle archive, const std::string& name, std::string* md5) {
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

}  // namespace

std::string listText(const PartitionPlan_T& plan) {
    std::string text;
    for (const ListLine_T& line : plan.lines) {
        text += formatListLine(line);
    }
    return text;
}

std::string writePackage(const std::vector<PartitionPlan_T>& plans, const std::string& outputPath,
                         const SigningKey_T* signer) {
    std::string temp = outputPath + ".XXXXXX";
    std::vector<char> pattern(temp.begin(), temp.end());
    pattern.push_back('\0');
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        return "cannot create a file beside " + outputPath;
    }
    temp = pattern.data();
    fchmod(fd, 0644);
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(temp.c_str());
        return "cannot open " + temp;
    }
    std::string error;
    {
        ZipWriter writer(file);
        error = writeEntries(writer, plans);
    }
    if (error.empty() && (fflush(file) != 0 || ftello(file) > kMaxArchiveSize)) {
        error = "the package would exceed 4 GiB or could not be written";
    }
    if (error.empty() && fsync(fileno(file)) != 0) {
        error = "cannot flush " + temp;
    }
    if (fclose(file) != 0 && error.empty()) {
        error = "cannot close " + temp;
    }
    if (error.empty() && signer != nullptr) {
        error = signPackageFile(temp, *signer);
    }
    if (error.empty() && rename(temp.c_str(), outputPath.c_str()) != 0) {
        error = "cannot rename " + temp + " to " + outputPath;
    }
    if (!error.empty()) {
        unlink(temp.c_str());
    }
    return error;
}

std::string verifyPackage(const std::vector<PartitionPlan_T>& plans, const std::string& path) {
    ZipArchiveHandle archive = nullptr;
    int32_t code = OpenArchive(path.c_str(), &archive);
    if (code != 0) {
        CloseArchive(archive);
        return "cannot open " + path + " again: " + ErrorCodeString(code);
    }
    std::string error;
    size_t expected = 0;
    for (const PartitionPlan_T& plan : plans) {
        std::string md5;
        ++expected;
        error = entryMd5(archive, listEntryName(plan.partition), &md5);
        if (error.empty()) {
            const std::string text = listText(plan);
            if (md5 != md5Hex(text.data(), text.size())) {
                error = "the list of " + plan.partition + " reads back differently";
            }
        }
        for (const EntrySource_T& source : entriesOf(plan)) {
            if (!error.empty()) {
                break;
            }
            ++expected;
            error = entryMd5(archive, source.entry, &md5);
            if (error.empty() && md5 != source.md5) {
                error = source.entry + " reads back differently";
            }
        }
        if (!error.empty()) {
            break;
        }
    }
    if (error.empty() && GetArchiveInfo(archive).entry_count != expected) {
        error = "the package holds " + std::to_string(GetArchiveInfo(archive).entry_count) +
                " entries, " + std::to_string(expected) + " were packed";
    }
    CloseArchive(archive);
    return error;
}

}  // namespace mpp
