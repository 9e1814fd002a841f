#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "device_call_tracer.h"
#include "sandbox_set.h"
#include "sandbox_root.h"
#include "unique_fd.h"

namespace sandbox {

namespace {

// Messages from the sandbox's init to the runner over a pipe.
constexpr char kMsgStarted = 'S';      // the command has been started
constexpr char kMsgEnded = 'E';        // followed by the command's wait status (int)
constexpr char kMsgDeviceCalls = 'W';  // followed by the device calls completed so far (long long)
constexpr char kMsgCutAtCall = 'C';    // followed by the device call the cut came after (long long)
constexpr char kMsgHeldRan = 'H';      // followed by the meanwhile command's wait status (int)

constexpr char kInitName[] = "sandbox-init";

int runnerFailure(const char* fmt, const char* detail) {
    fprintf(stderr, "upgrade-sandbox: ");
    fprintf(stderr, fmt, detail);
    fprintf(stderr, "\n");
    printf("upgrade-sandbox: runner failed\n");
    fflush(stdout);
    return kExitRunnerFailure;
}

std::string canonical(const std::string& path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) == nullptr) return std::string();
    return buf;
}

std::string parentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool isUnder(const std::string& path, const std::string& dir) {
    if (dir == "/") return true;
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           path[dir.size()] == '/');
}

// The checkout holding this runner: test binaries run from its build tree and
// leave their artifacts there.
std::string findRepoRoot(const std::string& exe) {
    for (std::string dir = parentDir(exe); dir != "/"; dir = parentDir(dir)) {
        struct stat st {};
        if (stat((dir + "/.git").c_str(), &st) == 0) return dir;
    }
    return std::string();
}

// Host paths the sandbox must see read-write at their own place; a path below
// one already listed is covered by it.
std::vector<std::string> hostPathsFor(const RunOptions& options, const std::string& setDir) {
    std::vector<std::string> candidates;
    std::string exe = canonical("/proc/self/exe");
    std::string repo = findRepoRoot(exe);
    if (!repo.empty()) candidates.push_back(repo);
    if (!exe.empty()) candidates.push_back(parentDir(parentDir(exe)));  // the build tree
    candidates.push_back(setDir);
    if (!options.command.empty()) {
        std::string dir = canonical(parentDir(options.command[0]));
        if (!dir.empty()) candidates.push_back(dir);
    }
    std::vector<std::string> paths;
    auto add = [&](const std::string& p) {
        if (p.empty() || isUnder(p, "/usr") || isUnder(p, "/etc")) return;
        for (const std::string& have : paths) {
            if (isUnder(p, have)) return;
        }
        // A wider path replaces the narrower ones it holds.
        std::vector<std::string> kept;
        for (const std::string& have : paths) {
            if (!isUnder(have, p)) kept.push_back(have);
        }
        kept.push_back(p);
        paths.swap(kept);
    };
    for (const std::string& c : candidates)
        add(c);
    return paths;
}

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool tracesDeviceCalls(const RunOptions& options) {
    return options.cutAtWrite > 0 || options.holdAtWrite > 0 || options.countWrites;
}

// The meanwhile command: another program of the set, started by the init
// beside the command and writing to the same output. It is not traced, so
// nothing it does is a device call of the run, nor is it ever held.
pid_t startMeanwhile(const std::string& text, char* const* envp, const std::string& workDir,
                     int outputFd, const sigset_t& originalMask) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    if (outputFd >= 0 && dup2(outputFd, STDOUT_FILENO) < 0) _exit(127);
    if (chdir(workDir.c_str()) != 0 && chdir("/") != 0) _exit(127);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(text.c_str()), nullptr};
    execve("/bin/sh", argv, envp);
    fprintf(stderr, "upgrade-sandbox: cannot run /bin/sh: %s\n", strerror(errno));
    _exit(127);
}

// PID 1 of the sandbox: builds the root, starts the command, reaps every
// orphan, and reports the command's end. Never returns.
[[noreturn]] void initMain(const RootPlan& plan, const std::vector<std::string>& command,
                           const std::vector<std::string>& environment, const std::string& workDir,
                           int reportFd, int outputFd, const sigset_t& originalMask,
                           const std::vector<dev_t>& partitions, const RunOptions& options) {
    const bool traceDeviceCalls = tracesDeviceCalls(options);
    prctl(PR_SET_NAME, kInitName);
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC) != 0) {
        fprintf(stderr, "upgrade-sandbox: cannot make a mount namespace: %s\n", strerror(errno));
        _exit(kExitRunnerFailure);
    }
    if (!setupRoot(plan)) _exit(kExitRunnerFailure);

    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "upgrade-sandbox: cannot fork: %s\n", strerror(errno));
        _exit(kExitRunnerFailure);
    }
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &originalMask, nullptr);
        if (outputFd >= 0 && dup2(outputFd, STDOUT_FILENO) < 0) _exit(127);
        if (chdir(workDir.c_str()) != 0 && chdir("/") != 0) _exit(127);
        if (traceDeviceCalls && !becomeTracedForDeviceCalls()) {
            fprintf(stderr, "upgrade-sandbox: cannot trace the command's device calls: %s\n",
                    strerror(errno));
            _exit(kExitRunnerFailure);
        }
        execve(argv[0], argv.data(), envp.data());
        fprintf(stderr, "upgrade-sandbox: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    // The command's copy is the only writer; a meanwhile command yet to come
    // takes init's own, closed as soon as it has started.
    if (outputFd >= 0 && options.holdAtWrite <= 0) close(outputFd);
    writeAll(reportFd, &kMsgStarted, 1);
    DeviceCallTracer tracer(partitions, options.cutAtWrite, options.holdAtWrite);
    auto reportCount = [&](char kind) {
        char message[1 + sizeof(long long)];
        long long count = tracer.completed();
        message[0] = kind;
        memcpy(message + 1, &count, sizeof count);
        writeAll(reportFd, message, sizeof message);
    };
    auto reportStatus = [&](char kind, int status) {
        char message[1 + sizeof(int)];
        message[0] = kind;
        memcpy(message + 1, &status, sizeof(int));
        writeAll(reportFd, message, sizeof message);
    };
    pid_t meanwhile = -1;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, traceDeviceCalls ? __WALL : 0);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0) _exit(kExitRunnerFailure);  // the command vanished unreported
        if (pid == meanwhile) {
            // Only now do the held calls run.
            reportStatus(kMsgHeldRan, status);
            meanwhile = -1;
            tracer.release();
            continue;
        }
        if (traceDeviceCalls) {
            DeviceCallTracer::Step step = tracer.onStop(pid, status);
            if (step == DeviceCallTracer::Step::CutNow) {
                // Everything but this init dies before any held call runs;
                // the runner then takes the init too.
                kill(-1, SIGKILL);
                reportCount(kMsgCutAtCall);
                for (;;)
                    pause();
            }
            if (step == DeviceCallTracer::Step::Counted) reportCount(kMsgDeviceCalls);
            // The rest of the command runs on meanwhile: only device calls
            // wait, at their entry, so the partitions stay as they are.
            if (tracer.takeHold()) {
                meanwhile =
                    startMeanwhile(options.meanwhile, envp.data(), workDir, outputFd, originalMask);
                if (meanwhile < 0) {
                    fprintf(stderr, "upgrade-sandbox: cannot fork: %s\n", strerror(errno));
                    _exit(kExitRunnerFailure);
                }
                if (outputFd >= 0) close(outputFd);
                outputFd = -1;
            }
            if (step != DeviceCallTracer::Step::NotATraceStop) continue;
        }
        if (pid != child) continue;  // an orphan the command left behind
        reportStatus(kMsgEnded, status);
        // Leaving ends the namespace: the kernel kills whatever is still in it.
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kExitSignalBase + WTERMSIG(status));
    }
}

// Passes the command's stdout on and notices the first time a text appears
// in it, also across two reads.
class OutputWatch {
public:
    explicit OutputWatch(std::string text) : text_(std::move(text)) {}

    // Forwards one read; false at the end of the stream.
    bool pass(int fd) {
        char buf[4096];
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) return true;
        if (got <= 0) return false;
        writeAll(STDOUT_FILENO, buf, static_cast<size_t>(got));
        if (!seen_) {
            window_.append(buf, static_cast<size_t>(got));
            seen_ = window_.find(text_) != std::string::npos;
            if (window_.size() >= text_.size())
                window_.erase(0, window_.size() - (text_.size() - 1));
        }
        return true;
    }
    bool seen() const { return seen_; }

private:
    std::string text_;
    std::string window_;
    bool seen_ = false;
};

struct Verdict {
    std::string line;
    int code;
};

Verdict verdictFor(int initStatus, bool started, bool ended, int commandStatus) {
    if (WIFSIGNALED(initStatus) && WTERMSIG(initStatus) == SIGHUP) {
        // reboot(RB_AUTOBOOT) inside a PID namespace ends its init with SIGHUP.
        return {"upgrade-sandbox: reboot requested", kExitReboot};
    }
    if (ended) {
        if (WIFEXITED(commandStatus)) {
            int n = WEXITSTATUS(commandStatus);
            return {"upgrade-sandbox: exit status " + std::to_string(n), n};
        }
        int sig = WTERMSIG(commandStatus);
        return {"upgrade-sandbox: killed by signal " + std::to_string(sig), kExitSignalBase + sig};
    }
    if (!started) return {"upgrade-sandbox: runner failed (sandbox setup)", kExitRunnerFailure};
    if (WIFSIGNALED(initStatus)) {
        int sig = WTERMSIG(initStatus);
        return {"upgrade-sandbox: runner failed (sandbox init killed by signal " +
                    std::to_string(sig) + ")",
                kExitRunnerFailure};
    }
    return {"upgrade-sandbox: runner failed (sandbox init ended early)", kExitRunnerFailure};
}

}  // namespace

int runSandbox(const RunOptions& options) {
    if (geteuid() != 0) {
        return runnerFailure(
            "%s", "must run as root: it makes namespaces, mounts and binds loop devices");
    }
    std::string setDir = canonical(options.setDir);
    if (setDir.empty())
        return runnerFailure("no set directory %s (make one with 'new')", options.setDir.c_str());
    for (const PartitionImage& part : setPartitions()) {
        if (access(imagePath(setDir, part.name).c_str(), R_OK | W_OK) != 0) {
            return runnerFailure("%s is not a set directory (make one with 'new')", setDir.c_str());
        }
    }
    if (mkdir(rootMountPath(setDir).c_str(), 0755) != 0 && errno != EEXIST) {
        return runnerFailure("cannot create %s", rootMountPath(setDir).c_str());
    }
    std::string rootfs;
    if (!options.rootfs.empty()) {
        rootfs = canonical(options.rootfs);
        if (rootfs.empty()) return runnerFailure("no root file system %s", options.rootfs.c_str());
    }
    std::vector<std::string> command = options.command;
    if (command.empty()) {
        if (rootfs.empty()) return runnerFailure("%s", "give a ROOTFS or a command to run");
        if (access((rootfs + kInstalledProgram).c_str(), X_OK) != 0) {
            return runnerFailure("%s holds no installed program", rootfs.c_str());
        }
        command.push_back(kInstalledProgram);
    } else if (command[0].empty() || command[0][0] != '/') {
        return runnerFailure("the command must be an absolute path: %s", command[0].c_str());
    }

    RootPlan plan;
    plan.setDir = setDir;
    plan.rootfs = rootfs;
    // Kept for a look afterwards, the root's writable layers are all the
    // command can change outside the set's own trees: nothing else is bound.
    if (options.keepWritable.empty()) {
        plan.hostPaths = hostPathsFor(options, setDir);
    } else {
        plan.keepWritable = canonical(options.keepWritable);
        if (plan.keepWritable.empty()) {
            return runnerFailure("no directory %s to keep the writable layers in",
                                 options.keepWritable.c_str());
        }
    }
    plan.tmpSizeKib = options.tmpSizeKib;

    std::vector<AttachedLoop> loops(setPartitions().size());
    for (size_t i = 0; i < setPartitions().size(); ++i) {
        const PartitionImage& part = setPartitions()[i];
        if (!attachLoop(imagePath(setDir, part.name), &loops[i])) {
            for (AttachedLoop& loop : loops)
                releaseLoop(&loop);
            return runnerFailure("%s", "cannot attach the partition images");
        }
        plan.devices.push_back({std::string("/dev/") + part.name, loops[i].device});
        if (part.bootFlags)
            plan.devices.push_back({std::string("/dev/block/") + part.name, loops[i].device});
    }
    auto releaseAll = [&]() {
        for (AttachedLoop& loop : loops)
            releaseLoop(&loop);
    };

    char cwdBuf[PATH_MAX];
    std::string workDir = getcwd(cwdBuf, sizeof cwdBuf) != nullptr ? cwdBuf : "/";
    std::vector<std::string> environment = sandboxEnvironment(setDir);
    if (tracesDeviceCalls(options)) {
        // A traced command built with AddressSanitizer would fail at its exit:
        // LeakSanitizer refuses to run under ptrace. Leaks are checked on the
        // untraced runs.
        bool set = false;
        for (std::string& e : environment) {
            if (e.rfind("ASAN_OPTIONS=", 0) == 0) {
                e += ":detect_leaks=0";
                set = true;
            }
        }
        if (!set) environment.push_back("ASAN_OPTIONS=detect_leaks=0");
    }

    // Signals that would end the runner end the sandbox first, through the
    // signalfd below, so no namespace outlives its runner.
    sigset_t handled, original;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGHUP);
    sigaddset(&handled, SIGQUIT);
    sigprocmask(SIG_BLOCK, &handled, &original);
    UniqueFd signals(signalfd(-1, &handled, SFD_CLOEXEC));

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        releaseAll();
        return runnerFailure("cannot make a pipe: %s", strerror(errno));
    }
    UniqueFd reportRead(pipeFds[0]);
    UniqueFd reportWrite(pipeFds[1]);
    // Watching for a text needs the command's stdout to pass through here;
    // otherwise the command writes straight to the runner's own stdout.
    UniqueFd outputRead, outputWrite;
    if (!options.cutAtOutput.empty()) {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            releaseAll();
            return runnerFailure("cannot make a pipe: %s", strerror(errno));
        }
        outputRead.reset(pipeFds[0]);
        outputWrite.reset(pipeFds[1]);
    }

    // Only the next child goes into the new PID namespace; the runner then
    // returns to its own for any later child (a dead namespace refuses new
    // processes, and sanitizer runtimes fork at exit).
    UniqueFd ownPidNs(open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
    if (!ownPidNs.valid() || unshare(CLONE_NEWPID) != 0) {
        releaseAll();
        return runnerFailure("cannot make a PID namespace: %s", strerror(errno));
    }
    fflush(stdout);
    fflush(stderr);
    pid_t init = fork();
    if (init > 0 && setns(ownPidNs.get(), CLONE_NEWPID) != 0) {
        kill(init, SIGKILL);
    }
    if (init < 0) {
        releaseAll();
        return runnerFailure("cannot fork: %s", strerror(errno));
    }
    if (init == 0) {
        // A runner that dies, however, takes its sandbox with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        reportRead.reset();
        ownPidNs.reset();
        // The runner lies outside this PID namespace, so getppid() cannot tell
        // whether it died before the death signal was armed; the report pipe
        // can: with the runner gone it has no reader left.
        pollfd check = {reportWrite.get(), POLLOUT, 0};
        if (poll(&check, 1, 0) < 0 || (check.revents & POLLERR)) _exit(kExitRunnerFailure);
        signals.reset();
        for (AttachedLoop& loop : loops)
            loop.fd.reset();
        outputRead.reset();
        std::vector<dev_t> partitions;
        for (const DeviceNode& node : plan.devices)
            partitions.push_back(node.device);
        initMain(plan, command, environment, workDir, reportWrite.get(), outputWrite.get(),
                 original, partitions, options);
    }
    reportWrite.reset();
    outputWrite.reset();

    bool started = false;
    bool ended = false;
    int commandStatus = 0;
    long long startMs = 0;
    enum class Stop { None, Cut, Timeout, Signal } stop = Stop::None;
    long long cutMs = options.cutAfterMs;
    std::string received;
    size_t parsed = 0;
    long long deviceCalls = 0;
    bool cutAtCall = false;
    bool heldRan = false;
    int meanwhileStatus = 0;
    OutputWatch watch(options.cutAtOutput);
    for (;;) {
        int waitMs = -1;
        if (started) {
            long long now = nowMs();
            long long deadline = LLONG_MAX;
            if (options.cutAfterMs >= 0)
                deadline = std::min(deadline, startMs + options.cutAfterMs);
            if (options.timeoutS >= 0)
                deadline = std::min(deadline, startMs + options.timeoutS * 1000);
            if (deadline != LLONG_MAX) {
                if (now >= deadline) {
                    bool cutFirst =
                        options.cutAfterMs >= 0 &&
                        (options.timeoutS < 0 || options.cutAfterMs <= options.timeoutS * 1000);
                    stop = cutFirst ? Stop::Cut : Stop::Timeout;
                    // A power cut: nothing in the set gets to run another instruction.
                    kill(init, SIGKILL);
                    break;
                }
                waitMs = static_cast<int>(std::min<long long>(deadline - now, INT_MAX));
            }
        }
        pollfd fds[3] = {{reportRead.get(), POLLIN, 0},
                         {signals.get(), POLLIN, 0},
                         {outputRead.get(), POLLIN, 0}};
        int n = poll(fds, outputRead.valid() ? 3 : 2, waitMs);
        if (n < 0 && errno == EINTR) continue;
        if (outputRead.valid() && (fds[2].revents & (POLLIN | POLLHUP))) {
            if (!watch.pass(outputRead.get())) {
                outputRead.reset();  // every writer has gone
            } else if (watch.seen()) {
                stop = Stop::Cut;
                cutMs = nowMs() - startMs;
                kill(init, SIGKILL);
                break;
            }
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signals.get(), &info, sizeof info) > 0) {
                fprintf(stderr, "upgrade-sandbox: interrupted by signal %u, ending the sandbox\n",
                        info.ssi_signo);
                stop = Stop::Signal;
                kill(init, SIGKILL);
                break;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buf[64];
            ssize_t got = read(reportRead.get(), buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;  // init has gone
            received.append(buf, static_cast<size_t>(got));
            // Messages come whole or in pieces; each is read once it is complete.
            for (;;) {
                if (parsed >= received.size()) break;
                char kind = received[parsed];
                size_t size = kind == kMsgEnded || kind == kMsgHeldRan ? 1 + sizeof(int)
                              : kind == kMsgDeviceCalls || kind == kMsgCutAtCall
                                  ? 1 + sizeof(long long)
                                  : 1;
                if (received.size() - parsed < size) break;
                const char* body = received.data() + parsed + 1;
                if (kind == kMsgStarted && !started) {
                    started = true;
                    startMs = nowMs();
                } else if (kind == kMsgEnded) {
                    ended = true;
                    memcpy(&commandStatus, body, sizeof(int));
                } else if (kind == kMsgHeldRan) {
                    heldRan = true;
                    memcpy(&meanwhileStatus, body, sizeof(int));
                } else if (kind == kMsgDeviceCalls || kind == kMsgCutAtCall) {
                    memcpy(&deviceCalls, body, sizeof deviceCalls);
                    cutAtCall = cutAtCall || kind == kMsgCutAtCall;
                }
                parsed += size;
            }
            if (cutAtCall) {
                stop = Stop::Cut;
                cutMs = nowMs() - startMs;
                kill(init, SIGKILL);
                break;
            }
        }
    }
    int initStatus = 0;
    while (waitpid(init, &initStatus, 0) < 0 && errno == EINTR) {
    }
    // Whatever the command wrote before it ended is still owed to stdout.
    if (outputRead.valid()) {
        while (watch.pass(outputRead.get())) {
        }
    }
    releaseAll();

    Verdict verdict;
    switch (stop) {
        case Stop::Cut:
            verdict = {"upgrade-sandbox: cut after " + std::to_string(cutMs) + " ms", kExitCut};
            if (cutAtCall) verdict.line += " (device call " + std::to_string(deviceCalls) + ")";
            break;
        case Stop::Timeout:
            verdict = {
                "upgrade-sandbox: timed out after " + std::to_string(options.timeoutS) + " s",
                kExitTimeout};
            break;
        case Stop::Signal:
            verdict = {"upgrade-sandbox: runner failed (interrupted)", kExitRunnerFailure};
            break;
        case Stop::None:
            verdict = verdictFor(initStatus, started, ended, commandStatus);
            break;
    }
    fflush(stderr);
    if (heldRan) {
        int n = WIFEXITED(meanwhileStatus) ? WEXITSTATUS(meanwhileStatus)
                                           : kExitSignalBase + WTERMSIG(meanwhileStatus);
        printf(
            "upgrade-sandbox: held at device call %ld while the meanwhile command ran (exit %d)\n",
            options.holdAtWrite, n);
    }
    if (options.countWrites || options.cutAtWrite > 0)
        printf("upgrade-sandbox: %lld device calls\n", deviceCalls);
    printf("%s\n", verdict.line.c_str());
    fflush(stdout);
    return verdict.code;
}

}  // namespace sandbox
