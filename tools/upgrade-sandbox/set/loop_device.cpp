#include "sandbox_set.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sandbox {

namespace {

// Several runners allocate at once (parallel test runs): another runner may
// bind the device that loop-control just offered us, so we ask again.
constexpr int kAttachAttempts = 200;

}  // namespace

bool attachLoop(const std::string& imageFile, AttachedLoop* out) {
    UniqueFd image(open(imageFile.c_str(), O_RDWR | O_CLOEXEC));
    if (!image.valid()) {
        fprintf(stderr, "upgrade-sandbox: cannot open image %s: %s\n", imageFile.c_str(),
                strerror(errno));
        return false;
    }
    UniqueFd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control.valid()) {
        fprintf(stderr, "upgrade-sandbox: no loop devices here (/dev/loop-control: %s)\n",
                strerror(errno));
        return false;
    }
    for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
        int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) {
            fprintf(stderr, "upgrade-sandbox: no free loop device: %s\n", strerror(errno));
            return false;
        }
        std::string node = "/dev/loop" + std::to_string(number);
        UniqueFd loop(open(node.c_str(), O_RDWR | O_CLOEXEC));
        if (!loop.valid()) {
            // The node may appear a moment after loop-control created the device.
            if (errno == ENOENT) {
                usleep(2000);
                continue;
            }
            fprintf(stderr, "upgrade-sandbox: cannot open %s: %s\n", node.c_str(), strerror(errno));
            return false;
        }
        loop_config config{};
        config.fd = static_cast<__u32>(image.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        snprintf(reinterpret_cast<char*>(config.info.lo_file_name), LO_NAME_SIZE, "%s",
                 imageFile.c_str());
        if (ioctl(loop.get(), LOOP_CONFIGURE, &config) != 0) {
            if (errno == EBUSY) continue;
            fprintf(stderr, "upgrade-sandbox: cannot bind %s to %s: %s\n", imageFile.c_str(),
                    node.c_str(), strerror(errno));
            return false;
        }
        struct stat st {};
        if (fstat(loop.get(), &st) != 0 || !S_ISBLK(st.st_mode)) {
            fprintf(stderr, "upgrade-sandbox: %s is not a block device\n", node.c_str());
            return false;
        }
        struct stat imageStat {};
        fstat(image.get(), &imageStat);
        out->imageDevice = imageStat.st_dev;
        out->imageInode = imageStat.st_ino;
        out->device = st.st_rdev;
        out->number = number;
        out->fd = std::move(loop);
        return true;
    }
    fprintf(stderr, "upgrade-sandbox: gave up binding %s: every free loop device was taken first\n",
            imageFile.c_str());
    return false;
}

void releaseLoop(AttachedLoop* loop) {
    if (!loop->fd.valid()) return;
    loop->fd.reset();
    std::string node = "/dev/loop" + std::to_string(loop->number);
    for (int i = 0; i < 500; ++i) {
        UniqueFd probe(open(node.c_str(), O_RDONLY | O_CLOEXEC));
        if (!probe.valid()) return;
        loop_info64 info{};
        if (ioctl(probe.get(), LOOP_GET_STATUS64, &info) != 0) return;  // ENXIO: cleared
        if (info.lo_inode != loop->imageInode) return;  // already reused by another run
        // Our probe is an opener too; close it before waiting so the
        // auto-clear can run.
        probe.reset();
        usleep(2000);
    }
    fprintf(stderr, "upgrade-sandbox: warning: /dev/loop%d still bound after the run\n",
            loop->number);
}

}  // namespace sandbox
