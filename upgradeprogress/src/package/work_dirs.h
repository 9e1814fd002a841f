// The four work directories, checked once per run and held open: every file
// in them is made, read and removed through the held descriptor, so a
// directory renamed away or replaced after the check changes nothing.
// Internal to the package subsystem.
#pragma once

#include <string>

enum WorkDir { kPatchWork, kOriginalWork, kUpdateWork, kListWork, kWorkDirCount };

// Checks (and replaces where needed) every directory of m_checkdir and
// holds it open. Logs "md %s failed!." and returns 1 at the first that
// cannot be had.
int openWorkDirectories();

// One file of a work directory: the directory and the file's own name.
struct WorkFile_T {
    WorkDir dir;
    std::string name;

    // The path as the log and the set's tools know it ("/tmp/patch_file/x").
    std::string path() const;
    // What to hand openat and its companions together with fd().
    std::string atName() const;
    int fd() const;
    // A path that reaches the file through the held directory, for a
    // routine that takes paths (the patcher): /proc/self/fd/N/name.
    std::string heldPath() const;
};

bool workFileExists(const WorkFile_T& file);
void removeWorkFile(const WorkFile_T& file);
// Empties a work directory, through its held descriptor when it is held.
void emptyWorkDirectory(WorkDir dir);
