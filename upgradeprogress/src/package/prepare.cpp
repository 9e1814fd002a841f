// Package preparation and the list runner: work directories, the package
// opened once for the whole run, the update lists extracted and counted, then
// run one partition after the other.
#include <unistd.h>

#include <cstdio>

#include "archive.h"
#include "package.h"

namespace {

using namespace ota_format;

// Extracts one list into the list directory. A list the package does not
// carry leaves its partition untouched; a list the package carries but that
// cannot be written out fails the preparation, since running without it would
// report an upgrade as done while its partition was never touched.
int extractList(const std::string& entry) {
    // The archive writes an entry under the last component of its name.
    const std::string copy = ota_paths::kListDir + entry.substr(entry.rfind('/') + 1);
    // Only the package's own list may run: a copy left by an earlier run of
    // another package must not stand in for a list this package lacks.
    remove(copy.c_str());

    const int result = extractOneFile(m_archiveHandle, entry.c_str(), ota_paths::kListDir, 0);
    if (result == kArchiveOk) {
        OTA_LOG("extractOneFile file of %s in %s sucess.\n", entry.c_str(), ota_paths::kListDir);
        return 0;
    }
    OTA_LOG("extractOneFile file of %s in %s failed.\n", entry.c_str(), ota_paths::kListDir);
    if (result == kArchiveNoEntry) {
        return 0;
    }
    OTA_LOG("The package carries %s but it cannot be extracted (%d).\n", entry.c_str(), result);
    remove(copy.c_str());
    return 1;
}

}  // namespace

int prepareBspatch(int& total) {
    total = 0;
    for (const std::string& dir : m_checkdir) {
        // A work directory that another program replaced by a link would
        // send every result, and later the clean-up, somewhere else.
        if (makeRealDirectory(dir.c_str()) != 0) {
            OTA_LOG("md %s failed!.\n", dir.c_str());
            return 1;
        }
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
            return 1;
        }
    }

    for (const std::string& list : m_updateListFile) {
        if (fileExists(list)) {
            OTA_LOG("file %s is existed!.\n", list.c_str());
            total += fileWc(list.c_str());
        }
    }
    OTA_LOG("total file line is %d !\n", total);
    return 0;
}

int handleSplitBspatch() {
    isUpgraded = true;
    for (const std::string& list : m_updateListFile) {
        if (!fileExists(list)) {
            continue;
        }
        OTA_LOG("handle split flie:%s.\n", list.c_str());
        if (parseUpdateListFile(list) != 0) {
            return 1;
        }
        // The next list stages its own partition into an empty directory.
        removeDirFile(ota_paths::kOriginalDir, nullptr);
    }
    return 0;
}
