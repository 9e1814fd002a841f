// The check before the first partition write. Everything that would make
// the run stop halfway, after it has rewritten some partitions, is looked
// for first: a set whose images drifted from the package's base, an entry
// the package lacks, a /tmp or /OAD too small, a package older than the
// set. A refusal then leaves every partition byte as it was.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "archive.h"
#include "item_steps.h"
#include "list_line.h"
#include "package.h"
#include "partition.h"

using namespace item_steps;

namespace {

// The release file holds one number; anything longer is not one.
constexpr uint64_t kMaxReleaseBytes = 32;

int refuse(const std::string& partition, const std::string& item, const std::string& message) {
    m_failure = UpgradeFailure_T{partition, item, message};
    OTA_LOG("pre-check refused the package: %s\n", message.c_str());
    return 1;
}

// The set's release: -1 without the file, -2 when it holds no number.
long long setRelease() {
    if (!fileExists(ota_paths::kReleaseFile)) {
        return -1;
    }
    std::string text;
    if (!readSmallFile(ota_paths::kReleaseFile, kMaxReleaseBytes, &text)) {
        return -2;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -2;
    }
    return strtoll(text.c_str(), nullptr, 10);
}

int checkRelease() {
    const long long installed = setRelease();
    if (installed == -1) {
        return 0;  // no rule on this set
    }
    if (installed == -2) {
        return refuse("", "", std::string(ota_paths::kReleaseFile) + " holds no release number");
    }
    if (!m_manifest.present) {
        return refuse("", "",
                      "the set is at release " + std::to_string(installed) +
                          " and the package states none (no manifest)");
    }
    if (m_manifest.release < installed) {
        return refuse("", "",
                      "the package installs release " + std::to_string(m_manifest.release) +
                          ", older than the set's release " + std::to_string(installed));
    }
    return 0;
}

struct DigestFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// MD5s of the first `a` and the first `b` bytes of the device from
// `offset`, in one read of the longer stretch. False when it cannot be read.
bool twoDigests(const std::string& device, uint64_t offset, uint64_t a, uint64_t b,
                std::string* md5a, std::string* md5b) {
    const int fd = openReadable(device.c_str(), true);
    if (fd < 0) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctxA(EVP_MD_CTX_new());
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctxB(EVP_MD_CTX_new());
    if (!ctxA || !ctxB || EVP_DigestInit_ex(ctxA.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestInit_ex(ctxB.get(), EVP_md5(), nullptr) != 1) {
        close(fd);
        return false;
    }
    uint64_t seen = 0;
    const bool read = streamChunks(
        fd, offset, a > b ? a : b, StreamHash::None,
        [&](const unsigned char* data, size_t size) {
            const uint64_t intoA = seen < a ? (a - seen < size ? a - seen : size) : 0;
            const uint64_t intoB = seen < b ? (b - seen < size ? b - seen : size) : 0;
            seen += size;
            return (intoA == 0 || EVP_DigestUpdate(ctxA.get(), data, intoA) == 1) &&
                   (intoB == 0 || EVP_DigestUpdate(ctxB.get(), data, intoB) == 1);
        },
        nullptr);
    close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!read || EVP_DigestFinal_ex(ctxA.get(), digest, &size) != 1) {
        return false;
    }
    *md5a = hexDigest(std::string(reinterpret_cast<char*>(digest), size));
    if (EVP_DigestFinal_ex(ctxB.get(), digest, &size) != 1) {
        return false;
    }
    *md5b = hexDigest(std::string(reinterpret_cast<char*>(digest), size));
    return true;
}

const ManifestPart_T* manifestPart(const std::string& name) {
    for (const ManifestPart_T& part : m_manifest.parts) {
        if (part.name == name) {
            return &part;
        }
    }
    return nullptr;
}

// A result a cut run left, verified against the part's new MD5.
bool verifiedResultWaits(const ManifestPart_T& part) {
    const WorkFile_T result{kUpdateWork, part.name};
    HeldImage_T image;
    return workFileExists(result) && holdWorkFile(result, &image) && image.md5 == part.newMd5;
}

uint64_t freeBytes(const char* dir) {
    struct statvfs st;
    if (statvfs(dir, &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

bool roomFor(const char* dir, uint64_t need, uint64_t free) {
    if (free >= need) {
        return true;
    }
    refuse("", "",
           std::string(dir) + " has " + std::to_string(free) + " bytes free, the upgrade needs " +
               std::to_string(need) + " (" + std::to_string(need - free) + " more)");
    return false;
}

// What one list asks of the set, gathered while its lines are checked.
struct ListNeeds_T {
    uint64_t staging = 0;        // bytes its "total" copies into /tmp
    uint64_t besideStaging = 0;  // the largest patch or whole image next to them
};

struct Walk_T {
    // While every partition so far already holds its new image, a list
    // ends after its first line, as the runner ends it.
    bool* stillUpgraded = nullptr;
    bool listCut = false;
    // The list's partition holds its new image: the rest of its lines are
    // read only for the results a cut run left for them.
    bool partitionUpgraded = false;
    std::string partition;
    std::string failure;  // empty while the list passes
    std::string failedItem;
    bool prefixNew = true;  // still in the leading parts a cut run finished
    ListNeeds_T needs;
    uint64_t largestResult = 0;
};

// A result that a cut run left in /OAD for a part of a partition that now
// holds its new image: the runner ends that list at its first line and never
// reaches the part, so the result would only take the room that the parts
// still to be made need. Removed before that room is measured.
void removeStaleResult(const CongfigItemValue_T& item) {
    const std::string mode = fieldText(item.upgradMode);
    if ((mode != ota_format::kUpdate && mode != ota_format::kCreate) || !itemNameIsSafe(item)) {
        return;
    }
    const WorkFile_T result = itemFile(kUpdateWork, item);
    if (workFileExists(result)) {
        OTA_LOG("removing %s: its partition already holds its new image.\n", result.path().c_str());
        removeWorkFile(result);
    }
}

// One line of a list against the package and the set. False stops the walk.
bool checkLine(const CongfigItemValue_T& item, Walk_T& walk) {
    const std::string mode = fieldText(item.upgradMode);
    const std::string name = fieldText(item.fileName);
    if (walk.partitionUpgraded) {
        removeStaleResult(item);
        return true;
    }
    if (walk.listCut) {
        return false;
    }
    if (*walk.stillUpgraded) {
        walk.listCut = true;  // unless this very line finds work, below
    }
    if (mode == ota_format::kTotal) {
        if (*walk.stillUpgraded) {
            std::string device = "/dev/zero";
            if (getLoadEmmcNum(name, device) != 0) {
                const bool upgraded =
                    checkMD5Sum(device, fieldText(item.checkSum), item.offset) == 0;
                // The runner asks the same question next: it takes this answer.
                m_totalVerdicts[name] = upgraded;
                if (upgraded) {
                    walk.partitionUpgraded = true;
                    return true;
                }
            }
            *walk.stillUpgraded = false;
            walk.listCut = false;
        }
        walk.needs.staging = item.fileSize > 0 ? static_cast<uint64_t>(item.fileSize) : 0;
        return true;
    }
    const bool carries =
        mode == ota_format::kUpdate || mode == ota_format::kCreate || mode == ota_format::kEntotal;
    uint64_t entryBytes = 0;
    if (carries) {
        const std::string entry = ota_format::kEntryDir + name;
        if (entrySize(m_archiveHandle, entry.c_str(), &entryBytes) != kArchiveOk) {
            walk.failedItem = name;
            walk.failure =
                "the package lacks " + entry + ", which the " + walk.partition + " list names";
            return false;
        }
    }
    if (mode == ota_format::kCreate && entryBytes > walk.largestResult) {
        walk.largestResult = entryBytes;
    }
    if ((mode == ota_format::kUpdate || mode == ota_format::kEntotal) &&
        entryBytes > walk.needs.besideStaging) {
        walk.needs.besideStaging = entryBytes;
    }
    if (mode != ota_format::kUpdate && mode != ota_format::kChkSync) {
        return true;
    }

    const ManifestPart_T* part = manifestPart(name);
    std::string device = "/dev/zero";
    walk.failedItem = name;
    if (part == nullptr) {
        walk.failure = "the manifest does not describe part " + name;
        return false;
    }
    if (getLoadEmmcNum(name, device) == 0) {
        walk.failure = "part " + name + " names no partition";
        return false;
    }
    if (mode == ota_format::kUpdate && part->newLength > walk.largestResult) {
        walk.largestResult = part->newLength;
    }
    // The runner compares the staged part (the base's length) with both
    // sums; the partition holds the new part when its new length does.
    std::string stagedMd5, newMd5;
    if (!twoDigests(device, part->offset, part->baseLength, part->newLength, &stagedMd5, &newMd5)) {
        walk.failure = "cannot read part " + name + " from " + device;
        return false;
    }
    const std::string& baseMd5 = stagedMd5;
    const bool isBase = stagedMd5 == part->baseMd5;
    const bool stagedIsNew = stagedMd5 == part->newMd5;
    const bool isNew = newMd5 == part->newMd5;
    if (mode == ota_format::kChkSync) {
        if (isBase) {
            return true;
        }
        walk.failure = "part " + name + " of " + walk.partition + " holds " + baseMd5 +
                       ", the package was built on " + part->baseMd5;
        return false;
    }
    // The runner's resume rules: leading parts that hold their new bytes are
    // skipped, a part holding its base is patched, and a part a cut tore is
    // written again from its verified result.
    if (stagedIsNew && walk.prefixNew) {
        return true;
    }
    walk.prefixNew = false;
    if (isBase || verifiedResultWaits(*part)) {
        return true;
    }
    walk.failure = isNew ? "part " + name + " of " + walk.partition +
                               " already holds its new bytes after a part that does not, and "
                               "no result waits for it: its patch cannot apply"
                         : "part " + name + " of " + walk.partition + " holds " + baseMd5 +
                               ", the package was built on " + part->baseMd5 + " and makes " +
                               part->newMd5;
    return false;
}

}  // namespace

int checkPackageAgainstSet() {
    m_failure = UpgradeFailure_T();
    if (checkRelease() != 0) {
        return 1;
    }
    if (!m_manifest.present) {
        OTA_LOG("the package has no manifest: no pre-check before the first write.\n");
        return 0;
    }

    uint64_t tmpNeed = 0;
    uint64_t oadNeed = 0;
    bool stillUpgraded = true;
    for (size_t i = 0; i < m_updateListFile.size(); ++i) {
        if (m_updateListText.count(m_updateListFile[i]) == 0) {
            continue;
        }
        Walk_T walk;
        walk.stillUpgraded = &stillUpgraded;
        walk.partition = ota_format::kRunOrder[i];
        std::string why;
        if (!forEachListItem(
                m_updateListFile[i],
                [&walk](const CongfigItemValue_T& item) { return checkLine(item, walk); }, &why)) {
            return refuse(walk.partition, "", "the " + walk.partition + " list: " + why);
        }
        if (!walk.failure.empty()) {
            return refuse(walk.partition, walk.failedItem, walk.failure);
        }
        const uint64_t listNeed = walk.needs.staging + walk.needs.besideStaging;
        tmpNeed = listNeed > tmpNeed ? listNeed : tmpNeed;
        oadNeed = walk.largestResult > oadNeed ? walk.largestResult : oadNeed;
    }

    const uint64_t tmpFree = freeBytes("/tmp");
    const uint64_t oadFree = freeBytes("/OAD");
    if (!roomFor("/tmp", tmpNeed, tmpFree) || !roomFor("/OAD", oadNeed, oadFree)) {
        return 1;
    }
    OTA_LOG(
        "pre-check passed: every part holds what the package expects, /tmp needs %llu of "
        "%llu bytes, /OAD %llu of %llu.\n",
        static_cast<unsigned long long>(tmpNeed), static_cast<unsigned long long>(tmpFree),
        static_cast<unsigned long long>(oadNeed), static_cast<unsigned long long>(oadFree));
    return 0;
}
