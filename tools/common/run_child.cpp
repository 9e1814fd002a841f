#include "run_child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// A temporary file already unlinked: the child writes into it, the caller
// reads it back once the child is gone.
int anonymousFile(std::string* error) {
    const char* dir = getenv("TMPDIR");
    std::string name =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/host-child-XXXXXX";
    const int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot make a temporary file: ") + strerror(errno);
        return -1;
    }
    unlink(name.c_str());
    return fd;
}

std::string readAll(int fd) {
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

void writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Waits for `pid`, killing its process group once `timeoutMs` has passed.
bool waitFor(pid_t pid, long timeoutMs, int* status, struct rusage* usage, bool* timedOut) {
    if (timeoutMs <= 0) {
        for (;;) {
            if (wait4(pid, status, 0, usage) == pid) return true;
            if (errno != EINTR) return false;
        }
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const pid_t done = wait4(pid, status, WNOHANG, usage);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return false;
        if (Clock::now() >= deadline) {
            *timedOut = true;
            kill(-pid, SIGKILL);
            for (;;) {
                if (wait4(pid, status, 0, usage) == pid) return true;
                if (errno != EINTR) return false;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The caller's environment with `extra` set over it; the strings stay owned
// by `extra` and environ.
std::vector<char*> environmentWith(const std::vector<std::string>& extra) {
    std::vector<char*> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = strchr(*entry, '=');
        const size_t nameLength = equals != nullptr ? static_cast<size_t>(equals - *entry) + 1 : 0;
        bool replaced = false;
        for (const std::string& set : extra)
            replaced =
                replaced || (nameLength > 0 && set.compare(0, nameLength, *entry, nameLength) == 0);
        if (!replaced) entries.push_back(*entry);
    }
    for (const std::string& set : extra)
        entries.push_back(const_cast<char*>(set.c_str()));
    entries.push_back(nullptr);
    return entries;
}

}  // namespace

std::string commandText(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    ChildResult result;
    if (argv.empty()) {
        result.error = "no program to run";
        return result;
    }
    const bool keepOutput = !options.inheritOutput && options.outputFile.empty();
    int outFd = -1;
    if (keepOutput) {
        outFd = anonymousFile(&result.error);
        if (outFd < 0) return result;
    } else if (!options.inheritOutput) {
        outFd = open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (outFd < 0) {
            result.error = "cannot open " + options.outputFile + ": " + strerror(errno);
            return result;
        }
    }
    int inPipe[2] = {-1, -1};
    if (!options.input.empty() && pipe2(inPipe, O_CLOEXEC) != 0) {
        result.error = std::string("cannot make a pipe: ") + strerror(errno);
        if (outFd >= 0) close(outFd);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inPipe[0] >= 0) {
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    }
    if (!options.workDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workDir.c_str());
    }
    // With a time-out, a group of its own, so that the kill reaches whatever
    // it started; without one it stays in the caller's, where a Ctrl-C on
    // the terminal reaches it as it reaches the caller.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (options.timeoutMs > 0) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> environment;
    if (!options.environment.empty()) environment = environmentWith(options.environment);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(),
                                environment.empty() ? environ : environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (inPipe[0] >= 0) close(inPipe[0]);
    if (rc != 0) {
        result.error = "cannot run " + argv[0] + ": " + strerror(rc);
        if (inPipe[1] >= 0) close(inPipe[1]);
        if (outFd >= 0) close(outFd);
        return result;
    }
    result.started = true;
    if (options.cpuLimitSeconds > 0) {
        // Set as soon as it runs: the limit counts all the CPU time it used.
        const struct rlimit limit = {static_cast<rlim_t>(options.cpuLimitSeconds),
                                     static_cast<rlim_t>(options.cpuLimitSeconds) + 5};
        prlimit(pid, RLIMIT_CPU, &limit, nullptr);
    }
    if (inPipe[1] >= 0) {
        // A child that leaves its input unread must not stop this one.
        struct sigaction ignore = {}, previous = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previous);
        writeAll(inPipe[1], options.input);
        close(inPipe[1]);
        sigaction(SIGPIPE, &previous, nullptr);
    }

    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    if (waitFor(pid, options.timeoutMs, &status, &usage, &result.timedOut)) {
        if (WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.status = 128 + WTERMSIG(status);
        }
        result.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
        result.peakKiB = usage.ru_maxrss;
    }
    if (keepOutput) result.output = readAll(outFd);
    if (outFd >= 0) close(outFd);
    return result;
}

}  // namespace host
