// The boot-flag partition: the bytes through which this program tells the
// set's boot stage how the upgrade ended, and the marker it leaves just
// before restarting the set. Every byte goes to the device on its own open,
// write and fsync, so a power cut between two flags leaves each earlier flag
// durable and each later one untouched.
#include <fcntl.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ground.h"

namespace {

// Closes the descriptor on every way out, including the early failure returns.
class FlagFd {
public:
    explicit FlagFd(int fd) : fd_(fd) {}
    FlagFd(const FlagFd&) = delete;
    FlagFd& operator=(const FlagFd&) = delete;
    ~FlagFd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports the result, for callers that must know it.
    int closeNow() {
        int rc = close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

constexpr char kRebootMarker[] = "reboot";  // written with its zero byte
constexpr size_t kRebootMarkerBytes = sizeof kRebootMarker;

}  // namespace

int readEmmcUpgradFlag(const char* path, long offset) {
    unsigned char flag = 0xFF;
    FlagFd fd(open(path, O_RDONLY));
    if (!fd.valid()) {
        OTA_LOG("open failed: errno = %d..\n", errno);
        return 0xFF;
    }
    // Relative to the freshly opened position, that is, from the start.
    if (lseek(fd.get(), offset, SEEK_CUR) < 0) {
        OTA_LOG("lseek error:err = %d..errno = %d.\n", -1, errno);
        return 0xFF;
    }
    // A read at the end returns 0 without setting errno; clear it so the log
    // does not carry a stale one.
    errno = 0;
    ssize_t got = read(fd.get(), &flag, 1);
    if (got != 1) {
        OTA_LOG("read error: ret = %d..errno = %d.\n", static_cast<int>(got), errno);
        return 0xFF;
    }
    return flag;
}

int writeEmmcUpgradeFlag(const char* path, long offset, unsigned char value) {
    FlagFd fd(open(path, O_WRONLY));
    if (!fd.valid()) {
        OTA_LOG("open failed: errno = %d..\n", errno);
        return 1;
    }
    if (lseek(fd.get(), offset, SEEK_CUR) < 0) {
        OTA_LOG("lseek error: err = %d..errno = %d.\n", -1, errno);
        return 1;
    }
    ssize_t written = write(fd.get(), &value, 1);
    if (written != 1) {
        OTA_LOG("write: err = %d, errno = %d.\n", static_cast<int>(written), errno);
        return 1;
    }
    // The boot stage reads this byte after the next power-up: a flag that
    // only reached the page cache is no flag, so a failed flush is a failed write.
    if (fsync(fd.get()) != 0) {
        OTA_LOG("fsync: errno = %d.\n", errno);
        return 1;
    }
    return 0;
}

int setRebootFlag_init() {
    FlagFd fd(open(ota_paths::kFlagDeviceBlock, O_WRONLY));
    if (!fd.valid()) return -1;
    if (lseek(fd.get(), kRebootMarkerOffset, SEEK_SET) < 0) return -1;
    ssize_t written = write(fd.get(), kRebootMarker, kRebootMarkerBytes);
    if (written < static_cast<ssize_t>(kRebootMarkerBytes)) return -1;
    // The set restarts right after this; the marker must be on the device first.
    if (fsync(fd.get()) != 0) return -1;
    if (fd.closeNow() != 0) return -1;
    sync();
    return 0;
}

void restartSet() {
    // The worker may still be writing when a failure is on screen: flush
    // everything before the marker, and the marker before the restart.
    sync();
    setRebootFlag_init();
    sync();
    reboot(RB_AUTOBOOT);
}
