#include "sandbox_set.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ground.h"
#include "run_child.h"
#include "unique_fd.h"

namespace sandbox {

using host::UniqueFd;

const char* deviceName(const char* devicePath) {
    const char* slash = strrchr(devicePath, '/');
    return slash != nullptr ? slash + 1 : devicePath;
}

const std::vector<PartitionImage>& setPartitions() {
    static const std::vector<PartitionImage> parts = [] {
        std::vector<PartitionImage> list = {{deviceName(ota_paths::kFlagDevice), true}};
        for (const ota_paths::Partition_T& partition : ota_paths::kPartitions) {
            list.push_back({deviceName(partition.device), false});
        }
        return list;
    }();
    return parts;
}

std::string imagePath(const std::string& setDir, const char* partitionName) {
    return setDir + "/emmc/" + partitionName + ".img";
}
std::string oadPath(const std::string& setDir) {
    return setDir + "/OAD";
}
std::string varLocalPath(const std::string& setDir) {
    return setDir + "/var-local";
}
std::string rootMountPath(const std::string& setDir) {
    return setDir + "/.sandbox-root";
}

namespace {

bool makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    fprintf(stderr, "upgrade-sandbox: cannot create %s: %s\n", path.c_str(), strerror(errno));
    return false;
}

bool isEmptyOrMissingDir(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return errno == ENOENT;
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
}

// The boot-flag partition starts as real zero bytes, the way a freshly erased
// set reads it; the large partitions stay sparse so that a set costs no disk.
bool makeImage(const std::string& path, long bytes, bool writeZeros) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        fprintf(stderr, "upgrade-sandbox: cannot create %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (writeZeros) {
        std::vector<char> zeros(static_cast<size_t>(bytes), 0);
        size_t done = 0;
        while (done < zeros.size()) {
            ssize_t n = write(fd.get(), zeros.data() + done, zeros.size() - done);
            if (n <= 0) {
                fprintf(stderr, "upgrade-sandbox: cannot write %s: %s\n", path.c_str(),
                        strerror(errno));
                return false;
            }
            done += static_cast<size_t>(n);
        }
    } else if (ftruncate(fd.get(), bytes) != 0) {
        fprintf(stderr, "upgrade-sandbox: cannot size %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (fsync(fd.get()) != 0) {
        fprintf(stderr, "upgrade-sandbox: cannot sync %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// cp -a keeps modes, owners, links and times exactly as the image holds them.
bool copyTree(const std::string& from, const std::string& to) {
    const host::ChildResult copied = host::runChild({"/bin/cp", "-a", "--", from + "/.", to});
    if (!copied.started) {
        fprintf(stderr, "upgrade-sandbox: %s\n", copied.error.c_str());
        return false;
    }
    if (!copied.succeeded()) {
        fprintf(stderr, "%s", copied.output.c_str());
        fprintf(stderr, "upgrade-sandbox: copying %s to %s failed\n", from.c_str(), to.c_str());
        return false;
    }
    return true;
}

}  // namespace

int makeSet(const std::string& setDir, const std::string& rootfs, long partitionMiB) {
    if (!isEmptyOrMissingDir(setDir)) {
        fprintf(stderr, "upgrade-sandbox: %s exists and is not empty; remove it first\n",
                setDir.c_str());
        return 2;
    }
    std::string varLocalSource;
    if (!rootfs.empty()) {
        struct stat st {};
        if (stat(rootfs.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "upgrade-sandbox: root file system %s is not a directory\n",
                    rootfs.c_str());
            return 2;
        }
        varLocalSource = rootfs + "/var/local";
        if (stat(varLocalSource.c_str(), &st) != 0) varLocalSource.clear();
    }
    if (!makeDir(setDir) || !makeDir(setDir + "/emmc") || !makeDir(oadPath(setDir)) ||
        !makeDir(varLocalPath(setDir)) || !makeDir(rootMountPath(setDir))) {
        return 2;
    }
    for (const PartitionImage& part : setPartitions()) {
        long bytes = part.bootFlags ? kBootFlagsBytes : partitionMiB * (1L << 20);
        if (!makeImage(imagePath(setDir, part.name), bytes, part.bootFlags)) return 2;
    }
    if (!varLocalSource.empty() && !copyTree(varLocalSource, varLocalPath(setDir))) return 2;
    return 0;
}

}  // namespace sandbox
