// The installed program, run whole on simulated sets through the sandbox
// runner: a full upgrade of four partitions, the failure endings, a patch the
// applier refuses, and the choice of language.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"
#include "testing/zip_fixture.h"

namespace {

using namespace set_driver;

constexpr size_t kPart = 10 << 20;

// One fresh set per test, kept for a look when the test fails.
class SetRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(exists(runnerPath())) << runnerPath();
        ASSERT_TRUE(exists(rootfsPath() + "/usr/bin/upgradeprogress/upgradeprogress"))
            << "the install fixture did not lay out " << rootfsPath();
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : tag) {
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        set_ = scratchDir(tag) + "/set";
    }
    void TearDown() override {
        if (!HasFailure()) {
            removeTree(set_);
        }
    }

    std::string set_;
};

// Sets upgraded with one package, built once for the suite.
class UpgradeRun : public SetRun {
protected:
    static void SetUpTestSuite() {
        const SampleUpgrade sample = buildSampleUpgrade("upgrade_e2e");
        if (!sample.problem.empty()) {
            fprintf(stderr, "%s\n", sample.problem.c_str());
        }
        work_ = new std::string(sample.work);
        images_ = new std::vector<ImagePair>(sample.images);
        package_ = new std::string(sample.package);
    }
    static void TearDownTestSuite() {
        delete work_;
        delete images_;
        delete package_;
    }

    // The update list of `partition` as the package carries it.
    static std::string listOf(const std::string& package, const char* partition) {
        std::string list;
        readZipEntry(package, std::string("patch_package/split_") + partition + "_udpate_list.ini",
                     &list);
        return list;
    }
    // The first line of `list` whose action word is `mode`, as its fields.
    static std::vector<std::string> firstLine(const std::string& list, const std::string& mode) {
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find('\n', start);
            if (end == std::string::npos) {
                end = list.size();
            }
            const std::string line = list.substr(start, end - start);
            std::vector<std::string> fields;
            size_t from = 0, semi;
            while ((semi = line.find(';', from)) != std::string::npos) {
                fields.push_back(line.substr(from, semi - from));
                from = semi + 1;
            }
            fields.push_back(line.substr(from));
            if (!fields.empty() && fields[0] == mode) {
                return fields;
            }
            start = end + 1;
        }
        return {};
    }

    // The failure ending as the set shows it afterwards.
    void expectFailureEnding(const ChildResult& run) {
        EXPECT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << run.text();
        EXPECT_TRUE(run.contains("TV will reset the flags and reboot.")) << run.text();
        EXPECT_TRUE(run.contains("clear ota flags finished.")) << run.text();
        EXPECT_TRUE(run.contains("OTA-UI animation(): upgrade error!")) << run.text();
        std::string expected = pendingFlags();
        expected[0] = '\x00';  // the running chain toggled from 1
        expected[4] = '\x55';
        expected[7] = '\x55';
        EXPECT_EQ(readAt(flagPath(set_), 0, expected.size()), expected);
        EXPECT_EQ(readAt(flagPath(set_), kMarkerOffset, 8),
                  std::string("reboot\0", 7) + markerArea()[7]);
        EXPECT_FALSE(exists(set_ + "/OAD/patch_package.zip"));
        EXPECT_FALSE(exists(set_ + "/OAD/patch_package"));
        EXPECT_FALSE(exists(set_ + "/OAD/update_file"));
        // Only a committed upgrade lets the set forget the forced power-off.
        EXPECT_TRUE(exists(set_ + "/var-local/suspend_force_off"));
        const auto reports = progressReports(run);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().second, 1);
    }

    static std::string* work_;
    static std::vector<ImagePair>* images_;
    static std::string* package_;
};

std::string* UpgradeRun::work_ = nullptr;
std::vector<ImagePair>* UpgradeRun::images_ = nullptr;
std::string* UpgradeRun::package_ = nullptr;

TEST_F(UpgradeRun, UpgradesFourPartitionsCommitsAndCleansUp) {
    ASSERT_TRUE(exists(*package_)) << "no package was built";
    ASSERT_TRUE(makeSet(set_, *images_, *package_));
    // Work directories a cut-short earlier run may have left behind.
    ASSERT_EQ(
        system(("mkdir -p " + set_ + "/OAD/update_file " + set_ + "/OAD/patch_package").c_str()),
        0);

    const ChildResult run = runProgram(set_);

    EXPECT_EQ(run.exitCode, 100);
    EXPECT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << run.text();
    EXPECT_EQ(upgradeProblems(set_, *images_), "") << run.text();
    EXPECT_EQ(cleanUpProblems(set_), "") << run.text();

    // 2 at the start, the lines from 10 to exactly 90, then 95, 99, 100.
    const auto reports = progressReports(run);
    ASSERT_GE(reports.size(), 5u) << run.text();
    EXPECT_EQ(reports.front(), std::make_pair(2, 0));
    const size_t n = reports.size();
    EXPECT_EQ(reports[n - 4], std::make_pair(90, 0));
    EXPECT_EQ(reports[n - 3], std::make_pair(95, 0));
    EXPECT_EQ(reports[n - 2], std::make_pair(99, 0));
    EXPECT_EQ(reports[n - 1], std::make_pair(100, 0));
    for (size_t i = 1; i + 3 < n; ++i) {
        EXPECT_GE(reports[i].first, 10);
        EXPECT_LE(reports[i].first, 90);
        EXPECT_GE(reports[i].first, reports[i - 1].first);
        EXPECT_EQ(reports[i].second, 0);
    }
    // One second between the clean-up and 100, then 50 frames and the two
    // seconds of the success screen before the restart.
    const long at99 = run.msOf("value = 99, error = 0");
    const long at100 = run.msOf("value = 100, error = 0");
    ASSERT_GE(at99, 0);
    ASSERT_GE(at100, 0);
    EXPECT_GE(at100 - at99, 950);
    EXPECT_TRUE(run.contains("thread exit.")) << run.text();
    ::testing::Test::RecordProperty("upgrade_ms", std::to_string(run.lines.back().ms));
}

// Another program left the work directory for new parts as a link to a
// directory of its own. The upgrade writes into a real directory of its own
// instead, and the clean-up removes the link, never the files it points at.
TEST_F(UpgradeRun, WorkDirectoryLinkedElsewhereIsReplacedAndItsTargetKept) {
    ASSERT_TRUE(exists(*package_)) << "no package was built";
    ASSERT_TRUE(makeSet(set_, *images_, *package_));
    ASSERT_EQ(mkdir((set_ + "/var-local/elsewhere").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(set_ + "/var-local/elsewhere/settings.db", "keep me"));
    ASSERT_EQ(symlink("/var/local/elsewhere", (set_ + "/OAD/update_file").c_str()), 0);

    const ChildResult run = runProgram(set_);

    EXPECT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << run.text();
    EXPECT_EQ(upgradeProblems(set_, *images_), "") << run.text();
    EXPECT_EQ(cleanUpProblems(set_), "") << run.text();
    EXPECT_EQ(readFile(set_ + "/var-local/elsewhere/settings.db"), "keep me");
    EXPECT_FALSE(exists(set_ + "/OAD/update_file"));
    struct stat st;
    EXPECT_EQ(lstat((set_ + "/var-local/elsewhere").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(UpgradeRun, MissingPackageResetsTheFlagsAndRestarts) {
    ASSERT_TRUE(makeSet(set_, *images_, ""));
    ASSERT_EQ(
        system(("mkdir -p " + set_ + "/OAD/update_file " + set_ + "/OAD/patch_package").c_str()),
        0);
    ASSERT_TRUE(writeFile(set_ + "/OAD/update_file/usrfs_split_partaa", "stale"));

    const ChildResult run = runProgram(set_);

    EXPECT_TRUE(run.contains("there is no package: /OAD/patch_package.zip")) << run.text();
    expectFailureEnding(run);
    EXPECT_EQ(progressReports(run).back(), std::make_pair(2, 1));
    for (size_t i = 0; i < images_->size(); ++i) {
        EXPECT_TRUE(partitionHolds(set_, kPartitions[i].device, (*images_)[i].oldImage));
    }
}

TEST_F(UpgradeRun, ListsWithoutLinesResetTheFlagsAndRestart) {
    const std::string empty = *work_ + "/empty_lists.zip";
    std::vector<ota_test::ZipFixtureEntry> entries;
    for (const Partition& p : kPartitions) {
        entries.push_back({std::string("patch_package/split_") + p.name + "_udpate_list.ini", ""});
    }
    ASSERT_TRUE(ota_test::writeZip(empty, entries));
    ASSERT_TRUE(makeSet(set_, *images_, empty));

    const ChildResult run = runProgram(set_);

    EXPECT_TRUE(run.contains("m_totalItemNum is 0.")) << run.text();
    expectFailureEnding(run);
}

// The set does not hold the installed image the package was made for: a part
// that the new image keeps unchanged differs by one byte. The package's
// manifest lets the program see it before the first write, so no partition
// is touched, the drifted one included.
TEST_F(UpgradeRun, UnexpectedInstalledPartTakesTheFailureEnding) {
    ASSERT_TRUE(exists(*package_)) << "no package was built";
    const std::vector<std::string> chksync = firstLine(listOf(*package_, "optfs"), "chksync");
    ASSERT_GE(chksync.size(), 2u) << "the optfs list verifies no unchanged part";
    const std::string& part = chksync[1];
    const long index = (part[part.size() - 2] - 'a') * 26 + (part[part.size() - 1] - 'a');
    ASSERT_TRUE(makeSet(set_, *images_, *package_));
    const long victim = index * static_cast<long>(kPart) + 4321;
    const std::string byte = readAt(partitionPath(set_, kPartitions[0].device), victim, 1);
    ASSERT_TRUE(writeAt(partitionPath(set_, kPartitions[0].device), victim,
                        std::string(1, static_cast<char>(byte[0] ^ 0x5A))));

    const ChildResult run = runProgram(set_);

    EXPECT_TRUE(run.contains("pre-check refused the package: part " + part + " of optfs holds"))
        << run.text();
    EXPECT_FALSE(run.contains("handleSplitBspatch")) << run.text();
    expectFailureEnding(run);
    std::string drifted = (*images_)[0].oldImage;
    drifted[static_cast<size_t>(victim)] = static_cast<char>(byte[0] ^ 0x5A);
    EXPECT_TRUE(partitionHolds(set_, kPartitions[0].device, drifted));
    for (size_t i = 1; i < images_->size(); ++i) {
        EXPECT_TRUE(partitionHolds(set_, kPartitions[i].device, (*images_)[i].oldImage))
            << kPartitions[i].name;
    }
}

// A malformed patch ends the process at once: no flags, no marker, no restart.
TEST_F(UpgradeRun, CorruptPatchEndsTheProcessWithoutRestart) {
    ASSERT_TRUE(exists(*package_)) << "no package was built";
    const std::vector<std::string> update = firstLine(listOf(*package_, "optfs"), "update");
    ASSERT_GE(update.size(), 2u) << "the optfs list patches no part";
    std::string corrupt = "BSDIFF40";
    corrupt += std::string(24, '\xff');
    corrupt += "not a bzip2 stream";
    const std::string damaged = *work_ + "/corrupt_patch.zip";
    ASSERT_TRUE(replaceZipEntry(*package_, "patch_package/" + update[1], corrupt, damaged));
    ASSERT_TRUE(makeSet(set_, *images_, damaged));

    const ChildResult run = runProgram(set_);

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.verdict(), "upgrade-sandbox: exit status 1") << run.text();
    EXPECT_TRUE(run.contains("Corrupt patch")) << run.text();
    EXPECT_EQ(readAt(flagPath(set_), 0, 10), pendingFlags());
    EXPECT_EQ(readAt(flagPath(set_), kMarkerOffset, 8), markerArea());
    EXPECT_TRUE(exists(set_ + "/OAD/patch_package.zip"));
}

struct LanguageCase {
    const char* label;
    const char* fileContent;  // null: no language file at all
    const char* code;
    int row;
    const char* font;
};

class LanguageRun : public SetRun, public ::testing::WithParamInterface<LanguageCase> {};

// Runs without a package: the quickest way through start-up to a restart.
TEST_P(LanguageRun, LogsTheChosenRowAndFont) {
    const LanguageCase& c = GetParam();
    ASSERT_TRUE(makeSet(set_, {}, ""));
    const std::string langFile = set_ + "/var-local/upgrade/am_tv_lang";
    removeTree(langFile);
    if (c.fileContent != nullptr) {
        ASSERT_TRUE(writeFile(langFile, c.fileContent));
    }

    const ChildResult run = runProgram(set_);

    if (c.fileContent == nullptr) {
        EXPECT_TRUE(run.contains("open /var/local/upgrade/am_tv_lang failed.")) << run.text();
        EXPECT_FALSE(run.contains("language = ")) << run.text();
    } else {
        const std::string line = std::string("get_languageID(): language = ") + c.code +
                                 ", ret = " + std::to_string(c.row) + ", fontsNum : " + c.font +
                                 " .";
        EXPECT_TRUE(run.contains(line)) << line << "\n" << run.text();
    }
    const std::string rowCode = c.row == 17 ? "ita" : c.row == 16 ? "ger" : "eng";
    EXPECT_TRUE(run.contains("Get current language is " + rowCode + ".")) << run.text();
    EXPECT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << run.text();
}

INSTANTIATE_TEST_SUITE_P(
    Files, LanguageRun,
    ::testing::Values(LanguageCase{"ita", "ita\n", "ita", 17, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"ger", "ger", "ger", 16, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"empty", "", "", 0, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"missing", nullptr, "", 0, "/usr/bin/upgradeprogress/ukai.ttc"}),
    [](const ::testing::TestParamInfo<LanguageCase>& info) {
        return std::string(info.param.label);
    });

}  // namespace
