// Power cuts: the same upgrade is cut at moments spread over all its phases
// (start-up, partition checks, staging, patching, writing, flags, clean-up,
// final screen), then started again while the boot flags still say an
// upgrade is pending, as the boot stage does. Every set must end up holding
// the new images with the success flags set.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"

namespace {

using namespace set_driver;

// Log lines that open a phase, in the order they appear in one upgrade; the
// last of them seen before a cut names the phase the cut fell into.
struct PhaseMark {
    const char* needle;
    const char* phase;
};
constexpr PhaseMark kPhaseMarks[] = {
    {"Get current language is", "start-up"},
    {"value = 2, error = 0", "preparation"},
    {"handleTotalBspatch", "partition check"},
    {"load split", "staging"},
    {"handleUpdateBspatch", "patching"},
    {"handleCreateBspatch", "extracting"},
    {"handleEntireTotalBspatch", "extracting"},
    {"to be programmed", "writing"},
    {"handleChkSyncBspatch", "verifying"},
    {"value = 95, error = 0", "flags"},
    {"value = 99, error = 0", "clean-up"},
    {"value = 100, error = 0", "final screen"},
    {"thread exit.", "marker and reboot"},
};

std::string phaseOf(const ChildResult& run) {
    std::string phase = "before start-up";
    for (const LogLine& line : run.lines) {
        for (const PhaseMark& mark : kPhaseMarks) {
            if (line.text.find(mark.needle) != std::string::npos) {
                phase = mark.phase;
            }
        }
    }
    return phase;
}

// Times of the phase marks of an uncut run, from the program's first line.
std::vector<long> cutMoments(const ChildResult& reference) {
    const long t0 = reference.msOf("Get current language is");
    const long tDone = reference.msOf("value = 100, error = 0");
    std::vector<long> moments;
    // Evenly over the whole run, start-up and final screen included.
    const long span = reference.msOf("thread exit.") - t0;
    for (int i = 0; i < 14; ++i) {
        moments.push_back(span * (2 * i + 1) / 28);
    }
    // Into every phase that begins with a logged line: just after its first
    // line, and a little later.
    for (const char* needle :
         {"handleTotalBspatch", "load split", "handleUpdateBspatch", "to be programmed",
          "handleCreateBspatch", "handleEntireTotalBspatch", "handleChkSyncBspatch"}) {
        const long at = reference.msOf(needle);
        if (at >= 0) {
            moments.push_back(at - t0 + 2);
            moments.push_back(at - t0 + 60);
        }
    }
    // The flags and the clean-up take milliseconds: cut closely after 95
    // and 99, and in the pause before 100.
    const long at95 = reference.msOf("value = 95, error = 0") - t0;
    const long at99 = reference.msOf("value = 99, error = 0") - t0;
    for (long d : {0L, 1L, 3L, 6L}) {
        moments.push_back(at95 + d);
    }
    for (long d : {0L, 2L, 10L, 40L, 500L}) {
        moments.push_back(at99 + d);
    }
    moments.push_back(tDone - t0 + 100);
    std::sort(moments.begin(), moments.end());
    moments.erase(std::unique(moments.begin(), moments.end()), moments.end());
    moments.erase(std::remove_if(moments.begin(), moments.end(), [](long m) { return m < 0; }),
                  moments.end());
    return moments;
}

struct CutOutcome {
    long cutMs = 0;
    std::string phase;
    std::string cutVerdict;
    int restarts = 0;
    std::string lastVerdict;
    std::string problems;  // empty: survived
};

constexpr int kMaxRestarts = 4;

CutOutcome cutAndResume(const std::string& setDir, const std::vector<ImagePair>& images,
                        const std::string& package, long cutMs) {
    CutOutcome out;
    out.cutMs = cutMs;
    if (!makeSet(setDir, images, package)) {
        out.problems = "could not make the set";
        return out;
    }
    const ChildResult cut = runProgram(setDir, cutMs);
    out.phase = phaseOf(cut);
    out.cutVerdict = cut.verdict();
    out.lastVerdict = out.cutVerdict;
    std::string log = cut.text();
    // The boot stage starts the program again as long as an upgrade is pending.
    while (upgradePending(setDir) && out.restarts < kMaxRestarts) {
        const ChildResult again = runProgram(setDir);
        ++out.restarts;
        out.lastVerdict = again.verdict();
        log += again.text();
    }
    out.problems = upgradeProblems(setDir, images);
    if (out.restarts > 0 && out.problems.empty()) {
        if (out.lastVerdict != "upgrade-sandbox: reboot requested") {
            out.problems += "last restart ended with '" + out.lastVerdict + "'; ";
        }
        out.problems += cleanUpProblems(setDir);
    }
    if (!out.problems.empty()) {
        fprintf(stderr, "---- cut after %ld ms (%s) ----\n%s", cutMs, out.phase.c_str(), log.c_str());
    }
    return out;
}

TEST(PowerCut, EveryCutResumesToTheNewImages) {
    ASSERT_TRUE(exists(runnerPath())) << runnerPath();
    ASSERT_TRUE(exists(rootfsPath() + "/usr/bin/upgradeprogress/upgradeprogress"));
    const std::string work = scratchDir("power_cut");
    const std::vector<ImagePair> images = sampleImages();
    ASSERT_TRUE(writeImageDirs(work, images));
    const std::string package = work + "/patch_package.zip";
    const ChildResult built = buildPackage(work, package, {"--whole", "serialsdata"});
    ASSERT_EQ(built.exitCode, 0) << built.text();

    // An uncut run shows how long each phase takes on this machine.
    const std::string referenceSet = work + "/reference";
    ASSERT_TRUE(makeSet(referenceSet, images, package));
    const ChildResult reference = runProgram(referenceSet);
    ASSERT_EQ(reference.verdict(), "upgrade-sandbox: reboot requested") << reference.text();
    ASSERT_EQ(upgradeProblems(referenceSet, images), "") << reference.text();
    removeTree(referenceSet);

    const std::vector<long> moments = cutMoments(reference);
    ASSERT_GE(moments.size(), 20u);

    // A few sets at a time: each run mostly waits on its screen.
    std::vector<CutOutcome> outcomes(moments.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&, w] {
            for (size_t i; (i = next++) < moments.size();) {
                const std::string setDir = work + "/cut_" + std::to_string(w);
                outcomes[i] = cutAndResume(setDir, images, package, moments[i]);
                if (outcomes[i].problems.empty()) {
                    removeTree(setDir);
                }
            }
        });
    }
    for (std::thread& t : workers) {
        t.join();
    }

    int survived = 0;
    std::vector<std::string> phases;
    for (const CutOutcome& o : outcomes) {
        printf("cut after %5ld ms  %-18s %-38s restarts %d  %s\n", o.cutMs, o.phase.c_str(),
               o.cutVerdict.c_str(), o.restarts, o.problems.empty() ? "ok" : o.problems.c_str());
        EXPECT_EQ(o.problems, "") << "cut after " << o.cutMs << " ms in " << o.phase;
        survived += o.problems.empty() ? 1 : 0;
        if (o.cutVerdict.find("cut after") != std::string::npos) {
            phases.push_back(o.phase);
        }
    }
    std::sort(phases.begin(), phases.end());
    phases.erase(std::unique(phases.begin(), phases.end()), phases.end());
    std::string covered;
    for (const std::string& p : phases) {
        covered += p + "; ";
    }
    printf("survived %d of %zu cuts; phases cut: %s\n", survived, outcomes.size(), covered.c_str());
    ::testing::Test::RecordProperty("cuts", static_cast<int>(outcomes.size()));
    ::testing::Test::RecordProperty("survived", survived);
    ::testing::Test::RecordProperty("phases", covered);
    for (const char* phase : {"staging", "patching", "writing", "flags", "clean-up"}) {
        EXPECT_NE(std::find(phases.begin(), phases.end(), phase), phases.end())
            << "no cut fell into " << phase;
    }
    if (!HasFailure()) {
        removeTree(work);
    }
}

}  // namespace
