#include "sandbox_set.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "ground.h"

namespace sandbox {

namespace {

constexpr long kSuccessOffsets[] = {kFlagOffset4, kFlagOffset5, kFlagOffset7, kFlagOffset8};
constexpr unsigned char kSuccessValues[] = {0x55, 0xAA, 0x55, 0xAA};

void add(std::string* problems, const std::string& problem) {
    if (problem.empty()) return;
    *problems += (problems->empty() ? "" : "; ") + problem;
}

}  // namespace

PartitionReader setDirReader(const std::string& setDir) {
    return [setDir](const char* device, size_t bytes, std::string* out) {
        std::ifstream in(imagePath(setDir, device), std::ios::binary);
        if (!in) return false;
        out->assign(bytes, '\0');
        in.read(&(*out)[0], static_cast<std::streamsize>(bytes));
        out->resize(static_cast<size_t>(in.gcount()));
        return out->size() == bytes;
    };
}

size_t successFlagBytes() {
    return static_cast<size_t>(kFlagOffset8) + 1;
}

bool successFlagsSet(const std::string& flags) {
    if (flags.size() < successFlagBytes()) return false;
    for (size_t i = 0; i < 4; ++i) {
        if (static_cast<unsigned char>(flags[static_cast<size_t>(kSuccessOffsets[i])]) !=
            kSuccessValues[i])
            return false;
    }
    return true;
}

std::string successFlagsProblem(const PartitionReader& read) {
    std::string flags;
    if (!read(deviceName(ota_paths::kFlagDevice), successFlagBytes(), &flags) ||
        flags.size() < successFlagBytes()) {
        return "boot flags cannot be read";
    }
    if (successFlagsSet(flags)) return std::string();
    char shown[64];
    snprintf(shown, sizeof shown, "%02x %02x %02x %02x",
             static_cast<unsigned char>(flags[static_cast<size_t>(kSuccessOffsets[0])]),
             static_cast<unsigned char>(flags[static_cast<size_t>(kSuccessOffsets[1])]),
             static_cast<unsigned char>(flags[static_cast<size_t>(kSuccessOffsets[2])]),
             static_cast<unsigned char>(flags[static_cast<size_t>(kSuccessOffsets[3])]));
    return std::string("success flags not set (bytes 4 5 7 8: ") + shown + ")";
}

std::string imageProblems(const PartitionReader& read, const NewImages& images) {
    std::string problems;
    // In the program's own order of the partitions, whatever the map's.
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
        const auto want = images.find(deviceName(p.device));
        if (want == images.end()) continue;
        std::string have;
        if (!read(want->first.c_str(), want->second.size(), &have)) {
            add(&problems, std::string(p.name) + " cannot be read");
        } else if (have != want->second) {
            add(&problems, std::string(p.name) + " lacks its new image");
        }
    }
    return problems;
}

std::string upgradedProblems(const PartitionReader& read, const NewImages& images) {
    std::string problems = imageProblems(read, images);
    add(&problems, successFlagsProblem(read));
    return problems;
}

}  // namespace sandbox
