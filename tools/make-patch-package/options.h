// The builder's command line.
#pragma once

#include <string>
#include <vector>

namespace mpp {

// What makes the patch of a changed part.
enum class DiffTool { kBuiltin, kDebianBsdiff };

struct BuilderOptions_T {
    std::string oldDir;
    std::string newDir;
    std::string output;
    // Partitions packed as a whole image even when OLD holds them.
    std::vector<std::string> whole;
    int jobs = 0;
    DiffTool diff = DiffTool::kBuiltin;
    bool help = false;
    // Ed25519 private key (PEM) the package is signed with; empty: unsigned.
    std::string signKey;
    // The release the package installs, stated in its manifest.
    long long release = 0;
};

// Empty string when the arguments make a complete set of options.
std::string parseOptions(int argc, char** argv, BuilderOptions_T* options);

const char* usageText();

// Peak memory of one job patching a full part with the built-in maker.
long long jobMemoryBytes();

// True when `name` is one of the partitions a package can carry.
bool isPartitionName(const std::string& name);

}  // namespace mpp
