// Patch package processing: preparing the package, reading the update lists
// and carrying out every item by its action.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ground.h"

// ---- Package format -----------------------------------------------------------
// Named once: the program reads it and the package builder writes it.
namespace ota_format {

// Every entry of the package lives under this directory inside the ZIP.
constexpr const char kEntryDir[] = "patch_package/";

// Partitions that carry a list, in the order the lists run.
using ota_paths::kPartitionCount;
constexpr const char* kRunOrder[kPartitionCount] = {ota_paths::kOptfs, ota_paths::kUsrfs,
                                                    ota_paths::kTvservice, ota_paths::kSerialsdata};
// The order in which the lists are extracted (tvservice before usrfs).
constexpr const char* kExtractOrder[kPartitionCount] = {ota_paths::kOptfs, ota_paths::kTvservice,
                                                        ota_paths::kUsrfs, ota_paths::kSerialsdata};
// List entry name: kEntryDir + kListPrefix + partition + kListSuffix.
// "udpate" is how every package in the field names its lists: keep it.
constexpr const char kListPrefix[] = "split_";
constexpr const char kListSuffix[] = "_udpate_list.ini";

// Images are staged and patched in parts of this size, named
// prefix + kSplitSuffix + two letters "aa" .. "zz".
constexpr unsigned long kPartSize = 10485760;
constexpr const char kSplitSuffix[] = "_split_part";
constexpr unsigned kSuffixLength = 2;
constexpr int kMaxParts = 26 * 26;

// One list line: at most five ';'-separated fields, read 127 characters at a time.
constexpr char kFieldSeparator = ';';
constexpr int kLineUnit = 128;
constexpr int kMaxFields = 5;
constexpr int kTokenSlot = 50;
constexpr int kModeMax = 7;
constexpr int kNameMax = 29;
constexpr int kChecksumMax = 37;

// Action words, in the order the dispatcher tests them.
constexpr const char kCreate[] = "create";
constexpr const char kUpdate[] = "update";
constexpr const char kDelete[] = "delete";
constexpr const char kTotal[] = "total";
constexpr const char kEntotal[] = "entotal";
constexpr const char kChkSync[] = "chksync";

// The manifest: one more entry, covered by the signature like every other
// byte, that tells what the package expects of the set before anything is
// written. Plain lines of ';'-separated fields, like the lists:
//
//   version;1
//   release;N                                  the release the package installs
//   image;PARTITION;base;LENGTH;MD5            the installed image it was built on
//   image;PARTITION;new;LENGTH;MD5             the image it leaves
//   part;NAME;OFFSET;BASELENGTH;BASEMD5;NEWLENGTH;NEWMD5
//
// A "part" line stands for every part an "update" or "chksync" line names:
// NAME as the list names it, the bytes of the partition from OFFSET before
// the upgrade (BASE) and after it (NEW); a checked part has BASE == NEW.
// Lines of any other first field are skipped, so the format can grow; a
// program that predates the manifest ignores the entry altogether.
constexpr const char kManifestEntry[] = "patch_package/manifest";
constexpr int kManifestVersion = 1;
constexpr const char kManifestVersionKey[] = "version";
constexpr const char kManifestReleaseKey[] = "release";
constexpr const char kManifestImageKey[] = "image";
constexpr const char kManifestPartKey[] = "part";
constexpr const char kManifestBase[] = "base";
constexpr const char kManifestNew[] = "new";

}  // namespace ota_format

// One update-list line. 84 bytes, the numbers signed 32-bit as on the set.
// "Congfig" and "upgradMode" are the names the set's tools and logs have
// always used for this record; they stay as they are.
struct CongfigItemValue_T {
    char upgradMode[ota_format::kModeMax + 1];
    char fileName[ota_format::kNameMax + 1];
    char checkSum[ota_format::kChecksumMax + 1];
    int32_t fileSize;
    int32_t offset;
};
static_assert(sizeof(CongfigItemValue_T) == 84, "an update-list record is 84 bytes");

// ---- Shared state of one upgrade (worker thread only) -----------------------
extern int m_totalItemNum;
extern int m_curItemNum;
extern bool isNeedCheck;
extern bool isUpgraded;
extern std::string m_totalFileName;
extern void* m_archiveHandle;
// Fixed by the package format: the work directories, then the list copies in
// the order they run, then the list entries in the order they are extracted.
extern const std::vector<std::string> m_checkdir;
extern const std::vector<std::string> m_updateListFile;
extern const std::vector<std::string> m_unzipUpdateListFile;
// The update lists of the open package, read from it into memory at
// preparation and keyed by the path of their copy (m_updateListFile). The
// runner and the final check read only these, never the copies on /OAD.
extern std::map<std::string, std::string> m_updateListText;

// ---- Manifest ---------------------------------------------------------------
struct ManifestImage_T {
    std::string partition;
    bool base = false;  // the installed image; else the new one
    uint64_t length = 0;
    std::string md5;
};

struct ManifestPart_T {
    std::string name;
    uint64_t offset = 0;
    uint64_t baseLength = 0;
    std::string baseMd5;
    uint64_t newLength = 0;
    std::string newMd5;
};

struct Manifest_T {
    bool present = false;
    long long release = -1;
    std::vector<ManifestImage_T> images;
    std::vector<ManifestPart_T> parts;
};

// Reads a manifest's text. False, with the reason, when it is not one this
// program can trust: a version it does not know, a line of a known kind
// that breaks its format.
bool parseManifest(const std::string& text, Manifest_T* manifest, std::string* why);

// The open package's manifest, read at preparation (present false without one).
extern Manifest_T m_manifest;

// Why the run stopped, for the result record: the partition, the item and a
// short message. Empty while nothing has failed.
struct UpgradeFailure_T {
    std::string partition;
    std::string item;
    std::string message;
};
extern UpgradeFailure_T m_failure;
// Partition writes made by this run (every attempt counts): 0 means every
// partition byte is as it was before the run started.
extern int m_partitionWrites;
// Seconds each list took in this run, by partition, in run order.
extern std::vector<std::pair<std::string, double>> m_listSeconds;

// ---- Preparation and list runner -------------------------------------------
int prepareBspatch(int& total);
// Lets go of the work directories preparation holds open; the item actions
// then work on the fixed paths again.
void closeWorkDirectories();
int handleSplitBspatch();
int parseUpdateListFile(std::string updateListFileName);
// Line reads of an update list, counted in the unit parseUpdateListFile
// reads (at most 127 characters each).
int countListPieces(const std::string& text);
// Before success: every partition a list wrote is read back (past the page
// cache where the device allows it) over the length its "total" or
// "entotal" line gives and compared with that line's MD5. 0 when all match;
// each mismatch is logged with the partition and both sums.
int checkUpgradedPartitions();
// Before the first partition write: the release rule, every entry the lists
// name present in the package, every part a list patches or checks holding
// its base bytes, its new bytes or a verified result, and room in /tmp and
// /OAD. 0 when the package can run on this set; otherwise logs why, fills
// m_failure and returns 1. Without a manifest only the release rule applies.
int checkPackageAgainstSet();

// ---- Item actions -----------------------------------------------------------
int handleCreateBspatch(CongfigItemValue_T item);
int handleDeleteBspatch(CongfigItemValue_T item);
int handleEntireTotalBspatch(CongfigItemValue_T item);
int handleTotalBspatch(CongfigItemValue_T item);
int handleUpdateBspatch(CongfigItemValue_T item);
int handleChkSyncBspatch(CongfigItemValue_T item);

// ---- Original image staging -------------------------------------------------
int loadOriginalSplitFile(const char* source, unsigned long size, unsigned long partSize,
                          const char* prefix);
char* nextFile(char* name, unsigned suffixLength);
// The same, with every part made inside the directory held on `dirFd`
// (AT_FDCWD: `prefix` is a path) under the last component of its name.
int loadOriginalSplitFileAt(int dirFd, const char* source, unsigned long size,
                            unsigned long partSize, const char* prefix);

// ---- Package signature --------------------------------------------------------
// The signature lives in the package's ZIP end-record comment, as its only
// content, so a ZIP reader that knows nothing of it still opens the package:
//
//   key id     8 bytes   first bytes of SHA-256 over the raw Ed25519 public key
//   signature 64 bytes   Ed25519 over the signed message below
//   version    2 bytes   1, little-endian
//   length     2 bytes   of the whole block, 84 for version 1, little-endian
//   magic      8 bytes   "OTAPKSIG"
//
// The signature covers every byte of the file before the block (the end
// record with its comment length included): the signed message is magic,
// version, key id, that length as 8 bytes little-endian, and the SHA-256 of
// those bytes. The block is read from the end of the file backwards.
namespace ota_signature {

constexpr char kMagic[8] = {'O', 'T', 'A', 'P', 'K', 'S', 'I', 'G'};
constexpr unsigned kVersion = 1;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kSignatureSize = 64;
constexpr size_t kTrailerSize = 2 + 2 + sizeof kMagic;
constexpr size_t kBlockSize = kKeyIdSize + kSignatureSize + kTrailerSize;
constexpr size_t kPublicKeySize = 32;
constexpr size_t kDigestSize = 32;
// The ZIP end record without its comment; its last two bytes are the
// comment length.
constexpr size_t kEndRecordSize = 22;
constexpr uint32_t kEndRecordSignature = 0x06054b50;

}  // namespace ota_signature

struct PublicKey_T {
    std::string source;  // where it was loaded from, for the log
    unsigned char raw[ota_signature::kPublicKeySize];
    unsigned char id[ota_signature::kKeyIdSize];
};

struct SignatureBlock_T {
    unsigned char keyId[ota_signature::kKeyIdSize];
    unsigned char signature[ota_signature::kSignatureSize];
    uint64_t coveredLength;  // bytes of the file the signature covers
};

// A key record for raw Ed25519 public key bytes (its id computed).
PublicKey_T publicKeyFromRaw(const unsigned char* raw, const std::string& source);
// An Ed25519 public key in PEM; false with the reason when it is none.
bool loadPublicKey(const std::string& path, PublicKey_T* key, std::string* why);
// Every *.pem of `dir` that loads, in name order; each one that does not is logged.
std::vector<PublicKey_T> loadKeyDirectory(const char* dir);

// Reads and checks the block at the end of the `fileSize` bytes open on fd.
bool readSignatureBlock(int fd, uint64_t fileSize, SignatureBlock_T* block, std::string* why);
// SHA-256 of the first `length` bytes open on fd, read once from the start.
bool digestPackageBytes(int fd, uint64_t length, unsigned char* digest, std::string* why);
// The message the key signs for a package whose first `coveredLength` bytes
// hash to `digest`.
std::string signatureMessage(const unsigned char* keyId, uint64_t coveredLength,
                             const unsigned char* digest);
// Empty when one of `keys` verifies the package open on fd, else why not.
std::string checkPackageSignature(int fd, const std::vector<PublicKey_T>& keys);

// Opens the package at `path` into an archive handle. When anything is at
// `keyDir`, the package is verified first through the descriptor the
// archive then reads, pinned so that a later write to the file fails every
// extraction; a refusal is logged as "package signature check failed: ...".
// Without `keyDir` the package opens as it always has. 0 on success.
int openCheckedPackage(const char* path, const char* keyDir, void** handle);
