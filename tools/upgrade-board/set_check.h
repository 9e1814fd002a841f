// What a board's disk says about the upgrade: is it pending for the boot
// stage, and did it end upgraded.
#pragma once

#include <map>
#include <string>

#include "board_disk.h"

namespace board {

// The boot stage starts the program again while bytes 4 and 7 of the
// boot-flag partition are not both 0x55 (boot_stage::upgradePending); flags
// that cannot be read count as pending.
bool upgradePending(const DiskLayout& layout, const std::string& disk, std::string* error);

// Device name (mmcblk0p28 ...) to the bytes the partition must start with.
using ExpectedImages = std::map<std::string, std::string>;

// Reads DIR/optfs.img, usrfs.img, tvservice.img, serialsdata.img.
bool loadNewImages(const std::string& dir, ExpectedImages* out, std::string* error);
// Every data partition of the disk as a whole, for a reference run's end state.
bool imagesOfDisk(const DiskLayout& layout, const std::string& disk, ExpectedImages* out,
                  std::string* error);

// Bytes 4, 5, 7, 8 of the boot flags are 55 AA 55 AA.
bool successFlagsSet(const DiskLayout& layout, const std::string& disk);

// The data partitions that do not hold their new image ("usrfs lacks its new
// image; ..."); empty when all do.
std::string imageProblems(const DiskLayout& layout, const std::string& disk,
                          const ExpectedImages& expected);

// The set's record of its last upgrade (/var/local/upgrade/last_result) in one
// line, "failed: <message> (<partition>)"; false when /var/local cannot be
// mounted.
bool lastResult(const DiskLayout& layout, const std::string& disk, const std::string& scratchDir,
                std::string* result);

// Empty when the disk holds a finished upgrade: every partition its new
// image and the success flags 55 AA 55 AA at bytes 4, 5, 7, 8. After a boot
// that ran the program to its end, /OAD must also be empty and the suspend
// marker gone (the runner's clean-up check, on the disk's two folders
// extracted under scratchDir). A set whose flags were already set at the cut is never started
// again, so what its clean-up had not yet removed (the package included: the
// program removes it after the flags) goes into *notes instead.
std::string upgradeProblems(const DiskLayout& layout, const std::string& disk,
                            const ExpectedImages& expected, bool ranToEnd,
                            const std::string& scratchDir, std::string* notes);

}  // namespace board
