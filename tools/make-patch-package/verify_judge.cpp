#include "verify_judge.h"

#include <fcntl.h>

#include <cctype>
#include <sstream>
#include <vector>

#include "file_util.h"
#include "ground.h"
#include "md5_digest.h"
#include "sandbox_set.h"
#include "verify_partitions.h"

namespace mpp {

namespace {

// The lines of `cut` that the uncut run's final state does not have.
std::string stateDifference(const std::string& uncut, const std::string& cut) {
    std::istringstream in(cut);
    std::string line, differs;
    while (std::getline(in, line)) {
        if (uncut.find(line + "\n") == std::string::npos)
            differs += (differs.empty() ? "" : "; ") + line;
    }
    return differs;
}

// The failure ending, told by the partitions' bytes: refused when every one
// holds what was installed, failed (with those that do not) otherwise. The
// record's word is only checked against that: a set that says "refused" has
// promised that no partition changed. Leaves a note on a mismatch in
// `b->detail`.
void judgeFailureEnding(const RunResult& r, const std::string& setDir, VerifiedBase* b) {
    std::vector<std::string> changed;
    std::string error = changedPartitions(setDir, installedCopyDir(setDir), &changed);
    if (!error.empty()) {
        b->verdict = "not compared";
        b->detail = "; " + error;
        return;
    }
    std::string names;
    for (const std::string& name : changed)
        names += " " + name;
    b->verdict = changed.empty() ? "refused, no partition changed" : "failed, changed:" + names;
    const std::string& said = r.record.result;
    if (!r.record.present) {
        b->detail = "; the set left no record";
    } else if (said == "refused" && !changed.empty()) {
        b->detail = "; the record says result=refused, yet" + names + " changed";
    } else if (said != "refused" && said != "failed") {
        b->detail = "; the record says result=" + said + " after the failure ending";
    }
}

}  // namespace

std::string firstFailure(const std::string& log) {
    std::istringstream in(log);
    std::string line, item, firstInItem, last;
    while (std::getline(in, line)) {
        // The failure ending has begun: its own lines say nothing of why.
        if (line.find("the failure ending writes") != std::string::npos ||
            line.find("TV will reset the flags") != std::string::npos)
            break;
        // Each item action names its item first: "handleUpdateBspatch NAME."
        size_t name = line.find("Bspatch ");
        if (name != std::string::npos) {
            item = line.substr(name + 8);
            while (!item.empty() && (item.back() == '.' || item.back() == ' '))
                item.pop_back();
            firstInItem.clear();
            continue;
        }
        std::string lower = line;
        for (char& ch : lower)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        bool failure = false;
        for (const char* sign :
             {"fail", "sum error", "refused", "cannot", "can not", " err ", "error param",
              "exhausted", "outside the", "there is no ", "there no handle"}) {
            failure = failure || lower.find(sign) != std::string::npos;
        }
        if (!failure) continue;
        last = line;
        if (firstInItem.empty()) firstInItem = line;
    }
    if (!item.empty() && !firstInItem.empty()) return "item " + item + ": " + firstInItem;
    return last.empty() ? "no failure line in the log" : last;
}

VerifiedBase judgeUncut(const VerifyContext& c, const RunResult& r, const std::string& setDir) {
    VerifiedBase b;
    b.seconds = r.seconds;
    b.deviceCalls = r.deviceCalls;
    if (!r.setup.empty()) {
        b.verdict = "not run";
        b.detail = r.setup;
        return b;
    }
    std::string flags = flagBytes(setDir);
    if (r.exitCode == sandbox::kExitReboot && sandbox::successFlagsSet(flags)) {
        // A set that upgraded yet kept its package would run it again, or
        // keep /OAD full, at the next boot.
        const std::string unclean = sandbox::cleanUpProblems(setDir);
        if (!unclean.empty()) {
            b.verdict = "not cleaned up";
            b.detail = unclean;
            return b;
        }
        b.verdict = "upgrades";
        if (!c.options.newDir.empty()) {
            for (const ota_paths::Partition_T& p : ota_paths::kPartitions) {
                std::string want = c.options.newDir + "/" + p.name + ".img";
                long long size = regularFileSize(want);
                if (size < 0) continue;
                Md5Digest have;
                UniqueFd fd(open(setPartitionImage(setDir, p.device).c_str(), O_RDONLY));
                std::vector<char> buf(static_cast<size_t>(size));
                if (!fd.valid() || !readAt(fd.get(), buf.data(), buf.size(), 0) ||
                    md5Hex(buf.data(), buf.size()) != md5OfFile(want)) {
                    b.verdict = "wrong image";
                    b.detail = std::string(p.name) + " does not hold " + want;
                    return b;
                }
            }
        }
        return b;
    }
    if (r.exitCode == sandbox::kExitReboot) {
        judgeFailureEnding(r, setDir, &b);
        b.detail = firstFailure(r.log) + " (flags " + hexBytes(flags) + ")" + b.detail;
        return b;
    }
    if (r.exitCode == 1) {
        b.verdict = "stops";
        std::string program = r.log.substr(0, r.log.rfind("upgrade-sandbox: "));
        b.detail = lastLine(program.substr(0, program.rfind("upgrade-sandbox: ")));
        return b;
    }
    b.verdict = "ends otherwise";
    b.detail = r.verdictLine;
    return b;
}

void judgeCut(const RunResult& r, const RunResult& uncut, const std::string& setDir,
              CutRecord* cut) {
    const bool survived = r.setup.empty() && r.state == uncut.state;
    cut->ending = !survived                                ? CutEnding::Lost
                  : !sandbox::oadLeftovers(setDir).empty() ? CutEnding::PackageLeft
                                                           : CutEnding::Survived;
    if (survived) return;
    const std::string why = !r.setup.empty()        ? r.setup
                            : r.verdictLine.empty() ? "no verdict"
                                                    : "after " + std::to_string(r.restarts) +
                                                          " restarts, last: " + r.verdictLine;
    cut->reason = why + "; differs from the uncut run: " + stateDifference(uncut.state, r.state);
}

}  // namespace mpp
