#include "board_disk.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "child.h"
#include "ground.h"
#include "sandbox_set.h"
#include "unique_fd.h"

namespace board {

namespace {

constexpr long long kMiB = 1LL << 20;
// Room for the package's lists and a part waiting in /OAD/update_file/ beside
// the package itself, and for the journal.
constexpr long long kMinOadMiB = 48;
constexpr long long kVarLocalSpareMiB = 16;

long long roundUpMiB(long long bytes) {
    return (bytes + kMiB - 1) / kMiB * kMiB;
}

long long treeTotal = 0;
int addEntry(const char*, const struct stat* st, int, struct FTW*) {
    treeTotal += S_ISREG(st->st_mode) ? st->st_size : 4096;
    return 0;
}

// Bytes that mkfs.ext4 -d will copy from a folder (not thread-safe: the
// campaign plans its disk once, before its workers start).
long long treeBytes(const std::string& path) {
    treeTotal = 0;
    if (nftw(path.c_str(), addEntry, 16, FTW_PHYS) != 0) return 4096;
    return treeTotal;
}

bool copyRange(int in, off_t inOffset, int out, off_t outOffset, long long bytes,
               std::string* error) {
    std::vector<char> buf(4 * kMiB);
    while (bytes > 0) {
        size_t chunk =
            static_cast<size_t>(std::min<long long>(bytes, static_cast<long long>(buf.size())));
        ssize_t n = pread(in, buf.data(), chunk, inOffset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = std::string("short read: ") + (n < 0 ? strerror(errno) : "end of file");
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w =
                pwrite(out, buf.data() + done, static_cast<size_t>(n - done), outOffset + done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                *error = std::string("short write: ") + strerror(errno);
                return false;
            }
            done += w;
        }
        inOffset += n;
        outOffset += n;
        bytes -= n;
    }
    return true;
}

bool copyIntoDisk(const std::string& from, int diskFd, long long offset, long long bytes,
                  std::string* error) {
    host::UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        *error = "cannot open " + from + ": " + strerror(errno);
        return false;
    }
    if (!copyRange(in.get(), 0, diskFd, offset, bytes, error)) {
        *error = "copying " + from + " into the disk: " + *error;
        return false;
    }
    return true;
}

std::string scratchFile(const std::string& disk, const std::string& tag) {
    return disk + "." + tag + ".tmp";
}

}  // namespace

bool planDisk(const std::string& setDir, DiskLayout* out, std::string* error) {
    out->partitions.clear();
    long long offset = kMiB;  // the GPT and its alignment
    for (const sandbox::PartitionImage& part : sandbox::setPartitions()) {
        std::string path = sandbox::imagePath(setDir, part.name);
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = path + " is missing: make the set with upgrade-sandbox new";
            return false;
        }
        DiskPartition p{part.name, path, false, offset, roundUpMiB(st.st_size)};
        if (p.bytes != st.st_size) {
            *error = path + " is not a whole number of MiB";
            return false;
        }
        out->partitions.push_back(p);
        offset += p.bytes;
    }
    std::string oad = sandbox::oadPath(setDir);
    std::string varLocal = sandbox::varLocalPath(setDir);
    long long oadBytes = std::max(kMinOadMiB * kMiB, roundUpMiB(2 * treeBytes(oad)) + 16 * kMiB);
    long long varBytes = roundUpMiB(treeBytes(varLocal)) + kVarLocalSpareMiB * kMiB;
    out->partitions.push_back({"OAD", oad, true, offset, oadBytes});
    offset += oadBytes;
    out->partitions.push_back({"var-local", varLocal, true, offset, varBytes});
    offset += varBytes;
    out->totalBytes = offset + kMiB;  // the backup GPT
    return true;
}

const DiskPartition* findPartition(const DiskLayout& layout, const std::string& name) {
    for (const DiskPartition& p : layout.partitions) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

const char* flagPartitionName() {
    return sandbox::deviceName(ota_paths::kFlagDevice);
}

bool buildDisk(const DiskLayout& layout, const std::string& disk, std::string* error) {
    unlink(disk.c_str());
    {
        host::UniqueFd fd(open(disk.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid() || ftruncate(fd.get(), layout.totalBytes) != 0) {
            *error = "cannot create " + disk + ": " + strerror(errno);
            return false;
        }
    }
    std::string table = "label: gpt\n";
    for (const DiskPartition& p : layout.partitions) {
        table += "start=" + std::to_string(p.offset / 512) +
                 ", size=" + std::to_string(p.bytes / 512) + ", name=\"" + p.name + "\"\n";
    }
    if (!runTool({"sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", disk}, error, table))
        return false;

    host::UniqueFd diskFd(open(disk.c_str(), O_WRONLY | O_CLOEXEC));
    if (!diskFd.valid()) {
        *error = "cannot open " + disk + ": " + strerror(errno);
        return false;
    }
    for (const DiskPartition& p : layout.partitions) {
        std::string source = p.hostPath;
        std::string fsImage = scratchFile(disk, p.name);
        if (p.ext4) {
            unlink(fsImage.c_str());
            if (!runTool({"mkfs.ext4", "-q", "-F", "-L", p.name, "-E", "root_owner=0:0", "-d",
                          p.hostPath, fsImage, std::to_string(p.bytes / 1024) + "k"},
                         error)) {
                return false;
            }
            source = fsImage;
        }
        bool ok = copyIntoDisk(source, diskFd.get(), p.offset, p.bytes, error);
        if (p.ext4) unlink(fsImage.c_str());
        if (!ok) return false;
    }
    if (fsync(diskFd.get()) != 0) {
        *error = "cannot sync " + disk + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool readPartition(const DiskPartition& part, const std::string& disk, long long offset,
                   size_t length, std::string* out, std::string* error) {
    host::UniqueFd fd(open(disk.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        *error = "cannot open " + disk + ": " + strerror(errno);
        return false;
    }
    out->assign(length, '\0');
    ssize_t n = pread(fd.get(), &(*out)[0], length, part.offset + offset);
    if (n != static_cast<ssize_t>(length)) {
        *error = "cannot read " + part.name + " of " + disk;
        return false;
    }
    return true;
}

bool copyFile(const std::string& from, const std::string& to, std::string* error) {
    return runTool({"cp", "--sparse=always", "--", from, to}, error);
}

// The file system was left as the guest's kernel had it at the cut or the
// reboot: journal not replayed. Mounting a copy read-write replays it the way
// the set's kernel would at its next boot; the mount lives in a private mount
// namespace so nothing of it outlives this call.
bool extractFolder(const DiskPartition& part, const std::string& disk, const std::string& dir,
                   std::string* error) {
    std::string copy = scratchFile(disk, part.name + "-extract");
    std::string mountPoint = copy + ".mnt";
    {
        host::UniqueFd in(open(disk.c_str(), O_RDONLY | O_CLOEXEC));
        host::UniqueFd out(open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!in.valid() || !out.valid()) {
            *error = "cannot open " + (in.valid() ? copy : disk) + ": " + strerror(errno);
            return false;
        }
        if (!copyRange(in.get(), part.offset, out.get(), 0, part.bytes, error)) return false;
    }
    mkdir(mountPoint.c_str(), 0700);
    if (!runTool({"rm", "-rf", "--", dir}, error) || mkdir(dir.c_str(), 0755) != 0) {
        if (error->empty()) *error = "cannot make " + dir + ": " + strerror(errno);
        return false;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        std::string message;
        sandbox::AttachedLoop loop;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            message = std::string("cannot make a mount namespace: ") + strerror(errno);
        } else if (!sandbox::attachLoop(copy, &loop)) {
            message = "cannot bind " + copy + " to a loop device";
        } else if (mount(("/dev/loop" + std::to_string(loop.number)).c_str(), mountPoint.c_str(),
                         "ext4", 0, nullptr) != 0) {
            message = "cannot mount " + part.name + ": " + strerror(errno);
        } else {
            runTool({"cp", "-a", "--", mountPoint + "/.", dir}, &message);
            runTool({"rm", "-rf", "--", dir + "/lost+found"}, &message);
        }
        ssize_t ignored = write(report[1], message.data(), message.size());
        (void)ignored;
        _exit(message.empty() ? 0 : 1);
    }
    close(report[1]);
    std::string message;
    char buf[1024];
    ssize_t n;
    while ((n = read(report[0], buf, sizeof buf)) > 0)
        message.append(buf, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    rmdir(mountPoint.c_str());
    unlink(copy.c_str());
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = message.empty() ? "extracting " + part.name + " failed" : message;
        return false;
    }
    return true;
}

bool writeBackDisk(const DiskLayout& layout, const std::string& disk, std::string* error) {
    host::UniqueFd in(open(disk.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        *error = "cannot open " + disk + ": " + strerror(errno);
        return false;
    }
    for (const DiskPartition& p : layout.partitions) {
        if (p.ext4) {
            if (!extractFolder(p, disk, p.hostPath, error)) return false;
            continue;
        }
        host::UniqueFd out(open(p.hostPath.c_str(), O_WRONLY | O_CLOEXEC));
        if (!out.valid()) {
            *error = "cannot open " + p.hostPath + ": " + strerror(errno);
            return false;
        }
        if (!copyRange(in.get(), p.offset, out.get(), 0, p.bytes, error) || fsync(out.get()) != 0) {
            *error = "writing back " + p.hostPath + ": " + *error;
            return false;
        }
    }
    return true;
}

}  // namespace board
