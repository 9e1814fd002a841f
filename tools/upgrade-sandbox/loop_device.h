// Loop block devices standing in for the set's eMMC partitions.
#pragma once

#include <sys/types.h>

#include <string>

#include "unique_fd.h"

namespace sandbox {

using host::UniqueFd;

struct AttachedLoop {
    UniqueFd fd;  // held open for the whole run; its close lets the loop clear itself
    dev_t device = 0;
    int number = -1;
    dev_t imageDevice = 0;  // identity of the backing file, to tell our
    ino_t imageInode = 0;   // binding from a later runner's on the same number
};

// Binds imageFile to a free loop device with auto-clear set, so the binding
// disappears when the last opener (this process, or the sandbox) closes it,
// whatever way the run ends. Returns false after printing the reason.
bool attachLoop(const std::string& imageFile, AttachedLoop* out);

// Closes the runner's hold and waits (bounded) until the kernel has cleared
// the binding, so a caller listing loops afterwards sees the state it had before.
void releaseLoop(AttachedLoop* loop);

}  // namespace sandbox
