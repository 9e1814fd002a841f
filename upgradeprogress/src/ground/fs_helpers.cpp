// File-system routines of the clean-up and the package preparation. They are
// silent: every outcome shows only in their results.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "ground.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirOwner = std::unique_ptr<DIR, DirCloser>;

// One line read of an update list: at most 127 characters and the zero.
constexpr int kLineBuffer = 128;

}  // namespace

bool isExistFile(const std::vector<std::string>* list, std::string name) {
    if (list == nullptr) {
        return false;
    }
    for (const std::string& entry : *list) {
        if (entry == name) {
            return true;
        }
    }
    return false;
}

// lstat, not stat: a symbolic link is neither a file nor a directory here, so
// the removal never follows one out of the tree it was asked to empty.
bool isFile(const char* path) {
    struct stat st;
    return path != nullptr && lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool isDir(const char* path) {
    struct stat st;
    return path != nullptr && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSpecialDir(const char* name) {
    return name != nullptr && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0);
}

// A joined path that does not fit the kComposedPathMax bytes of `out` leaves
// `out` empty: a cut-off path could name some other, shorter file that must
// not be touched, while the empty path names nothing at all.
char* getFilePath(const char* dir, const char* name, char* out) {
    const size_t dirLen = strlen(dir);
    const bool slash = dirLen == 0 || dir[dirLen - 1] != '/';
    const size_t nameLen = strlen(name);
    const size_t total = dirLen + (slash ? 1 : 0) + nameLen;
    if (total >= kComposedPathMax) {
        out[0] = '\0';
        return out;
    }
    memcpy(out, dir, dirLen);
    size_t at = dirLen;
    if (slash) {
        out[at++] = '/';
    }
    memcpy(out + at, name, nameLen);
    out[total] = '\0';
    return out;
}

void removeDirFile(const char* path, std::vector<std::string>* keep) {
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    if (isFile(path)) {
        if (!isExistFile(keep, path)) {
            remove(path);
        }
        return;
    }
    if (!isDir(path)) {
        return;  // missing, or a link, device, pipe or socket: left in place
    }
    DirOwner dir(opendir(path));
    if (!dir) {
        return;
    }
    char child[kComposedPathMax];
    while (const dirent* entry = readdir(dir.get())) {
        getFilePath(path, entry->d_name, child);
        if (isSpecialDir(entry->d_name) || child[0] == '\0') {
            continue;
        }
        removeDirFile(child, keep);
        // Fails harmlessly while a spared file or a link still lives below.
        if (isDir(child)) {
            rmdir(child);
        }
    }
}

bool isDirExist(std::string path) {
    if (path.empty()) {
        return true;
    }
    DirOwner dir(opendir(path.c_str()));
    return dir != nullptr;
}

int mkDiretory(std::string path) {
    return mkdir(path.c_str(), 0775) == 0 ? 0 : 1;
}

// Counts in the unit the list reader uses: one read of at most 127
// characters, so the progress total and the handled lines agree even for
// over-long lines.
int fileWc(const char* path) {
    if (path == nullptr) {
        return 0;
    }
    FileOwner file(fopenReadable(path));
    if (!file) {
        return 0;
    }
    char line[kLineBuffer];
    int count = 0;
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        ++count;
    }
    return count;
}

bool fileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}
