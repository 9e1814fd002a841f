#include "package_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include <ziparchive/zip_writer.h>

#include "file_util.h"
#include "interrupt.h"
#include "md5_digest.h"
#include "package.h"
#include "package_reader.h"

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

std::string writeText(ZipWriter& writer, const std::string& name, const std::string& text) {
    int32_t code = writer.StartEntryWithTime(name, ZipWriter::kCompress, kEntryTime);
    if (code == 0) {
        code = writer.WriteBytes(text.data(), text.size());
    }
    if (code == 0) {
        code = writer.FinishEntry();
    }
    return code == 0 ? std::string() : zipError("cannot pack", name, code);
}

std::string writeEntries(ZipWriter& writer, const std::vector<PartitionPlan_T>& plans,
                         const std::string& manifest) {
    for (const PartitionPlan_T& plan : plans) {
        const std::string error = writeText(writer, listEntryName(plan.partition), listText(plan));
        if (!error.empty()) {
            return error;
        }
    }
    std::string error = writeText(writer, ota_format::kManifestEntry, manifest);
    if (!error.empty()) {
        return error;
    }
    for (const PartitionPlan_T& plan : plans) {
        for (const EntrySource_T& source : entriesOf(plan)) {
            if (interrupted()) {
                return "interrupted";
            }
            int32_t code = writer.StartEntryWithTime(
                source.entry, source.compress ? ZipWriter::kCompress : 0, kEntryTime);
            if (code != 0) {
                return zipError("cannot start", source.entry, code);
            }
            std::string md5;
            error = copyInto(writer, source.path, source.offset, source.length, &md5);
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

}  // namespace

std::string listText(const PartitionPlan_T& plan) {
    std::string text;
    for (const ListLine_T& line : plan.lines) {
        text += formatListLine(line);
    }
    return text;
}

std::string writePackage(const std::vector<PartitionPlan_T>& plans, const std::string& manifest,
                         const std::string& outputPath, const SigningKey_T* signer) {
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
        error = writeEntries(writer, plans, manifest);
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

std::string verifyPackage(const std::vector<PartitionPlan_T>& plans, const std::string& manifest,
                          const std::string& path) {
    PackageReader reader;
    std::string error = reader.open(path);
    if (!error.empty()) {
        return error;
    }
    // Name and MD5 of every entry packed.
    std::vector<std::pair<std::string, std::string>> expected;
    for (const PartitionPlan_T& plan : plans) {
        const std::string text = listText(plan);
        expected.emplace_back(listEntryName(plan.partition), md5Hex(text.data(), text.size()));
    }
    expected.emplace_back(ota_format::kManifestEntry, md5Hex(manifest.data(), manifest.size()));
    for (const PartitionPlan_T& plan : plans) {
        for (const EntrySource_T& source : entriesOf(plan)) {
            expected.emplace_back(source.entry, source.md5);
        }
    }
    for (const auto& [name, md5] : expected) {
        std::string actual;
        error = reader.md5(name, &actual);
        if (!error.empty()) {
            return error;
        }
        if (actual != md5) {
            return name + " reads back differently";
        }
    }
    std::vector<PackageEntry_T> entries;
    error = reader.entries(&entries);
    if (error.empty() && entries.size() != expected.size()) {
        error = "the package holds " + std::to_string(entries.size()) + " entries, " +
                std::to_string(expected.size()) + " were packed";
    }
    return error;
}

}  // namespace mpp
