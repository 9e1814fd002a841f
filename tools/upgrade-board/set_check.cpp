#include "set_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "child.h"
#include "ground.h"
#include "set_layout.h"

namespace board {

namespace {

// The success flags: bytes 4, 5, 7 and 8 of the boot-flag partition.
constexpr size_t kSuccessOffsets[] = {kFlagOffset4, kFlagOffset5, kFlagOffset7, kFlagOffset8};
constexpr unsigned char kSuccessValues[] = {0x55, 0xAA, 0x55, 0xAA};
// The flag bytes read from the partition's start: up to the last success flag.
constexpr size_t kFlagBytes = kFlagOffset8 + 1;

// The partitions an upgrade writes, each with its image name (optfs ...) and
// its device name (mmcblk0p28 ...), the GPT name of its partition.
struct NamedImage {
    const char* name;
    const char* device;
};
std::vector<NamedImage> namedImages() {
    std::vector<NamedImage> images;
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions)
        images.push_back({p.name, sandbox::deviceName(p.device)});
    return images;
}

std::string listDir(const std::string& dir) {
    std::string out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return "(cannot read)";
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        out += (out.empty() ? "" : " ") + std::string(e->d_name);
    }
    closedir(d);
    return out;
}

}  // namespace

bool upgradePending(const DiskLayout& layout, const std::string& disk, std::string* error) {
    const DiskPartition* flags = findPartition(layout, flagPartitionName());
    std::string bytes;
    if (flags == nullptr || !readPartition(*flags, disk, 0, kFlagBytes, &bytes, error)) return true;
    return boot_stage::upgradePending(bytes);
}

bool loadNewImages(const std::string& dir, ExpectedImages* out, std::string* error) {
    for (const NamedImage& image : namedImages()) {
        std::string path = dir + "/" + image.name + ".img";
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            *error = "cannot read " + path;
            return false;
        }
        std::stringstream bytes;
        bytes << in.rdbuf();
        (*out)[image.device] = bytes.str();
    }
    return true;
}

bool imagesOfDisk(const DiskLayout& layout, const std::string& disk, ExpectedImages* out,
                  std::string* error) {
    for (const NamedImage& image : namedImages()) {
        const DiskPartition* part = findPartition(layout, image.device);
        std::string bytes;
        if (part == nullptr ||
            !readPartition(*part, disk, 0, static_cast<size_t>(part->bytes), &bytes, error)) {
            if (error->empty()) *error = std::string("no partition ") + image.device;
            return false;
        }
        (*out)[image.device] = bytes;
    }
    return true;
}

bool successFlagsSet(const DiskLayout& layout, const std::string& disk) {
    const DiskPartition* flags = findPartition(layout, flagPartitionName());
    std::string bytes, error;
    if (flags == nullptr || !readPartition(*flags, disk, 0, kFlagBytes, &bytes, &error))
        return false;
    for (int i = 0; i < 4; ++i) {
        if (static_cast<unsigned char>(bytes[kSuccessOffsets[i]]) != kSuccessValues[i])
            return false;
    }
    return true;
}

std::string imageProblems(const DiskLayout& layout, const std::string& disk,
                          const ExpectedImages& expected) {
    std::string problems, error;
    auto add = [&problems](const std::string& p) {
        problems += (problems.empty() ? "" : "; ") + p;
    };
    for (const NamedImage& image : namedImages()) {
        auto want = expected.find(image.device);
        const DiskPartition* part = findPartition(layout, image.device);
        if (want == expected.end() || part == nullptr) continue;
        std::string have;
        if (static_cast<long long>(want->second.size()) > part->bytes ||
            !readPartition(*part, disk, 0, want->second.size(), &have, &error)) {
            add(std::string(image.name) + " cannot be read");
        } else if (have != want->second) {
            add(std::string(image.name) + " lacks its new image");
        }
    }
    return problems;
}

bool lastResult(const DiskLayout& layout, const std::string& disk, const std::string& scratchDir,
                std::string* result) {
    const DiskPartition* varLocal = findPartition(layout, "var-local");
    std::string dir = scratchDir + "/var-local-result", error;
    if (varLocal == nullptr || !extractFolder(*varLocal, disk, dir, &error)) {
        runTool({"rm", "-rf", "--", dir}, &error);
        return false;
    }
    std::ifstream in(dir + "/upgrade/last_result");
    std::string line, ending, message, partition;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "result") ending = value;
        if (key == "message") message = value;
        if (key == "failed_partition") partition = value;
    }
    *result = ending.empty() ? "no record" : ending;
    if (!message.empty()) *result += ": " + message;
    if (!partition.empty()) *result += " (" + partition + ")";
    runTool({"rm", "-rf", "--", dir}, &error);
    return true;
}

std::string upgradeProblems(const DiskLayout& layout, const std::string& disk,
                            const ExpectedImages& expected, bool ranToEnd,
                            const std::string& scratchDir, std::string* notes) {
    std::string problems, error;
    auto add = [&problems](const std::string& p) {
        problems += (problems.empty() ? "" : "; ") + p;
    };
    const std::string images = imageProblems(layout, disk, expected);
    if (!images.empty()) add(images);
    const DiskPartition* flags = findPartition(layout, flagPartitionName());
    std::string bytes;
    if (flags == nullptr || !readPartition(*flags, disk, 0, kFlagBytes, &bytes, &error)) {
        add("boot flags cannot be read");
    } else {
        char shown[64];
        snprintf(shown, sizeof shown, "%02x %02x %02x %02x",
                 static_cast<unsigned char>(bytes[kSuccessOffsets[0]]),
                 static_cast<unsigned char>(bytes[kSuccessOffsets[1]]),
                 static_cast<unsigned char>(bytes[kSuccessOffsets[2]]),
                 static_cast<unsigned char>(bytes[kSuccessOffsets[3]]));
        for (int i = 0; i < 4; ++i) {
            if (static_cast<unsigned char>(bytes[kSuccessOffsets[i]]) != kSuccessValues[i]) {
                add(std::string("success flags not set (bytes 4 5 7 8: ") + shown + ")");
                break;
            }
        }
    }
    const DiskPartition* oad = findPartition(layout, "OAD");
    std::string oadDir = scratchDir + "/OAD";
    if (oad == nullptr || !extractFolder(*oad, disk, oadDir, &error)) {
        add("/OAD cannot be read: " + error);
    } else {
        // The program sets the success flags before it removes the package:
        // a set cut between the two is committed, and the boot stage never
        // starts it again, so what its clean-up had not removed stays.
        std::string left = listDir(oadDir);
        if (!left.empty() && ranToEnd) {
            add("/OAD not clean after the program's end: " + left);
        } else if (!left.empty()) {
            *notes += "flags set before the cut, clean-up not done; left in /OAD: " + left;
        }
        runTool({"rm", "-rf", "--", oadDir}, &error);
    }
    if (ranToEnd) {
        const DiskPartition* varLocal = findPartition(layout, "var-local");
        std::string varDir = scratchDir + "/var-local";
        struct stat st {};
        if (varLocal == nullptr || !extractFolder(*varLocal, disk, varDir, &error)) {
            add("/var/local cannot be read: " + error);
        } else if (stat((varDir + "/suspend_force_off").c_str(), &st) == 0) {
            add("/var/local/suspend_force_off still there");
        }
        runTool({"rm", "-rf", "--", varDir}, &error);
    }
    return problems;
}

}  // namespace board
