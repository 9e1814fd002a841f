// The patch package format, named once: the program reads it and the package
// builder writes it.
#pragma once

#include <cstddef>

namespace ota_format {

// Every entry of the package lives under this directory inside the ZIP.
constexpr const char kEntryDir[] = "patch_package/";

// Partitions that carry a list, in the order the lists run.
constexpr int kPartitionCount = 4;
constexpr const char* kRunOrder[kPartitionCount] = {"optfs", "usrfs", "tvservice", "serialsdata"};
// The order in which the lists are extracted (tvservice before usrfs).
constexpr const char* kExtractOrder[kPartitionCount] = {"optfs", "tvservice", "usrfs", "serialsdata"};
// List entry name: kEntryDir + kListPrefix + partition + kListSuffix.
constexpr const char kListPrefix[] = "split_";
constexpr const char kListSuffix[] = "_udpate_list.ini";

// Images are staged and patched in parts of this size, named
// prefix + kSplitSuffix + two letters "aa" .. "zz".
constexpr unsigned long kPartSize = 10485760;
constexpr const char kSplitSuffix[] = "_split_part";
constexpr unsigned kSuffixLength = 2;
constexpr int kMaxParts = 26 * 26;

// One list line: at most five ';'-separated fields, read 127 characters at a time.
constexpr char kFieldSeparator = ';';
constexpr int kLineUnit = 128;
constexpr int kMaxFields = 5;
constexpr int kTokenSlot = 50;
constexpr int kModeMax = 7;
constexpr int kNameMax = 29;
constexpr int kChecksumMax = 37;

// Action words, in the order the dispatcher tests them.
constexpr const char kCreate[] = "create";
constexpr const char kUpdate[] = "update";
constexpr const char kDelete[] = "delete";
constexpr const char kTotal[] = "total";
constexpr const char kEntotal[] = "entotal";
constexpr const char kChkSync[] = "chksync";

}  // namespace ota_format
