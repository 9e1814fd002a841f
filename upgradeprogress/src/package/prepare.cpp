// Package preparation and the list runner: work directories, the package
// opened once for the whole run, the update lists read from it into memory
// and counted, then run one partition after the other.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "archive.h"
#include "item_steps.h"
#include "package.h"
#include "work_dirs.h"

namespace {

using namespace ota_format;

// A list is a few hundred lines of at most 127 characters; anything near
// this is not a list, and is not taken into memory.
constexpr size_t kMaxListBytes = 1 << 20;

// Writes the list as read from the package to its copy on /OAD, for whoever
// looks at a set after the fact. The program itself never reads the copy.
bool writeListCopy(const WorkFile_T& copy, const std::string& text) {
    const int fd = openFreshFileAt(copy.fd(), copy.atName().c_str(), 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = writeAll(fd, text.data(), text.size());
    return close(fd) == 0 && written;
}

// Reads one list from the checked package into memory. A list the package
// does not carry leaves its partition untouched; a list the package carries
// but that cannot be read fails the preparation, since running without it
// would report an upgrade as done while its partition was never touched.
int extractList(const std::string& entry) {
    const std::string base = entry.substr(entry.rfind('/') + 1);
    const WorkFile_T copy{kListWork, base};
    // Only the package's own list may be left: a copy from an earlier run of
    // another package must not be mistaken for this one's.
    removeWorkFile(copy);

    std::string text;
    const int result = extractEntryToMemory(m_archiveHandle, entry.c_str(), &text, kMaxListBytes);
    if (result == kArchiveOk && writeListCopy(copy, text)) {
        m_updateListText[copy.path()] = std::move(text);
        OTA_LOG("extractOneFile file of %s in %s sucess.\n", entry.c_str(), ota_paths::kListDir);
        return 0;
    }
    OTA_LOG("extractOneFile file of %s in %s failed.\n", entry.c_str(), ota_paths::kListDir);
    if (result == kArchiveNoEntry) {
        return 0;
    }
    OTA_LOG("The package carries %s but it cannot be extracted (%d).\n", entry.c_str(), result);
    removeWorkFile(copy);
    return 1;
}

// The manifest, when the package has one, straight from the checked package
// into memory. One that is there but cannot be read fails the preparation:
// the package's builder made a mistake, and nothing can be checked first.
int readManifest() {
    std::string text;
    const int result = extractEntryToMemory(m_archiveHandle, kManifestEntry, &text, kMaxListBytes);
    if (result == kArchiveNoEntry) {
        OTA_LOG("the package has no manifest.\n");
        return 0;
    }
    std::string why;
    if (result != kArchiveOk || !parseManifest(text, &m_manifest, &why)) {
        OTA_LOG("the package's manifest cannot be read: %s\n",
                result != kArchiveOk ? "extraction failed" : why.c_str());
        return 1;
    }
    OTA_LOG("the package's manifest: release %lld, %zu image(s), %zu part(s).\n",
            m_manifest.release, m_manifest.images.size(), m_manifest.parts.size());
    return 0;
}

}  // namespace

int prepareBspatch(int& total) {
    total = 0;
    m_updateListText.clear();
    m_manifest = Manifest_T();
    m_failure = UpgradeFailure_T();
    m_partitionWrites = 0;
    item_steps::m_upgradedAtStart.clear();
    item_steps::m_entotalWritten.clear();
    item_steps::m_totalVerdicts.clear();
    // Work directories another program made, or made open to others, are
    // replaced, and each is held open for the rest of the run.
    if (openWorkDirectories() != 0) {
        return 1;
    }

    // A handle from an earlier preparation in this process is not reused:
    // the package file may have been replaced since.
    if (m_archiveHandle != nullptr) {
        closeArchive(m_archiveHandle);
        m_archiveHandle = nullptr;
    }
    if (openCheckedPackage(ota_paths::kPackage, ota_paths::kKeyDir, &m_archiveHandle) != 0) {
        // The object of a failed open has already released its reader and
        // must not be closed again.
        m_archiveHandle = nullptr;
        OTA_LOG("openArchive failed.\n");
        return 1;
    }
    OTA_LOG("openArchive successed.\n");

    for (const std::string& entry : m_unzipUpdateListFile) {
        if (extractList(entry) != 0) {
            m_updateListText.clear();
            return 1;
        }
    }

    if (readManifest() != 0) {
        m_updateListText.clear();
        return 1;
    }

    for (const std::string& list : m_updateListFile) {
        const auto text = m_updateListText.find(list);
        if (text != m_updateListText.end()) {
            OTA_LOG("file %s is existed!.\n", list.c_str());
            total += countListPieces(text->second);
        }
    }
    OTA_LOG("total file line is %d !\n", total);
    return 0;
}

int handleSplitBspatch() {
    isUpgraded = true;
    m_listSeconds.clear();
    for (size_t i = 0; i < m_updateListFile.size(); ++i) {
        const std::string& list = m_updateListFile[i];
        if (m_updateListText.count(list) == 0) {
            continue;
        }
        OTA_LOG("handle split flie:%s.\n", list.c_str());
        const auto start = std::chrono::steady_clock::now();
        const int result = parseUpdateListFile(list);
        m_listSeconds.emplace_back(
            kRunOrder[i],
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (result != 0) {
            return 1;
        }
        // The next list stages its own partition into an empty directory.
        emptyWorkDirectory(kOriginalWork);
    }
    return 0;
}
