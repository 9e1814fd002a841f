// Crash states of one recorded upgrade: the disk as a power cut could leave
// it, chosen from the write log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "write_log.h"

namespace board {

struct CrashState {
    std::vector<size_t> entries;  // log entries that reached the medium, in log order
    size_t lastEntry = 0;         // the cut came after this entry
    size_t flushesBefore = 0;     // flushes the device had completed
    size_t dropped = 0;           // writes since the last flush that never reached the medium
    size_t since = 0;             // writes since the last flush up to the cut
    std::string describe(size_t totalEntries, size_t totalFlushes) const;
};

// `count` states over the whole log: the disk right after flushes (every one
// of them when there is room), and the rest cut between two flushes with a
// seeded random part of the writes since the last flush lost, as a device's
// volatile cache loses them. A write with FUA is never lost.
std::vector<CrashState> chooseCrashStates(const WriteLog& log, size_t count, uint64_t seed);

}  // namespace board
