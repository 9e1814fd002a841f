// The package archive on any bytes: opened by path and from a mapped view,
// and every entry the ZIP reader lists extracted into a scratch directory the
// way the program does (base name only) and with its directories kept. An
// extraction that reports success must have written exactly the entry's
// uncompressed length, and no name may climb out of its destination.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive.h"
#include "scratch.h"

namespace {

// Names as the ZIP reader lists them, with their uncompressed lengths. The
// door takes C strings, so a name holding a NUL byte is passed cut short,
// exactly as a caller of the door would pass it.
struct Listed {
    std::string name;
    uint32_t length;
};

std::vector<Listed> listEntries(const std::string& package) {
    std::vector<Listed> entries;
    ZipArchiveHandle zip = nullptr;
    if (OpenArchive(package.c_str(), &zip) == 0) {
        void* cookie = nullptr;
        if (StartIteration(zip, &cookie) == 0) {
            ZipEntry entry;
            std::string name;
            while (Next(cookie, &entry, &name) == 0 && entries.size() < 64) {
                entries.push_back(Listed{name, entry.uncompressed_length});
            }
            EndIteration(cookie);
        }
    }
    if (zip != nullptr) {
        CloseArchive(zip);
    }
    return entries;
}

// True when `dir` holds exactly the names in `expected`.
bool holdsOnly(const std::string& dir, std::set<std::string> expected) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return expected.empty();
    }
    bool only = true;
    while (const dirent* found = readdir(listing)) {
        const std::string name = found->d_name;
        if (name != "." && name != ".." && expected.erase(name) == 0) {
            fprintf(stderr, "%s/%s appeared\n", dir.c_str(), name.c_str());
            only = false;
        }
    }
    closedir(listing);
    return only && expected.empty();
}

void extractAll(void* archive, const std::vector<Listed>& entries, const std::string& outDir) {
    std::map<std::string, int> seen;
    for (const Listed& listed : entries) {
        ++seen[listed.name];
    }
    // The destinations sit three levels below outDir, so a name that climbs
    // out of them lands where the checks below can see it.
    const std::string deep = outDir + "/a/b";
    const std::string flatDir = deep + "/flat/";
    const std::string keptDir = deep + "/kept";
    for (const Listed& listed : entries) {
        for (const std::string& dir : {outDir, outDir + "/a", deep, flatDir, keptDir}) {
            mkdir(dir.c_str(), 0700);
        }
        const int flat = extractOneFile(archive, listed.name.c_str(), flatDir.c_str(), 0);
        // A name cut at a NUL byte, or one the package holds twice, may find
        // another entry: only a unique, whole name has a length to compare.
        if (flat == kArchiveOk && listed.name.find('\0') == std::string::npos &&
            seen[listed.name] == 1) {
            const size_t slash = listed.name.rfind('/');
            const std::string base =
                slash == std::string::npos ? listed.name : listed.name.substr(slash + 1);
            struct stat written;
            if (stat((flatDir + base).c_str(), &written) != 0 ||
                static_cast<uint64_t>(written.st_size) != listed.length) {
                fprintf(stderr, "entry %s: extracted %lld bytes of %u\n", listed.name.c_str(),
                        static_cast<long long>(written.st_size), listed.length);
                abort();
            }
        }
        extractOneFile(archive, listed.name.c_str(), keptDir.c_str(), 1);
        if (!holdsOnly(outDir, {"a"}) || !holdsOnly(outDir + "/a", {"b"}) ||
            !holdsOnly(deep, {"flat", "kept"})) {
            fprintf(stderr, "entry %s escaped its destination\n", listed.name.c_str());
            abort();
        }
        fuzz_scratch::removeTree(outDir);
    }
    if (!holdsOnly(fuzz_scratch::directory(), {"package.zip"})) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string package = fuzz_scratch::path("package.zip");
    static const std::string outDir = fuzz_scratch::path("out");
    fuzz_scratch::writeFile(package, data, size);
    const std::vector<Listed> entries = listEntries(package);

    void* archive = nullptr;
    if (openArchive(package.c_str(), &archive) == kArchiveOk) {
        extractAll(archive, entries, outDir);
        closeArchive(archive);
    } else if (archive != nullptr) {
        abort();  // a failed open leaves no handle to close
    }

    archive = nullptr;
    if (openArchiveIntoMemory(package.c_str(), &archive) == kArchiveOk) {
        extractAll(archive, entries, outDir);
        closeArchiveFromMemory(archive);
    } else if (archive != nullptr) {
        abort();
    }
    return 0;
}
