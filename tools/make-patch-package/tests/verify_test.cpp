// The builder's verify verb run whole: real packages from the builder, real
// sets from the sandbox runner, the installed program (or a deliberately
// broken stand-in for it) run on them.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/run_program.h"
#include "testing/zip_fixture.h"

#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "verify.h"
#include "verify_report.h"

namespace {

const std::string kBuilder = OTA_BINARY_DIR "/bin/make-patch-package";
const std::string kRootfs = OTA_BINARY_DIR "/rootfs";
const std::string kProbe = OTA_BINARY_DIR "/bin/sandbox_probe";
const std::string kWork = OTA_BINARY_DIR "/sandbox-sets/verify_test";

using Result = ota_test::ProgramResult;
using ota_test::runProgram;
using ota_test::runShell;

void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

// verify's report on one base: the line after its uncut run with the set's
// record under it, and its row in the table with the line below the row.
struct BaseReport {
    std::string line;
    std::map<std::string, std::string> record;
    std::string row;
    std::string below;
};

BaseReport reportOn(const std::string& out, const std::string& base) {
    BaseReport b;
    std::istringstream lines(out);
    std::string line;
    bool inRecord = false, inTable = false;
    while (std::getline(lines, line)) {
        if (line.rfind("base ", 0) == 0) inTable = true;
        if (inRecord && line.rfind("      ", 0) == 0) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) b.record[line.substr(6, eq - 6)] = line.substr(eq + 1);
            continue;
        }
        inRecord = false;
        if (!inTable && line.rfind(base + ": ", 0) == 0) {
            b.line = line;
            inRecord = std::getline(lines, line) && line == "    last_result:";
        } else if (inTable && line.rfind(base + " ", 0) == 0) {
            b.row = line;
            std::getline(lines, b.below);
        }
    }
    return b;
}

// ---- which device calls a sweep cuts at ----------------------------------------

struct PointsCase {
    long cuts;
    long calls;
    std::vector<long> points;
};

class CutPointsTest : public ::testing::TestWithParam<PointsCase> {};

TEST_P(CutPointsTest, SweepCoversTheFirstAndLastCallAndSpreadsTheRest) {
    EXPECT_EQ(mpp::cutPoints(GetParam().cuts, GetParam().calls), GetParam().points);
}

INSTANTIATE_TEST_SUITE_P(Sweeps, CutPointsTest,
                         ::testing::Values(PointsCase{-1, 4, {1, 2, 3, 4}},  // every
                                           PointsCase{
                                               10, 3, {1, 2, 3}},  // more asked than there are
                                           PointsCase{3, 101, {1, 51, 101}},  // evenly, both ends
                                           PointsCase{4, 10, {1, 4, 7, 10}},  //
                                           PointsCase{1, 9, {9}},             // one: the last call
                                           PointsCase{0, 9, {}},              // none asked
                                           PointsCase{-1, 0, {}}));  // a run without device calls

// ---- whole runs ------------------------------------------------------------------

class VerifyRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "verify runs the sandbox runner, which needs root";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = kWork + "/" + info->name();
        runShell("rm -rf '" + dir + "' && mkdir -p '" + dir + "/a' '" + dir + "/b' '" + dir +
                 "/new'");
        // Base A and the new release: optfs changes in one place, serialsdata
        // is carried whole. Base B is another installed optfs.
        std::string optfs = randomBytes(1500000, 1);
        writeBytes(dir + "/a/optfs.img", optfs);
        std::string changed = optfs;
        changed.replace(70000, 16, std::string(16, 'X'));
        writeBytes(dir + "/new/optfs.img", changed);
        std::string other = optfs;
        other[5] = static_cast<char>(other[5] ^ 0x40);
        writeBytes(dir + "/b/optfs.img", other);
        writeBytes(dir + "/a/serialsdata.img", randomBytes(100000, 2));
        writeBytes(dir + "/b/serialsdata.img", randomBytes(100000, 2));
        writeBytes(dir + "/new/serialsdata.img", randomBytes(120000, 3));
    }
    void TearDown() override {
        if (!dir.empty()) runShell("rm -rf '" + dir + "'");
    }
    Result buildPackage(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {kBuilder,         "--old",      dir + "/a",
                                         "--new",          dir + "/new", "-o",
                                         dir + "/pkg.zip", "--whole",    "serialsdata"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runProgram(args);
    }
    // A tvservice image in base A and the new release, patched in parts.
    void addTvservice() {
        tvservice = randomBytes(600000, 4);
        writeBytes(dir + "/a/tvservice.img", tvservice);
        std::string changed = tvservice;
        changed.replace(300000, 8, std::string(8, 'Y'));
        writeBytes(dir + "/new/tvservice.img", changed);
    }
    Result verify(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {kBuilder, "verify", dir + "/pkg.zip"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runProgram(args);
    }
    // A stand-in program with the classic fault: the boot stage's "done"
    // bytes go out before the new serialsdata image does. Returns its rootfs.
    std::string flagsFirstRootfs() {
        std::string rootfs = dir + "/broken-rootfs";
        std::string program = rootfs + "/usr/bin/upgradeprogress/upgradeprogress";
        runShell("mkdir -p '" + rootfs + "/usr/bin/upgradeprogress' '" + rootfs +
                 "/var/local/upgrade'");
        std::string flag =
            "printf '\\125' | dd of=/dev/mmcblk0p4 bs=1 conv=notrunc status=none seek=";
        std::string flagAA =
            "printf '\\252' | dd of=/dev/mmcblk0p4 bs=1 conv=notrunc status=none seek=";
        writeBytes(program, "#!/bin/sh\n" + flag + "4\n" + flagAA + "5\n" + flag + "7\n" + flagAA +
                                "8\n"
                                "dd if='" +
                                dir +
                                "/new/optfs.img' of=/dev/mmcblk0p28 bs=1M conv=notrunc,fsync "
                                "status=none\n"
                                "dd if='" +
                                dir +
                                "/new/serialsdata.img' of=/dev/mmcblk0p34 bs=1M "
                                "conv=notrunc,fsync status=none\n"
                                "rm -f /OAD/patch_package.zip /var/local/suspend_force_off\n"
                                "exec " +
                                kProbe + " reboot\n");
        chmod(program.c_str(), 0755);
        return rootfs;
    }
    std::string dir;
    std::string tvservice;
};

TEST_F(VerifyRunTest, PackageUpgradesItsOwnBaseAndIsRefusedOnAnotherWithTheItemNamed) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    Result r = verify({"--old", dir + "/a", "--old", dir + "/b", "--new", dir + "/new", "-j", "2"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    std::istringstream lines(r.out);
    std::string line, rowA, rowB, afterB;
    bool inTable = false;
    while (std::getline(lines, line)) {
        if (line.rfind("base ", 0) == 0) inTable = true;
        if (!inTable) continue;
        if (line.rfind(dir + "/a ", 0) == 0) rowA = line;
        if (line.rfind(dir + "/b ", 0) == 0) {
            rowB = line;
            std::getline(lines, afterB);
        }
    }
    EXPECT_NE(rowA.find(" upgrades "), std::string::npos) << r.out;
    EXPECT_NE(rowB.find(" refused, no partition changed "), std::string::npos) << r.out;
    // The optfs part that B does not hold is what refuses, with the
    // pre-check's log line, before anything is written.
    EXPECT_NE(afterB.find("pre-check refused the package: part optfs_split_partaa of optfs"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(reportOn(r.out, dir + "/a").record["result"], "upgraded") << r.out;
    EXPECT_EQ(reportOn(r.out, dir + "/b").record["result"], "refused") << r.out;
    EXPECT_NE(r.out.find("verify: NOT every base upgrades"), std::string::npos);
}

TEST_F(VerifyRunTest, BaseThatDriftedInALaterPartitionIsRefusedWithNoPartitionChanged) {
    addTvservice();
    ASSERT_EQ(buildPackage().exitCode, 0);
    // optfs and serialsdata as the package was built on; one byte of
    // tvservice, which runs after optfs, is not. Without a check ahead of
    // the lists optfs would be written before tvservice fails.
    runShell("mkdir -p '" + dir + "/drift' && cp '" + dir + "/a/optfs.img' '" + dir +
             "/a/serialsdata.img' '" + dir + "/drift/'");
    std::string drifted = tvservice;
    drifted[450000] = static_cast<char>(drifted[450000] ^ 0x01);
    writeBytes(dir + "/drift/tvservice.img", drifted);

    Result r =
        verify({"--old", dir + "/a", "--old", dir + "/drift", "--new", dir + "/new", "-j", "2"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    BaseReport a = reportOn(r.out, dir + "/a");
    BaseReport drift = reportOn(r.out, dir + "/drift");
    EXPECT_NE(a.row.find(" upgrades "), std::string::npos) << r.out;
    EXPECT_EQ(a.record["result"], "upgraded") << r.out;
    EXPECT_NE(drift.row.find(" refused, no partition changed "), std::string::npos) << r.out;
    EXPECT_NE(drift.below.find("pre-check refused the package: part tvservice_split_partaa of "
                               "tvservice holds "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(drift.record["result"], "refused") << r.out;
    EXPECT_EQ(drift.record["failed_partition"], "tvservice") << r.out;
    EXPECT_EQ(drift.record["failed_item"], "tvservice_split_partaa") << r.out;
}

TEST_F(VerifyRunTest, PatchThatDoesNotRebuildItsPartFailsWithThePartitionsWrittenBeforeIt) {
    // usrfs and tvservice patched in parts too. The tvservice patch is
    // swapped for one that applies to the same base but makes other bytes:
    // nothing before the first write can tell, so optfs and usrfs are
    // written before tvservice's result fails its sum.
    addTvservice();
    std::string usrfs = randomBytes(400000, 5);
    writeBytes(dir + "/a/usrfs.img", usrfs);
    std::string usrfsNew = usrfs;
    usrfsNew.replace(1000, 4, "ZZZZ");
    writeBytes(dir + "/new/usrfs.img", usrfsNew);
    ASSERT_EQ(buildPackage().exitCode, 0);
    runShell("mkdir -p '" + dir + "/other' && cp '" + dir + "/new/'*.img '" + dir + "/other/'");
    std::string otherTvservice = tvservice;
    otherTvservice.replace(100000, 8, std::string(8, 'Q'));
    writeBytes(dir + "/other/tvservice.img", otherTvservice);
    ASSERT_EQ(runProgram({kBuilder, "--old", dir + "/a", "--new", dir + "/other", "-o",
                          dir + "/other.zip", "--whole", "serialsdata"})
                  .exitCode,
              0);
    std::vector<ota_test::ZipFixtureEntry> entries, other;
    ASSERT_TRUE(ota_test::readZip(dir + "/pkg.zip", &entries));
    ASSERT_TRUE(ota_test::readZip(dir + "/other.zip", &other));
    const std::string part = "patch_package/tvservice_split_partaa";
    bool swapped = false;
    for (ota_test::ZipFixtureEntry& e : entries) {
        for (const ota_test::ZipFixtureEntry& o : other) {
            if (e.name == part && o.name == part && e.bytes != o.bytes) {
                e.bytes = o.bytes;
                swapped = true;
            }
        }
    }
    ASSERT_TRUE(swapped) << "no tvservice patch to swap";
    ASSERT_TRUE(ota_test::writeZip(dir + "/pkg.zip", entries));

    Result r = verify({"--old", dir + "/a", "--new", dir + "/new"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    BaseReport a = reportOn(r.out, dir + "/a");
    EXPECT_NE(a.row.find(" failed, changed: optfs usrfs "), std::string::npos) << r.out;
    EXPECT_NE(a.below.find("tvservice_split_partaa"), std::string::npos) << r.out;
    EXPECT_EQ(a.record["result"], "failed") << r.out;
    EXPECT_EQ(a.record["failed_item"], "tvservice_split_partaa") << r.out;
}

TEST_F(VerifyRunTest, FailureEndingIsJudgedByThePartitionsNotByTheRecord) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    // A stand-in that writes tvservice, then usrfs, takes the failure
    // ending and records that it refused.
    std::string rootfs = dir + "/lying-rootfs";
    std::string program = rootfs + "/usr/bin/upgradeprogress/upgradeprogress";
    runShell("mkdir -p '" + rootfs + "/usr/bin/upgradeprogress' '" + rootfs +
             "/var/local/upgrade'");
    std::string flag = "printf '\\125' | dd of=/dev/mmcblk0p4 bs=1 conv=notrunc status=none seek=";
    writeBytes(
        program,
        "#!/bin/sh\n"
        "printf changed | dd of=/dev/mmcblk0p18 bs=1 seek=4096 conv=notrunc,fsync status=none\n"
        "printf changed | dd of=/dev/mmcblk0p26 bs=1 seek=8192 conv=notrunc,fsync status=none\n"
        "printf 'result=refused\\nfailed_item=none\\n' > /var/local/upgrade/last_result\n" +
            flag + "4\n" + flag + "7\n" + "rm -f /OAD/patch_package.zip\nexec " + kProbe +
            " reboot\n");
    chmod(program.c_str(), 0755);

    Result r = verify({"--old", dir + "/a", "--rootfs", rootfs});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    BaseReport a = reportOn(r.out, dir + "/a");
    // In the order the lists run, whatever order they were written in.
    EXPECT_NE(a.row.find(" failed, changed: usrfs tvservice "), std::string::npos) << r.out;
    EXPECT_NE(a.below.find("the record says result=refused, yet usrfs tvservice changed"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(a.record["result"], "refused") << r.out;
    EXPECT_EQ(a.record["failed_item"], "none") << r.out;
}

TEST_F(VerifyRunTest, CorruptPatchStopsTheApplierWithItsMessage) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    // Keep the magic, break everything behind it: the applier gives up on
    // the header, which ends the program with exit 1 and no flags.
    std::vector<ota_test::ZipFixtureEntry> entries;
    ASSERT_TRUE(ota_test::readZip(dir + "/pkg.zip", &entries));
    int patches = 0;
    for (ota_test::ZipFixtureEntry& e : entries) {
        if (e.bytes.rfind("BSDIFF40", 0) == 0) {
            e.bytes = "BSDIFF40" + std::string(24, '\xff') + "not a bzip2 stream";
            ++patches;
        }
    }
    ASSERT_GT(patches, 0) << "the package patches nothing";
    ASSERT_TRUE(ota_test::writeZip(dir + "/pkg.zip", entries));

    Result r = verify({"--old", dir + "/a", "--new", dir + "/new"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    std::istringstream lines(r.out);
    std::string line, row, detail;
    while (std::getline(lines, line)) {
        if (line.rfind(dir + "/a ", 0) == 0) {
            row = line;
            std::getline(lines, detail);
        }
    }
    EXPECT_NE(row.find(" stops "), std::string::npos) << r.out;
    EXPECT_NE(detail.find("Corrupt patch"), std::string::npos) << r.out;
}

TEST_F(VerifyRunTest, SignedPackageVerifiesWithItsKeyAndIsInvalidWithAnother) {
    ASSERT_EQ(runShell("cd '" + dir +
                       "' && openssl genpkey -algorithm ed25519 -out right.pem && "
                       "openssl pkey -in right.pem -pubout -out right.pub.pem && "
                       "openssl genpkey -algorithm ed25519 -out wrong.pem && "
                       "openssl pkey -in wrong.pem -pubout -out wrong.pub.pem")
                  .exitCode,
              0);
    ASSERT_EQ(buildPackage({"--sign", dir + "/right.pem"}).exitCode, 0);

    Result right =
        verify({"--old", dir + "/a", "--new", dir + "/new", "--key", dir + "/right.pub.pem"});
    EXPECT_EQ(right.exitCode, 0) << right.out;
    EXPECT_NE(right.out.find("verify: every base upgrades"), std::string::npos) << right.out;

    Result wrong =
        verify({"--old", dir + "/a", "--new", dir + "/new", "--key", dir + "/wrong.pub.pem"});
    EXPECT_EQ(wrong.exitCode, 1) << wrong.out;
    EXPECT_NE(wrong.out.find(" invalid signature "), std::string::npos) << wrong.out;
}

TEST_F(VerifyRunTest, EveryCutOfTheRealProgramSurvives) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    Result r = verify({"--old", dir + "/a", "--new", dir + "/new", "--cuts", "every", "-j", "2"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    // "N of N cuts survived", N the device calls of the uncut run.
    size_t at = r.out.find(" cuts survived");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string row = r.out.substr(r.out.rfind('\n', at) + 1, at - r.out.rfind('\n', at) - 1);
    std::istringstream fields(row);
    std::string base, verdict, seconds, calls, survived, of, tried;
    fields >> base >> verdict >> seconds >> calls >> survived >> of >> tried;
    EXPECT_EQ(verdict, "upgrades") << row;
    EXPECT_GT(std::stol(calls), 4) << row;
    EXPECT_EQ(survived, calls) << row;
    EXPECT_EQ(tried, calls) << row;
}

TEST_F(VerifyRunTest, ProgramThatSetsItsSuccessFlagsBeforeItsLastWriteFailsTheCutCheck) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    const std::string rootfs = flagsFirstRootfs();
    Result r = verify({"--old", dir + "/a", "--new", dir + "/new", "--cuts", "every", "-j", "2",
                       "--rootfs", rootfs});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    // Uncut, the stand-in does upgrade; cut once bytes 4 and 7 are out (the
    // third call), the set never
    // starts it again and keeps the old images.
    EXPECT_NE(r.out.find(" upgrades "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cut at device call 3 ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("reproduce: make-patch-package verify "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("optfs "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" cuts survived"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verify: NOT every base upgrades"), std::string::npos);
}

// ---- a sweep split over machines ---------------------------------------------------

// What a run prints from its table on, with what differs between two runs of
// the same sweep blanked: the seconds in the base rows, the milliseconds the
// runner names in a cut's verdict, and the sweep's time.
std::string summaryOf(const std::string& out, const std::string& baseDir) {
    size_t table = out.find("\nbase ");
    if (table == std::string::npos) return "no table in:\n" + out;
    std::istringstream lines(out.substr(table + 1));
    std::string line, summary;
    while (std::getline(lines, line)) {
        if (line.rfind(baseDir + " ", 0) == 0)
            line = std::regex_replace(line, std::regex(" [0-9]+\\.[0-9] "), " S ");
        line = std::regex_replace(line, std::regex("cut after [0-9]+ ms"), "cut after N ms");
        if (line.rfind("cut sweep: ", 0) == 0) line = line.substr(0, line.find(" in "));
        summary += line + "\n";
    }
    return summary;
}

std::string withoutMilliseconds(const std::string& reason) {
    return std::regex_replace(reason, std::regex("cut after [0-9]+ ms"), "cut after N ms");
}

class ShardedVerifyTest : public VerifyRunTest {
protected:
    mpp::VerifyRun expectShardsMergeToTheWholeSweep(const std::vector<std::string>& args);
};

// Runs `args` with --cuts 4 whole and as shards 1/4 to 4/4, each with its
// report, and merges the shards' reports: the merge must print what the
// whole run printed and exit as it did, and hold its cuts, cut for cut.
// Returns the whole run's report.
mpp::VerifyRun ShardedVerifyTest::expectShardsMergeToTheWholeSweep(
    const std::vector<std::string>& args) {
    std::vector<std::string> whole = args;
    whole.insert(whole.end(),
                 {"--cuts", "4", "-j", "2", "--shard", "1/1", "--report", dir + "/whole.txt"});
    Result wholeRun = verify(whole);
    mpp::VerifyRun wholeReport;
    std::string error;
    EXPECT_TRUE(mpp::readVerifyReport(dir + "/whole.txt", &wholeReport, &error)) << error;
    EXPECT_EQ(wholeReport.total, 4) << wholeRun.out;

    std::vector<std::string> reports;
    std::vector<mpp::VerifyRun> shards(4);
    for (int i = 1; i <= 4; ++i) {
        reports.push_back(dir + "/shard-" + std::to_string(i) + ".txt");
        std::vector<std::string> shard = args;
        shard.insert(shard.end(), {"--cuts", "4", "--shard", std::to_string(i) + "/4", "--report",
                                   reports.back()});
        Result r = verify(shard);
        EXPECT_TRUE(mpp::readVerifyReport(reports.back(), &shards[i - 1], &error)) << error << "\n"
                                                                                   << r.out;
        // Four cuts over four shards: shard I makes cut I, under its number.
        EXPECT_EQ(shards[i - 1].cuts.size(), 1u) << r.out;
        for (const mpp::CutRecord& cut : shards[i - 1].cuts)
            EXPECT_EQ(cut.number, i) << r.out;
    }
    std::vector<std::string> merge = {kBuilder, "verify-merge"};
    merge.insert(merge.end(), reports.begin(), reports.end());
    Result merged = runProgram(merge);
    EXPECT_EQ(merged.exitCode, wholeRun.exitCode) << merged.out;
    EXPECT_EQ(summaryOf(merged.out, dir + "/a"), summaryOf(wholeRun.out, dir + "/a"));

    mpp::VerifyRun together;
    EXPECT_TRUE(mpp::mergeVerifyReports(shards, &together, &error)) << error;
    EXPECT_EQ(together.cuts.size(), wholeReport.cuts.size());
    for (size_t i = 0; i < together.cuts.size() && i < wholeReport.cuts.size(); ++i) {
        const mpp::CutRecord& a = wholeReport.cuts[i];
        const mpp::CutRecord& b = together.cuts[i];
        EXPECT_EQ(b.number, a.number);
        EXPECT_EQ(b.deviceCall, a.deviceCall) << "cut " << a.number;
        EXPECT_EQ(b.ending, a.ending) << "cut " << a.number;
        EXPECT_EQ(withoutMilliseconds(b.reason), withoutMilliseconds(a.reason))
            << "cut " << a.number;
        EXPECT_EQ(b.reproduce, a.reproduce) << "cut " << a.number;
    }
    return wholeReport;
}

TEST_F(ShardedVerifyTest, SweepOfTheRealProgramSplitInFourShardsMergesToTheWholeSweep) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    mpp::VerifyRun whole =
        expectShardsMergeToTheWholeSweep({"--old", dir + "/a", "--new", dir + "/new"});
    for (const mpp::CutRecord& cut : whole.cuts)
        EXPECT_EQ(cut.ending, mpp::CutEnding::Survived) << "cut " << cut.number;
}

TEST_F(ShardedVerifyTest, ShardsOfASweepWithLostCutsMergeWithEachCutsReasonAndReproduceCommand) {
    ASSERT_EQ(buildPackage().exitCode, 0);
    mpp::VerifyRun whole = expectShardsMergeToTheWholeSweep(
        {"--old", dir + "/a", "--new", dir + "/new", "--rootfs", flagsFirstRootfs()});
    // The stand-in's sweep must hold both kinds, or the merge was not put
    // to the test.
    size_t lost = 0;
    for (const mpp::CutRecord& cut : whole.cuts) {
        if (cut.ending != mpp::CutEnding::Lost) continue;
        ++lost;
        EXPECT_NE(cut.reproduce.find(" --cut-at " + std::to_string(cut.deviceCall) + " "),
                  std::string::npos)
            << cut.reproduce;
    }
    EXPECT_GT(lost, 0u);
    EXPECT_LT(lost, whole.cuts.size());
}

TEST(VerifyRefusalTest, RefusesWithoutRootWithAClearMessage) {
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    Result r = runProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           kBuilder, "verify", "/nonexistent.zip", "--old", "/nonexistent"});
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("must run as root"), std::string::npos) << r.out;
}

}  // namespace
