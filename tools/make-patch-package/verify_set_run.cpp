#include "verify_set_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "file_util.h"
#include "ground.h"
#include "md5_digest.h"
#include "run_child.h"
#include "sandbox_set.h"
#include "verify_partitions.h"

namespace mpp {

namespace {

constexpr long kRunTimeoutS = 900;

// The boot stage's rule on the set's flags. A set whose flag image cannot be
// read is not started again: its final state shows why.
bool bootStageStartsProgram(const std::string& flags) {
    return !flags.empty() && boot_stage::upgradePending(flags);
}

long deviceCallsIn(const std::string& log) {
    const std::string key = "upgrade-sandbox: ";
    for (size_t at = log.rfind(" device calls\n"); at != std::string::npos;) {
        size_t start = log.rfind(key, at);
        if (start == std::string::npos) break;
        return atol(log.c_str() + start + key.size());
    }
    return -1;
}

std::string makeSet(const VerifyContext& c, const Base& base, const std::string& setDir) {
    runLogged({"/bin/rm", "-rf", "--", setDir}, "/dev/null");
    std::string log = setDir + ".log";
    unlink(log.c_str());
    if (runLogged({c.options.runner, "new", setDir, "--rootfs", c.options.rootfs, "--size-mib",
                   std::to_string(base.sizeMiB)},
                  log) != 0) {
        return "cannot make a set: " + lastLine(readText(log));
    }
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
        std::string image = base.dir + "/" + p.name + ".img";
        if (regularFileSize(image) < 0) continue;
        if (!copyOver(image, setPartitionImage(setDir, p.device)))
            return "cannot copy " + image + " into the set";
    }
    std::string lang = c.options.lang + "\n";
    if (!writeWholeFile(setDir + "/var-local/upgrade/am_tv_lang", lang.data(), lang.size()) ||
        !writeWholeFile(setDir + "/var-local/suspend_force_off", "", 0) ||
        !copyWhole(c.package, setDir + "/OAD/patch_package.zip")) {
        return "cannot lay the language, the package or the power state into the set";
    }
    return std::string();
}

}  // namespace

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int runLogged(const std::vector<std::string>& args, const std::string& logPath) {
    host::ChildOptions options;
    options.outputFile = logPath;
    return host::runChild(args, options).status;
}

std::string flagBytes(const std::string& setDir) {
    std::string bytes;
    if (!sandbox::setDirReader(setDir)(sandbox::deviceName(ota_paths::kFlagDevice),
                                       sandbox::successFlagBytes(), &bytes))
        return std::string();
    return bytes;
}

std::string hexBytes(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%s%02x", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}

std::string finalState(const std::string& setDir) {
    std::string state = "flags " + hexBytes(flagBytes(setDir)) + "\n";
    for (const ota_paths::Partition_T& p : ota_paths::kPartitions)
        state += std::string(p.name) + " " + md5OfFile(setPartitionImage(setDir, p.device)) + "\n";
    return state;
}

std::string installedCopyDir(const std::string& setDir) {
    return setDir + ".installed";
}

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

RunResult runOnFreshSet(const VerifyContext& c, const Base& base, const std::string& setDir,
                        long cutAt) {
    RunResult r;
    auto started = std::chrono::steady_clock::now();
    r.setup = makeSet(c, base, setDir);
    if (!r.setup.empty()) return r;
    if (cutAt == 0) {
        runLogged({"/bin/rm", "-rf", "--", installedCopyDir(setDir)}, "/dev/null");
        r.setup = keepInstalledPartitions(setDir, installedCopyDir(setDir));
        if (!r.setup.empty()) return r;
    }
    std::vector<std::string> args = {c.options.runner, "run",       setDir,
                                     c.options.rootfs, "--timeout", std::to_string(kRunTimeoutS)};
    if (cutAt > 0) {
        args.push_back("--cut-at-write");
        args.push_back(std::to_string(cutAt));
    } else {
        args.push_back("--count-writes");
    }
    std::string log = setDir + "/run-0.log";
    r.exitCode = runLogged(args, log);
    r.log = readText(log);
    r.verdictLine = lastLine(r.log);
    r.deviceCalls = deviceCallsIn(r.log);
    if (cutAt > 0) {
        while (r.restarts < boot_stage::kRestarts && bootStageStartsProgram(flagBytes(setDir))) {
            ++r.restarts;
            log = setDir + "/run-" + std::to_string(r.restarts) + ".log";
            r.exitCode = runLogged({c.options.runner, "run", setDir, c.options.rootfs, "--timeout",
                                    std::to_string(kRunTimeoutS)},
                                   log);
            r.log = readText(log);
            r.verdictLine = lastLine(r.log);
        }
    }
    r.state = finalState(setDir);
    if (cutAt == 0) r.record = readSetRecord(setDir);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

}  // namespace mpp
