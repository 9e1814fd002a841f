// The board's eMMC: one raw disk with a GPT whose partitions carry the set's
// device names. The raw partitions hold SETDIR's images byte for byte; /OAD
// and /var/local are ext4 file systems made from SETDIR's folders.
#pragma once

#include <string>
#include <vector>

namespace board {

struct DiskPartition {
    std::string name;      // GPT name: mmcblk0p4 ... or OAD, var-local
    std::string hostPath;  // SETDIR's image file or folder
    bool ext4 = false;
    long long offset = 0;  // bytes from the start of the disk
    long long bytes = 0;
};

struct DiskLayout {
    std::vector<DiskPartition> partitions;
    long long totalBytes = 0;
};

// Sizes every partition from SETDIR; the ext4 ones with room to spare for the
// package's work files.
bool planDisk(const std::string& setDir, DiskLayout* out, std::string* error);
const DiskPartition* findPartition(const DiskLayout& layout, const std::string& name);
// GPT name of the boot-flag partition: the set's flag device (mmcblk0p4).
const char* flagPartitionName();

// Writes a fresh disk image from SETDIR.
bool buildDisk(const DiskLayout& layout, const std::string& disk, std::string* error);

// Copies what the disk holds back into SETDIR: the raw images byte for byte,
// the folders as the guest's kernel would find them after replaying the
// file systems' journals.
bool writeBackDisk(const DiskLayout& layout, const std::string& disk, std::string* error);

// Copies one ext4 partition's files into `dir` (made empty first).
bool extractFolder(const DiskPartition& part, const std::string& disk, const std::string& dir,
                   std::string* error);

// Bytes of one partition.
bool readPartition(const DiskPartition& part, const std::string& disk, long long offset,
                   size_t length, std::string* out, std::string* error);

bool copyFile(const std::string& from, const std::string& to, std::string* error);

}  // namespace board
