#include "sandbox_set.h"

#include <cstring>

extern char** environ;

namespace sandbox {

namespace {

bool carriedOver(const char* entry) {
    static const char* const prefixes[] = {"ASAN_",
                                           "UBSAN_",
                                           "LSAN_",
                                           "TSAN_",
                                           "MSAN_",
                                           "GTEST_",
                                           "LC_",
                                           "LANG=",
                                           "TERM=",
                                           "CI=",
                                           "LLVM_SYMBOLIZER_PATH="};
    for (const char* prefix : prefixes) {
        if (strncmp(entry, prefix, strlen(prefix)) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> sandboxEnvironment(const std::string& setDir) {
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        // The root is read-only; /tmp is the only writable home there is.
        "HOME=/tmp",
        std::string("DFBARGS=") + kDirectFbArgs,
        "UPGRADE_SANDBOX=1",
        "UPGRADE_SANDBOX_SET=" + setDir,
    };
    for (char** e = environ; *e != nullptr; ++e) {
        if (carriedOver(*e)) env.emplace_back(*e);
    }
    return env;
}

}  // namespace sandbox
