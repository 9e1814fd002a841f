#include "inspect.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "file_util.h"
#include "list_line.h"
#include "package.h"
#include "package_reader.h"
#include "package_signing.h"

namespace mpp {

namespace {

// A line of an entry as it can be shown on a terminal: control bytes and
// bytes past ASCII written as \xNN.
std::string printable(const std::string& line) {
    std::string text;
    char escaped[5];
    for (const char c : line) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '\\') {
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

// Each line of `text` indented; a last line without its line break is
// shown all the same, marked.
void printLines(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool broken = end != std::string::npos;
        if (!broken) {
            end = text.size();
        }
        printf("  %s%s\n", printable(text.substr(start, end - start)).c_str(),
               broken ? "" : "   (no line break)");
        start = end + 1;
    }
}

int fail(const std::string& package, const std::string& why) {
    fprintf(stderr, "inspect: %s: %s\n", package.c_str(), why.c_str());
    return 1;
}

}  // namespace

int inspectCommand(int argc, char** argv) {
    if (argc != 1 || argv[0][0] == '-') {
        fputs("usage: make-patch-package inspect PKG\n", stderr);
        return 2;
    }
    const std::string package = argv[0];
    PackageReader reader;
    std::string error = reader.open(package);
    if (!error.empty()) {
        return fail(package, error);
    }
    std::vector<PackageEntry_T> entries;
    error = reader.entries(&entries);
    if (!error.empty()) {
        return fail(package, error);
    }
    UniqueFd fd(open(package.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        return fail(package, "cannot open it");
    }
    printf("package %s, %lld bytes\n", package.c_str(), static_cast<long long>(st.st_size));
    printf("signature: %s\n", describeSignature(fd.get()).c_str());

    std::string text;
    if (reader.has(ota_format::kManifestEntry)) {
        error = reader.read(ota_format::kManifestEntry, &text);
        if (!error.empty()) {
            return fail(package, error);
        }
        printf("manifest (%s):\n", ota_format::kManifestEntry);
        printLines(text);
    } else {
        printf("no manifest\n");
    }

    bool anyList = false;
    for (const char* partition : ota_format::kRunOrder) {
        const std::string name = listEntryName(partition);
        if (!reader.has(name)) {
            continue;
        }
        error = reader.read(name, &text);
        if (!error.empty()) {
            return fail(package, error);
        }
        printf("list of %s (%s):\n", partition, name.c_str());
        printLines(text);
        anyList = true;
    }
    if (!anyList) {
        printf("no list\n");
    }

    printf("entries (%zu), in package order:\n", entries.size());
    printf("  %10s  %12s  %-8s  %s\n", "stored", "uncompressed", "method", "name");
    for (const PackageEntry_T& entry : entries) {
        printf("  %10u  %12u  %-8s  %s\n", entry.storedSize, entry.uncompressedSize,
               entry.deflated ? "deflated" : "stored", printable(entry.name).c_str());
    }
    return 0;
}

}  // namespace mpp
