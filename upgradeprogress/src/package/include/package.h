// Patch package processing: preparing the package, reading the update lists
// and carrying out every item by its action.
#pragma once

#include <cstdint>
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

// ---- Preparation and list runner -------------------------------------------
int prepareBspatch(int& total);
int handleSplitBspatch();
int parseUpdateListFile(std::string updateListFileName);

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
