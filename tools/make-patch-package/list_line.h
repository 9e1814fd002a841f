// One line of an update list as the builder writes it, and the names the
// lines and the package entries carry.
#pragma once

#include <string>

namespace mpp {

struct ListLine_T {
    std::string upgradMode;
    std::string fileName;
    std::string checkSum;
    long long fileSize = 0;
    long long offset = 0;
};

// "mode;name;md5;fileSize;offset\n": the last field is numeric so that the
// line terminator the reader keeps in it does no harm.
std::string formatListLine(const ListLine_T& line);

// Empty when the set's list reader takes the line as it stands; otherwise the
// reason it would not (a field too long for its slot, a line longer than one
// read, a separator inside a field, a number outside the set's 32-bit fields).
std::string checkListLine(const ListLine_T& line);

// Name of part `index` of a partition's staged image: "usrfs_split_partab"
// for index 1. Empty when the index has no two-letter suffix.
std::string partName(const std::string& partition, int index);

// "patch_package/split_usrfs_udpate_list.ini"
std::string listEntryName(const std::string& partition);

// "patch_package/" + item name
std::string itemEntryName(const std::string& fileName);

}  // namespace mpp
