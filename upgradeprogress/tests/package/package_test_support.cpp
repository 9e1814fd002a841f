#include "package_test_support.h"

#include "testing/files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <openssl/evp.h>

#include "archive.h"
#include "ground.h"

extern char** environ;

namespace package_test {

namespace fs = std::filesystem;

namespace {

// Setup steps that cannot go on end the test with a clear reason.
[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + (errno != 0 ? std::string(": ") + strerror(errno) : ""));
}

const char kScratchDir[] = "/tmp/package-test-scratch/";

}  // namespace

std::string makeImage(size_t size, unsigned seed) {
    // Tests ask for the same images again and again; making them is not free.
    static std::map<std::pair<size_t, unsigned>, std::string> made;
    auto it = made.find({size, seed});
    if (it == made.end()) {
        it = made.emplace(std::make_pair(size, seed), ota_test::patternBytes(size, seed)).first;
    }
    return it->second;
}

std::string changedImage(const std::string& base, size_t size, unsigned seed) {
    // Grown bytes repeat the start of the base, as new content of a firmware
    // mostly does: bsdiff is quick on matches and very slow on fresh bytes.
    std::string image = base.substr(0, std::min(size, base.size()));
    while (!base.empty() && image.size() < size) {
        image += base.substr(0, std::min(base.size(), size - image.size()));
    }
    const std::string edit = ota_test::patternBytes(4096, seed + 104729);
    uint32_t state = seed * 2246822519u + 3;
    for (int i = 0; i < 12 && size > edit.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const size_t at = state % (size - edit.size());
        image.replace(at, edit.size(), edit);
    }
    return image;
}

std::vector<std::string> splitParts(const std::string& image) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < image.size(); at += kPart) {
        parts.push_back(image.substr(at, kPart));
    }
    return parts;
}

std::string partOf(const std::string& image, size_t index) {
    return image.substr(index * kPart, kPart);
}

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        fail("EVP_Digest");
    }
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

void makePatches(std::vector<PatchJob*> jobs) {
    fs::create_directories(kScratchDir);
    constexpr size_t kAtOnce = 2;
    struct Running {
        pid_t pid;
        PatchJob* job;
        std::string patchPath;
    };
    std::vector<Running> running;
    auto waitOne = [&running]() {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        auto it = std::find_if(running.begin(), running.end(),
                               [pid](const Running& r) { return r.pid == pid; });
        if (it == running.end()) {
            fail("waitpid");
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("bsdiff failed for " + it->patchPath);
        }
        it->job->patch = readFile(it->patchPath);
        running.erase(it);
    };

    for (size_t i = 0; i < jobs.size(); ++i) {
        if (running.size() == kAtOnce) {
            waitOne();
        }
        const std::string base = kScratchDir + std::to_string(getpid()) + "-" + std::to_string(i);
        const std::string oldPath = base + ".old";
        const std::string newPath = base + ".new";
        const std::string patchPath = base + ".patch";
        writeFile(oldPath, jobs[i]->oldBytes);
        writeFile(newPath, jobs[i]->newBytes);
        const char* argv[] = {"bsdiff", oldPath.c_str(), newPath.c_str(), patchPath.c_str(),
                              nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, "/usr/bin/bsdiff", nullptr, nullptr, const_cast<char**>(argv),
                        environ) != 0) {
            fail("cannot start /usr/bin/bsdiff");
        }
        running.push_back({pid, jobs[i], patchPath});
    }
    while (!running.empty()) {
        waitOne();
    }
    fs::remove_all(kScratchDir);
}

std::string makePatch(const std::string& oldBytes, const std::string& newBytes) {
    PatchJob job{oldBytes, newBytes, {}};
    makePatches({&job});
    return job.patch;
}

std::string listLine(const std::string& mode, const std::string& name, const std::string& checkSum,
                     long fileSize, long offset) {
    return mode + ";" + name + ";" + checkSum + ";" + std::to_string(fileSize) + ";" +
           std::to_string(offset) + "\n";
}

ota_test::ZipFixtureEntry listEntry(const std::string& partition, const std::string& lines) {
    return {std::string(ota_format::kEntryDir) + ota_format::kListPrefix + partition +
                ota_format::kListSuffix,
            lines, true};
}

ota_test::ZipFixtureEntry itemEntry(const std::string& name, const std::string& bytes) {
    // Payloads go in both ways a builder may store them.
    return {std::string(ota_format::kEntryDir) + name, bytes, bytes.size() % 2 == 0};
}

void writePackage(const std::vector<ota_test::ZipFixtureEntry>& entries) {
    fs::create_directories(fs::path(ota_paths::kPackage).parent_path());
    if (!ota_test::writeZip(ota_paths::kPackage, entries)) {
        fail("cannot write the package");
    }
}

void openPackage() {
    if (m_archiveHandle != nullptr) {
        closeArchive(m_archiveHandle);
        m_archiveHandle = nullptr;
    }
    if (openArchive(ota_paths::kPackage, &m_archiveHandle) != 0) {
        m_archiveHandle = nullptr;
        fail("cannot open the package");
    }
}

std::string readFile(const std::string& path) {
    std::string bytes;
    if (!ota_test::readFile(path, &bytes)) {
        fail("cannot read " + path);
    }
    return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
    if (!ota_test::writeFile(path, bytes)) {
        fail("cannot write " + path);
    }
}

bool exists(const std::string& path) {
    return ota_test::pathExists(path);
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string deviceOf(const std::string& partition) {
    if (partition == "optfs") return ota_paths::kOptfsDevice;
    if (partition == "usrfs") return ota_paths::kUsrfsDevice;
    if (partition == "tvservice") return ota_paths::kTvserviceDevice;
    if (partition == "serialsdata") return ota_paths::kSerialsdataDevice;
    fail("no partition " + partition);
}

std::string readDevice(const std::string& device, size_t offset, size_t length) {
    const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail("cannot open " + device);
    }
    std::string bytes(length, '\0');
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd, &bytes[done], length - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            close(fd);
            fail("cannot read " + device);
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return bytes;
}

void writeDevice(const std::string& device, size_t offset, const std::string& bytes) {
    const int fd = open(device.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        fail("cannot open " + device);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            close(fd);
            fail("cannot write " + device);
        }
        done += static_cast<size_t>(n);
    }
    // No fsync: the program reads the device through the same page cache.
    close(fd);
}

void resetRun() {
    if (m_archiveHandle != nullptr) {
        closeArchive(m_archiveHandle);
        m_archiveHandle = nullptr;
    }
    fs::remove(ota_paths::kPackage);
    closeWorkDirectories();
    m_updateListText.clear();
    for (const char* dir : {ota_paths::kPatchDir, ota_paths::kOriginalDir, ota_paths::kUpdateDir,
                            ota_paths::kListDir}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    m_totalItemNum = 0;
    m_curItemNum = 0;
    isNeedCheck = false;
    isUpgraded = false;
    m_totalFileName.clear();
    pthread_mutex_lock(&progressMutex);
    currentProgress = 0;
    errorStatus = 0;
    pthread_mutex_unlock(&progressMutex);
}

LogCapture::LogCapture() : m_path("/tmp/package-test-log-" + std::to_string(getpid()) + ".txt") {
    fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    const int fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (m_saved < 0 || fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
        fail("cannot capture stdout");
    }
    close(fd);
}

LogCapture::~LogCapture() {
    if (m_saved >= 0) {
        stop();
    }
}

std::string LogCapture::stop() {
    fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    m_saved = -1;
    std::string log = readFile(m_path);
    fs::remove(m_path);
    // Shown again, so a failing test carries the program's own account.
    fwrite(log.data(), 1, log.size(), stdout);
    fflush(stdout);
    return log;
}

int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::vector<std::string> linesWith(const std::string& log, const std::string& needle) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<int> progressValues(const std::string& log) {
    std::vector<int> values;
    for (const std::string& line : linesWith(log, "request_update(): current progress")) {
        int value = 0;
        int error = 0;
        const size_t at = line.find("value = ");
        if (at != std::string::npos &&
            sscanf(line.c_str() + at, "value = %d, error = %d", &value, &error) == 2 &&
            error == 0) {
            values.push_back(value);
        }
    }
    return values;
}

CongfigItemValue_T item(const std::string& mode, const std::string& name,
                        const std::string& checkSum, int fileSize, int offset) {
    CongfigItemValue_T record;
    memset(&record, 0, sizeof record);
    strncpy(record.upgradMode, mode.c_str(), sizeof record.upgradMode - 1);
    strncpy(record.fileName, name.c_str(), sizeof record.fileName - 1);
    strncpy(record.checkSum, checkSum.c_str(), sizeof record.checkSum - 1);
    record.fileSize = fileSize;
    record.offset = offset;
    return record;
}

}  // namespace package_test
