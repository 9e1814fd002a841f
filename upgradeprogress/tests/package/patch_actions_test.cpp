// "total", "update" and "chksync" on the simulated set: the installed image
// staged from a loop device, parts rebuilt with real BSDIFF40 patches from
// the system's bsdiff, every result checked before it reaches the partition.
#include <gtest/gtest.h>

#include <string>

#include "ground.h"
#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

const std::string kOriginal = ota_paths::kOriginalDir;
const std::string kResult = ota_paths::kUpdateDir;
const std::string kPatch = ota_paths::kPatchDir;

// The installed usrfs image: two whole parts and a short third one.
constexpr size_t kInstalledSize = 2 * kPart + 2 * kMiB + 5;

// The third part before and after, and patches to it from the right base and
// from another one. Made once: bsdiff is the slow step.
struct Parts {
    std::string installed;  // the whole installed image
    std::string oldPart;    // its part ac
    std::string newPart;
    std::string patch;           // oldPart -> newPart
    std::string patchOtherBase;  // another base -> newPart
};

const Parts& parts() {
    static const Parts made = [] {
        Parts p;
        p.installed = makeImage(kInstalledSize, 41);
        p.oldPart = partOf(p.installed, 2);
        p.newPart = changedImage(p.oldPart, 3 * kMiB + 11, 42);
        PatchJob right{p.oldPart, p.newPart, {}};
        // A base close enough to share most bytes, so the patch really
        // adds to it: applied to the installed part it yields other bytes.
        PatchJob other{changedImage(p.oldPart, p.oldPart.size(), 43), p.newPart, {}};
        makePatches({&right, &other});
        p.patch = right.patch;
        p.patchOtherBase = other.patch;
        return p;
    }();
    return made;
}

const std::string kPartName = "usrfs_split_partac";
const size_t kPartOffset = 2 * kPart;

class PatchActions : public ::testing::Test {
protected:
    void SetUp() override {
        resetRun();
        writeDevice(deviceOf("usrfs"), 0, parts().installed);
        isUpgraded = false;
        isNeedCheck = true;
        m_totalFileName = "usrfs";
    }

    int runLogged(int (*handler)(CongfigItemValue_T), const CongfigItemValue_T& record) {
        LogCapture capture;
        const int result = handler(record);
        log = capture.stop();
        return result;
    }

    void stage(const std::string& bytes) { writeFile(kOriginal + kPartName, bytes); }

    std::string installedPartition() {
        return readDevice(deviceOf("usrfs"), 0, kInstalledSize + 4 * kMiB);
    }

    std::string expectedAfterWrite() {
        std::string bytes = installedPartition();
        return bytes.replace(kPartOffset, parts().newPart.size(), parts().newPart);
    }

    CongfigItemValue_T updateItem() const {
        return item("update", kPartName, md5Hex(parts().newPart), 0, kPartOffset);
    }

    std::string log;
};

TEST_F(PatchActions, TotalStagesTheInstalledImageInTenMiBParts) {
    ASSERT_EQ(
        runLogged(handleTotalBspatch, item("total", "usrfs", md5Hex("new"), kInstalledSize, 0)), 0);
    EXPECT_EQ(countOf(log, "handleTotalBspatch " + kOriginal + "usrfs."), 1);
    EXPECT_EQ(countOf(log, "load split: /dev/mmcblk0p26, " + std::to_string(kInstalledSize) +
                               ", 10485760, " + kOriginal + "usrfs_split_part."),
              1);
    EXPECT_EQ(listDir(kOriginal),
              (std::vector<std::string>{"usrfs_split_partaa", "usrfs_split_partab",
                                        "usrfs_split_partac"}));
    const std::vector<std::string> expected = splitParts(parts().installed);
    EXPECT_TRUE(readFile(kOriginal + "usrfs_split_partaa") == expected[0]);
    EXPECT_TRUE(readFile(kOriginal + "usrfs_split_partab") == expected[1]);
    EXPECT_TRUE(readFile(kOriginal + "usrfs_split_partac") == expected[2]);
    EXPECT_EQ(m_totalFileName, "usrfs");
    EXPECT_FALSE(isUpgraded);
}

struct HeadCheck {
    int offset;          // the item's offset: bytes the checksum covers, 0 = all
    size_t hashedBytes;  // what the checksum in the list was made from
    bool upgraded;
};

void PrintTo(const HeadCheck& c, std::ostream* os) {
    *os << "offset " << c.offset << ", checksum of " << c.hashedBytes << " bytes";
}

class TotalCheck : public PatchActions, public ::testing::WithParamInterface<HeadCheck> {};

// While no partition of the run needed work, "total" compares the leading
// bytes of the partition with the new image and ends the list on a match.
TEST_P(TotalCheck, ComparesTheLeadingBytesOfThePartition) {
    const HeadCheck& c = GetParam();
    isUpgraded = true;
    const std::string hashed = readDevice(deviceOf("usrfs"), 0, c.hashedBytes);
    ASSERT_EQ(runLogged(handleTotalBspatch,
                        item("total", "usrfs", md5Hex(hashed), kInstalledSize, c.offset)),
              0);
    EXPECT_EQ(isUpgraded, c.upgraded);
    if (c.upgraded) {
        EXPECT_EQ(countOf(log, "This part has been Upgraded: usrfs."), 1);
        EXPECT_TRUE(listDir(kOriginal).empty());
    } else {
        EXPECT_EQ(countOf(log, "This part has not been Upgraded: usrfs."), 1);
        EXPECT_EQ(listDir(kOriginal).size(), 3u);
        EXPECT_EQ(m_totalFileName, "usrfs");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, TotalCheck,
    ::testing::Values(HeadCheck{static_cast<int>(kInstalledSize), kInstalledSize, true},
                      HeadCheck{4096, 4096, true},
                      // 0 hashes the whole 64 MiB device, not just the image.
                      HeadCheck{0, 64 * kMiB, true}, HeadCheck{0, kInstalledSize, false},
                      HeadCheck{4096, 4097, false}));

TEST_F(PatchActions, TotalFailsForANameWithoutPartition) {
    EXPECT_EQ(runLogged(handleTotalBspatch, item("total", "system", md5Hex("x"), kMiB, 0)), 1);
    EXPECT_EQ(countOf(log, "can not get blkdev."), 1);
    EXPECT_TRUE(listDir(kOriginal).empty());
}

// Refused by its sign, not by the part count: the set's 32-bit build would
// read -1 as 4 GiB and stage the whole partition into its RAM.
TEST_F(PatchActions, TotalRefusesASizeThatIsNotPositive) {
    for (int32_t size : {-1, -2147483647 - 1, 0}) {
        m_totalFileName.clear();
        EXPECT_EQ(runLogged(handleTotalBspatch, item("total", "usrfs", md5Hex("x"), size, 0)), 1);
        EXPECT_EQ(countOf(log, "total size " + std::to_string(size) + " of usrfs is not a size."),
                  1)
            << size;
        EXPECT_EQ(countOf(log, "load split"), 0) << size;
        EXPECT_TRUE(listDir(kOriginal).empty()) << size;
        EXPECT_EQ(m_totalFileName, "") << size;
    }
}

TEST_F(PatchActions, TotalFailsWhenTheImageCannotBeStaged) {
    m_totalFileName.clear();
    // One byte more than the 64 MiB partition holds.
    EXPECT_EQ(runLogged(handleTotalBspatch, item("total", "usrfs", md5Hex("x"), 64 * kMiB + 1, 0)),
              1);
    EXPECT_EQ(countOf(log, "Load original split file (/dev/mmcblk0p26) (usrfs) failed!."), 1);
    EXPECT_EQ(m_totalFileName, "");
}

TEST_F(PatchActions, UpdatePatchesVerifiesAndWritesThePart) {
    writePackage({itemEntry(kPartName, parts().patch)});
    openPackage();
    stage(parts().oldPart);
    const std::string expected = expectedAfterWrite();

    ASSERT_EQ(runLogged(handleUpdateBspatch, updateItem()), 0);
    EXPECT_EQ(countOf(log, "handleUpdateBspatch " + kResult + kPartName + "."), 1);
    EXPECT_FALSE(isNeedCheck);  // the first part not yet new ends the checking
    EXPECT_TRUE(installedPartition() == expected);
    EXPECT_FALSE(exists(kResult + kPartName));
    EXPECT_FALSE(exists(kPatch + kPartName));
}

TEST_F(PatchActions, UpdateSkipsAPartThePartitionAlreadyHolds) {
    writePackage({itemEntry("unrelated", "u")});
    openPackage();
    stage(parts().newPart);
    writeFile(kResult + kPartName, "left by a cut run");
    const std::string before = installedPartition();

    ASSERT_EQ(runLogged(handleUpdateBspatch, updateItem()), 0);
    EXPECT_EQ(countOf(log, "This part has been upgraded: " + kOriginal + kPartName + "."), 1);
    EXPECT_TRUE(isNeedCheck);
    EXPECT_FALSE(exists(kResult + kPartName));
    EXPECT_EQ(countOf(log, "to be programmed"), 0);
    EXPECT_TRUE(installedPartition() == before);
}

TEST_F(PatchActions, UpdateRefusesAPatchMadeForAnotherBase) {
    writePackage({itemEntry(kPartName, parts().patchOtherBase)});
    openPackage();
    stage(parts().oldPart);
    const std::string before = installedPartition();

    EXPECT_EQ(runLogged(handleUpdateBspatch, updateItem()), 1);
    EXPECT_EQ(countOf(log, "check " + kResult + kPartName + " sum error!"), 1);
    EXPECT_FALSE(exists(kResult + kPartName));
    EXPECT_FALSE(exists(kPatch + kPartName));
    EXPECT_TRUE(installedPartition() == before);
}

TEST_F(PatchActions, UpdateFailsWhenThePackageLacksThePatch) {
    writePackage({itemEntry("unrelated", "u")});
    openPackage();
    stage(parts().oldPart);
    EXPECT_EQ(runLogged(handleUpdateBspatch, updateItem()), 1);
    EXPECT_EQ(countOf(log, "extractOneFile: patch_package/" + kPartName + " failed."), 1);
}

// Without its staged part the patcher would end the whole process; the item
// fails instead and the run ends in order.
TEST_F(PatchActions, UpdateWithoutItsStagedPartFailsTheItem) {
    writePackage({itemEntry(kPartName, parts().patch)});
    openPackage();
    const std::string before = installedPartition();

    EXPECT_EQ(runLogged(handleUpdateBspatch, updateItem()), 1);
    EXPECT_EQ(countOf(log, "There is no " + kOriginal + kPartName + "."), 1);
    EXPECT_EQ(countOf(log, "Cannot patch " + kResult + kPartName), 1);
    EXPECT_FALSE(exists(kPatch + kPartName));
    EXPECT_TRUE(installedPartition() == before);
}

TEST_F(PatchActions, UpdateWithoutItsStagedPartStillWritesAVerifiedResult) {
    writePackage({itemEntry("unrelated", "u")});
    openPackage();
    writeFile(kResult + kPartName, parts().newPart);
    const std::string expected = expectedAfterWrite();

    ASSERT_EQ(runLogged(handleUpdateBspatch, updateItem()), 0);
    EXPECT_EQ(countOf(log, "There is no " + kOriginal + kPartName + "."), 1);
    EXPECT_EQ(countOf(log, "This part has been extracted: " + kResult + kPartName + "."), 1);
    EXPECT_TRUE(installedPartition() == expected);
}

struct SyncCase {
    std::string name;
    bool staged;
    bool matching;
    int result;
    std::string message;
};

void PrintTo(const SyncCase& c, std::ostream* os) {
    *os << c.message;
}

class ChkSync : public PatchActions, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(ChkSync, VerifiesAnUnchangedPartAndWritesNothing) {
    const SyncCase& c = GetParam();
    if (c.staged) {
        writeFile(kOriginal + c.name, parts().oldPart);
    }
    const std::string sum = md5Hex(c.matching ? parts().oldPart : parts().newPart);
    const std::string before = installedPartition();

    EXPECT_EQ(runLogged(handleChkSyncBspatch, item("chksync", c.name, sum, 0, 0)), c.result);
    EXPECT_EQ(countOf(log, c.message), 1);
    EXPECT_TRUE(installedPartition() == before);
    if (c.staged) {
        EXPECT_TRUE(exists(kOriginal + c.name));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChkSync,
    ::testing::Values(
        SyncCase{kPartName, true, true, 0,
                 "This part has been check sync sucess: " + kOriginal + kPartName + "."},
        SyncCase{kPartName, true, false, 1, "check " + kOriginal + kPartName + " sum error!"},
        // A part that was never staged passes unchecked; the device is still looked up.
        SyncCase{kPartName, false, true, 0, "handleChkSyncBspatch " + kOriginal + kPartName + "."},
        SyncCase{"system_split_partac", true, true, 1, "can not get blkdev."}));

}  // namespace
