// A campaign split over the jobs of a batch must boot every state exactly
// once, take the right job's part from each engine's variables (some count
// from 0, some from 1), and put back together exactly what one run prints.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "report.h"
#include "shard.h"

namespace {

using board::Fault;
using board::Report;
using board::Shard;
using board::StateEnding;
using board::StateRecord;

TEST(Shards, EveryStateExactlyOnceOverTheShards) {
    for (size_t count : {1u, 2u, 3u, 4u, 7u, 16u}) {
        for (size_t total : {0u, 1u, 3u, 16u, 23u, 200u}) {
            std::vector<int> times(total, 0);
            for (size_t index = 1; index <= count; ++index) {
                Shard shard;
                std::string error;
                ASSERT_TRUE(board::parseShard(std::to_string(index) + "/" + std::to_string(count),
                                              &shard, &error))
                    << error;
                size_t previous = SIZE_MAX;
                for (size_t i = 0; i < total; ++i) {
                    if (!board::inShard(shard, i)) continue;
                    ++times[i];
                    // Every N-th, starting with the I-th.
                    if (previous == SIZE_MAX) {
                        EXPECT_EQ(i, index - 1);
                    } else {
                        EXPECT_EQ(i, previous + count);
                    }
                    previous = i;
                }
            }
            for (size_t i = 0; i < total; ++i)
                EXPECT_EQ(times[i], 1)
                    << "state " << i + 1 << " of " << total << " over " << count << " shards";
        }
    }
}

TEST(Shards, ParseCountsFromOne) {
    Shard shard;
    std::string error;
    ASSERT_TRUE(board::parseShard("4/4", &shard, &error)) << error;
    EXPECT_EQ(shard.index, 4u);
    EXPECT_EQ(shard.count, 4u);
    ASSERT_TRUE(board::parseShard("1/1", &shard, &error)) << error;
    EXPECT_EQ(shard.index, 1u);
    for (const char* bad : {"0/4", "5/4", "4", "1/0", "/4", "1/", "a/4", "2/4x", "-1/4", " 1/4"})
        EXPECT_FALSE(board::parseShard(bad, &shard, &error)) << bad;
}

struct Env {
    std::map<std::string, std::string> vars;
    // The shard, or "error" / "none".
    std::string shardWith(size_t shards) const {
        auto get = [this](const char* name) -> const char* {
            auto it = vars.find(name);
            return it == vars.end() ? nullptr : it->second.c_str();
        };
        Shard shard;
        bool found = false;
        std::string error;
        if (!board::shardFromEnvironment(get, shards, &shard, &found, &error)) return "error";
        if (!found) return "none";
        return std::to_string(shard.index) + "/" + std::to_string(shard.count);
    }
};

TEST(ShardsFromEnvironment, CiMatrixCountsFromOne) {
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "1"}, {"CI_NODE_TOTAL", "4"}}}.shardWith(0)), "1/4");
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "4"}, {"CI_NODE_TOTAL", "4"}}}.shardWith(0)), "4/4");
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "4"}, {"CI_NODE_TOTAL", "4"}}}.shardWith(4)), "4/4");
    // 0 is not a node of a matrix counted from 1, and 5 of 4 is beyond it.
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "0"}, {"CI_NODE_TOTAL", "4"}}}.shardWith(0)), "error");
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "5"}, {"CI_NODE_TOTAL", "4"}}}.shardWith(0)), "error");
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "2"}}}.shardWith(0)), "error");
    EXPECT_EQ((Env{{{"CI_NODE_INDEX", "2"}, {"CI_NODE_TOTAL", "4"}}}.shardWith(3)), "error");
}

TEST(ShardsFromEnvironment, JobArrayCountsFromItsFirstTask) {
    Env zero{{{"SLURM_ARRAY_TASK_ID", "0"}, {"SLURM_ARRAY_TASK_MIN", "0"}}};
    EXPECT_EQ(zero.shardWith(4), "1/4");
    Env last{{{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_MIN", "0"}}};
    EXPECT_EQ(last.shardWith(4), "4/4");
    // An array 1-4: task 1 is the first shard, task 4 the last.
    Env fromOne{{{"SLURM_ARRAY_TASK_ID", "1"}, {"SLURM_ARRAY_TASK_MIN", "1"}}};
    EXPECT_EQ(fromOne.shardWith(4), "1/4");
    Env fourOfOne{{{"SLURM_ARRAY_TASK_ID", "4"}, {"SLURM_ARRAY_TASK_MIN", "1"}}};
    EXPECT_EQ(fourOfOne.shardWith(4), "4/4");
    Env beyond{{{"SLURM_ARRAY_TASK_ID", "4"}, {"SLURM_ARRAY_TASK_MIN", "0"}}};
    EXPECT_EQ(beyond.shardWith(4), "error");
    EXPECT_EQ(fromOne.shardWith(0), "error");  // the count is --shards N
    EXPECT_EQ((Env{{{"SLURM_ARRAY_TASK_ID", "1"}}}.shardWith(4)), "error");
    EXPECT_EQ((Env{{{"SLURM_ARRAY_TASK_ID", "1"}, {"SLURM_ARRAY_TASK_MIN", "2"}}}.shardWith(4)),
              "error");
}

TEST(ShardsFromEnvironment, IndexedJobCountsFromZero) {
    EXPECT_EQ((Env{{{"JOB_COMPLETION_INDEX", "0"}}}.shardWith(4)), "1/4");
    EXPECT_EQ((Env{{{"JOB_COMPLETION_INDEX", "3"}}}.shardWith(4)), "4/4");
    EXPECT_EQ((Env{{{"JOB_COMPLETION_INDEX", "4"}}}.shardWith(4)), "error");
    EXPECT_EQ((Env{{{"JOB_COMPLETION_INDEX", "0"}}}.shardWith(0)), "error");
    EXPECT_EQ((Env{{{"JOB_COMPLETION_INDEX", "x"}}}.shardWith(4)), "error");
}

TEST(ShardsFromEnvironment, NoneWithoutTheVariables) {
    EXPECT_EQ((Env{{{"PATH", "/bin"}}}.shardWith(4)), "none");
    EXPECT_EQ(Env{}.shardWith(0), "none");
}

class ShardReports : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/upgrade-board-report-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : files_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    // Endings of every class and kind, with reasons that repeat across shards.
    static std::vector<StateRecord> endings(const std::vector<Fault>& faults, size_t total) {
        std::mt19937_64 rng(7);
        const char* reasons[] = {"still pending after 3 starts, last record failed",
                                 "failure ending, refused\tbase mismatch",
                                 "/OAD or /var/local unmountable",
                                 "boot 2 ended: exit status 1\nC:\\temp"};
        std::vector<StateRecord> all;
        for (size_t i = 0; i < total; ++i) {
            StateRecord r;
            r.number = i + 1;
            r.fault = faults[i * faults.size() / total];
            r.ending = static_cast<StateEnding>(rng() % 5);
            r.cleanUpLeft = r.ending == StateEnding::Upgraded && rng() % 2 == 0;
            if (r.ending == StateEnding::RefusedOrFailed) r.reason = reasons[rng() % 4];
            if (r.ending == StateEnding::FalseSuccess) r.reason = "usrfs lacks its new image";
            r.failureRun = r.fault == Fault::Failure;
            r.entry = 1 + rng() % 180;
            all.push_back(r);
        }
        return all;
    }

    Report header(size_t total) const {
        Report r;
        r.seed = 42;
        r.asked = total;
        r.total = total;
        r.faults = board::faultList(faults_);
        r.log = "1024:00000000deadbeef";
        return r;
    }

    std::string write(const Report& report) {
        std::string path = dir_ + "/shard-" + std::to_string(files_.size() + 1);
        std::string error;
        EXPECT_TRUE(board::writeReport(path, report, &error)) << error;
        files_.push_back(path);
        return path;
    }

    // The shards' reports, written and read back.
    std::vector<Report> shardReports(const std::vector<StateRecord>& all, size_t count) {
        std::vector<Report> out;
        for (size_t index = 1; index <= count; ++index) {
            Report r = header(all.size());
            r.shard = Shard{index, count};
            for (size_t i = 0; i < all.size(); ++i) {
                if (board::inShard(r.shard, i)) r.records.push_back(all[i]);
            }
            Report back;
            std::string error;
            EXPECT_TRUE(board::readReport(write(r), &back, &error)) << error;
            out.push_back(back);
        }
        return out;
    }

    bool merges(const std::vector<Report>& reports, std::string* error) {
        Report merged;
        return board::mergeReports(reports, &merged, error);
    }

    std::vector<Fault> faults_{Fault::Flush,     Fault::Cached,    Fault::Torn,  Fault::Flipped,
                               Fault::Neighbour, Fault::Reordered, Fault::Twice, Fault::Failure};
    std::string dir_;
    std::vector<std::string> files_;
};

TEST_F(ShardReports, FourShardsMergeToTheUnshardedTable) {
    const std::vector<StateRecord> all = endings(faults_, 37);
    const board::Summary whole = board::summarize(faults_, all);
    ASSERT_GT(whole.others, 0u);
    ASSERT_GT(whole.cleanUpsLeft, 0u);
    // Reasons with a tab, a newline and a backslash must come back as they were.
    auto holds = [&](const char* what) {
        return std::any_of(all.begin(), all.end(), [&](const StateRecord& r) {
            return r.ending == StateEnding::RefusedOrFailed &&
                   r.reason.find(what) != std::string::npos;
        });
    };
    ASSERT_TRUE(holds("\t") && holds("\n") && holds("\\"));

    Report merged;
    std::string error;
    ASSERT_TRUE(board::mergeReports(shardReports(all, 4), &merged, &error)) << error;
    ASSERT_EQ(merged.records.size(), all.size());
    EXPECT_EQ(merged.seed, 42u);
    std::vector<Fault> faults;
    ASSERT_TRUE(board::parseFaults(merged.faults, &faults, &error)) << error;
    const board::Summary joined = board::summarize(faults, merged.records);
    EXPECT_EQ(joined.table, whole.table);
    EXPECT_EQ(joined.lastLine(), whole.lastLine());
    EXPECT_EQ(joined.othersLine(), whole.othersLine());
    EXPECT_EQ(joined.cleanUpsLeft, whole.cleanUpsLeft);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(merged.records[i].number, i + 1);
        EXPECT_EQ(merged.records[i].fault, all[i].fault);
        EXPECT_EQ(merged.records[i].ending, all[i].ending);
        EXPECT_EQ(merged.records[i].entry, all[i].entry);
        EXPECT_EQ(merged.records[i].failureRun, all[i].failureRun);
    }
}

TEST_F(ShardReports, TheTableCountsEachEndingAndReason) {
    faults_ = {Fault::Flush, Fault::Reordered};
    const std::string pending = "still pending after 3 starts, last record failed";
    std::vector<StateRecord> all = {
        {1, Fault::Flush, StateEnding::Upgraded, true, ""},
        {2, Fault::Flush, StateEnding::RefusedOrFailed, false, pending},
        {3, Fault::Reordered, StateEnding::LostAfterCommit, false, "optfs lacks its new image"},
        {4, Fault::Reordered, StateEnding::RefusedOrFailed, false, pending},
        {5, Fault::Reordered, StateEnding::FalseSuccess, false, "usrfs lacks its new image"},
    };
    Report merged;
    std::string error;
    ASSERT_TRUE(board::mergeReports(shardReports(all, 2), &merged, &error)) << error;
    const board::Summary s = board::summarize(faults_, merged.records);
    EXPECT_EQ(s.lastLine(),
              "campaign: 1 of 5 crash states ended upgraded, 2 refused or failed as the design "
              "allows, 1 lost after commit, 1 false successes");
    EXPECT_EQ(s.othersLine(), "");
    ASSERT_EQ(s.table.size(), 6u);
    EXPECT_EQ(s.table[2],
              "  flush           2         1               1                  0  "
              "            0      0");
    EXPECT_EQ(s.table[3], "      1 x " + pending);
    EXPECT_EQ(s.table[4],
              "  reordered       3         0               1                  1  "
              "            1      0");
    EXPECT_EQ(s.table[5], "      1 x " + pending);
    EXPECT_EQ(s.cleanUpsLeft, 1u);
}

TEST_F(ShardReports, MergeRefusesMismatchedOrIncompleteSets) {
    const std::vector<StateRecord> all = endings(faults_, 16);
    std::string error;
    ASSERT_TRUE(merges(shardReports(all, 4), &error)) << error;

    auto changed = [&](auto change) {
        std::vector<Report> reports = shardReports(all, 4);
        change(&reports[2]);
        return reports;
    };
    EXPECT_FALSE(merges(changed([](Report* r) { r->seed = 43; }), &error));
    EXPECT_NE(error.find("seed"), std::string::npos) << error;
    EXPECT_FALSE(merges(changed([](Report* r) { r->log = "1024:00000000feedface"; }), &error));
    EXPECT_NE(error.find("recorded upgrade"), std::string::npos) << error;
    EXPECT_FALSE(merges(changed([](Report* r) { r->asked = 17; }), &error));
    EXPECT_FALSE(merges(changed([](Report* r) { r->faults = "flush,cached"; }), &error));

    std::vector<Report> missing = shardReports(all, 4);
    missing.erase(missing.begin() + 1);
    EXPECT_FALSE(merges(missing, &error));
    EXPECT_NE(error.find("4 of 16 states are in no report: 2, 6, 10, 14"), std::string::npos)
        << error;

    std::vector<Report> twice = shardReports(all, 4);
    twice.push_back(twice[0]);
    EXPECT_FALSE(merges(twice, &error));
    EXPECT_NE(error.find("state 1 is in more than one report"), std::string::npos) << error;

    // Shards of two different splits overlap somewhere.
    std::vector<Report> mixed = shardReports(all, 2);
    std::vector<Report> ofThree = shardReports(all, 3);
    mixed[1] = ofThree[1];
    EXPECT_FALSE(merges(mixed, &error));

    EXPECT_FALSE(merges(changed([](Report* r) { r->records.back().number = 17; }), &error));
    EXPECT_FALSE(merges({}, &error));
}

TEST_F(ShardReports, ReadingRefusesWhatIsNotAWholeReport) {
    Report r = header(4);
    r.records = endings(faults_, 4);
    const std::string path = write(r);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    auto readsBack = [&](const std::string& content) {
        const std::string other = write(r);
        std::ofstream(other, std::ios::trunc) << content;
        Report back;
        std::string error;
        return board::readReport(other, &back, &error);
    };
    EXPECT_TRUE(readsBack(text));
    EXPECT_FALSE(readsBack(""));
    EXPECT_FALSE(readsBack(text.substr(text.find('\n') + 1)));  // no first line
    const size_t seed = text.find("seed\t");
    EXPECT_FALSE(readsBack(text.substr(0, seed) + text.substr(text.find('\n', seed) + 1)));
    EXPECT_FALSE(readsBack(text + "state\t5\tflush\tmaybe\t-\t\n"));
    EXPECT_FALSE(readsBack(text + "state\t5\tsideways\tupgraded\t-\t\n"));
    EXPECT_FALSE(readsBack(text + "state\t5\tflush\tupgraded\t-\t\tsideways:4\n"));
    EXPECT_FALSE(readsBack(text + "state\t5\tflush\tupgraded\t-\t\tmain:\n"));
    // A report written before the cut's place was recorded still reads.
    EXPECT_TRUE(readsBack(text + "state\t5\tflush\tupgraded\t-\t\n"));
    Report back;
    std::string error;
    EXPECT_FALSE(board::readReport(dir_ + "/absent", &back, &error));
}

}  // namespace
