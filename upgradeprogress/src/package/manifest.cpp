// The package's manifest: what it was built on and what it leaves, read
// into plain records.
#include <cerrno>
#include <cstdlib>

#include "package.h"

Manifest_T m_manifest;

namespace {

using namespace ota_format;

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0;
    while (true) {
        const size_t semi = line.find(kFieldSeparator, from);
        fields.push_back(line.substr(from, semi == std::string::npos ? semi : semi - from));
        if (semi == std::string::npos) {
            return fields;
        }
        from = semi + 1;
    }
}

bool number(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool isMd5(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

bool parseManifest(const std::string& text, Manifest_T* manifest, std::string* why) {
    *manifest = Manifest_T();
    bool versionSeen = false;
    size_t at = 0;
    int lineNumber = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        const std::vector<std::string> f = fieldsOf(line);
        const std::string broken = "line " + std::to_string(lineNumber) + " [" + line + "]";
        uint64_t value = 0;
        if (f[0] == kManifestVersionKey) {
            if (f.size() != 2 || !number(f[1], &value)) {
                *why = "malformed version " + broken;
                return false;
            }
            if (value != static_cast<uint64_t>(kManifestVersion)) {
                *why = "manifest version " + f[1] + " is not one this program reads";
                return false;
            }
            versionSeen = true;
        } else if (f[0] == kManifestReleaseKey) {
            if (f.size() != 2 || !number(f[1], &value) || value > INT64_MAX) {
                *why = "malformed release " + broken;
                return false;
            }
            manifest->release = static_cast<long long>(value);
        } else if (f[0] == kManifestImageKey) {
            ManifestImage_T image;
            if (f.size() != 5 || (f[2] != kManifestBase && f[2] != kManifestNew) ||
                !number(f[3], &image.length) || !isMd5(f[4])) {
                *why = "malformed image " + broken;
                return false;
            }
            image.partition = f[1];
            image.base = f[2] == kManifestBase;
            image.md5 = f[4];
            manifest->images.push_back(image);
        } else if (f[0] == kManifestPartKey) {
            ManifestPart_T part;
            if (f.size() != 7 || f[1].empty() || !number(f[2], &part.offset) ||
                !number(f[3], &part.baseLength) || !isMd5(f[4]) || !number(f[5], &part.newLength) ||
                !isMd5(f[6])) {
                *why = "malformed part " + broken;
                return false;
            }
            part.name = f[1];
            part.baseMd5 = f[4];
            part.newMd5 = f[6];
            manifest->parts.push_back(part);
        }
        // Any other line is for a later program.
    }
    if (!versionSeen) {
        *why = "the manifest states no version";
        return false;
    }
    manifest->present = true;
    return true;
}
