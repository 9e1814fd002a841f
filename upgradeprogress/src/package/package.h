// Patch package processing: preparing the package, reading the update lists
// and carrying out every item by its action.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package_format.h"

// One update-list line. 84 bytes, the numbers signed 32-bit as on the set.
struct CongfigItemValue_T {
    char upgradMode[8];
    char fileName[30];
    char checkSum[38];
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
extern std::vector<std::string> m_checkdir;
extern std::vector<std::string> m_updateListFile;
extern std::vector<std::string> m_unzipUpdateListFile;

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
