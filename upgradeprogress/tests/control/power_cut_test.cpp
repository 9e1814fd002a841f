// Power cuts: the same upgrade is cut at moments spread over its whole run
// (by time, the runner's own cut), inside every phase of its work (right
// after the line that opens the phase: staging, patching, writing, the flag
// writes, the clean-up) and right after every one of its device calls (each
// write, pwrite and fsync that reaches a partition), then started again
// while the boot flags still say an upgrade is pending, as the boot stage
// does. A few sets are cut a second time, early in the restart that resumes
// the first cut. Every set must end up
// holding the new images with the success flags set, and a set restarted to
// the end must also be clean.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"
#include "ground.h"

namespace {

using namespace set_driver;

// Log lines that open a phase, in the order they appear in one upgrade; the
// last of them seen before a cut names the phase the cut fell into. The item
// actions are matched by their first message, not by the function names
// that prefix every line they log.
struct PhaseMark {
    const char* needle;
    const char* phase;
};
constexpr PhaseMark kPhaseMarks[] = {
    {"Get current language is", "start-up"},         {"value = 2, error = 0", "preparation"},
    {"(): handleTotalBspatch ", "partition check"},  {"load split", "staging"},
    {"(): handleUpdateBspatch ", "patching"},        {"(): handleCreateBspatch ", "extracting"},
    {"(): handleEntireTotalBspatch ", "extracting"}, {"to be programmed", "writing"},
    {"(): handleChkSyncBspatch ", "verifying"},      {"value = 95, error = 0", "flags"},
    {"value = 99, error = 0", "clean-up"},           {"value = 100, error = 0", "final screen"},
};

// The program's own lines from the upgrade's side: the rendering thread's
// lines fall anywhere between them and the runner's verdict comes last.
std::vector<LogLine> workerLines(const ChildResult& run) {
    std::vector<LogLine> lines;
    for (const LogLine& line : run.lines) {
        if (line.text.find("(): ") != std::string::npos &&
            line.text.find("animation(): ") == std::string::npos &&
            line.text.rfind("upgrade-sandbox: ", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The phase each worker line opens or continues.
std::vector<std::string> phasesOf(const std::vector<LogLine>& lines) {
    std::vector<std::string> phases;
    const char* phase = "before start-up";
    for (const LogLine& line : lines) {
        for (const PhaseMark& mark : kPhaseMarks) {
            if (line.text.find(mark.needle) != std::string::npos) {
                phase = mark.phase;
                break;
            }
        }
        phases.push_back(phase);
    }
    return phases;
}

std::string phaseOf(const ChildResult& run) {
    const std::vector<std::string> phases = phasesOf(workerLines(run));
    return phases.empty() ? "before start-up" : phases.back();
}

// How an uncut run spends its time, phase by phase, from its first line.
struct Timeline {
    std::vector<LogLine> lines;
    std::vector<std::string> phases;
    long t0 = 0;
    long end = 0;  // the rendering thread's last line

    long at(size_t i) const { return lines[i].ms - t0; }
    long until(size_t i) const { return i + 1 < lines.size() ? at(i + 1) : end - t0; }
};

Timeline timelineOf(const ChildResult& reference) {
    Timeline t;
    t.lines = workerLines(reference);
    t.phases = phasesOf(t.lines);
    t.t0 = t.lines.empty() ? 0 : t.lines.front().ms;
    t.end = reference.msOf("thread exit.");
    return t;
}

void printTimeline(const Timeline& t) {
    std::vector<std::pair<std::string, long>> spent;
    for (size_t i = 0; i < t.lines.size(); ++i) {
        auto it = std::find_if(spent.begin(), spent.end(),
                               [&](const auto& p) { return p.first == t.phases[i]; });
        if (it == spent.end()) {
            spent.emplace_back(t.phases[i], 0);
            it = spent.end() - 1;
        }
        it->second += t.until(i) - t.at(i);
    }
    printf("uncut upgrade: %ld ms from the first line to the end of the final screen\n",
           t.end - t.t0);
    for (const auto& p : spent) {
        printf("  %-18s %6ld ms\n", p.first.c_str(), p.second);
    }
}

// One cut: after a fixed time from the program's start (the runner's own
// cut), `delayMs` after the first line holding `needle` for the phases too
// short to be hit by time on a machine whose runs vary by hundreds of
// milliseconds, or right after device call `atCall`, which no timing moves.
// With `thenAtCall`, the first restart is cut too, right after its own
// device call of that number.
struct CutPlan {
    long cutMs;
    const char* needle;
    long delayMs;
    long atCall = 0;
    long thenAtCall = 0;
};

struct CutOutcome {
    std::string how;
    std::string phase;
    std::string cutVerdict;
    int restarts = 0;
    std::string lastVerdict;
    std::string problems;  // empty: survived
};

// Starts the set again as the boot stage does after the first cut, and cuts
// that restart right after its own device call `call`. Returns what went
// wrong, empty when the restart was cut there.
std::string cutTheRestart(const std::string& setDir, long call, CutOutcome* out, std::string* log) {
    if (!upgradePending(setDir)) {
        return "no restart to cut: the first cut left the upgrade done; ";
    }
    const ChildResult again = runProgramToDeviceCall(setDir, call);
    ++out->restarts;
    out->lastVerdict = again.verdict();
    *log += again.text();
    const std::string at = "(device call " + std::to_string(call) + ")";
    if (again.verdict().find(at) == std::string::npos) {
        return "the restart was not cut at " + at + ": '" + again.verdict() + "'; ";
    }
    return "";
}

// Cuts a fresh set, then starts it again while the upgrade is pending, as the
// boot stage does.
CutOutcome cutAndResume(const std::string& setDir, const std::vector<ImagePair>& images,
                        const std::string& package, const CutPlan& plan) {
    CutOutcome out;
    if (!makeSet(setDir, images, package)) {
        out.problems = "could not make the set";
        return out;
    }
    ChildResult cut;
    if (plan.atCall > 0) {
        out.how = "at device call " + std::to_string(plan.atCall);
        if (plan.thenAtCall > 0) {
            out.how += ", then at the restart's " + std::to_string(plan.thenAtCall);
        }
        cut = runProgramToDeviceCall(setDir, plan.atCall);
    } else if (plan.needle == nullptr) {
        out.how = "after " + std::to_string(plan.cutMs) + " ms";
        cut = runProgram(setDir, plan.cutMs);
    } else {
        out.how = std::to_string(plan.delayMs) + " ms after '" + plan.needle + "'";
        const LineTrigger trigger{plan.needle, plan.delayMs};
        cut = runProgram(setDir, -1, 180, &trigger);
    }
    out.phase = phaseOf(cut);
    out.cutVerdict = cut.verdict();
    out.lastVerdict = out.cutVerdict;
    std::string log = cut.text();
    const std::string secondCut =
        plan.thenAtCall > 0 ? cutTheRestart(setDir, plan.thenAtCall, &out, &log) : "";
    while (upgradePending(setDir) && out.restarts < boot_stage::kRestarts) {
        const ChildResult again = runProgram(setDir);
        ++out.restarts;
        out.lastVerdict = again.verdict();
        log += again.text();
    }
    out.problems = upgradeProblems(setDir, images);
    const std::string atCall = "(device call " + std::to_string(plan.atCall) + ")";
    if (plan.atCall > 0 && out.cutVerdict.find(atCall) == std::string::npos) {
        out.problems += "the run was not cut at " + atCall + ": '" + out.cutVerdict + "'; ";
    }
    out.problems += secondCut;
    // A run that ends at a planned cut leaves the clean-up undone; one that
    // the boot stage started to the end must leave the set clean.
    const bool endedAtPlannedCut = out.lastVerdict.find("(device call ") != std::string::npos;
    if (out.restarts > 0 && out.problems.empty() && !endedAtPlannedCut) {
        if (out.lastVerdict != "upgrade-sandbox: reboot requested") {
            out.problems += "last restart ended with '" + out.lastVerdict + "'; ";
        }
        out.problems += cleanUpProblems(setDir);
    }
    if (!out.problems.empty()) {
        fprintf(stderr, "---- cut %s (%s) ----\n%s", out.how.c_str(), out.phase.c_str(),
                log.c_str());
    }
    return out;
}

TEST(PowerCut, EveryCutResumesToTheNewImages) {
    ASSERT_TRUE(exists(runnerPath())) << runnerPath();
    ASSERT_TRUE(exists(rootfsPath() + "/usr/bin/upgradeprogress/upgradeprogress"));
    const SampleUpgrade sample = buildSampleUpgrade("power_cut");
    ASSERT_EQ(sample.problem, "");
    const std::string& work = sample.work;
    const std::vector<ImagePair>& images = sample.images;
    const std::string& package = sample.package;

    // An uncut run shows how long each phase takes on this machine and how
    // many device calls the upgrade makes.
    const std::string referenceSet = work + "/reference";
    ASSERT_TRUE(makeSet(referenceSet, images, package));
    const ChildResult reference = runProgramToDeviceCall(referenceSet, 0);
    ASSERT_EQ(reference.verdict(), "upgrade-sandbox: reboot requested") << reference.text();
    ASSERT_EQ(upgradeProblems(referenceSet, images), "") << reference.text();
    removeTree(referenceSet);
    const Timeline timeline = timelineOf(reference);
    ASSERT_GT(timeline.end, timeline.t0) << reference.text();
    printTimeline(timeline);
    const long deviceCalls = deviceCallsOf(reference);
    // Every image written, every flag byte, the marker: far more than a dozen.
    ASSERT_GT(deviceCalls, 12) << reference.text();
    printf("uncut upgrade: %ld device calls\n", deviceCalls);

    // Moments spread evenly over the whole run, then moments inside every
    // phase of the upgrade's own work: into the flag writes and the clean-up
    // several times, as they take only milliseconds.
    std::vector<CutPlan> plans;
    constexpr int kSpread = 12;
    for (int i = 0; i < kSpread; ++i) {
        plans.push_back({(timeline.end - timeline.t0) * (2 * i + 1) / (2 * kSpread), nullptr, 0});
    }
    const CutPlan inside[] = {
        {0, "(): handleTotalBspatch ", 0},
        {0, "load split", 0},
        {0, "load split", 40},
        {0, "(): handleUpdateBspatch ", 5},
        {0, "(): handleUpdateBspatch ", 150},
        {0, "to be programmed", 0},
        {0, "to be programmed", 20},
        {0, "(): handleCreateBspatch ", 5},
        {0, "(): handleEntireTotalBspatch ", 5},
        {0, "(): handleChkSyncBspatch ", 0},
        {0, "value = 95, error = 0", 0},
        {0, "value = 95, error = 0", 15},
        {0, "value = 95, error = 0", 35},
        {0, "value = 95, error = 0", 55},
        {0, "value = 99, error = 0", 0},
        {0, "value = 99, error = 0", 400},
        {0, "value = 100, error = 0", 500},
    };
    plans.insert(plans.end(), std::begin(inside), std::end(inside));
    for (long call = 1; call <= deviceCalls; ++call) {
        plans.push_back({0, nullptr, 0, call});
    }
    // Cut again while resuming: first cuts early and midway through the
    // image writes (the flag writes are the last few calls), second cuts
    // at the restart's first call and a little later.
    for (long first : {1L, deviceCalls / 3, deviceCalls / 2}) {
        for (long second : {1L, 3L}) {
            plans.push_back({0, nullptr, 0, first, second});
        }
    }

    // Two sets at a time: each run mostly waits on its screen.
    std::vector<CutOutcome> outcomes(plans.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
        workers.emplace_back([&, w] {
            for (size_t i; (i = next++) < plans.size();) {
                const std::string setDir = work + "/cut_" + std::to_string(w);
                outcomes[i] = cutAndResume(setDir, images, package, plans[i]);
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
        printf("cut %-44s %-16s restarts %d  %s\n", o.how.c_str(), o.phase.c_str(), o.restarts,
               o.problems.empty() ? "ok" : o.problems.c_str());
        EXPECT_EQ(o.problems, "") << "cut " << o.how << " in " << o.phase;
        survived += o.problems.empty() ? 1 : 0;
        if (std::find(phases.begin(), phases.end(), o.phase) == phases.end()) {
            phases.push_back(o.phase);
        }
    }
    std::string covered;
    for (const std::string& p : phases) {
        covered += p + "; ";
    }
    printf("survived %d of %zu cuts; phases cut: %s\n", survived, outcomes.size(), covered.c_str());
    for (const char* phase : {"staging", "patching", "writing", "flags", "clean-up"}) {
        EXPECT_NE(std::find(phases.begin(), phases.end(), phase), phases.end())
            << "no cut fell into " << phase;
    }
    ::testing::Test::RecordProperty("cuts", static_cast<int>(outcomes.size()));
    ::testing::Test::RecordProperty("survived", survived);
    ::testing::Test::RecordProperty("phases", covered);
    if (!HasFailure()) {
        removeTree(work);
    }
}

}  // namespace
