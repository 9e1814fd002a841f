#include "control/set_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ground.h"
#include "testing/zip_fixture.h"
#include "sandbox_set.h"

namespace set_driver {

namespace {

constexpr size_t kMiB = 1 << 20;
constexpr size_t kPart = 10 * kMiB;

long elapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// Overwrites `length` bytes at `at` with fresh bytes of `seed`.
void scribble(std::string* image, size_t at, size_t length, unsigned long long seed) {
    const std::string fresh = pseudoRandom(seed, length);
    image->replace(at, length, fresh);
}

}  // namespace

// ---- Child processes --------------------------------------------------------

bool ChildResult::contains(const std::string& needle) const {
    return msOf(needle) >= 0;
}

long ChildResult::msOf(const std::string& needle) const {
    for (const LogLine& line : lines) {
        if (line.text.find(needle) != std::string::npos) {
            return line.ms;
        }
    }
    return -1;
}

std::string ChildResult::verdict() const {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->text.rfind("upgrade-sandbox: ", 0) == 0) {
            return it->text;
        }
    }
    return "";
}

std::string ChildResult::text() const {
    std::string all;
    for (const LogLine& line : lines) {
        all += line.text;
        all += '\n';
    }
    return all;
}

ChildResult runChild(const std::vector<std::string>& argv, int timeoutS,
                     const LineTrigger* trigger) {
    ChildResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        fprintf(stderr, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return result;
    }
    std::string pending;
    bool killed = false;
    long fireAt = -1;  // when the trigger's line has been seen
    bool fired = false;
    for (;;) {
        const long now = elapsedMs(start);
        const long left = timeoutS * 1000L - now;
        if (left <= 0 && !killed) {
            // The runner ends its sandbox on SIGTERM.
            kill(pid, SIGTERM);
            killed = true;
        }
        long wait = killed ? 1000 : std::min(left, 1000L);
        if (fireAt >= 0 && !fired) {
            if (now >= fireAt) {
                kill(pid, SIGTERM);
                fired = true;
            } else {
                wait = std::min(wait, fireAt - now);
            }
        }
        pollfd pfd = {fds[0], POLLIN, 0};
        const int n = poll(&pfd, 1, static_cast<int>(wait));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            continue;
        }
        char buf[4096];
        const ssize_t got = read(fds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const long lineMs = elapsedMs(start);
        pending.append(buf, static_cast<size_t>(got));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            result.lines.push_back({pending.substr(0, nl), lineMs});
            pending.erase(0, nl + 1);
            if (trigger != nullptr && fireAt < 0 &&
                result.lines.back().text.find(trigger->needle) != std::string::npos) {
                fireAt = lineMs + trigger->delayMs;
                if (trigger->delayMs == 0) {
                    kill(pid, SIGTERM);
                    fired = true;
                }
            }
        }
    }
    if (!pending.empty()) {
        result.lines.push_back({pending, elapsedMs(start)});
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

// ---- The build tree -------------------------------------------------------

std::string runnerPath() {
    return std::string(OTA_BINARY_DIR) + "/bin/upgrade-sandbox";
}

std::string builderPath() {
    return std::string(OTA_BINARY_DIR) + "/bin/make-patch-package";
}

std::string rootfsPath() {
    return std::string(OTA_BINARY_DIR) + "/rootfs";
}

std::string scratchDir(const std::string& tag) {
    const std::string base = std::string(OTA_BINARY_DIR) + "/e2e-scratch";
    mkdir(base.c_str(), 0755);
    const std::string dir = base + "/" + tag;
    removeTree(dir);
    mkdir(dir.c_str(), 0755);
    return dir;
}

// ---- Partitions and images --------------------------------------------------

const Partition kPartitions[4] = {
    {"optfs", "mmcblk0p28"},
    {"usrfs", "mmcblk0p26"},
    {"tvservice", "mmcblk0p18"},
    {"serialsdata", "mmcblk0p34"},
};

std::string pseudoRandom(unsigned long long seed, size_t size) {
    std::string out(size, '\0');
    unsigned long long state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (size_t i = 0; i < size; i += 8) {
        // splitmix64
        state += 0x9E3779B97F4A7C15ULL;
        unsigned long long z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        memcpy(&out[i], &z, std::min<size_t>(8, size - i));
    }
    return out;
}

std::vector<ImagePair> sampleImages() {
    std::vector<ImagePair> images(4);

    // optfs: three parts, the first and the short last one change, the
    // middle one stays (a part the list only verifies).
    ImagePair& optfs = images[0];
    optfs.oldImage = pseudoRandom(1, 2 * kPart + 300 * 1024);
    optfs.newImage = optfs.oldImage;
    scribble(&optfs.newImage, 1 * kMiB, 4096, 11);
    scribble(&optfs.newImage, 7 * kMiB, 65536, 12);
    scribble(&optfs.newImage, 2 * kPart + 100 * 1024, 4096, 13);

    // usrfs grows: its first part changes, its short second part is patched
    // into a full one, and a third part is added whole.
    ImagePair& usrfs = images[1];
    usrfs.oldImage = pseudoRandom(2, kPart + 2 * kMiB);
    usrfs.newImage = usrfs.oldImage;
    scribble(&usrfs.newImage, 3 * kMiB, 8192, 21);
    usrfs.newImage += pseudoRandom(22, 2 * kPart - usrfs.newImage.size());
    usrfs.newImage += pseudoRandom(23, kMiB);

    // tvservice shrinks from 6 to 5 MiB inside its one part.
    ImagePair& tvservice = images[2];
    tvservice.oldImage = pseudoRandom(3, 6 * kMiB);
    tvservice.newImage = tvservice.oldImage.substr(0, 5 * kMiB);
    scribble(&tvservice.newImage, 2 * kMiB, 131072, 31);

    // serialsdata is small and carried whole.
    ImagePair& serialsdata = images[3];
    serialsdata.oldImage = pseudoRandom(4, 512 * 1024);
    serialsdata.newImage = pseudoRandom(41, 640 * 1024);
    return images;
}

bool writeImageDirs(const std::string& dir, const std::vector<ImagePair>& images) {
    mkdir((dir + "/old").c_str(), 0755);
    mkdir((dir + "/new").c_str(), 0755);
    for (size_t i = 0; i < images.size(); ++i) {
        const std::string name = std::string(kPartitions[i].name) + ".img";
        if (!writeFile(dir + "/old/" + name, images[i].oldImage) ||
            !writeFile(dir + "/new/" + name, images[i].newImage)) {
            return false;
        }
    }
    return true;
}

ChildResult buildPackage(const std::string& dir, const std::string& output,
                         const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {builderPath(), "--old", dir + "/old", "--new", dir + "/new",
                                     "-o",          output,  "-j",         "2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return runChild(argv, 600);
}

SampleUpgrade buildSampleUpgrade(const std::string& tag) {
    SampleUpgrade s;
    s.work = scratchDir(tag);
    s.images = sampleImages();
    s.package = s.work + "/patch_package.zip";
    if (!writeImageDirs(s.work, s.images)) {
        s.problem = "could not write the images under " + s.work;
        return s;
    }
    const ChildResult built = buildPackage(s.work, s.package, {"--whole", "serialsdata"});
    if (built.exitCode != 0) {
        s.problem = "package builder failed:\n" + built.text();
        removeTree(s.package);
    }
    return s;
}

// ---- Files ------------------------------------------------------------------

std::string readAt(const std::string& path, long offset, size_t length) {
    std::string out(length, '\0');
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return "";
    }
    const ssize_t got = pread(fd, &out[0], length, offset);
    close(fd);
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
}

bool writeAt(const std::string& path, long offset, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool ok =
        pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && ok;
}

bool copyFile(const std::string& from, const std::string& to) {
    return writeFile(to, readFile(from)) && exists(from);
}

void removeTree(const std::string& path) {
    if (!path.empty() && exists(path)) {
        const std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
}

bool readZipEntry(const std::string& zip, const std::string& entry, std::string* out) {
    std::vector<ota_test::ZipFixtureEntry> entries;
    if (!ota_test::readZip(zip, &entries)) {
        return false;
    }
    for (const ota_test::ZipFixtureEntry& e : entries) {
        if (e.name == entry) {
            *out = e.bytes;
            return true;
        }
    }
    return false;
}

bool replaceZipEntry(const std::string& zip, const std::string& entry, const std::string& bytes,
                     const std::string& output) {
    std::vector<ota_test::ZipFixtureEntry> entries;
    if (!ota_test::readZip(zip, &entries)) {
        return false;
    }
    for (ota_test::ZipFixtureEntry& e : entries) {
        if (e.name == entry) {
            e.bytes = bytes;
        }
    }
    return ota_test::writeZip(output, entries);
}

bool removeZipEntry(const std::string& zip, const std::string& entry, const std::string& output) {
    std::vector<ota_test::ZipFixtureEntry> entries;
    if (!ota_test::readZip(zip, &entries)) {
        return false;
    }
    const size_t before = entries.size();
    entries.erase(
        std::remove_if(entries.begin(), entries.end(),
                       [&entry](const ota_test::ZipFixtureEntry& e) { return e.name == entry; }),
        entries.end());
    return entries.size() < before && ota_test::writeZip(output, entries);
}

// ---- Sets -----------------------------------------------------------------------

std::string pendingFlags() {
    // Running chain 1; 4, 5, 7, 8 erased; the others marked so that a write
    // to a wrong offset shows.
    return std::string("\x01\x11\x22\x33\x00\x00\x66\x00\x00\x99", 10);
}

std::string markerArea() {
    return std::string(8, '\x77');
}

std::string partitionPath(const std::string& setDir, const char* device) {
    return setDir + "/emmc/" + device + ".img";
}

std::string flagPath(const std::string& setDir) {
    return partitionPath(setDir, kFlagDevice);
}

bool makeSet(const std::string& setDir, const std::vector<ImagePair>& images,
             const std::string& package, int sizeMiB) {
    removeTree(setDir);
    const ChildResult made = runChild({runnerPath(), "new", setDir, "--rootfs", rootfsPath(),
                                       "--size-mib", std::to_string(sizeMiB)},
                                      120);
    if (made.exitCode != 0) {
        fprintf(stderr, "%s", made.text().c_str());
        return false;
    }
    for (size_t i = 0; i < images.size(); ++i) {
        if (!writeAt(partitionPath(setDir, kPartitions[i].device), 0, images[i].oldImage)) {
            return false;
        }
    }
    if (!writeAt(flagPath(setDir), 0, pendingFlags()) ||
        !writeAt(flagPath(setDir), kMarkerOffset, markerArea())) {
        return false;
    }
    if (!package.empty() && !copyFile(package, setDir + "/OAD/patch_package.zip")) {
        return false;
    }
    return writeFile(setDir + "/var-local/suspend_force_off", "1");
}

ChildResult runProgram(const std::string& setDir, long cutAfterMs, int timeoutS,
                       const LineTrigger* cutAfterLine) {
    std::vector<std::string> argv = {runnerPath(), "run", setDir, rootfsPath()};
    if (cutAfterMs >= 0) {
        argv.push_back("--cut-after-ms");
        argv.push_back(std::to_string(cutAfterMs));
    }
    argv.push_back("--timeout");
    argv.push_back(std::to_string(timeoutS));
    return runChild(argv, timeoutS + 60, cutAfterLine);
}

ChildResult runProgramToDeviceCall(const std::string& setDir, long call, int timeoutS) {
    std::vector<std::string> argv = {runnerPath(), "run",       setDir,
                                     rootfsPath(), "--timeout", std::to_string(timeoutS)};
    if (call > 0) {
        argv.push_back("--cut-at-write");
        argv.push_back(std::to_string(call));
    } else {
        argv.push_back("--count-writes");
    }
    return runChild(argv, timeoutS + 60);
}

long deviceCallsOf(const ChildResult& run) {
    static const std::string kSuffix = " device calls";
    for (const LogLine& line : run.lines) {
        const std::string& text = line.text;
        if (text.rfind("upgrade-sandbox: ", 0) == 0 && text.size() > kSuffix.size() &&
            text.compare(text.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
            return strtol(text.c_str() + strlen("upgrade-sandbox: "), nullptr, 10);
        }
    }
    return -1;
}

bool upgradePending(const std::string& setDir) {
    return boot_stage::upgradePending(readAt(flagPath(setDir), 0, 8));
}

std::map<std::string, std::string> lastResult(const std::string& setDir) {
    std::map<std::string, std::string> record;
    const std::string text = readFile(setDir + "/var-local/upgrade/last_result");
    size_t at = 0;
    size_t end;
    while ((end = text.find('\n', at)) != std::string::npos) {
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            record[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return record;
}

bool partitionHolds(const std::string& setDir, const char* device, const std::string& image) {
    return readAt(partitionPath(setDir, device), 0, image.size()) == image;
}

namespace {

std::string hexByte(char c) {
    char buf[8];
    snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(c));
    return buf;
}

}  // namespace

std::string upgradeProblems(const std::string& setDir, const std::vector<ImagePair>& images) {
    sandbox::NewImages newImages;
    for (size_t i = 0; i < images.size(); ++i) {
        newImages[kPartitions[i].device] = images[i].newImage;
    }
    std::string problems = sandbox::upgradedProblems(sandbox::setDirReader(setDir), newImages);
    if (!problems.empty()) {
        problems += "; ";
    }
    // Beyond the success flags, every flag byte as the set left the factory.
    const std::string expected = pendingFlags();
    const std::string flags = readAt(flagPath(setDir), 0, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const long at = static_cast<long>(i);
        if (at == kFlagOffset4 || at == kFlagOffset5 || at == kFlagOffset7 || at == kFlagOffset8) {
            continue;
        }
        if (i >= flags.size() || flags[i] != expected[i]) {
            problems += "flag byte " + std::to_string(i) + " is " +
                        (i < flags.size() ? hexByte(flags[i]) : std::string("unreadable")) +
                        ", want " + hexByte(expected[i]) + "; ";
        }
    }
    return problems;
}

std::string cleanUpProblems(const std::string& setDir) {
    std::string problems = sandbox::cleanUpProblems(setDir);
    if (!problems.empty()) {
        problems += "; ";
    }
    const std::string marker = readAt(flagPath(setDir), kMarkerOffset, 8);
    if (marker != std::string("reboot\0", 7) + markerArea()[7]) {
        problems += "no reboot marker at 512; ";
    }
    return problems;
}

std::vector<std::pair<int, int>> progressReports(const ChildResult& run) {
    std::vector<std::pair<int, int>> reports;
    for (const LogLine& line : run.lines) {
        const size_t at = line.text.find("request_update(): current progress = ");
        if (at == std::string::npos) {
            continue;
        }
        int current = 0, value = 0, error = 0;
        if (sscanf(line.text.c_str() + at,
                   "request_update(): current progress = %d, value = %d, error = %d", &current,
                   &value, &error) == 3) {
            reports.emplace_back(value, error);
        }
    }
    return reports;
}

}  // namespace set_driver
