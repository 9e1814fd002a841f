// The check before the first write, on a real package and the sandbox's
// loop devices: a set whose parts are as the package was built on, or as a
// cut run left them, passes; a drifted part, a part out of the runner's
// order, an entry the package lacks or a manifest that does not describe a
// part is refused with the partition and the part named, before any byte
// is written.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ground.h"
#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

struct Images {
    std::string oldImage;
    std::vector<std::string> newParts;  // aa (patched), ab (kept), ac (patched)
};

const Images& images() {
    static const Images made = [] {
        Images i;
        i.oldImage = makeImage(2 * kPart + kMiB, 201);
        i.newParts = {changedImage(partOf(i.oldImage, 0), kPart, 202), partOf(i.oldImage, 1),
                      changedImage(partOf(i.oldImage, 2), kMiB + 5, 203)};
        return i;
    }();
    return made;
}

std::string partName(int k) {
    return std::string("usrfs_split_parta") + static_cast<char>('a' + k);
}

std::string manifestLine(int k) {
    const Images& i = images();
    const std::string base = partOf(i.oldImage, static_cast<size_t>(k));
    const std::string& made = i.newParts[static_cast<size_t>(k)];
    return "part;" + partName(k) + ";" + std::to_string(k * kPart) + ";" +
           std::to_string(base.size()) + ";" + md5Hex(base) + ";" + std::to_string(made.size()) +
           ";" + md5Hex(made) + "\n";
}

std::string newImage() {
    const Images& i = images();
    return i.newParts[0] + i.newParts[1] + i.newParts[2];
}

std::string manifest(const std::vector<int>& parts) {
    std::string text = "version;1\nrelease;7\nimage;usrfs;base;" +
                       std::to_string(images().oldImage.size()) + ";" + md5Hex(images().oldImage) +
                       "\nimage;usrfs;new;" + std::to_string(newImage().size()) + ";" +
                       md5Hex(newImage()) + "\n";
    for (int k : parts) {
        text += manifestLine(k);
    }
    // A line of a kind this program does not know is for a later one.
    return text + "signer;release-team\n";
}

std::string usrfsList() {
    const Images& i = images();
    return listLine("total", "usrfs", md5Hex(newImage()), static_cast<long>(i.oldImage.size()),
                    static_cast<long>(newImage().size())) +
           listLine("update", partName(0), md5Hex(i.newParts[0]), 0, 0) +
           listLine("chksync", partName(1), md5Hex(i.newParts[1]), 0, 0) +
           listLine("update", partName(2), md5Hex(i.newParts[2]), 0, 2 * kPart);
}

// What differs from the base set in one case.
struct PrecheckCase {
    const char* name;
    std::function<void()> arrange;   // the set before the run
    std::vector<int> manifestParts;  // parts the manifest describes
    bool withPatchOfAc;              // the package carries ac's patch
    std::string refusalNames;        // empty: the check passes
};

void PrintTo(const PrecheckCase& c, std::ostream* os) {
    *os << c.name;
}

void writePart(int k, const std::string& bytes) {
    writeDevice(deviceOf("usrfs"), static_cast<size_t>(k) * kPart, bytes);
}

std::vector<PrecheckCase> cases() {
    const std::vector<int> all = {0, 1, 2};
    return {
        {"BaseImage", [] {}, all, true, ""},
        // A cut run wrote aa: it is skipped, the rest patched.
        {"FirstPartAlreadyNew", [] { writePart(0, images().newParts[0]); }, all, true, ""},
        // A run finished the partition: its "total" line ends the list, as
        // the runner ends it, though ac's staged bytes (the old, shorter
        // length) match neither of ac's sums.
        {"WholePartitionAlreadyNew", [] { writePart(0, newImage()); }, all, true, ""},
        // A cut tore ac; its verified result waits on /OAD.
        {"TornPartWithItsResult",
         [] {
             writePart(0, images().newParts[0]);
             writePart(2, images().newParts[2].substr(0, kMiB / 2));
             writeFile(std::string(ota_paths::kUpdateDir) + partName(2), images().newParts[2]);
         },
         all, true, ""},
        {"TornPartWithoutItsResult", [] { writePart(2, images().newParts[2].substr(0, kMiB / 2)); },
         all, true, "part usrfs_split_partac of usrfs holds"},
        {"TornPartWithAWrongResult",
         [] {
             writePart(2, images().newParts[2].substr(0, kMiB / 2));
             writeFile(std::string(ota_paths::kUpdateDir) + partName(2), "not the part");
         },
         all, true, "part usrfs_split_partac of usrfs holds"},
        // One byte drifted in the part a "chksync" line checks: the run would
        // rewrite aa, then stop at ab.
        {"DriftedCheckedPart", [] { writeDevice(deviceOf("usrfs"), kPart + 4097, "\x5a"); }, all,
         true, "part usrfs_split_partab of usrfs holds"},
        {"DriftedLastPatchedPart", [] { writeDevice(deviceOf("usrfs"), 2 * kPart + 17, "\x5a"); },
         all, true, "part usrfs_split_partac of usrfs holds"},
        // ac new while aa is not: the runner would patch ac's new bytes.
        {"NewPartAfterAnOldOne", [] { writePart(2, images().newParts[2]); }, all, true,
         "part usrfs_split_partac of usrfs already holds its new bytes after a part that does not"},
        {"EntryMissing", [] {}, all, false, "the package lacks patch_package/usrfs_split_partac"},
        {"PartNotInTheManifest",
         [] {},
         {0, 2},
         true,
         "the manifest does not describe part usrfs_split_partab"},
    };
}

class Precheck : public ::testing::TestWithParam<PrecheckCase> {
protected:
    void SetUp() override { resetRun(); }
};

TEST_P(Precheck, PassesWhatTheRunnerCanFinishAndRefusesTheRestBeforeWriting) {
    const PrecheckCase& c = GetParam();
    writeDevice(deviceOf("usrfs"), 0, images().oldImage);
    c.arrange();
    const std::string before = readDevice(deviceOf("usrfs"), 0, images().oldImage.size());

    std::vector<ota_test::ZipFixtureEntry> entries = {
        listEntry("usrfs", usrfsList()),
        {ota_format::kManifestEntry, manifest(c.manifestParts), true},
        itemEntry(partName(0), "a patch")};
    if (c.withPatchOfAc) {
        entries.push_back(itemEntry(partName(2), "a patch"));
    }
    writePackage(entries);

    LogCapture capture;
    ASSERT_EQ(prepareBspatch(m_totalItemNum), 0);
    const int result = checkPackageAgainstSet();
    const std::string log = capture.stop();

    if (c.refusalNames.empty()) {
        EXPECT_EQ(result, 0) << log;
        EXPECT_EQ(countOf(log, "pre-check passed"), 1) << log;
        EXPECT_TRUE(m_failure.message.empty());
    } else {
        EXPECT_EQ(result, 1) << log;
        EXPECT_EQ(countOf(log, "pre-check refused the package: " + c.refusalNames), 1) << log;
        EXPECT_EQ(m_failure.partition, "usrfs");
        EXPECT_NE(m_failure.message.find(c.refusalNames), std::string::npos);
    }
    EXPECT_TRUE(readDevice(deviceOf("usrfs"), 0, images().oldImage.size()) == before)
        << "the check itself wrote to the partition";
}

INSTANTIATE_TEST_SUITE_P(Cases, Precheck, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<PrecheckCase>& info) {
                             return std::string(info.param.name);
                         });

// A package without a manifest runs as before: nothing to check it against.
TEST(PrecheckWithoutManifest, PassesAndSaysSo) {
    resetRun();
    writeDevice(deviceOf("usrfs"), 0, images().oldImage);
    writeDevice(deviceOf("usrfs"), kPart, "drifted");
    writePackage({listEntry("usrfs", usrfsList())});
    LogCapture capture;
    ASSERT_EQ(prepareBspatch(m_totalItemNum), 0);
    EXPECT_EQ(checkPackageAgainstSet(), 0);
    const std::string log = capture.stop();
    EXPECT_EQ(countOf(log, "the package has no manifest."), 1) << log;
    EXPECT_EQ(countOf(log, "no pre-check before the first write"), 1) << log;
}

// A manifest this program cannot trust fails the preparation itself.
TEST(PrecheckManifest, AnUnknownVersionOrABrokenLineFailsThePreparation) {
    for (const std::string& text :
         {std::string("version;2\n"), std::string("release;1\n"),
          std::string("version;1\npart;usrfs_split_partaa;0;10;nothex;10;") + md5Hex("x") + "\n",
          std::string("version;1\nimage;usrfs;old;1;") + md5Hex("x") + "\n"}) {
        SCOPED_TRACE(text);
        resetRun();
        writePackage({listEntry("usrfs", usrfsList()), {ota_format::kManifestEntry, text, true}});
        LogCapture capture;
        EXPECT_EQ(prepareBspatch(m_totalItemNum), 1);
        EXPECT_EQ(countOf(capture.stop(), "the package's manifest cannot be read"), 1);
    }
}

}  // namespace
