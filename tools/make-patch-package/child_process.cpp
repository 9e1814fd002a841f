#include "child_process.h"

#include <unistd.h>

#include <climits>

#include "run_child.h"

namespace mpp {

int runChild(const std::vector<std::string>& argv) {
    host::ChildOptions options;
    options.inheritOutput = true;
    return host::runChild(argv, options).status;
}

std::string selfExecutable() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return std::string();
    }
    path[length] = '\0';
    return path;
}

}  // namespace mpp
