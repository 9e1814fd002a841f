#include "work_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "package.h"

namespace {

// -1: not held. The item actions then work on the fixed paths directly, as
// they do when a test calls them without a preparation.
int g_workDirFds[kWorkDirCount] = {-1, -1, -1, -1};

}  // namespace

int openWorkDirectories() {
    closeWorkDirectories();
    for (int i = 0; i < kWorkDirCount; ++i) {
        const std::string& dir = m_checkdir[static_cast<size_t>(i)];
        g_workDirFds[i] = openWorkDirectory(dir.c_str());
        if (g_workDirFds[i] < 0) {
            OTA_LOG("md %s failed!.\n", dir.c_str());
            closeWorkDirectories();
            return 1;
        }
    }
    return 0;
}

void closeWorkDirectories() {
    for (int& fd : g_workDirFds) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
}

std::string WorkFile_T::path() const {
    return m_checkdir[static_cast<size_t>(dir)] + name;
}

std::string WorkFile_T::atName() const {
    return g_workDirFds[dir] >= 0 ? name : path();
}

int WorkFile_T::fd() const {
    return g_workDirFds[dir] >= 0 ? g_workDirFds[dir] : AT_FDCWD;
}

std::string WorkFile_T::heldPath() const {
    if (g_workDirFds[dir] < 0) {
        return path();
    }
    return "/proc/self/fd/" + std::to_string(g_workDirFds[dir]) + "/" + name;
}

bool workFileExists(const WorkFile_T& file) {
    struct stat st;
    return fstatat(file.fd(), file.atName().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void removeWorkFile(const WorkFile_T& file) {
    unlinkat(file.fd(), file.atName().c_str(), 0);
}

void emptyWorkDirectory(WorkDir dir) {
    if (g_workDirFds[dir] >= 0) {
        emptyDirectoryAt(g_workDirFds[dir]);
    } else {
        removeDirFile(m_checkdir[static_cast<size_t>(dir)].c_str(), nullptr);
    }
}
