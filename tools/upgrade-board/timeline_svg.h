// A campaign's picture: the recorded logs' writes over time, one lane per
// region of the disk, the flushes as vertical lines, and every crash state
// marked where its cut fell, coloured by how it ended. Plain SVG text, the
// same bytes for the same logs and endings, so that the shards of a campaign
// merged give the picture one run over all the states gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"
#include "state_ending.h"
#include "write_log.h"

namespace board {

// A partition of the disk, as its GPT names it.
struct TimelineRegion {
    std::string name;  // mmcblk0p4 ..., OAD, var-local
    uint64_t offset = 0;
    uint64_t bytes = 0;
};

// One log entry as the picture draws it.
struct TimelineEntry {
    bool write = false;  // carries data onto the disk
    bool flush = false;
    uint64_t offset = 0;  // bytes from the disk's start
    uint64_t bytes = 0;
};

struct TimelineLog {
    std::vector<TimelineEntry> entries;
};

struct Timeline {
    std::string caption;
    std::vector<TimelineRegion> regions;  // in disk order
    TimelineLog upgrade;                  // the recorded upgrade
    bool hasFailureRun = false;
    TimelineLog failureRun;  // the run that took the failure ending
};

TimelineLog timelineLogOf(const WriteLog& log);

// The partitions a disk image's GPT holds, in disk order.
bool readGptRegions(const std::string& disk, std::vector<TimelineRegion>* out, std::string* error);

// The regions and logs of a campaign's work directory: base.img's GPT,
// write.log, and failure/write.log when `withFailure`.
bool loadTimeline(const std::string& logDir, bool withFailure, Timeline* out, std::string* error);

// The caption a campaign and the merge of its shards both put on top.
std::string timelineCaption(uint64_t seed, size_t states, const std::string& faults);

// What a state's marker is filled with.
const char* endingColour(StateEnding ending);

// The picture of `records` (in any order) over the timeline's logs.
std::string timelineSvg(const Timeline& timeline, const std::vector<StateRecord>& records);

// Written whole under another name first, then renamed.
bool writeTimeline(const std::string& path, const std::string& svg, std::string* error);

}  // namespace board
