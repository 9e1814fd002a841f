// The private root file system the sandboxed program sees: the host's /usr and
// /etc read-only with the set's own files laid over them, a /dev holding the
// set's partitions, and fresh /proc, /tmp and /run.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sandbox {

struct DeviceNode {
    std::string path;  // inside the sandbox, e.g. "/dev/mmcblk0p4"
    dev_t device = 0;  // the loop device standing in for it
};

struct RootPlan {
    std::string setDir;  // absolute, canonical
    std::string rootfs;  // absolute, canonical, or empty
    std::vector<DeviceNode> devices;
    std::vector<std::string> hostPaths;  // bound read-write at their own path
    // Non-empty: /run and /dev are this host directory's run/ and dev/
    // instead of fresh memory, so what the command leaves there outlives it.
    std::string keepWritable;
    long tmpSizeKib = -1;  // > 0: /tmp holds at most this much
};

// Runs inside fresh mount and PID namespaces; builds the root and pivots into
// it. Returns false after printing the reason.
bool setupRoot(const RootPlan& plan);

}  // namespace sandbox
