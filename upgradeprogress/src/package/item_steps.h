// The steps the six item actions share: extract, verify, write, clean up.
// Internal to the package subsystem. Each step logs its own failure with the
// action's message, so an action reads as the order of its steps.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>

#include "package.h"

namespace item_steps {

// A text field of the record, never read past its array even when the caller
// filled it without a terminating zero.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// An item's file: a work directory followed directly by the item's name.
std::string itemPath(const char* dir, const CongfigItemValue_T& item);

// False (with a log line) when the item's name could lead out of the work
// directories: empty, ".", "..", or holding a '/'.
bool itemNameIsSafe(const CongfigItemValue_T& item);

void removeIfPresent(const std::string& path);

// A result left by a run cut short: true when `result` exists and has the
// item's checksum (it is then used as it is); a wrong one is removed.
bool reuseVerifiedResult(const std::string& result, const CongfigItemValue_T& item);

// Extracts the item's package entry into `dir`. 0 on success.
int extractEntry(const CongfigItemValue_T& item, const char* dir);

// 0 when `file` has the item's checksum; otherwise logs the mismatch,
// removes every file of `discard` and returns 1.
int verifyOrDiscard(const std::string& file, const CongfigItemValue_T& item,
                    std::initializer_list<const std::string*> discard);

// Writes `file` at the item's offset into the partition that `partition`
// names. On failure `file` is removed; on success the writer has removed it
// and `leftover` (when given) is removed too. 0 on success.
int writeToPartition(const std::string& file, const std::string& partition,
                     const CongfigItemValue_T& item, const std::string* leftover);

// The device of the partition the item's name contains. False (with a log
// line) when it names none.
bool lookUpDevice(const CongfigItemValue_T& item, std::string& device);

}  // namespace item_steps
