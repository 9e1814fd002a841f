// Opening, making and removing files on ground other programs write too
// (/OAD, /var/local, /tmp): a symbolic link never redirects a write or a
// removal, and a pipe or device never makes the program wait.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ground.h"

namespace {

// A hostile tree may nest deeper than any work directory ever does; past this
// the removal gives up rather than run out of descriptors.
constexpr int kMaxTreeDepth = 64;

// Attempts to clear a name that another program keeps filling.
constexpr int kFreshFileTries = 8;

// A work directory is this program's alone. One that an earlier version
// made readable to others (0755) is kept: only a directory others can write
// lets them add, swap or link files in it.
constexpr mode_t kWorkDirMode = 0700;

bool isOwnWorkDirectory(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

// "/OAD/update_file/" -> "/OAD/update_file": with the slash, lstat and
// unlink would act on a link's target instead of the link.
std::string withoutTrailingSlashes(const char* path) {
    std::string bare(path);
    while (bare.size() > 1 && bare.back() == '/') {
        bare.pop_back();
    }
    return bare;
}

// Waits no longer than the open: a pipe without a writer opens at once
// with O_NONBLOCK, and is then refused by its type.
int openNonBlocking(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool removeBelow(int dirFd, int depth) {
    if (depth > kMaxTreeDepth) {
        return false;
    }
    const int listFd = dup(dirFd);
    if (listFd < 0) {
        return false;
    }
    DIR* dir = fdopendir(listFd);
    if (dir == nullptr) {
        close(listFd);
        return false;
    }
    // The copy shares its position with the held descriptor, which an
    // earlier emptying of the same directory left at the end.
    rewinddir(dir);
    bool removed = true;
    while (const dirent* entry = readdir(dir)) {
        if (isSpecialDir(entry->d_name)) {
            continue;
        }
        // Anything but a directory goes with unlinkat, a link as the link.
        if (unlinkat(dirFd, entry->d_name, 0) == 0) {
            continue;
        }
        if (errno != EISDIR && errno != EPERM) {
            removed = false;
            continue;
        }
        const int childFd =
            openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (childFd < 0) {
            removed = false;
            continue;
        }
        const bool emptied = removeBelow(childFd, depth + 1);
        close(childFd);
        if (!emptied || unlinkat(dirFd, entry->d_name, AT_REMOVEDIR) != 0) {
            removed = false;
        }
    }
    closedir(dir);
    return removed;
}

}  // namespace

int openReadable(const char* path, bool blockDeviceToo) {
    if (path == nullptr) {
        return -1;
    }
    const int fd = openNonBlocking(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || (blockDeviceToo && S_ISBLK(st.st_mode)))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

FILE* fopenReadable(const char* path, bool blockDeviceToo) {
    const int fd = openReadable(path, blockDeviceToo);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

int openFreshFile(const char* path, mode_t mode) {
    return openFreshFileAt(AT_FDCWD, path, mode);
}

int openFreshFileAt(int dirFd, const char* name, mode_t mode, bool readBack) {
    if (name == nullptr || name[0] == '\0') {
        return -1;
    }
    // Another program may make something at the name between the unlink
    // and the open; O_EXCL then refuses it, and the name is cleared again.
    for (int tries = 0; tries < kFreshFileTries; ++tries) {
        struct stat st;
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            // A directory where a file belongs is refused, not emptied: it
            // may be anything, and the caller's failure path cleans /OAD as
            // a whole.
            if (S_ISDIR(st.st_mode) || unlinkat(dirFd, name, 0) != 0) {
                errno = EISDIR;
                return -1;
            }
        }
        const int flags = (readBack ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW;
        int fd;
        do {
            fd = openat(dirFd, name, flags | O_CLOEXEC, mode);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

int openReadableAt(int dirFd, const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return -1;
    }
    int fd;
    do {
        fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    const int status = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || status < 0 ||
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

FILE* fopenFreshFile(const char* path) {
    return fopenFreshFileAt(AT_FDCWD, path);
}

FILE* fopenFreshFileAt(int dirFd, const char* name) {
    const int fd = openFreshFileAt(dirFd, name, 0644);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

int openWorkDirectory(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return -1;
    }
    const std::string bare = withoutTrailingSlashes(path);
    for (int tries = 0; tries < kFreshFileTries; ++tries) {
        struct stat st;
        if (lstat(bare.c_str(), &st) == 0 && !isOwnWorkDirectory(st)) {
            // Whatever another user made here, or made open to others, goes
            // with everything in it: nothing in it can be trusted.
            if (removeTree(bare.c_str()) != 0) {
                return -1;
            }
        }
        if (mkdir(bare.c_str(), kWorkDirMode) != 0 && errno != EEXIST) {
            return -1;
        }
        const int fd = open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        // Checked again on what was opened: the name may have changed hands
        // between the look and the open.
        if (fstat(fd, &st) == 0 && isOwnWorkDirectory(st)) {
            return fd;
        }
        close(fd);
    }
    return -1;
}

int emptyDirectoryAt(int dirFd) {
    return removeBelow(dirFd, 0) ? 0 : 1;
}

int removeTree(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    const std::string bare = withoutTrailingSlashes(path);
    struct stat st;
    if (lstat(bare.c_str(), &st) != 0) {
        return errno == ENOENT ? 0 : 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        return unlink(bare.c_str()) == 0 ? 0 : 1;
    }
    const int dirFd = open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return 1;
    }
    const bool emptied = removeBelow(dirFd, 0);
    close(dirFd);
    return emptied && rmdir(bare.c_str()) == 0 ? 0 : 1;
}
