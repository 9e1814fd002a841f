// The simulated set on the host: one directory holding the eMMC partition
// images, the persistent /OAD area and the persistent /var/local area.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

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

}  // namespace sandbox
