#include "options.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "bsdiff_gen.h"
#include "manifest.h"
#include "package.h"

namespace mpp {

bool isPartitionName(const std::string& name) {
    for (const char* partition : ota_format::kRunOrder) {
        if (name == partition) {
            return true;
        }
    }
    return false;
}

long long jobMemoryBytes() {
    const size_t part = ota_format::kPartSize;
    return static_cast<long long>(2 * part + bsdiff_gen::workingMemory(part, part));
}

const char* usageText() {
    static const std::string text =
        "usage: make-patch-package --old OLD --new NEW -o patch_package.zip"
        " [--release N] [--whole PART] [--diff builtin|bsdiff] [-j N] [--sign KEY.pem]\n"
        "       make-patch-package check-signature PKG --key PUB.pem\n"
        "       make-patch-package inspect PKG\n"
        "       make-patch-package verify PKG --old DIR [--old DIR ...] [--new DIR]"
        " [--key PUB.pem] [--cuts every|N] [--lang CODE] [-j N]   (verify --help)\n"
        "       make-patch-package verify-merge REPORT...   (verify --help)\n"
        "  OLD, NEW  directories of partition images optfs.img, usrfs.img,"
        " tvservice.img, serialsdata.img\n"
        "  --release the release the package installs, stated in its manifest: a whole\n"
        "            number from 0 to " +
        std::to_string(kMaxRelease) +
        " (default 0)\n"
        "  --whole   carry PART as one whole image (repeatable)\n"
        "  --diff    patch maker: builtin (default) or Debian's bsdiff command\n"
        "  -j N      make up to N patches at once (default: number of cores)\n"
        "  --sign    sign the package with this Ed25519 private key\n"
        "  inspect   print a package's manifest, lists, entries and signing key id\n"
        "memory: each job holds about " +
        std::to_string((jobMemoryBytes() + (1 << 20) - 1) >> 20) +
        " MiB with the builtin maker (two parts and the old part's suffix\n"
        "  order); -j N needs N times that. Debian's bsdiff takes more per job.\n";
    return text.c_str();
}

std::string parseOptions(int argc, char** argv, BuilderOptions_T* options) {
    *options = BuilderOptions_T();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string attached;
        if (arg.size() > 2 && arg.compare(0, 2, "-j") == 0) {
            attached = arg.substr(2);  // "-j4" as well as "-j 4"
            arg = "-j";
        }
        if (arg == "-h" || arg == "--help") {
            options->help = true;
            return std::string();
        }
        const bool takesValue = arg == "--old" || arg == "--new" || arg == "-o" ||
                                arg == "--whole" || arg == "--diff" || arg == "-j" ||
                                arg == "--sign" || arg == "--release";
        if (!takesValue) {
            return "unknown argument " + arg;
        }
        if (attached.empty() && i + 1 >= argc) {
            return arg + " needs a value";
        }
        const std::string value = attached.empty() ? std::string(argv[++i]) : attached;
        if (arg == "--old") {
            options->oldDir = value;
        } else if (arg == "--new") {
            options->newDir = value;
        } else if (arg == "-o") {
            options->output = value;
        } else if (arg == "--sign") {
            options->signKey = value;
        } else if (arg == "--release") {
            // Digits only: strtoll alone would take a sign, blanks and "0x".
            const bool digits = !value.empty() && value.size() <= 10 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            const long long release = digits ? std::stoll(value) : -1;
            if (release < 0 || release > kMaxRelease) {
                return "--release " + value + ": give a whole number from 0 to " +
                       std::to_string(kMaxRelease);
            }
            options->release = release;
        } else if (arg == "--whole") {
            if (!isPartitionName(value)) {
                return "--whole " + value + ": not one of optfs, usrfs, tvservice, serialsdata";
            }
            options->whole.push_back(value);
        } else if (arg == "--diff") {
            if (value == "builtin") {
                options->diff = DiffTool::kBuiltin;
            } else if (value == "bsdiff") {
                options->diff = DiffTool::kDebianBsdiff;
            } else {
                return "--diff " + value + ": give builtin or bsdiff";
            }
        } else {
            char* end = nullptr;
            const long jobs = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || jobs < 1 || jobs > 256) {
                return "-j " + value + ": give a number from 1 to 256";
            }
            options->jobs = static_cast<int>(jobs);
        }
    }
    if (options->oldDir.empty() || options->newDir.empty() || options->output.empty()) {
        return "--old, --new and -o are required";
    }
    if (options->jobs == 0) {
        options->jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    return std::string();
}

}  // namespace mpp
