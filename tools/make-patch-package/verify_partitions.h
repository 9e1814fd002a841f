// A simulated set's partitions as installed before a run, kept so that what
// the run changed is read from the bytes themselves.
#pragma once

#include <string>
#include <vector>

namespace mpp {

// The image file the sandbox runner binds to `device` in the set at `setDir`:
// "/dev/mmcblk0p28" -> SETDIR/emmc/mmcblk0p28.img.
std::string setPartitionImage(const std::string& setDir, const char* device);

// `from`'s bytes over the start of `to` (an installed image into its
// partition), the rest of `to` kept; false on any error.
bool copyOver(const std::string& from, const std::string& to);
// `to` made a copy of `from` (the package into the set's /OAD).
bool copyWhole(const std::string& from, const std::string& to);

// Copies every partition image of the set into `keepDir` (made if missing),
// holes kept as holes. Empty on success, otherwise why not.
std::string keepInstalledPartitions(const std::string& setDir, const std::string& keepDir);

// Compares every partition of the set byte for byte with the copy kept in
// `keepDir`, and fills `changed` with the names of those that differ, in the
// order the lists run. Empty on success, otherwise why they could not be
// compared.
std::string changedPartitions(const std::string& setDir, const std::string& keepDir,
                              std::vector<std::string>* changed);

}  // namespace mpp
