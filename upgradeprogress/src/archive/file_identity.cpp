// The identity of an open package file, compared before and after its bytes
// are used.
#include <sys/stat.h>

#include "archive.h"

bool readFileIdentity(int fd, FileIdentity_T* identity) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return false;
    }
    identity->device = st.st_dev;
    identity->inode = st.st_ino;
    identity->size = st.st_size;
    identity->modified = st.st_mtim;
    identity->changed = st.st_ctim;
    return true;
}

bool sameFileIdentity(const FileIdentity_T& a, const FileIdentity_T& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}
