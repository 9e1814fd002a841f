// A cut sweep split over machines, without running a set: each shard's
// report reads back as written, a merge refuses what is not one sweep and
// puts the rest back into the table the whole sweep prints, and the shard
// comes from the command line or the batch engine's variables.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testing/run_program.h"
#include "verify.h"
#include "verify_report.h"
#include "testing/files.h"

namespace {

const std::string kBuilder = OTA_BINARY_DIR "/bin/make-patch-package";

using mpp::CutEnding;
using mpp::CutRecord;
using mpp::VerifyRun;

using TempDir = ota_test::ScratchDir;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A whole sweep of --cuts 4 over two bases that upgrade around one that is
// refused: eight cuts, some lost with reasons that hold a tab, a backslash
// and a line break, one that left the package behind.
VerifyRun wholeSweep() {
    VerifyRun run;
    run.package = "out/pkg.zip";
    run.packageSha256 = std::string(32, 'a') + std::string(32, '7');
    run.cutsAsked = "4";
    run.sweepSeconds = 61.5;
    run.bases = {{"old/1.0", "optfs=" + std::string(64, '1'), "upgrades", "", 6.5, 15},
                 {"old/0.9", "optfs=" + std::string(64, '2'), "refused, no partition changed",
                  "pre-check refused the package:\tpart optfs_split_partaa", 1.2, 3},
                 {"old/1.1", "optfs=" + std::string(64, '3') + " usrfs=" + std::string(64, '4'),
                  "upgrades", "", 7.25, 10}};
    const std::vector<mpp::PlannedCut> planned = mpp::planCuts(4, 0, run.bases);
    for (size_t t = 0; t < planned.size(); ++t) {
        CutRecord cut;
        cut.number = static_cast<long>(t + 1);
        cut.base = planned[t].base;
        cut.deviceCall = planned[t].deviceCall;
        cut.ending = t % 3 == 1 ? CutEnding::Lost : CutEnding::Survived;
        if (t == 6) cut.ending = CutEnding::PackageLeft;
        if (cut.ending == CutEnding::Lost) {
            cut.reason = "after 0 restarts, last: a\\b\tc\nd; differs from the uncut run: flags " +
                         std::to_string(t);
            cut.reproduce = "make-patch-package verify out/pkg.zip --old " +
                            run.bases[cut.base].dir + " --cut-at " + std::to_string(cut.deviceCall);
        }
        run.cuts.push_back(cut);
    }
    run.total = static_cast<long>(run.cuts.size());
    return run;
}

// Shard `index` of `count` of a whole sweep: its cuts, its own sweep time.
VerifyRun shardOf(const VerifyRun& whole, size_t index, size_t count) {
    VerifyRun shard = whole;
    shard.shard = {index, count};
    shard.cuts.clear();
    for (const CutRecord& cut : whole.cuts) {
        if (host::inShard(shard.shard, static_cast<size_t>(cut.number - 1)))
            shard.cuts.push_back(cut);
    }
    shard.sweepSeconds = whole.sweepSeconds / static_cast<double>(count);
    return shard;
}

std::string summaryText(const VerifyRun& run, int* exitCode) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    *exitCode = mpp::printVerifySummary(run, out);
    fclose(out);
    std::string s(text, size);
    free(text);
    return s;
}

// The summary without its sweep line, which tells a shard's and a merge's
// seconds apart from one run's.
std::string withoutSweepLine(const std::string& summary) {
    std::istringstream lines(summary);
    std::string line, kept;
    while (std::getline(lines, line)) {
        if (line.rfind("cut sweep: ", 0) != 0) kept += line + "\n";
    }
    return kept;
}

void expectSameCuts(const std::vector<CutRecord>& got, const std::vector<CutRecord>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].number, want[i].number);
        EXPECT_EQ(got[i].base, want[i].base) << "cut " << want[i].number;
        EXPECT_EQ(got[i].deviceCall, want[i].deviceCall) << "cut " << want[i].number;
        EXPECT_EQ(got[i].ending, want[i].ending) << "cut " << want[i].number;
        EXPECT_EQ(got[i].reason, want[i].reason) << "cut " << want[i].number;
        EXPECT_EQ(got[i].reproduce, want[i].reproduce) << "cut " << want[i].number;
    }
}

// ---- the report file -------------------------------------------------------------

TEST(VerifyReport, ShardReadsBackAsWrittenAndLeavesNoPartialFile) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    const VerifyRun shard = shardOf(wholeSweep(), 2, 3);
    const std::string path = tmp.path() + "/shard-2.txt";
    std::string error;
    ASSERT_TRUE(mpp::writeVerifyReport(path, shard, &error)) << error;
    EXPECT_NE(access(path.c_str(), F_OK), -1);
    EXPECT_EQ(access((path + ".partial").c_str(), F_OK), -1);

    VerifyRun back;
    ASSERT_TRUE(mpp::readVerifyReport(path, &back, &error)) << error << "\n" << readFile(path);
    EXPECT_EQ(back.package, shard.package);
    EXPECT_EQ(back.packageSha256, shard.packageSha256);
    EXPECT_EQ(back.cutsAsked, "4");
    EXPECT_EQ(back.total, 8);
    EXPECT_EQ(back.shard.index, 2u);
    EXPECT_EQ(back.shard.count, 3u);
    EXPECT_NEAR(back.sweepSeconds, shard.sweepSeconds, 0.001);
    ASSERT_EQ(back.bases.size(), shard.bases.size());
    for (size_t i = 0; i < back.bases.size(); ++i) {
        EXPECT_EQ(back.bases[i].dir, shard.bases[i].dir);
        EXPECT_EQ(back.bases[i].images, shard.bases[i].images);
        EXPECT_EQ(back.bases[i].verdict, shard.bases[i].verdict);
        EXPECT_EQ(back.bases[i].detail, shard.bases[i].detail);
        EXPECT_EQ(back.bases[i].deviceCalls, shard.bases[i].deviceCalls);
        EXPECT_NEAR(back.bases[i].seconds, shard.bases[i].seconds, 0.001);
    }
    expectSameCuts(back.cuts, shard.cuts);
}

TEST(VerifyReport, RefusesAFileThatIsNotASweepsReport) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    const std::string good = tmp.path() + "/good.txt";
    std::string error;
    ASSERT_TRUE(mpp::writeVerifyReport(good, wholeSweep(), &error)) << error;
    const std::string text = readFile(good);
    VerifyRun run;
    ASSERT_TRUE(mpp::readVerifyReport(good, &run, &error)) << error;

    // Each edit of the good file, and what the refusal must say.
    struct Edit {
        std::string from, to, says;
    };
    const std::vector<Edit> edits = {
        // Base 1's second cut is at device call 5 of 15.
        {"cut\t2\t1\t5\t", "cut\t2\t1\t6\t", "not the one its header's sweep numbers so"},
        {"cut\t2\t1\t5\t", "cut\t2\t3\t5\t", "not the one its header's sweep numbers so"},
        {"cut\t2\t1\t5\t", "cut\t9\t1\t5\t", "not the one its header's sweep numbers so"},
        {"total\t8\n", "total\t9\n", "counts 9 cuts, its bases and --cuts 4 make 8"},
        {"cuts\t4\n", "cuts\tsome\n", "is not a --cuts of a sweep"},
        {"shard\t1/1\n", "", "lacks part of its header"},
        {"shard\t1/1\n", "shard\t2/1\n", "unexpected line"},
        {"survived\t", "maybe\t", "bad cut line"},
        {"make-patch-package verify report 1", "upgrade-board report 1", "is not a verify report"},
    };
    for (const Edit& edit : edits) {
        std::string edited = text;
        const size_t at = edited.find(edit.from);
        ASSERT_NE(at, std::string::npos) << edit.from;
        edited.replace(at, edit.from.size(), edit.to);
        const std::string path = tmp.path() + "/edited.txt";
        writeFile(path, edited);
        error.clear();
        EXPECT_FALSE(mpp::readVerifyReport(path, &run, &error)) << edit.from << " -> " << edit.to;
        EXPECT_NE(error.find(edit.says), std::string::npos) << error;
    }
    EXPECT_FALSE(mpp::readVerifyReport(tmp.path() + "/none.txt", &run, &error));
}

// ---- merging shards ----------------------------------------------------------------

TEST(VerifyMerge, ShardsPutBackTogetherPrintTheWholeSweepsSummary) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    const VerifyRun whole = wholeSweep();
    int wholeExit = -1;
    const std::string wholeSummary = summaryText(whole, &wholeExit);
    ASSERT_EQ(wholeExit, 1);  // lost cuts and a refused base
    // More shards than cuts leaves some shards without a cut.
    for (size_t count : {1u, 2u, 3u, 8u, 11u}) {
        std::vector<VerifyRun> shards;
        // Given in another order than the shards' own.
        for (size_t index = count; index >= 1; --index) {
            const std::string path = tmp.path() + "/shard-" + std::to_string(index) + ".txt";
            std::string error;
            ASSERT_TRUE(mpp::writeVerifyReport(path, shardOf(whole, index, count), &error));
            shards.emplace_back();
            ASSERT_TRUE(mpp::readVerifyReport(path, &shards.back(), &error)) << error;
        }
        VerifyRun merged;
        std::string error;
        ASSERT_TRUE(mpp::mergeVerifyReports(shards, &merged, &error)) << error;
        expectSameCuts(merged.cuts, whole.cuts);
        EXPECT_NEAR(merged.sweepSeconds, whole.sweepSeconds, 0.01);
        int mergedExit = -1;
        const std::string summary = summaryText(merged, &mergedExit);
        EXPECT_EQ(mergedExit, wholeExit) << count << " shards";
        EXPECT_EQ(withoutSweepLine(summary), withoutSweepLine(wholeSummary)) << count << " shards";
        EXPECT_NE(summary.find("cut sweep: 8 cuts in "), std::string::npos) << summary;
    }
}

TEST(VerifyMerge, RefusesReportsThatAreNotTheShardsOfOneSweep) {
    const VerifyRun whole = wholeSweep();
    const VerifyRun first = shardOf(whole, 1, 2);
    struct Case {
        std::string name;
        std::function<void(VerifyRun*)> change;  // to shard 2 of 2
        std::string says;
    };
    const std::vector<Case> cases = {
        {"another package", [](VerifyRun* r) { r->packageSha256[0] = 'b'; },
         "verified another package"},
        {"a base with other images", [](VerifyRun* r) { r->bases[2].images += "x"; },
         "holds other images"},
        {"an uncut run that went otherwise", [](VerifyRun* r) { r->bases[0].deviceCalls = 16; },
         "uncut run of base 1"},
        {"a base fewer", [](VerifyRun* r) { r->bases.pop_back(); }, "ran 2 bases"},
        {"other --cuts", [](VerifyRun* r) { r->cutsAsked = "every"; }, "--cuts every"},
        {"another cut count", [](VerifyRun* r) { r->total = 9; }, "(9 cuts)"},
        {"a cut beyond the sweep", [](VerifyRun* r) { r->cuts.back().number = 9; },
         "cut 9 of only 8"},
        {"shard 1 twice", [&](VerifyRun* r) { *r = first; }, "cut 1 is in report 1 and report 2"},
        {"a cut missing", [](VerifyRun* r) { r->cuts.erase(r->cuts.begin()); },
         "1 of 8 cuts are in no report: 2"},
    };
    for (const Case& c : cases) {
        VerifyRun second = shardOf(whole, 2, 2);
        c.change(&second);
        VerifyRun merged;
        std::string error;
        EXPECT_FALSE(mpp::mergeVerifyReports({first, second}, &merged, &error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    }
    VerifyRun merged;
    std::string error;
    EXPECT_FALSE(mpp::mergeVerifyReports({first}, &merged, &error));
    EXPECT_NE(error.find("4 of 8 cuts are in no report: 2, 4, 6, 8"), std::string::npos) << error;
}

TEST(VerifyMergeCommand, ExitsAsTheWholeSweepWouldAndWithTwoOnReportsThatDoNotMakeOne) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    VerifyRun whole = wholeSweep();
    std::string error;
    const std::string one = tmp.path() + "/1.txt", two = tmp.path() + "/2.txt";
    ASSERT_TRUE(mpp::writeVerifyReport(one, shardOf(whole, 1, 2), &error));
    ASSERT_TRUE(mpp::writeVerifyReport(two, shardOf(whole, 2, 2), &error));
    ota_test::ProgramResult r = ota_test::runProgram({kBuilder, "verify-merge", two, one});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("    cut at device call 5 (after 0 restarts"), std::string::npos) << r.out;
    EXPECT_EQ(r.lastLine(), "verify: NOT every base upgrades");

    // Every base upgrades and every cut survived: 0.
    whole.bases.erase(whole.bases.begin() + 1);
    whole.cuts.clear();
    for (const mpp::PlannedCut& p : mpp::planCuts(4, 0, whole.bases))
        whole.cuts.push_back({static_cast<long>(whole.cuts.size() + 1), p.base, p.deviceCall,
                              CutEnding::Survived, "", ""});
    whole.total = static_cast<long>(whole.cuts.size());
    const std::string good = tmp.path() + "/good.txt";
    ASSERT_TRUE(mpp::writeVerifyReport(good, whole, &error));
    r = ota_test::runProgram({kBuilder, "verify-merge", good});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.lastLine(), "verify: every base upgrades");

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{kBuilder, "verify-merge", one, one},
          std::vector<std::string>{kBuilder, "verify-merge", one},
          std::vector<std::string>{kBuilder, "verify-merge", one, good},
          std::vector<std::string>{kBuilder, "verify-merge", tmp.path() + "/none.txt"},
          std::vector<std::string>{kBuilder, "verify-merge"}}) {
        r = ota_test::runProgram(args);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        EXPECT_EQ(r.out.find("verify: "), std::string::npos) << r.out;
    }
}

// ---- which shard a run is ----------------------------------------------------------

// The shard parseVerifyOptions takes from `args` (after "verify") and the
// variables `env`, or "error: ..." when it refuses.
std::string shardChosen(std::vector<std::string> args,
                        const std::map<std::string, std::string>& env) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    mpp::VerifyOptions_T options;
    const std::string error = mpp::parseVerifyOptions(
        static_cast<int>(argv.size()), argv.data(), &options, [&](const char* name) -> const char* {
            auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        });
    if (!error.empty()) return "error: " + error;
    return std::to_string(options.shard.index) + "/" + std::to_string(options.shard.count);
}

TEST(VerifyOptions, ShardComesFromTheCommandLineOrTheBatchEnginesVariables) {
    using Env = std::map<std::string, std::string>;
    const Env none;
    const Env ci = {{"CI_NODE_INDEX", "3"}, {"CI_NODE_TOTAL", "4"}};
    const Env array = {{"SLURM_ARRAY_TASK_ID", "6"}, {"SLURM_ARRAY_TASK_MIN", "1"}};
    const Env indexed = {{"JOB_COMPLETION_INDEX", "0"}};
    struct Case {
        std::vector<std::string> options;  // after PKG --old a
        const Env& env;
        std::string shard;  // or the start of the refusal
    };
    const std::vector<Case> cases = {
        {{"--cuts", "4", "--shard", "2/4"}, ci, "2/4"},  // --shard wins over the variables
        {{"--cuts", "4", "--report", "r.txt"}, ci, "3/4"},
        {{"--cuts", "every", "--shards", "8", "--report", "r.txt"}, array, "6/8"},
        {{"--cuts", "4", "--shards", "4"}, indexed, "1/4"},
        // Without --report or --shards a run inside a batch job stays whole.
        {{"--cuts", "4"}, ci, "1/1"},
        {{"--cuts", "4", "--report", "r.txt"}, none, "1/1"},
        {{"--cuts", "4", "--shards", "4"}, none, "error: --shards 4 but no --shard I/N"},
        {{"--cuts", "4", "--shards", "3"}, ci, "error: --shards 3 but CI_NODE_TOTAL 4"},
        {{"--cuts", "4", "--shard", "2/4", "--shards", "3"}, none, "error: --shard 2/4 and"},
        {{"--cuts", "4", "--shard", "5/4"}, none, "error: bad --shard"},
        {{"--cuts", "4", "--shard", "0/4"}, none, "error: bad --shard"},
        {{"--cut-at", "5", "--shard", "1/2"}, none, "error: --cut-at makes one cut alone"},
        {{"--cuts", "4", "--cut-at", "5", "--report", "r.txt"},
         none,
         "error: --cut-at makes one cut alone"},
        {{"--report", "r.txt"}, none, "error: --shard, --shards and --report split a sweep"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"pkg.zip", "--old", "a"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string got = shardChosen(args, c.env);
        EXPECT_EQ(got.substr(0, c.shard.size()), c.shard) << got;
    }
}

}  // namespace
