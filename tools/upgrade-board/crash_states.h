// Crash states of one recorded upgrade: the disk as a power cut could leave
// it, chosen from the write log.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

#include "write_log.h"

namespace board {

// How the device lost data at the cut.
enum class Fault {
    Flush,      // the medium holds the log up to a flush
    Cached,     // and some of the writes since that flush
    Torn,       // as Cached, and one write since the flush landed in part
    Flipped,    // as Cached, and bits flipped in sectors written since the flush
    Neighbour,  // as Flush, and a flushed sector near the last write damaged
    Reordered,  // a write acknowledged before the last flush lost, later ones kept
    Twice,      // a crash state whose resuming restart is cut as well
    Failure,    // a crash state of a run that takes the failure ending
};
const char* faultName(Fault fault);
// "flush,torn", or "all" for every class.
bool parseFaults(const std::string& list, std::vector<Fault>* out, std::string* error);

// What a torn write's sectors that did not land read as.
enum class TornRest { Old, Zeros, Erased };

// One write that landed in part: only `kept` of its 512-byte sectors (counted
// from the write's first) hold its data.
struct TornWrite {
    size_t entry = 0;
    std::vector<uint64_t> kept;
    TornRest rest = TornRest::Old;
    std::string shape;  // prefix, suffix or subset
};

// Damage to one 512-byte sector of the disk, applied after the replay.
struct SectorDamage {
    enum Kind { Garbage, Erased, Flip };
    uint64_t sector = 0;  // in 512-byte units from the disk's start
    Kind kind = Garbage;
    std::vector<uint32_t> bits;  // Flip: bit numbers within the sector
    uint64_t seed = 0;           // Garbage: what it reads as
};

struct CrashState {
    Fault fault = Fault::Cached;
    uint64_t seed = 0;            // the state's own seed
    std::vector<size_t> entries;  // log entries that reached the medium, in log order
    size_t lastEntry = 0;         // the cut came after this entry
    size_t flushesBefore = 0;     // flushes the device had completed
    size_t dropped = 0;           // writes since the last flush that never reached the medium
    size_t since = 0;             // writes since the last flush up to the cut
    bool torn = false;
    TornWrite tornWrite;
    std::vector<SectorDamage> damage;
    size_t lostEarly = SIZE_MAX;  // Reordered: the acknowledged write that was lost
    std::string describe(size_t totalEntries, size_t totalFlushes) const;
};

// `count` states over the whole log: the disk right after flushes (every one
// of them when there is room), and the rest cut between two flushes with a
// seeded random part of the writes since the last flush lost, as a device's
// volatile cache loses them. A write with FUA is never lost.
std::vector<CrashState> chooseCrashStates(const WriteLog& log, size_t count, uint64_t seed);

// How many of `count` states each of `classes` classes gets: evenly, the
// first classes one more when it does not divide.
std::vector<size_t> spreadStates(size_t count, size_t classes);

// `count` states of one class (not Twice or Failure, which need the set), each
// with a seed of its own drawn from `seed`, spread over the log.
std::vector<CrashState> chooseFaultStates(const WriteLog& log, Fault fault, size_t count,
                                          uint64_t seed);

// What a state's damage is, for its line: "torn entry 40 (prefix 3 of 8 sectors, rest zeros)".
std::string describeDamage(const CrashState& state);

// Replays the state onto the disk: its entries in log order, the torn write
// only in part, then the damaged sectors.
bool replayCrashState(const WriteLog& log, const CrashState& state, const std::string& disk,
                      std::string* error);

}  // namespace board
