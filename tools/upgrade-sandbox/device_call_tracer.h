// Counts the calls that reach the set's partitions, across every process and
// thread of the sandbox, and stops the world right after the K-th of them: a
// power cut that lands on the same write every time.
#pragma once

#include <sys/types.h>

#include <map>
#include <utility>
#include <set>
#include <vector>

namespace sandbox {

// In the command's own process, between fork and exec: hands it to its
// parent for tracing and asks the kernel to stop it only at the calls that
// can write a device (write, pwrite64, writev, pwritev, pwritev2, fsync,
// fdatasync). Returns false, with errno set, when tracing cannot start.
bool becomeTracedForDeviceCalls();

class DeviceCallTracer {
public:
    // `partitions` are the block devices standing in for the set's
    // partitions; `cutAt` > 0 cuts after that many device calls.
    DeviceCallTracer(std::vector<dev_t> partitions, long cutAt)
        : partitions_(std::move(partitions)), cutAt_(cutAt) {}

    enum class Step {
        Resumed,  // the stopped thread runs on (or is held past the cut)
        Counted,  // a device call has just completed; see completed()
        CutNow,   // the cut call has completed: end everything before anything else runs
        NotATraceStop,
    };
    // Handles one wait status of a traced thread.
    Step onStop(pid_t tid, int status);
    long completed() const { return completed_; }

private:
    bool reachesPartition(pid_t tid, unsigned long long fd) const;

    std::vector<dev_t> partitions_;
    long cutAt_;
    long entered_ = 0;
    long completed_ = 0;
    bool optionsSet_ = false;
    std::set<pid_t> known_;
    std::map<pid_t, long> inFlight_;  // thread -> number of the device call it is in
};

}  // namespace sandbox
