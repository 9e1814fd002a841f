// Upgrade control: the worker that drives one upgrade, the boot-flag
// partition, and the file-system helpers of the clean-up.
#pragma once

#include <string>
#include <vector>

#include "fixed_paths.h"
#include "ota_log.h"

// ---- Upgrade worker -------------------------------------------------------
void* refreshBlock(void* arg);
void clearFlags(int value);
void clearFiles();

// ---- Boot-flag partition --------------------------------------------------
// Byte layout read by the boot stage.
constexpr long kFlagRunningChain = 0;
constexpr long kFlagOffset4 = 4;
constexpr long kFlagOffset5 = 5;
constexpr long kFlagOffset7 = 7;
constexpr long kFlagOffset8 = 8;
constexpr long kRebootMarkerOffset = 512;

int readEmmcUpgradFlag(const char* path, long offset);
int writeEmmcUpgradeFlag(const char* path, long offset, unsigned char value);
int setRebootFlag_init();

// ---- File-system helpers --------------------------------------------------
// Room for a composed path, its zero included. getFilePath writes into a
// buffer of this size; a path that does not fit comes back empty.
constexpr unsigned long kComposedPathMax = 4096;

void removeDirFile(const char* path, std::vector<std::string>* keep);
bool isExistFile(const std::vector<std::string>* list, std::string name);
bool isFile(const char* path);
bool isDir(const char* path);
bool isSpecialDir(const char* name);
char* getFilePath(const char* dir, const char* name, char* out);
bool isDirExist(std::string path);
int mkDiretory(std::string path);
int fileWc(const char* path);
