#include "set_check.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "child.h"
#include "ground.h"
#include "sandbox_set.h"

namespace board {

namespace {

// The flag bytes read from the partition's start: up to the last success flag.
constexpr size_t kFlagBytes = kFlagOffset8 + 1;

// The disk's partitions as the shared checks read a set's.
sandbox::PartitionReader diskReader(const DiskLayout& layout, const std::string& disk) {
    return [&layout, disk](const char* device, size_t bytes, std::string* out) {
        const DiskPartition* part = findPartition(layout, device);
        std::string error;
        return part != nullptr && static_cast<long long>(bytes) <= part->bytes &&
               readPartition(*part, disk, 0, bytes, out, &error);
    };
}

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
    std::string bytes;
    return diskReader(layout, disk)(flagPartitionName(), sandbox::successFlagBytes(), &bytes) &&
           sandbox::successFlagsSet(bytes);
}

std::string imageProblems(const DiskLayout& layout, const std::string& disk,
                          const ExpectedImages& expected) {
    return sandbox::imageProblems(diskReader(layout, disk), expected);
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
    const std::string upgraded = sandbox::upgradedProblems(diskReader(layout, disk), expected);
    if (!upgraded.empty()) add(upgraded);
    // The disk's /OAD and /var/local are read out side by side, as a set
    // directory holds them, for the runner's one clean-up check.
    const std::string root = scratchDir + "/folders";
    mkdir(root.c_str(), 0755);
    const DiskPartition* oad = findPartition(layout, "OAD");
    if (oad == nullptr || !extractFolder(*oad, disk, sandbox::oadPath(root), &error)) {
        add("/OAD cannot be read: " + error);
    } else if (!ranToEnd) {
        // The program sets the success flags before it removes the package:
        // a set cut between the two is committed, and the boot stage never
        // starts it again, so what its clean-up had not removed stays.
        std::string left = sandbox::oadLeftovers(root);
        if (!left.empty())
            *notes += "flags set before the cut, clean-up not done; left in /OAD: " + left;
    } else {
        const DiskPartition* varLocal = findPartition(layout, "var-local");
        if (varLocal == nullptr ||
            !extractFolder(*varLocal, disk, sandbox::varLocalPath(root), &error)) {
            add("/var/local cannot be read: " + error);
        } else {
            const std::string unclean = sandbox::cleanUpProblems(root);
            if (!unclean.empty()) add(unclean);
        }
    }
    runTool({"rm", "-rf", "--", root}, &error);
    return problems;
}

}  // namespace board
