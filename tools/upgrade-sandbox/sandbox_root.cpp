#include "sandbox_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "sandbox_set.h"

namespace sandbox {

namespace {

bool fail(const char* what, const std::string& path) {
    fprintf(stderr, "upgrade-sandbox: %s %s: %s\n", what, path.c_str(), strerror(errno));
    return false;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirs(const std::string& path, mode_t mode = 0755) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return fail("cannot create", partial);
    }
    return true;
}

bool mountFs(const char* type, const std::string& target, unsigned long flags,
             const char* options) {
    if (!makeDirs(target)) return false;
    if (mount(type, target.c_str(), type, flags, options) != 0) return fail("cannot mount", target);
    return true;
}

bool bindMount(const std::string& source, const std::string& target, bool readOnly,
               bool recursive) {
    if (!makeDirs(target)) return false;
    unsigned long flags = MS_BIND | (recursive ? MS_REC : 0);
    if (mount(source.c_str(), target.c_str(), nullptr, flags, nullptr) != 0)
        return fail("cannot bind", source);
    // A bind mount takes the read-only flag only on a second, remounting call.
    if (readOnly && mount(nullptr, target.c_str(), nullptr,
                          MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID, nullptr) != 0) {
        return fail("cannot make read-only", target);
    }
    return true;
}

// overlayfs takes ':' and ',' as separators in its options.
bool overlaySafe(const std::string& path) {
    return path.find_first_of(":,") == std::string::npos;
}

// The set's own files (ROOTFS/usr, ROOTFS/etc) lie over the host's, read-only.
bool layHostDir(const std::string& root, const std::string& rootfs, const char* dir) {
    std::string own = rootfs.empty() ? std::string() : rootfs + "/" + dir;
    std::string target = root + "/" + dir;
    std::string host = std::string("/") + dir;
    if (own.empty() || !isDirectory(own)) return bindMount(host, target, true, true);
    if (!overlaySafe(own)) {
        fprintf(stderr, "upgrade-sandbox: path %s holds ':' or ','\n", own.c_str());
        return false;
    }
    std::string options = "lowerdir=" + own + ":" + host;
    return mountFs("overlay", target, MS_RDONLY | MS_NOSUID, options.c_str());
}

// Debian merges /bin, /lib, ... into /usr through symbolic links; mirror
// whatever the host has so loaders and scripts find their usual paths.
bool mirrorTopLevelLinks(const std::string& root) {
    for (const char* name : {"bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
        std::string host = std::string("/") + name;
        struct stat st {};
        if (lstat(host.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlink(host.c_str(), target, sizeof target - 1);
            if (n < 0) return fail("cannot read link", host);
            target[n] = '\0';
            if (symlink(target, (root + host).c_str()) != 0)
                return fail("cannot link", root + host);
        } else if (S_ISDIR(st.st_mode)) {
            if (!bindMount(host, root + host, true, true)) return false;
        }
    }
    return true;
}

// Whatever else the set's image holds (ROOTFS/opt, ROOTFS/var/...) appears
// read-only at its own path, except what the sandbox provides itself.
bool layOtherRootfsDirs(const std::string& root, const std::string& rootfs) {
    if (rootfs.empty()) return true;
    auto bindEntries = [&](const std::string& dir, const std::vector<std::string>& skip) -> bool {
        DIR* d = opendir((rootfs + dir).c_str());
        if (d == nullptr) return true;
        bool ok = true;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            bool skipped = false;
            for (const std::string& s : skip)
                skipped = skipped || s == name;
            std::string source = rootfs + dir + "/" + name;
            if (skipped || !isDirectory(source)) continue;
            if (!bindMount(source, root + dir + "/" + name, true, true)) {
                ok = false;
                break;
            }
        }
        closedir(d);
        return ok;
    };
    return bindEntries("", {"usr", "etc", "var", "dev", "proc", "sys", "tmp", "run", "OAD", "bin",
                            "sbin", "lib", "lib32", "lib64", "libx32"}) &&
           bindEntries("/var", {"local", "tmp", "run"});
}

bool makeNode(const std::string& path, mode_t type, dev_t device) {
    if (mknod(path.c_str(), type | 0666, device) != 0) return fail("cannot create device", path);
    // mknod applies the umask; the character devices must be usable by anyone.
    if (chmod(path.c_str(), type == S_IFBLK ? 0660 : 0666) != 0) return fail("cannot chmod", path);
    return true;
}

// A fresh memory file system at `target`, or, when `keep` names a host
// directory, that directory's `name` bound there for a look afterwards.
bool writableLayer(const std::string& target, const std::string& keep, const char* name,
                   unsigned long flags, const char* options) {
    if (keep.empty()) return mountFs("tmpfs", target, flags, options);
    const std::string kept = keep + "/" + name;
    if (!makeDirs(kept)) return false;
    return bindMount(kept, target, false, false);
}

bool populateDev(const std::string& root, const std::vector<DeviceNode>& devices,
                 const std::string& keep) {
    std::string dev = root + "/dev";
    if (!writableLayer(dev, keep, "dev", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m")) return false;
    struct CharNode {
        const char* name;
        unsigned minor;
    };
    for (CharNode node : {CharNode{"null", 3}, CharNode{"zero", 5}, CharNode{"full", 7},
                          CharNode{"random", 8}, CharNode{"urandom", 9}}) {
        if (!makeNode(dev + "/" + node.name, S_IFCHR, makedev(1, node.minor))) return false;
    }
    struct Link {
        const char* name;
        const char* target;
    };
    for (Link link : {Link{"fd", "/proc/self/fd"}, Link{"stdin", "/proc/self/fd/0"},
                      Link{"stdout", "/proc/self/fd/1"}, Link{"stderr", "/proc/self/fd/2"}}) {
        if (symlink(link.target, (dev + "/" + link.name).c_str()) != 0)
            return fail("cannot link", link.name);
    }
    if (!mountFs("tmpfs", dev + "/shm", MS_NOSUID | MS_NODEV, "mode=1777")) return false;
    for (const DeviceNode& node : devices) {
        std::string path = root + node.path;
        if (!makeDirs(path.substr(0, path.rfind('/')))) return false;
        if (!makeNode(path, S_IFBLK, node.device)) return false;
    }
    return true;
}

bool pivotInto(const std::string& root) {
    std::string old = root + "/.oldroot";
    if (mkdir(old.c_str(), 0700) != 0) return fail("cannot create", old);
    if (syscall(SYS_pivot_root, root.c_str(), old.c_str()) != 0)
        return fail("cannot pivot into", root);
    if (chdir("/") != 0) return fail("cannot enter", "/");
    if (umount2("/.oldroot", MNT_DETACH) != 0) return fail("cannot detach", "/.oldroot");
    if (rmdir("/.oldroot") != 0) return fail("cannot remove", "/.oldroot");
    // The set's root file system is read-only; only the mounts above are writable.
    if (mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID, nullptr) != 0) {
        return fail("cannot make read-only", "/");
    }
    return true;
}

}  // namespace

bool setupRoot(const RootPlan& plan) {
    // Nothing mounted from here on may travel back to the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("cannot make private", "/");

    const std::string root = rootMountPath(plan.setDir);
    if (!mountFs("tmpfs", root, MS_NOSUID, "mode=0755,size=16m")) return false;
    if (!layHostDir(root, plan.rootfs, "usr") || !layHostDir(root, plan.rootfs, "etc"))
        return false;
    if (!mirrorTopLevelLinks(root)) return false;
    if (!layOtherRootfsDirs(root, plan.rootfs)) return false;
    if (!populateDev(root, plan.devices, plan.keepWritable)) return false;
    if (!mountFs("proc", root + "/proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr)) return false;
    if (!mountFs("sysfs", root + "/sys", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr))
        return false;
    // RAM on the set: whatever the program keeps here is gone after a cut.
    const std::string tmpOptions = plan.tmpSizeKib > 0
                                       ? "mode=1777,size=" + std::to_string(plan.tmpSizeKib) + "k"
                                       : "mode=1777";
    if (!mountFs("tmpfs", root + "/tmp", MS_NOSUID | MS_NODEV, tmpOptions.c_str())) return false;
    if (!writableLayer(root + "/run", plan.keepWritable, "run", MS_NOSUID | MS_NODEV, "mode=0755"))
        return false;
    // Persistent storage of the set: survives cuts, lives in the set directory.
    if (!bindMount(oadPath(plan.setDir), root + "/OAD", false, false)) return false;
    if (!bindMount(varLocalPath(plan.setDir), root + "/var/local", false, false)) return false;
    for (const std::string& path : plan.hostPaths) {
        // Not recursive: the private root itself is mounted inside the set directory.
        if (!bindMount(path, root + path, false, false)) return false;
    }
    return pivotInto(root);
}

}  // namespace sandbox
