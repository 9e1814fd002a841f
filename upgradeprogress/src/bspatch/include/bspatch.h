// Binary patching: rebuild a new file from an old file and a BSDIFF40 patch.
// Returns 0 once the new file is written; every failure ends the process with
// exit status 1 through err()/errx().
#pragma once

int bspatch(const char* oldPath, const char* newPath, const char* patchPath);
