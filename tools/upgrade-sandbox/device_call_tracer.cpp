#include "device_call_tracer.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace sandbox {

namespace {

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr unsigned kAuditArch = AUDIT_ARCH_ARM;
#else
#error "no seccomp architecture for this machine"
#endif

// Every call that can move bytes into a device or make them durable takes the
// descriptor as its first argument, which the tracer then looks at.
constexpr long kDeviceCalls[] = {
    SYS_write, SYS_pwrite64, SYS_writev, SYS_pwritev, SYS_pwritev2, SYS_fsync, SYS_fdatasync,
};

bool installFilter() {
    constexpr size_t kCalls = sizeof kDeviceCalls / sizeof kDeviceCalls[0];
    sock_filter program[4 + 2 * kCalls + 1];
    size_t n = 0;
    program[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
    program[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0);
    program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    program[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    for (long call : kDeviceCalls) {
        program[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), 0, 1);
        program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE);
    }
    program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog fprog = {static_cast<unsigned short>(n), program};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0) return true;
    // Without CAP_SYS_ADMIN the kernel asks for no_new_privs first.
    if (errno != EACCES || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

}  // namespace

bool becomeTracedForDeviceCalls() {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) return false;
    // The tracer sets its options at this stop; a filter that traps before
    // them would fail the call with ENOSYS instead of stopping it.
    if (raise(SIGSTOP) != 0) return false;
    return installFilter();
}

bool DeviceCallTracer::reachesPartition(pid_t tid, unsigned long long fd) const {
    if (fd > static_cast<unsigned long long>(INT32_MAX)) return false;
    std::string link = "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd);
    struct stat st {};
    if (stat(link.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    return std::find(partitions_.begin(), partitions_.end(), st.st_rdev) != partitions_.end();
}

bool DeviceCallTracer::takeHold() {
    if (holdTaken_ || held_.empty()) return false;
    // A call before the held one may still be running in another thread:
    // the hold waits for it, so the partitions show every call before K.
    for (const auto& call : inFlight_) {
        if (call.second < holdAt_) return false;
    }
    holdTaken_ = true;
    return true;
}

void DeviceCallTracer::release() {
    released_ = true;
    for (pid_t tid : held_)
        ptrace(PTRACE_SYSCALL, tid, nullptr, nullptr);
    held_.clear();
}

DeviceCallTracer::Step DeviceCallTracer::onStop(pid_t tid, int status) {
    if (!WIFSTOPPED(status)) {
        known_.erase(tid);
        inFlight_.erase(tid);
        held_.erase(std::remove(held_.begin(), held_.end(), tid), held_.end());
        return Step::NotATraceStop;
    }
    int signal = WSTOPSIG(status);
    int event = status >> 16;

    if (signal == (SIGTRAP | 0x80)) {
        // Only device calls are followed to their exit.
        auto call = inFlight_.find(tid);
        if (call != inFlight_.end()) {
            inFlight_.erase(call);
            ++completed_;
            // Calls past the cut are held at their entry, so the count
            // reaches the cut only once every earlier call has completed.
            if (cutAt_ > 0 && completed_ == cutAt_) return Step::CutNow;
            ptrace(PTRACE_CONT, tid, nullptr, nullptr);
            return Step::Counted;
        }
        ptrace(PTRACE_CONT, tid, nullptr, nullptr);
        return Step::Resumed;
    }
    if (signal == SIGTRAP && event == PTRACE_EVENT_SECCOMP) {
        __ptrace_syscall_info info{};
        long got = ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info);
        if (got > 0 && info.op == PTRACE_SYSCALL_INFO_SECCOMP &&
            reachesPartition(tid, info.seccomp.args[0])) {
            long number = ++entered_;
            if (cutAt_ > 0 && number > cutAt_) return Step::Resumed;  // held: the power is off
            inFlight_[tid] = number;
            if (holdAt_ > 0 && number >= holdAt_ && !released_) {
                held_.push_back(tid);  // followed to its exit once released
                return Step::Resumed;
            }
            ptrace(PTRACE_SYSCALL, tid, nullptr, nullptr);
            return Step::Resumed;
        }
        ptrace(PTRACE_CONT, tid, nullptr, nullptr);
        return Step::Resumed;
    }
    if (signal == SIGTRAP && event != 0) {  // fork, clone, exec
        ptrace(PTRACE_CONT, tid, nullptr, nullptr);
        return Step::Resumed;
    }
    if (known_.insert(tid).second && signal == SIGSTOP) {
        // The first stop of a thread: the command's own before its exec, or
        // the one every newly attached child starts with. Children inherit
        // these options, so the whole tree is traced.
        if (!optionsSet_) {
            optionsSet_ = true;
            ptrace(PTRACE_SETOPTIONS, tid, nullptr,
                   PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_TRACECLONE |
                       PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC |
                       PTRACE_O_EXITKILL);
        }
        ptrace(PTRACE_CONT, tid, nullptr, nullptr);
        return Step::Resumed;
    }
    // A signal on its way to the traced program: deliver it.
    ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
    return Step::Resumed;
}

}  // namespace sandbox
