#include "package_model.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <ziparchive/zip_archive.h>

#include "bspatch.h"
#include "md5_digest.h"
#include "package.h"

namespace mpp_test {

namespace {

constexpr long long kPart = static_cast<long long>(ota_format::kPartSize);

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool readFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *bytes = buffer.str();
    return true;
}

bool fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

}  // namespace

std::string md5Of(const std::string& bytes) {
    return mpp::md5Hex(bytes.data(), bytes.size());
}

bool readPackage(const std::string& path, std::map<std::string, PackageEntry>* entries,
                 std::string* error) {
    entries->clear();
    ZipArchiveHandle archive = nullptr;
    if (OpenArchive(path.c_str(), &archive) != 0) {
        CloseArchive(archive);
        return fail(error, "cannot open " + path);
    }
    void* cookie = nullptr;
    bool ok = StartIteration(archive, &cookie) == 0;
    ZipEntry entry;
    std::string name;
    while (ok) {
        const int32_t next = Next(cookie, &entry, &name);
        if (next == -1) {
            break;  // end of the central directory
        }
        if (next != 0) {
            ok = fail(error, "cannot iterate " + path);
            break;
        }
        PackageEntry item;
        item.stored = entry.method == kCompressStored;
        item.storedSize = entry.compressed_length;
        item.offset = static_cast<long long>(entry.offset);
        item.bytes.resize(entry.uncompressed_length);
        if (ExtractToMemory(archive, &entry, reinterpret_cast<uint8_t*>(&item.bytes[0]),
                            entry.uncompressed_length) != 0) {
            ok = fail(error, "cannot extract " + name);
            break;
        }
        (*entries)[name] = std::move(item);
    }
    if (cookie != nullptr) {
        EndIteration(cookie);
    }
    CloseArchive(archive);
    return ok;
}

bool parseList(const std::string& text, std::vector<ParsedLine>* lines, std::string* error) {
    lines->clear();
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return fail(error, "last line has no line break");
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> fields;
        std::stringstream stream(line);
        std::string field;
        while (std::getline(stream, field, ota_format::kFieldSeparator)) {
            fields.push_back(field);
        }
        if (fields.size() != static_cast<size_t>(ota_format::kMaxFields)) {
            return fail(error, "line without five fields: " + line);
        }
        for (const std::string& number : {fields[3], fields[4]}) {
            if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
                return fail(error, "non-numeric field in: " + line);
            }
        }
        ParsedLine parsed;
        parsed.mode = fields[0];
        parsed.name = fields[1];
        parsed.checkSum = fields[2];
        parsed.fileSize = std::stoll(fields[3]);
        parsed.offset = std::stoll(fields[4]);
        lines->push_back(parsed);
    }
    return true;
}

bool applyPatch(const std::string& oldBytes, const std::string& patch, std::string* result) {
    char dir[] = "/tmp/mpp-apply.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return false;
    }
    const std::string oldPath = std::string(dir) + "/old";
    const std::string newPath = std::string(dir) + "/new";
    const std::string patchPath = std::string(dir) + "/patch";
    bool ok = writeFile(oldPath, oldBytes) && writeFile(patchPath, patch);
    if (ok) {
        // The applier ends its process on a bad patch, so it runs in a child.
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str()) == 0 ? 0 : 1);
        }
        int status = 0;
        ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
             WEXITSTATUS(status) == 0 && readFile(newPath, result);
    }
    unlink(oldPath.c_str());
    unlink(newPath.c_str());
    unlink(patchPath.c_str());
    rmdir(dir);
    return ok;
}

bool replayList(const std::vector<ParsedLine>& lines,
                const std::map<std::string, PackageEntry>& entries, std::string* partition,
                std::string* error) {
    std::map<std::string, std::string> staged;
    auto entryOf = [&entries](const std::string& name) -> const PackageEntry* {
        auto it = entries.find(ota_format::kEntryDir + name);
        return it == entries.end() ? nullptr : &it->second;
    };
    auto writeAt = [partition](long long offset, const std::string& bytes) {
        if (partition->size() < static_cast<size_t>(offset) + bytes.size()) {
            partition->resize(static_cast<size_t>(offset) + bytes.size(), '\0');
        }
        partition->replace(static_cast<size_t>(offset), bytes.size(), bytes);
    };
    for (const ParsedLine& line : lines) {
        if (line.mode == ota_format::kTotal) {
            if (line.fileSize <= 0 || line.fileSize > static_cast<long long>(partition->size())) {
                return fail(error, "total stages " + std::to_string(line.fileSize) + " bytes");
            }
            staged.clear();
            for (long long at = 0, index = 0; at < line.fileSize; at += kPart, ++index) {
                char suffix[3] = {static_cast<char>('a' + index / 26),
                                  static_cast<char>('a' + index % 26), '\0'};
                staged[line.name + ota_format::kSplitSuffix + suffix] =
                    partition->substr(static_cast<size_t>(at),
                                      static_cast<size_t>(std::min(kPart, line.fileSize - at)));
            }
        } else if (line.mode == ota_format::kUpdate) {
            const PackageEntry* patch = entryOf(line.name);
            auto old = staged.find(line.name);
            std::string result;
            if (patch == nullptr || old == staged.end()) {
                return fail(error, "update without patch or staged part: " + line.name);
            }
            if (!applyPatch(old->second, patch->bytes, &result)) {
                return fail(error, "the applier refused " + line.name);
            }
            if (md5Of(result) != line.checkSum) {
                return fail(error, "check sum error on " + line.name);
            }
            writeAt(line.offset, result);
        } else if (line.mode == ota_format::kCreate || line.mode == ota_format::kEntotal) {
            const PackageEntry* whole = entryOf(line.name);
            if (whole == nullptr || md5Of(whole->bytes) != line.checkSum) {
                return fail(error, "missing or wrong entry " + line.name);
            }
            writeAt(line.offset, whole->bytes);
        } else if (line.mode == ota_format::kChkSync) {
            auto old = staged.find(line.name);
            if (old != staged.end() && md5Of(old->second) != line.checkSum) {
                return fail(error, "check sum error on staged " + line.name);
            }
        } else if (line.mode != ota_format::kDelete) {
            return fail(error, "unknown action " + line.mode);
        }
    }
    return true;
}

}  // namespace mpp_test
