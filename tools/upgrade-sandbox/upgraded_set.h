// Whether a set ended upgraded: every partition the upgrade writes holds its
// new image and the success flags are set. The sandbox's sets, the board's
// disks and verify's simulated sets are all judged by these rules.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

namespace sandbox {

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

}  // namespace sandbox
