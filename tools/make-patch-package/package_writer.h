// Packing the planned partitions into the ZIP the set opens.
#pragma once

#include <string>
#include <vector>

#include "package_signing.h"
#include "partition_plan.h"

namespace mpp {

// Every entry carries this time, so that the same inputs give the same bytes.
// 2020-01-01 00:00:00 UTC; the writer turns it into a DOS date in local
// time, so the builder runs with TZ set to UTC.
constexpr long kEntryTime = 1577836800;

// Text of a partition's update list.
std::string listText(const PartitionPlan_T& plan);

// Writes the package to `outputPath` (through a temporary file beside it,
// renamed into place only when complete, and signed and verified before that
// when `signer` is given): every list in run order, then the manifest (text
// given), then the content the lists name. Whole parts and images are
// re-hashed as they are packed and must still match the plan. Returns an
// empty string on success, else the reason; no package is left on failure.
std::string writePackage(const std::vector<PartitionPlan_T>& plans, const std::string& manifest,
                         const std::string& outputPath, const SigningKey_T* signer = nullptr);

// Reads a written package back with the set's ZIP reader: exactly the
// planned entries, each with the planned content. Empty string when it holds.
std::string verifyPackage(const std::vector<PartitionPlan_T>& plans, const std::string& manifest,
                          const std::string& path);

}  // namespace mpp
