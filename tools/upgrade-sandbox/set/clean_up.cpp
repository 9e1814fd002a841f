#include "sandbox_set.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sandbox {

std::string oadLeftovers(const std::string& root) {
    DIR* d = opendir(oadPath(root).c_str());
    if (d == nullptr) return "(cannot read)";
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    // Sorted, so that two runs that left the same things say the same.
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : " ") + name;
    return out;
}

std::string cleanUpProblems(const std::string& root) {
    std::string problems;
    const std::string left = oadLeftovers(root);
    if (!left.empty()) problems = "/OAD not clean: " + left;
    struct stat st {};
    if (lstat((varLocalPath(root) + "/suspend_force_off").c_str(), &st) == 0)
        problems += (problems.empty() ? "" : "; ") +
                    std::string("/var/local/suspend_force_off still there");
    return problems;
}

}  // namespace sandbox
