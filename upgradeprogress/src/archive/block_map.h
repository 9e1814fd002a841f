// Internal to the archive folder: the "@" route of sysMapFile.
#pragma once

#include "archive.h"

// Maps the package described by the block map file at `mapPath` into one
// contiguous read-only view. `mapping` arrives reset. 0 or -1; after -1
// nothing stays mapped and `mapping` holds no range.
int mapBlockMapFile(const char* mapPath, MemMapping* mapping);

// Opens `path` read-only, trying again when interrupted by a signal.
int openBlockDevice(const char* path);
