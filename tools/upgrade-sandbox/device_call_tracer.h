// Counts the calls that reach the set's partitions, across every process and
// thread of the sandbox, and stops the world right after the K-th of them: a
// power cut that lands on the same write every time. Or holds the K-th at its
// entry while another program of the set looks at the partitions.
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
    // partitions; `cutAt` > 0 cuts after that many device calls; `holdAt` > 0
    // holds that device call at its entry until release().
    DeviceCallTracer(std::vector<dev_t> partitions, long cutAt, long holdAt)
        : partitions_(std::move(partitions)), cutAt_(cutAt), holdAt_(holdAt) {}

    enum class Step {
        Resumed,  // the stopped thread runs on (or is held past the cut, or at the hold)
        Counted,  // a device call has just completed; see completed()
        CutNow,   // the cut call has completed: end everything before anything else runs
        NotATraceStop,
    };
    // Handles one wait status of a traced thread.
    Step onStop(pid_t tid, int status);
    long completed() const { return completed_; }

    // True once, when the held call waits at its entry and every call before
    // it has completed: the partitions then hold exactly the first K-1 calls.
    // Device calls entered after the held one wait at their entry as well.
    bool takeHold();
    // Lets the held calls run; later device calls are no longer held.
    void release();

private:
    bool reachesPartition(pid_t tid, unsigned long long fd) const;

    std::vector<dev_t> partitions_;
    long cutAt_;
    long holdAt_;
    bool holdTaken_ = false;
    bool released_ = false;
    std::vector<pid_t> held_;  // threads waiting at the entry of call holdAt_ or later
    long entered_ = 0;
    long completed_ = 0;
    bool optionsSet_ = false;
    std::set<pid_t> known_;
    std::map<pid_t, long> inFlight_;  // thread -> number of the device call it is in
};

}  // namespace sandbox
