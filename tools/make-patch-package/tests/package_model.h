// Reads a built package back with the set's ZIP reader and replays it the way
// the set does: stage the installed image in 10 MiB parts, then carry out
// every list line against a partition that starts out holding that image.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace mpp_test {

struct PackageEntry {
    std::string bytes;
    bool stored = false;
    // Bytes the entry takes in the file, and where its data starts.
    long long storedSize = 0;
    long long offset = 0;
};

// Every entry of the package by name; false when it cannot be read.
bool readPackage(const std::string& path, std::map<std::string, PackageEntry>* entries,
                 std::string* error);

struct ParsedLine {
    std::string mode;
    std::string name;
    std::string checkSum;
    long long fileSize = 0;
    long long offset = 0;
};

// Splits list text at '\n' and ';'; every line must hold exactly five fields
// and end with a line break.
bool parseList(const std::string& text, std::vector<ParsedLine>* lines, std::string* error);

// Carries out `lines` on `partition` (which holds the installed image, padded
// to the partition size). Patches are applied by the set's applier in a child
// process. Returns false with a reason on the first item the set would refuse.
bool replayList(const std::vector<ParsedLine>& lines,
                const std::map<std::string, PackageEntry>& entries, std::string* partition,
                std::string* error);

std::string md5Of(const std::string& bytes);

// The set's applier run in a child: true and `result` filled when it rebuilt
// a file from `oldBytes` and `patch`.
bool applyPatch(const std::string& oldBytes, const std::string& patch, std::string* result);

}  // namespace mpp_test
