// The BSDIFF40 container: a 32-byte header and three bzip2 blocks made from
// the control triples, the diff runs and the extra runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control_plan.h"

namespace bsdiff_gen {

// The 8-byte sign-and-magnitude little-endian integer of the format.
void appendOfftout(int64_t value, std::vector<uint8_t>* out);

// Writes the whole patch into `patch`. Each of its three streams is written
// at each bzip2 block size of `levels` (in 100 000 bytes; the largest
// first) where that splits it differently, and the smallest kept: a stream
// whose statistics change along it often does better in smaller blocks.
// Empty string on success, else why not.
std::string writePatch(const std::vector<Control_T>& controls, Bytes_T old, Bytes_T next,
                       std::vector<uint8_t>* patch, const std::vector<int>& levels = {9});

}  // namespace bsdiff_gen
