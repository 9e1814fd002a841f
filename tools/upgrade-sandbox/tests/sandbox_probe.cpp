// Runs inside the sandbox on behalf of the runner's tests; each verb does one
// thing a program on the set does (writes a partition, asks for a reboot,
// dies of a signal, leaves an orphan behind).
//
//   sandbox_probe write DEVICE OFFSET BYTE COUNT   pwrite COUNT copies of BYTE, fsync
//   sandbox_probe write-then-hang DEVICE OFFSET BYTE COUNT   the same, then waits with the device
//   open sandbox_probe steps DEVICE N       N times: print "step I", write byte I+1 at offset I,
//   fsync, 50 ms sandbox_probe threads DEVICE N     N threads at once, thread I writes byte I+1
//   at offset I, fsync sandbox_probe reboot sandbox_probe exit N | signal N | sleep MS | orphan
#include <fcntl.h>
#include <signal.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// reboot() outside a PID namespace restarts this machine. Only go ahead when
// PID 1 is the sandbox's own init.
bool insideSandbox() {
    std::ifstream comm("/proc/1/comm");
    std::string name;
    std::getline(comm, name);
    return name == "sandbox-init" && getpid() != 1 && getenv("UPGRADE_SANDBOX") != nullptr;
}

// keepOpen: the device stays open afterwards, as it is in a program cut mid-run.
int writeBytes(const char* device, long offset, int byte, long count, bool keepOpen) {
    int fd = open(device, O_WRONLY);
    if (fd < 0) {
        fprintf(stderr, "probe: open %s: %s\n", device, strerror(errno));
        return 10;
    }
    std::vector<unsigned char> data(static_cast<size_t>(count), static_cast<unsigned char>(byte));
    ssize_t n = pwrite(fd, data.data(), data.size(), offset);
    if (n != static_cast<ssize_t>(data.size()) || fsync(fd) != 0) {
        fprintf(stderr, "probe: write %s: %s\n", device, strerror(errno));
        close(fd);
        return 11;
    }
    if (!keepOpen) close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!insideSandbox()) {
        fprintf(stderr, "probe: refusing to run outside the sandbox\n");
        return 3;
    }
    std::string verb = argc > 1 ? argv[1] : "";
    if ((verb == "write" || verb == "write-then-hang") && argc == 6) {
        bool hang = verb == "write-then-hang";
        int rc = writeBytes(argv[2], atol(argv[3]), static_cast<int>(strtol(argv[4], nullptr, 0)),
                            atol(argv[5]), hang);
        if (rc != 0 || verb == "write") return rc;
        printf("probe: written\n");
        for (;;)
            pause();
    }
    if (verb == "steps" && argc == 4) {
        for (long i = 0; i < atol(argv[3]); ++i) {
            printf("probe: step %ld\n", i);
            int rc = writeBytes(argv[2], i, static_cast<int>(i + 1), 1, false);
            if (rc != 0) return rc;
            usleep(50000);
        }
        return 0;
    }
    if (verb == "threads" && argc == 4) {
        std::vector<std::thread> threads;
        std::vector<int> results(static_cast<size_t>(atol(argv[3])), 0);
        for (size_t i = 0; i < results.size(); ++i) {
            threads.emplace_back([&, i] {
                results[i] =
                    writeBytes(argv[2], static_cast<long>(i), static_cast<int>(i + 1), 1, false);
            });
        }
        for (std::thread& t : threads)
            t.join();
        for (int rc : results) {
            if (rc != 0) return rc;
        }
        return 0;
    }
    if (verb == "reboot") {
        sync();
        reboot(RB_AUTOBOOT);
        fprintf(stderr, "probe: reboot returned: %s\n", strerror(errno));
        return 4;
    }
    if (verb == "exit" && argc == 3) return atoi(argv[2]);
    if (verb == "signal" && argc == 3) {
        int sig = atoi(argv[2]);
        signal(sig, SIG_DFL);
        raise(sig);
        return 5;
    }
    if (verb == "sleep" && argc == 3) {
        usleep(static_cast<useconds_t>(atol(argv[2]) * 1000));
        return 0;
    }
    if (verb == "orphan") {
        // A child that outlives the command must not keep the run alive.
        if (fork() == 0) {
            setsid();
            sleep(600);
            _exit(0);
        }
        printf("probe: left an orphan\n");
        return 0;
    }
    fprintf(stderr, "probe: bad arguments\n");
    return 6;
}
