// Shared helpers of the package tests: images and their parts, checksums,
// real BSDIFF40 patches from the system's bsdiff, update-list lines, the
// package at its fixed path, partition devices, and the program's log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "package.h"
#include "testing/zip_fixture.h"

namespace package_test {

constexpr size_t kMiB = 1048576;
constexpr size_t kPart = ota_format::kPartSize;

// A partition image of `size` bytes, different for every seed.
std::string makeImage(size_t size, unsigned seed);

// A new image made from `base` the way a firmware build changes one: resized
// to `size` (grown bytes repeat the base), with a few scattered edits.
// Patches between the two stay small and quick to make.
std::string changedImage(const std::string& base, size_t size, unsigned seed);

// Part k of an image as staged: bytes k * 10 MiB up to the next 10 MiB.
std::vector<std::string> splitParts(const std::string& image);
std::string partOf(const std::string& image, size_t index);

std::string md5Hex(const std::string& bytes);

// BSDIFF40 patches made by the system's bsdiff, two children at a time.
struct PatchJob {
    std::string oldBytes;
    std::string newBytes;
    std::string patch;  // filled in
};
void makePatches(std::vector<PatchJob*> jobs);
std::string makePatch(const std::string& oldBytes, const std::string& newBytes);

// One update-list line, terminated.
std::string listLine(const std::string& mode, const std::string& name, const std::string& checkSum,
                     long fileSize, long offset);

// Package entries: a partition's list, and an item's payload.
ota_test::ZipFixtureEntry listEntry(const std::string& partition, const std::string& lines);
ota_test::ZipFixtureEntry itemEntry(const std::string& name, const std::string& bytes);
// Writes the package to its fixed path.
void writePackage(const std::vector<ota_test::ZipFixtureEntry>& entries);
// Opens the package at its fixed path into m_archiveHandle.
void openPackage();

// Files and the set's partition devices.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);  // sorted names
std::string deviceOf(const std::string& partition);        // "usrfs" -> /dev/mmcblk0p26
std::string readDevice(const std::string& device, size_t offset, size_t length);
void writeDevice(const std::string& device, size_t offset, const std::string& bytes);

// A fresh start for one test: no package, empty work directories, the
// shared state of the run as the worker leaves it before a run.
void resetRun();

// Captures everything the program prints on stdout until stop().
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string stop();

private:
    int m_saved = -1;
    std::string m_path;
};

int countOf(const std::string& text, const std::string& needle);
// The log lines holding `needle`, in order.
std::vector<std::string> linesWith(const std::string& log, const std::string& needle);
// The progress values the run reported with error 0, in order.
std::vector<int> progressValues(const std::string& log);

// An item record as the list reader fills it.
CongfigItemValue_T item(const std::string& mode, const std::string& name,
                        const std::string& checkSum, int fileSize, int offset);

}  // namespace package_test
