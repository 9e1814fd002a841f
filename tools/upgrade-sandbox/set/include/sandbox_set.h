// The runner's simulated set, as a library the other tools and the tests
// share: the set directory's layout, loop devices standing in for its eMMC
// partitions, the environment its commands run in, how a run ended, and the
// checks of a set's final state (upgraded, cleaned up).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace sandbox {

// ---- Set layout ----------------------------------------------------------
// The simulated set on the host: one directory holding the eMMC partition
// images, the persistent /OAD area and the persistent /var/local area.

struct PartitionImage {
    const char* name;  // device name under /dev, e.g. "mmcblk0p4"
    bool bootFlags;    // the 1 MiB boot-flag partition
};

// Every partition the program reaches, by its device name on the set.
const std::vector<PartitionImage>& setPartitions();

// "/dev/mmcblk0p4" -> "mmcblk0p4": the set's devices are named once, with
// the program's fixed paths (ota_paths in ground.h).
const char* deviceName(const char* devicePath);

std::string imagePath(const std::string& setDir, const char* partitionName);
std::string oadPath(const std::string& setDir);
std::string varLocalPath(const std::string& setDir);
// Empty directory on which the sandbox mounts its private root.
std::string rootMountPath(const std::string& setDir);

constexpr long kBootFlagsBytes = 1L << 20;
constexpr long kDefaultPartitionMiB = 64;

// Makes a fresh set directory. Returns 0, or 2 after printing the reason.
int makeSet(const std::string& setDir, const std::string& rootfs, long partitionMiB);

// ---- Loop devices --------------------------------------------------------
// Loop block devices standing in for the set's eMMC partitions.

using host::UniqueFd;

struct AttachedLoop {
    UniqueFd fd;  // held open for the whole run; its close lets the loop clear itself
    dev_t device = 0;
    int number = -1;
    dev_t imageDevice = 0;  // identity of the backing file, to tell our
    ino_t imageInode = 0;   // binding from a later runner's on the same number
};

// Binds imageFile to a free loop device with auto-clear set, so the binding
// disappears when the last opener (this process, or the sandbox) closes it,
// whatever way the run ends. Returns false after printing the reason.
bool attachLoop(const std::string& imageFile, AttachedLoop* out);

// Closes the runner's hold and waits (bounded) until the kernel has cleared
// the binding, so a caller listing loops afterwards sees the state it had before.
void releaseLoop(AttachedLoop* loop);

// ---- Environment ---------------------------------------------------------
// The environment of the sandboxed command: a clean one, like the set's, with
// only the host's test and sanitizer settings carried over.

// DirectFB on its headless "dummy" system. The dummy screen is 8x8 unless a
// mode is given: the set's panel is 1920x1080 ARGB. No VT, no input devices
// (none exist here), no signal handlers of its own so a crash is reported as
// the signal it is, and quiet so the program's own log stays readable (drop
// "quiet" through DFBARGS to see DirectFB's messages).
constexpr const char kDirectFbArgs[] =
    "system=dummy,mode=1920x1080,depth=32,pixelformat=ARGB,no-vt,no-vt-switch,no-cursor,no-"
    "sighandler,"
    "no-debug,quiet,disable-module=linux_input,disable-module=keyboard,disable-module=input_hub";

std::vector<std::string> sandboxEnvironment(const std::string& setDir);

// ---- Exit codes ----------------------------------------------------------
// How a run on a simulated set ended, as the sandbox runner and the emulated
// board both report it: the exit codes behind their verdict lines.

constexpr int kExitReboot = 100;
constexpr int kExitCut = 101;
constexpr int kExitTimeout = 124;
constexpr int kExitRunnerFailure = 2;
constexpr int kExitSignalBase = 128;

// ---- Final state ---------------------------------------------------------
// Whether a set ended upgraded: every partition the upgrade writes holds its
// new image and the success flags are set. The sandbox's sets, the board's
// disks and verify's simulated sets are all judged by these rules.

// Reads the first `bytes` bytes of the partition with device name `device`
// (mmcblk0p28 ...) into *out; false when they cannot be read.
using PartitionReader = std::function<bool(const char* device, size_t bytes, std::string* out)>;

// The reader over SETDIR's partition images (SETDIR/emmc/<device>.img).
PartitionReader setDirReader(const std::string& setDir);

// The new image each partition must start with, by device name.
using NewImages = std::map<std::string, std::string>;

// The boot-flag bytes the success check reads, from the partition's start.
size_t successFlagBytes();

// Bytes 4, 5, 7 and 8 of the boot-flag partition are 55 AA 55 AA.
bool successFlagsSet(const std::string& flags);

// Empty when the flags are set; otherwise "boot flags cannot be read" or
// "success flags not set (bytes 4 5 7 8: 55 aa 00 00)".
std::string successFlagsProblem(const PartitionReader& read);

// The partitions of `images` that do not start with their new image
// ("optfs lacks its new image; usrfs cannot be read"); empty when all do.
std::string imageProblems(const PartitionReader& read, const NewImages& images);

// Both of the above, joined with "; ": empty when the set ended upgraded.
std::string upgradedProblems(const PartitionReader& read, const NewImages& images);

// The names in ROOT/OAD, space-separated: what the program's clean-up left
// there (the package, its unpacked folder, the update folder). Empty when
// /OAD is empty; "(cannot read)" when it cannot be listed. ROOT is a set
// directory, or any folder holding a set's OAD/ and var-local/ side by side.
std::string oadLeftovers(const std::string& root);

// Empty when a run that went to the program's end left the set clean: /OAD
// empty and no /var/local/suspend_force_off. Otherwise "/OAD not clean: NAMES"
// and "/var/local/suspend_force_off still there", joined with "; ".
std::string cleanUpProblems(const std::string& root);

}  // namespace sandbox
