// Whole runs over the four partitions of the simulated set: preparation and
// every list, from a real package with real patches, checked byte for byte on
// the loop devices. Also the second run over finished partitions and the run
// that resumes after a power cut.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "ground.h"
#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

// The stretch of every partition the tests compare: images and the untouched
// bytes after them.
constexpr size_t kRegion = 32 * kMiB;

struct Partition {
    std::string name;
    std::string oldImage;
    std::string newImage;
    std::string lines;  // its update list
};

struct Scenario {
    std::vector<Partition> partitions;  // in run order
    std::vector<ota_test::ZipFixtureEntry> entries;
    int lineCount = 0;
};

std::string head(const std::string& image, size_t part) {
    return partOf(image, part);
}

std::string totalLine(const Partition& p) {
    return listLine("total", p.name, md5Hex(p.newImage), static_cast<long>(p.oldImage.size()),
                    static_cast<long>(p.newImage.size()));
}

// optfs grows with two patched parts around an unchanged one; usrfs shrinks,
// keeps its first part, gets its second whole and drops its third; tvservice
// is replaced whole; serialsdata has its short last part patched. No size is
// a multiple of 10 MiB.
const Scenario& firstRun() {
    static const Scenario made = [] {
        Scenario s;
        const std::string optOld = makeImage(2 * kPart + 3 * kMiB + 123, 61);
        const std::string optAa = changedImage(head(optOld, 0), kPart, 62);
        const std::string optAc = changedImage(head(optOld, 2), 7 * kMiB + 77, 63);
        const std::string usrOld = makeImage(2 * kPart + 5 * kMiB + 5, 64);
        const std::string usrAb = makeImage(4 * kMiB + 999, 66);
        const std::string tvOld = makeImage(6 * kMiB, 67);
        const std::string tvNew = makeImage(8 * kMiB + 1, 68);
        const std::string serOld = makeImage(kPart + 2 * kMiB + 10, 69);
        const std::string serAb = changedImage(head(serOld, 1), 2 * kMiB + 10, 70);

        PatchJob optAaPatch{head(optOld, 0), optAa, {}};
        PatchJob optAcPatch{head(optOld, 2), optAc, {}};
        PatchJob serAbPatch{head(serOld, 1), serAb, {}};
        makePatches({&optAaPatch, &optAcPatch, &serAbPatch});

        Partition opt{"optfs", optOld, optAa + head(optOld, 1) + optAc, ""};
        opt.lines = totalLine(opt) + listLine("update", "optfs_split_partaa", md5Hex(optAa), 0, 0) +
                    listLine("chksync", "optfs_split_partab", md5Hex(head(optOld, 1)), 0, 0) +
                    listLine("update", "optfs_split_partac", md5Hex(optAc), 0, 2 * kPart);
        Partition usr{"usrfs", usrOld, head(usrOld, 0) + usrAb, ""};
        usr.lines = totalLine(usr) +
                    listLine("chksync", "usrfs_split_partaa", md5Hex(head(usrOld, 0)), 0, 0) +
                    listLine("create", "usrfs_split_partab", md5Hex(usrAb), 0, kPart) +
                    listLine("delete", "usrfs_split_partac", md5Hex(head(usrOld, 2)), 0, 0);
        Partition tv{"tvservice", tvOld, tvNew, ""};
        tv.lines = totalLine(tv) + listLine("entotal", "tvservice_image", md5Hex(tvNew), 0, 0);
        Partition ser{"serialsdata", serOld, head(serOld, 0) + serAb, ""};
        ser.lines = totalLine(ser) +
                    listLine("chksync", "serialsdata_split_partaa", md5Hex(head(serOld, 0)), 0, 0) +
                    listLine("update", "serialsdata_split_partab", md5Hex(serAb), 0, kPart);

        s.partitions = {opt, usr, tv, ser};
        for (const Partition& p : s.partitions) {
            s.entries.push_back(listEntry(p.name, p.lines));
        }
        s.entries.push_back(itemEntry("optfs_split_partaa", optAaPatch.patch));
        s.entries.push_back(itemEntry("optfs_split_partac", optAcPatch.patch));
        s.entries.push_back(itemEntry("usrfs_split_partab", usrAb));
        s.entries.push_back(itemEntry("tvservice_image", tvNew));
        s.entries.push_back(itemEntry("serialsdata_split_partab", serAbPatch.patch));
        s.lineCount = 4 + 4 + 2 + 3;
        return s;
    }();
    return made;
}

class UpgradeRun : public ::testing::Test {
protected:
    void SetUp() override { resetRun(); }

    // Each partition: `image` at its start, the rest of the region filler
    // that differs from partition to partition.
    void install(const std::string& partition, const std::string& image, unsigned seed) {
        std::string bytes;
        while (bytes.size() < kRegion) {
            bytes += makeImage(kMiB, seed);
        }
        bytes.replace(0, image.size(), image);
        writeDevice(deviceOf(partition), 0, bytes);
        before[partition] = bytes;
    }

    // The worker's two steps, with the log of both.
    int run() {
        LogCapture capture;
        int result = prepareBspatch(m_totalItemNum);
        if (result == 0) {
            result = handleSplitBspatch();
        }
        log = capture.stop();
        return result;
    }

    void expectPartition(const std::string& partition, const std::string& image) {
        std::string expected = before[partition];
        expected.replace(0, image.size(), image);
        const std::string got = readDevice(deviceOf(partition), 0, kRegion);
        EXPECT_TRUE(got.compare(0, image.size(), image) == 0)
            << partition << " does not start with its new image";
        EXPECT_TRUE(got.compare(image.size(), std::string::npos, expected, image.size(),
                                std::string::npos) == 0)
            << partition << " changed past its new image";
    }

    void expectWorkDirectoriesEmpty() {
        for (const char* dir :
             {ota_paths::kPatchDir, ota_paths::kOriginalDir, ota_paths::kUpdateDir}) {
            EXPECT_TRUE(listDir(dir).empty()) << dir;
        }
    }

    std::map<std::string, std::string> before;
    std::string log;
};

TEST_F(UpgradeRun, FirstRunBringsEveryPartitionToItsNewImage) {
    const Scenario& s = firstRun();
    unsigned seed = 80;
    for (const Partition& p : s.partitions) {
        install(p.name, p.oldImage, seed++);
    }
    writePackage(s.entries);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run(), 0);
    const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    printf("first run over four partitions took %ld ms\n", ms);
    RecordProperty("first_run_ms", static_cast<int>(ms));

    EXPECT_EQ(m_totalItemNum, s.lineCount);
    for (const Partition& p : s.partitions) {
        expectPartition(p.name, p.newImage);
    }
    // Only the first partition is checked; it needs work, so the rest is not.
    EXPECT_EQ(countOf(log, "This part has not been Upgraded: optfs."), 1);
    EXPECT_EQ(countOf(log, "Upgraded: "), 1);
    EXPECT_EQ(countOf(log, "to be programmed"), 5);
    EXPECT_EQ(countOf(log, "This partition has beed upgraded."), 0);
    EXPECT_EQ(progressValues(log),
              (std::vector<int>{16, 22, 28, 34, 40, 46, 53, 59, 65, 71, 77, 83, 90}));
    EXPECT_EQ(m_curItemNum, s.lineCount);
    expectWorkDirectoriesEmpty();
}

TEST_F(UpgradeRun, SecondRunCutsEveryListAfterItsTotalLineAndWritesNothing) {
    const Scenario& s = firstRun();
    unsigned seed = 90;
    for (const Partition& p : s.partitions) {
        install(p.name, p.newImage, seed++);
    }
    writePackage(s.entries);

    ASSERT_EQ(run(), 0);
    for (const Partition& p : s.partitions) {
        EXPECT_EQ(countOf(log, "This part has been Upgraded: " + p.name + "."), 1);
        expectPartition(p.name, p.newImage);
    }
    EXPECT_EQ(countOf(log, "This partition has beed upgraded."), 4);
    EXPECT_EQ(countOf(log, "load split"), 0);
    EXPECT_EQ(countOf(log, "to be programmed"), 0);
    EXPECT_EQ(m_curItemNum, 4);
    // Of a cut list only the first line counts: the bar stays below 90.
    EXPECT_EQ(progressValues(log), (std::vector<int>{16, 22, 28, 34}));
    expectWorkDirectoriesEmpty();
}

// A power cut hit usrfs while its second part was being written: the first
// part is already new, the second half new, its verified result still in the
// persistent directory, and a wrong result of the third part lies beside it.
// The package carries no patch for the first two parts: they can only be
// skipped and rewritten from what the cut run left.
TEST_F(UpgradeRun, ResumesAPartitionCutWhileItsSecondPartWasWritten) {
    const std::string oldImage = makeImage(2 * kPart + 2 * kMiB, 71);
    const std::string newAa = changedImage(head(oldImage, 0), kPart, 72);
    const std::string newAb = changedImage(head(oldImage, 1), kPart, 73);
    const std::string newAc = changedImage(head(oldImage, 2), 2 * kMiB + 3, 74);
    const std::string newImage = newAa + newAb + newAc;
    const std::string acPatch = makePatch(head(oldImage, 2), newAc);

    const std::string halfWritten =
        newAa + newAb.substr(0, 5 * kMiB) + oldImage.substr(kPart + 5 * kMiB);
    install("usrfs", halfWritten, 75);
    before["usrfs"].replace(0, oldImage.size(), oldImage);  // past the new image: old bytes stay
    writeFile(std::string(ota_paths::kUpdateDir) + "usrfs_split_partab", newAb);
    writeFile(std::string(ota_paths::kUpdateDir) + "usrfs_split_partac", "stale");

    const Partition usr{"usrfs", oldImage, newImage, ""};
    writePackage(
        {listEntry("usrfs",
                   totalLine(usr) + listLine("update", "usrfs_split_partaa", md5Hex(newAa), 0, 0) +
                       listLine("update", "usrfs_split_partab", md5Hex(newAb), 0, kPart) +
                       listLine("update", "usrfs_split_partac", md5Hex(newAc), 0, 2 * kPart)),
         itemEntry("usrfs_split_partac", acPatch)});

    ASSERT_EQ(run(), 0);
    expectPartition("usrfs", newImage);
    EXPECT_EQ(countOf(log, "This part has been upgraded: /tmp/original_file/usrfs_split_partaa."),
              1);
    EXPECT_EQ(countOf(log, "This part has been extracted: /OAD/update_file/usrfs_split_partab."),
              1);
    EXPECT_EQ(countOf(log, "/OAD/update_file/usrfs_split_partac checksum is failed."), 1);
    EXPECT_EQ(countOf(log, "to be programmed"), 2);
    expectWorkDirectoriesEmpty();
}

// Before success every partition a list wrote is read back: after a whole
// run each holds its new image; a byte the device lost afterwards, inside
// any image, is found and named with both sums.
TEST_F(UpgradeRun, FinalCheckReadsEveryWrittenPartitionBack) {
    const Scenario& s = firstRun();
    unsigned seed = 100;
    for (const Partition& p : s.partitions) {
        install(p.name, p.oldImage, seed++);
    }
    writePackage(s.entries);
    ASSERT_EQ(run(), 0);

    LogCapture passing;
    EXPECT_EQ(checkUpgradedPartitions(), 0);
    const std::string passed = passing.stop();
    for (const Partition& p : s.partitions) {
        // tvservice's image is promised twice: by its "total" and its "entotal".
        EXPECT_EQ(countOf(passed, "final check of " + p.name), p.name == "tvservice" ? 2 : 1)
            << passed;
    }

    for (const Partition& p : s.partitions) {
        SCOPED_TRACE(p.name);
        const size_t at = p.newImage.size() - 1;
        const std::string good = readDevice(deviceOf(p.name), static_cast<long>(at), 1);
        writeDevice(deviceOf(p.name), static_cast<long>(at), std::string(1, good[0] ^ 0x01));
        LogCapture failing;
        EXPECT_EQ(checkUpgradedPartitions(), 1);
        const std::string failed = failing.stop();
        const int claims = p.name == "tvservice" ? 2 : 1;
        EXPECT_EQ(countOf(failed, deviceOf(p.name) + " holds "), claims) << failed;
        EXPECT_EQ(countOf(failed, ", its list expects " + md5Hex(p.newImage)), claims) << failed;
        writeDevice(deviceOf(p.name), static_cast<long>(at), good);
    }
}

// What the run acts on is the list read from the package: the copy on /OAD,
// rewritten by another program after preparation, is never read. A line
// whose word the program does not know is passed over, as ever, and the
// final check then refuses the partition its write would have made.
TEST_F(UpgradeRun, ListsRunFromThePackageAndAnUnknownWordEndsInTheFinalCheck) {
    const std::string oldImage = makeImage(kPart + kMiB, 111);
    const std::string newAb = changedImage(head(oldImage, 1), kMiB, 112);
    const std::string newImage = head(oldImage, 0) + newAb;
    install("usrfs", oldImage, 113);
    const Partition usr{"usrfs", oldImage, newImage, ""};
    writePackage(
        {listEntry("usrfs",
                   totalLine(usr) +
                       listLine("chksync", "usrfs_split_partaa", md5Hex(head(oldImage, 0)), 0, 0) +
                       listLine("createx", "usrfs_split_partab", md5Hex(newAb), 0, kPart)),
         itemEntry("usrfs_split_partab", newAb)});

    LogCapture capture;
    ASSERT_EQ(prepareBspatch(m_totalItemNum), 0);
    // Another program swaps the copy for a list that would write its bytes.
    writeFile(std::string(ota_paths::kListDir) + "split_usrfs_udpate_list.ini",
              listLine("create", "usrfs_split_partab", md5Hex("planted"), 0, 0));
    writeFile(std::string(ota_paths::kUpdateDir) + "usrfs_split_partab", "planted");
    EXPECT_EQ(handleSplitBspatch(), 0);
    EXPECT_EQ(checkUpgradedPartitions(), 1);
    log = capture.stop();

    EXPECT_EQ(countOf(log, "This part has been check sync sucess"), 1);
    EXPECT_EQ(countOf(log, "There no handle upgradmode: createx."), 1);
    EXPECT_EQ(countOf(log, "to be programmed"), 0);
    EXPECT_EQ(countOf(log, "final check of usrfs: " + deviceOf("usrfs") + " holds"), 1);
    expectPartition("usrfs", oldImage);
}

}  // namespace
