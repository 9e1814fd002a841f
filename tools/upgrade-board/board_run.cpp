#include "board_run.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "child.h"
#include "sandbox_set.h"

namespace board {

namespace {

constexpr char kStarted[] = "upgrade-board-guest: command started";
constexpr char kExitLine[] = "upgrade-board-guest: exit status ";
constexpr char kSignalLine[] = "upgrade-board-guest: killed by signal ";
constexpr char kInitFailed[] = "upgrade-board-guest: init failed: ";
constexpr char kKernelRestart[] = "reboot: Restarting system";
constexpr char kKernelPanic[] = "Kernel panic";

// The armhf DirectFB probes its omap module even on the dummy system, and
// that probe crashes.
constexpr char kBoardDirectFbExtra[] = ",disable-module=omap";

long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string dirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

bool isDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool isFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool writeControl(const BoardBoot& boot, const std::string& dir, std::string* error) {
    mkdir(dir.c_str(), 0755);
    std::vector<std::string> command = boot.command;
    if (command.empty()) command.push_back("/usr/bin/upgradeprogress/upgradeprogress");
    std::string conf = "export PATH=/bin:/sbin:/usr/bin:/usr/sbin HOME=/tmp UPGRADE_BOARD=1\n";
    conf +=
        "export DFBARGS=" + shellQuote(std::string(sandbox::kDirectFbArgs) + kBoardDirectFbExtra) +
        "\n";
    conf += "BOARD_ROOTFS=" + std::string(boot.rootfs.empty() ? "" : "yes") + "\n";
    conf += "set --";
    for (const std::string& arg : command)
        conf += " " + shellQuote(arg);
    conf += "\n";
    std::string path = dir + "/run.conf";
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr || fputs(conf.c_str(), f) < 0 || fclose(f) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

std::vector<std::string> qemuArgs(const BoardFiles& files, const BoardBoot& boot,
                                  const std::string& control) {
    std::vector<std::string> a = {
        "qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", "512", "-smp", "1",
        "-accel", "tcg", "-nodefaults", "-no-user-config", "-display", "none", "-serial", "stdio",
        "-monitor", "none", "-no-reboot", "-kernel", files.kernel, "-initrd", files.initramfs,
        "-append", "console=ttyAMA0 loglevel=1 panic=-1",
        // cache=unsafe: a killed QEMU keeps what reached the virtual disk; the
        // device's own volatile cache is modelled by the log replay.
        "-blockdev",
        "driver=file,node-name=disk0,filename=" + boot.disk +
            ",cache.direct=off,cache.no-flush=on"};
    std::string drive = "disk0";
    if (!boot.writeLog.empty()) {
        a.insert(a.end(),
                 {"-blockdev",
                  "driver=file,node-name=log0,filename=" + boot.writeLog +
                      ",cache.direct=off,cache.no-flush=on",
                  "-blockdev", "driver=blklogwrites,node-name=logged,file=disk0,log=log0"});
        drive = "logged";
    }
    a.insert(a.end(), {"-device", "virtio-blk-device,drive=" + drive + ",write-cache=on"});
    auto share = [&a](const std::string& tag, const std::string& path) {
        a.insert(
            a.end(),
            {"-fsdev", "local,id=fs" + tag + ",path=" + path + ",security_model=none,readonly=on",
             "-device", "virtio-9p-device,fsdev=fs" + tag + ",mount_tag=" + tag});
    };
    share("ctl", control);
    share("hostusr", "/usr");
    if (!boot.rootfs.empty()) share("rootfs", boot.rootfs);
    return a;
}

// "[   19.268516] reboot: Restarting system": the guest kernel's own word.
bool isKernelLine(const std::string& line) {
    size_t close = line.find("] ");
    if (line.empty() || line[0] != '[' || close == std::string::npos) return false;
    return line.find_first_not_of(" 0123456789.", 1) == close;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

bool findBoardFiles(BoardFiles* out, std::string* error) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        *error = "cannot find this executable";
        return false;
    }
    exe[n] = '\0';
    std::string buildDir = dirOf(dirOf(exe));
    out->kernel = buildDir + "/board/vmlinuz";
    out->initramfs = buildDir + "/board/initramfs.cpio";
    out->armRootfs = dirOf(buildDir) + "/build-armhf/rootfs";
    if (!isFile(out->kernel) || !isFile(out->initramfs)) {
        *error = "no board in " + buildDir + "/board: run scripts/board-setup";
        return false;
    }
    if (!isDir(out->armRootfs)) out->armRootfs.clear();
    return true;
}

BoardResult bootBoard(const BoardFiles& files, const BoardBoot& boot) {
    BoardResult result;
    std::string control = boot.scratchDir + "/control";
    if (!writeControl(boot, control, &result.detail)) return result;
    if (!boot.writeLog.empty()) {
        // blklogwrites opens its log, it does not create it.
        int fd = open(boot.writeLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            result.detail = "cannot create " + boot.writeLog + ": " + strerror(errno);
            return result;
        }
        close(fd);
    }
    FILE* console = boot.consoleLog.empty() ? nullptr : fopen(boot.consoleLog.c_str(), "w");
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        result.detail = std::string("cannot make a pipe: ") + strerror(errno);
        if (console) fclose(console);
        return result;
    }
    std::vector<std::string> args = qemuArgs(files, boot, control);
    long start = nowMs();
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        // QEMU must not outlive the board tool, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<char*> argv;
        for (const std::string& s : args)
            argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        fprintf(stderr, "cannot run qemu-system-arm: %s\n", strerror(errno));
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        result.detail = std::string("cannot fork: ") + strerror(errno);
        if (console) fclose(console);
        return result;
    }

    std::string pending;      // a line not yet ended
    std::string lastLines;    // tail of the console, for the failure message
    std::string commandTail;  // tail of the command's own output, for a cut at a text
    long commandStart = -1;
    bool sawStatus = false, sawRestart = false, sawPanic = false, cut = false, timedOut = false;
    std::string initFailure;
    bool heldBlank = false;
    auto handleLine = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (console) fprintf(console, "%s\n", line.c_str());
        lastLines += line + "\n";
        if (lastLines.size() > 4096) lastLines.erase(0, lastLines.size() - 4096);
        if (commandStart < 0) {
            if (line.find(kStarted) != std::string::npos) {
                commandStart = nowMs();
                result.bootMs = commandStart - start;
            } else if (startsWith(line, kInitFailed)) {
                initFailure = line.substr(strlen(kInitFailed));
            }
        } else if (startsWith(line, kExitLine)) {
            sawStatus = true;
            result.ending = Ending::Exit;
            result.value = atoi(line.c_str() + strlen(kExitLine));
            result.elapsedMs = nowMs() - commandStart;
        } else if (startsWith(line, kSignalLine)) {
            sawStatus = true;
            result.ending = Ending::Signal;
            result.value = atoi(line.c_str() + strlen(kSignalLine));
            result.elapsedMs = nowMs() - commandStart;
        } else if (!sawStatus && line.empty() && !heldBlank) {
            // The guest starts its status on a fresh line; a blank line is
            // the command's own only if more output follows.
            heldBlank = true;
        } else if (!sawStatus) {
            if (heldBlank && boot.echo) printf("\n");
            heldBlank = false;
            commandTail += line + "\n";
            if (commandTail.size() > 4096) commandTail.erase(0, commandTail.size() - 4096);
            if (boot.echo && !isKernelLine(line)) {
                printf("%s\n", line.c_str());
                fflush(stdout);
            }
        }
        if (line.find(kKernelRestart) != std::string::npos) sawRestart = true;
        if (line.find(kKernelPanic) != std::string::npos) sawPanic = true;
    };
    auto kill9 = [&]() { kill(pid, SIGKILL); };
    bool reading = true;
    while (reading) {
        long now = nowMs();
        long wait = 200;
        if (!cut && commandStart >= 0 && boot.cutAfterMs >= 0) {
            long due = commandStart + boot.cutAfterMs;
            if (now >= due) {
                kill9();
                cut = true;
                result.elapsedMs = now - commandStart;
            } else {
                wait = std::min(wait, due - now);
            }
        }
        if (!cut && !timedOut && boot.timeoutS >= 0 && now - start >= boot.timeoutS * 1000L) {
            kill9();
            timedOut = true;
        }
        pollfd p{out[0], POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(wait));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[8192];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reading = false;
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            handleLine(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
        // A cut at a text must not wait for the end of its line.
        if (!cut && commandStart >= 0 && !boot.cutAtOutput.empty() &&
            (commandTail.find(boot.cutAtOutput) != std::string::npos ||
             pending.find(boot.cutAtOutput) != std::string::npos)) {
            kill9();
            cut = true;
            result.elapsedMs = nowMs() - commandStart;
        }
    }
    if (!pending.empty()) handleLine(pending);
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.totalMs = nowMs() - start;
    if (console) fclose(console);
    if (cut) {
        result.ending = Ending::Cut;
    } else if (timedOut) {
        result.ending = Ending::Timeout;
    } else if (!initFailure.empty()) {
        result.ending = Ending::Failed;
        result.detail = "guest init failed: " + initFailure;
    } else if (sawPanic) {
        result.ending = Ending::Failed;
        result.detail = "guest kernel panic (see " + boot.consoleLog + ")";
    } else if (commandStart < 0) {
        result.ending = Ending::Failed;
        result.detail = "the guest never started the command; console ends: " +
                        lastLines.substr(lastLines.size() > 600 ? lastLines.size() - 600 : 0);
    } else if (!sawStatus && sawRestart) {
        result.ending = Ending::Reboot;
        result.elapsedMs = nowMs() - commandStart;
    } else if (!sawStatus) {
        result.ending = Ending::Failed;
        result.detail =
            "QEMU ended (status " + std::to_string(status) + ") without the command's status";
    }
    return result;
}

std::string verdictText(const BoardResult& r, long timeoutS) {
    switch (r.ending) {
        case Ending::Reboot:
            return "reboot requested";
        case Ending::Exit:
            return "exit status " + std::to_string(r.value);
        case Ending::Signal:
            return "killed by signal " + std::to_string(r.value);
        case Ending::Cut:
            return "cut after " + std::to_string(r.elapsedMs) + " ms";
        case Ending::Timeout:
            return "timed out after " + std::to_string(timeoutS) + " s";
        case Ending::Failed:
            return "runner failed (" + r.detail + ")";
    }
    return "runner failed";
}

int exitCodeOf(const BoardResult& r) {
    switch (r.ending) {
        case Ending::Reboot:
            return kExitReboot;
        case Ending::Exit:
            return r.value;
        case Ending::Signal:
            return kExitSignalBase + r.value;
        case Ending::Cut:
            return kExitCut;
        case Ending::Timeout:
            return kExitTimeout;
        case Ending::Failed:
            return kExitRunnerFailure;
    }
    return kExitRunnerFailure;
}

}  // namespace board
