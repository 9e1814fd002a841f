// The steps the six item actions share: extract, hold, verify, write, clean
// up. Internal to the package subsystem. Each step logs its own failure with
// the action's message, so an action reads as the order of its steps.
//
// A result is never written from a file: it is read once, through one
// descriptor, into a sealed image (HeldImage_T), hashed there and written
// from there. What another program does to the file afterwards cannot reach
// the partition.
#pragma once

#include <cstring>
#include <initializer_list>
#include <map>
#include <set>
#include <string>

#include "ground.h"
#include "package.h"
#include "work_dirs.h"

namespace item_steps {

// A text field of the record, never read past its array even when the caller
// filled it without a terminating zero.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// An item's file: a work directory and the item's name.
WorkFile_T itemFile(WorkDir dir, const CongfigItemValue_T& item);

// False (with a log line) when the item's name could lead out of the work
// directories: empty, ".", "..", or holding a '/'.
bool itemNameIsSafe(const CongfigItemValue_T& item);

// A result left by a run cut short: true when `result` exists and, read
// into `image`, has the item's checksum; a wrong one is removed.
bool reuseVerifiedResult(const WorkFile_T& result, const CongfigItemValue_T& item,
                         HeldImage_T* image);

// Extracts the item's package entry into the file `into` (made afresh).
// With `image`, the file is then read once, through the same descriptor,
// into a sealed image (left empty when that fails). 0 on success.
int extractEntry(const CongfigItemValue_T& item, const WorkFile_T& into,
                 HeldImage_T* image = nullptr);

// Extracts the item's package entry into a sealed image. 0 on success.
int extractEntryToImage(const CongfigItemValue_T& item, HeldImage_T* image);

// Reads the file once into a sealed image. False when it cannot be read.
bool holdWorkFile(const WorkFile_T& file, HeldImage_T* image);

// 0 when the image has the item's checksum; otherwise logs the mismatch
// with `label`, removes every file of `discard` and returns 1.
int verifyOrDiscard(const HeldImage_T& image, const std::string& label,
                    const CongfigItemValue_T& item,
                    std::initializer_list<const WorkFile_T*> discard);

// Writes the image at the item's offset into the partition that `partition`
// names. On failure `file` (when given) is removed; on success `file` and
// `leftover` (when given) are. 0 on success.
int writeToPartition(const HeldImage_T& image, const std::string& label,
                     const std::string& partition, const CongfigItemValue_T& item,
                     const WorkFile_T* file, const WorkFile_T* leftover);

// The device of the partition the item's name contains. False (with a log
// line) when it names none.
bool lookUpDevice(const CongfigItemValue_T& item, std::string& device);

// Partitions whose "total" line found them already upgraded in this run:
// the final check has nothing to add for them.
extern std::set<std::string> m_upgradedAtStart;
// The length of the image each "entotal" item wrote in this run, by the
// item's name: the final check's length for a line whose size field is 0.
extern std::map<std::string, uint64_t> m_entotalWritten;
// The pre-check's answer, by partition, to the question a "total" line asks
// while every partition before it was upgraded: does the partition already
// hold its new image? Nothing is written in between, so the line takes it
// instead of reading the partition a second time.
extern std::map<std::string, bool> m_totalVerdicts;

}  // namespace item_steps
