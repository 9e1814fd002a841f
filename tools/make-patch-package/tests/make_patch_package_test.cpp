// Builds packages from generated images with the real tool and Debian's
// bsdiff, reads them back with the set's ZIP reader and replays them the way
// the set applies them: every partition must end up holding its new image.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "list_line.h"
#include "package.h"
#include "package_model.h"
#include "testing/run_program.h"
#include "testing/zip_fixture.h"
#include "testing/files.h"

namespace {

using mpp_test::md5Of;
using mpp_test::PackageEntry;
using mpp_test::ParsedLine;

constexpr size_t kPart = ota_format::kPartSize;
const std::string kTool = OTA_BINARY_DIR "/bin/make-patch-package";

using TempDir = ota_test::ScratchDir;

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeImage(const std::string& dir, const std::string& partition, const std::string& bytes) {
    writeBytes(dir + "/" + partition + ".img", bytes);
}

// `bytes` with `count` bytes from `at` on replaced by other bytes.
std::string withChange(std::string bytes, size_t at, size_t count, unsigned seed) {
    const std::string other = ota_test::patternBytes(count, seed);
    for (size_t i = 0; i < count; ++i) {
        bytes[at + i] = static_cast<char>(bytes[at + i] ^ (other[i] | 1));
    }
    return bytes;
}

struct ToolRun {
    int status = -1;
    std::string output;
};

// `environment` is put before the command, e.g. "TZ=JST-9".
ToolRun runTool(const std::string& args, const std::string& environment = "") {
    const ota_test::ProgramResult r = ota_test::runShell(environment + " '" + kTool + "' " + args);
    return {r.exitCode, r.out};
}

std::string buildArgs(const TempDir& dir, const std::string& output, const std::string& extra) {
    return "--old '" + dir.path() + "/old' --new '" + dir.path() + "/new' -o '" + output + "' " +
           extra;
}

std::vector<ParsedLine> listOf(const std::map<std::string, PackageEntry>& entries,
                               const std::string& partition) {
    std::vector<ParsedLine> lines;
    auto it = entries.find(mpp::listEntryName(partition));
    if (it == entries.end()) {
        ADD_FAILURE() << "no list for " << partition;
        return lines;
    }
    std::string error;
    EXPECT_TRUE(mpp_test::parseList(it->second.bytes, &lines, &error)) << error;
    return lines;
}

// Replays a partition's list on a partition of `partitionSize` bytes that
// holds `installed` and checks that it then holds `expected`.
void expectReplayGives(const std::map<std::string, PackageEntry>& entries,
                       const std::string& partition, const std::string& installed,
                       const std::string& expected, size_t partitionSize) {
    std::string device = installed;
    device.resize(partitionSize, '\x5a');
    std::string error;
    const std::vector<ParsedLine> lines = listOf(entries, partition);
    ASSERT_FALSE(lines.empty());
    ASSERT_TRUE(mpp_test::replayList(lines, entries, &device, &error))
        << partition << ": " << error;
    ASSERT_GE(device.size(), expected.size());
    EXPECT_TRUE(device.compare(0, expected.size(), expected) == 0)
        << partition << " does not hold its new image after the replay";
    if (lines.front().mode == ota_format::kTotal) {
        // The set recognises a finished partition by this MD5 on a resumed run.
        EXPECT_EQ(md5Of(device.substr(0, static_cast<size_t>(lines.front().offset))),
                  lines.front().checkSum);
    }
}

// ---------------------------------------------------------------------------
// Four partitions at once: growing, shrinking, unchanged, missing in OLD.

struct PartitionCase {
    std::string partition;
    std::string oldImage;  // empty: absent from OLD
    std::string newImage;
    std::vector<std::string> modes;  // expected actions after "total"
};

// The manifest a package of `cases` (in run order, each split into parts
// unless `whole` names it) must carry, worked out from the image bytes: the
// old part of a listed part is what the set stages, the bytes of the old
// image from the part's offset, short at its end.
std::string expectedManifest(const std::vector<PartitionCase>& cases, long long release,
                             const std::vector<std::string>& whole = {}) {
    std::string text = "version;1\nrelease;" + std::to_string(release) + "\n";
    for (const PartitionCase& c : cases) {
        const bool isWhole =
            c.oldImage.empty() || std::find(whole.begin(), whole.end(), c.partition) != whole.end();
        if (!isWhole) {
            text += "image;" + c.partition + ";base;" + std::to_string(c.oldImage.size()) + ";" +
                    md5Of(c.oldImage) + "\n";
        }
        text += "image;" + c.partition + ";new;" + std::to_string(c.newImage.size()) + ";" +
                md5Of(c.newImage) + "\n";
        for (size_t k = 0; !isWhole && k < c.modes.size(); ++k) {
            if (c.modes[k] != "update" && c.modes[k] != "chksync") {
                continue;
            }
            const size_t at = k * kPart;
            const std::string oldPart = c.oldImage.substr(at, kPart);
            const std::string newPart = c.newImage.substr(at, kPart);
            text += "part;" + mpp::partName(c.partition, static_cast<int>(k)) + ";" +
                    std::to_string(at) + ";" + std::to_string(oldPart.size()) + ";" +
                    md5Of(oldPart) + ";" + std::to_string(newPart.size()) + ";" + md5Of(newPart) +
                    "\n";
        }
    }
    return text;
}

const std::string kManifest = ota_format::kManifestEntry;

class FourPartitionPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        cases_ = new std::vector<PartitionCase>();
        // optfs grows from 1 part + 300 KiB to 3 parts + 1234 bytes (four parts); 64 bytes
        // change inside its first part.
        const std::string optOld = ota_test::patternBytes(kPart + 300 * 1024, 1);
        std::string optNew = withChange(optOld, 5 * 1024 * 1024, 64, 11);
        optNew += ota_test::patternBytes(3 * kPart + 1234 - optNew.size(), 12);
        cases_->push_back({"optfs", optOld, optNew, {"update", "create", "create", "create"}});
        // usrfs shrinks from 2 parts + 8 KiB to 1 part + 8 KiB of new bytes.
        const std::string usrOld = ota_test::patternBytes(2 * kPart + 8192, 2);
        const std::string usrNew = usrOld.substr(0, kPart) + ota_test::patternBytes(8192, 21);
        cases_->push_back({"usrfs", usrOld, usrNew, {"chksync", "create", "delete"}});
        // tvservice stays as it is, at a size that is no multiple of a part.
        const std::string tvImage = ota_test::patternBytes(kPart + 4097, 3);
        cases_->push_back({"tvservice", tvImage, tvImage, {"chksync", "chksync"}});
        // serialsdata is new: OLD has no image of it.
        cases_->push_back({"serialsdata", "", ota_test::patternBytes(300 * 1024, 4), {}});

        const std::string oldDir = dir_->sub("old");
        const std::string newDir = dir_->sub("new");
        for (const PartitionCase& c : *cases_) {
            if (!c.oldImage.empty()) {
                writeImage(oldDir, c.partition, c.oldImage);
            }
            writeImage(newDir, c.partition, c.newImage);
        }
        package_ = dir_->path() + "/patch_package.zip";
        run_ = new ToolRun(runTool(buildArgs(*dir_, package_, "-j 2 --release 42")));
        entries_ = new std::map<std::string, PackageEntry>();
        if (run_->status == 0) {
            mpp_test::readPackage(package_, entries_, &readError_);
        }
    }
    static void TearDownTestSuite() {
        delete entries_;
        delete run_;
        delete cases_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_EQ(run_->status, 0) << run_->output;
        ASSERT_TRUE(readError_.empty()) << readError_;
    }

    static TempDir* dir_;
    static std::vector<PartitionCase>* cases_;
    static std::string package_;
    static ToolRun* run_;
    static std::map<std::string, PackageEntry>* entries_;
    static std::string readError_;
};

TempDir* FourPartitionPackage::dir_ = nullptr;
std::vector<PartitionCase>* FourPartitionPackage::cases_ = nullptr;
std::string FourPartitionPackage::package_;
ToolRun* FourPartitionPackage::run_ = nullptr;
std::map<std::string, PackageEntry>* FourPartitionPackage::entries_ = nullptr;
std::string FourPartitionPackage::readError_;

TEST_F(FourPartitionPackage, SplitListsNameEveryPartInOrder) {
    for (const PartitionCase& c : *cases_) {
        if (c.oldImage.empty()) {
            continue;
        }
        SCOPED_TRACE(c.partition);
        const std::vector<ParsedLine> lines = listOf(*entries_, c.partition);
        ASSERT_EQ(lines.size(), c.modes.size() + 1);
        const ParsedLine& total = lines.front();
        EXPECT_EQ(total.mode, "total");
        EXPECT_EQ(total.name, c.partition);
        EXPECT_EQ(total.checkSum, md5Of(c.newImage));
        EXPECT_EQ(total.fileSize, static_cast<long long>(c.oldImage.size()));
        EXPECT_EQ(total.offset, static_cast<long long>(c.newImage.size()));
        for (size_t k = 0; k < c.modes.size(); ++k) {
            const ParsedLine& line = lines[k + 1];
            SCOPED_TRACE(line.name);
            EXPECT_EQ(line.mode, c.modes[k]);
            EXPECT_EQ(line.name, mpp::partName(c.partition, static_cast<int>(k)));
            const bool written = line.mode == "update" || line.mode == "create";
            EXPECT_EQ(line.offset, written ? static_cast<long long>(k * kPart) : 0);
            const std::string& source = written ? c.newImage : c.oldImage;
            EXPECT_EQ(line.checkSum, md5Of(source.substr(k * kPart, kPart)));
        }
    }
}

TEST_F(FourPartitionPackage, PartitionMissingInOldGoesWhole) {
    const PartitionCase& c = cases_->back();
    const std::vector<ParsedLine> lines = listOf(*entries_, c.partition);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].mode, "entotal");
    EXPECT_NE(lines[0].name.find(c.partition), std::string::npos)
        << "the set finds the partition by its name inside the item name";
    EXPECT_EQ(lines[0].checkSum, md5Of(c.newImage));
    EXPECT_EQ(lines[0].offset, 0);
    EXPECT_EQ(entries_->at(mpp::itemEntryName(lines[0].name)).bytes, c.newImage);
}

TEST_F(FourPartitionPackage, EntriesAreTheListsTheManifestAndTheContentTheyName) {
    std::map<std::string, bool> expected;  // name -> stored
    expected[kManifest] = false;
    for (const PartitionCase& c : *cases_) {
        expected[mpp::listEntryName(c.partition)] = false;
        for (const ParsedLine& line : listOf(*entries_, c.partition)) {
            if (line.mode == "update") {
                expected[mpp::itemEntryName(line.name)] = true;
            } else if (line.mode == "create" || line.mode == "entotal") {
                expected[mpp::itemEntryName(line.name)] = false;
            }
        }
    }
    ASSERT_EQ(entries_->size(), expected.size());
    for (const auto& [name, stored] : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(entries_->count(name), 1u);
        const PackageEntry& entry = entries_->at(name);
        EXPECT_EQ(entry.stored, stored) << "patches are stored, everything else deflated";
        if (stored) {
            EXPECT_EQ(entry.bytes.compare(0, 8, "BSDIFF40"), 0);
            EXPECT_LT(entry.bytes.size(), kPart);
        }
    }
    // The lists come first, then the manifest, then what the lists name.
    const long long manifestAt = entries_->at(kManifest).offset;
    for (const auto& [name, entry] : *entries_) {
        SCOPED_TRACE(name);
        if (name.find("_udpate_list.ini") != std::string::npos) {
            EXPECT_LT(entry.offset, manifestAt);
        } else if (name != kManifest) {
            EXPECT_GT(entry.offset, manifestAt);
        }
    }
}

TEST_F(FourPartitionPackage, ManifestStatesTheReleaseTheImagesAndEveryCheckedPart) {
    EXPECT_EQ(entries_->at(kManifest).bytes, expectedManifest(*cases_, 42));
}

TEST_F(FourPartitionPackage, ReplayLeavesEveryPartitionHoldingItsNewImage) {
    for (const PartitionCase& c : *cases_) {
        // A partition larger than either image, with bytes of its own past them.
        const size_t size = 4 * kPart;
        const std::string installed =
            c.oldImage.empty() ? ota_test::patternBytes(size, 99) : c.oldImage;
        expectReplayGives(*entries_, c.partition, installed, c.newImage, size);
    }
}

TEST_F(FourPartitionPackage, SameInputsGiveTheSameBytes) {
    // One worker instead of two: the order in which patches finish must not
    // show in the package; nor must the builder's time zone.
    const std::string again = dir_->path() + "/again.zip";
    const ToolRun run = runTool(buildArgs(*dir_, again, "-j1 --release 42"), "TZ=JST-9");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(readBytes(again) == readBytes(package_));
}

TEST_F(FourPartitionPackage, SummaryCountsThePartsAndNoProgressGoesToAPipe) {
    EXPECT_NE(run_->output.find("optfs        0 unchanged, 1 patched, 3 created, 0 deleted"),
              std::string::npos)
        << run_->output;
    EXPECT_NE(run_->output.find("usrfs        1 unchanged, 0 patched, 1 created, 1 deleted"),
              std::string::npos)
        << run_->output;
    const std::string size = std::to_string(readBytes(package_).size());
    EXPECT_NE(run_->output.find("package " + size + " bytes"), std::string::npos) << run_->output;
    EXPECT_EQ(run_->output.find('\r'), std::string::npos);
}

// inspect shows each line of the manifest and of every list, and every entry
// with the sizes the ZIP reader gives, in the order of the file.
TEST_F(FourPartitionPackage, InspectPrintsTheManifestTheListsAndTheEntries) {
    const ToolRun run = runTool("inspect '" + package_ + "'");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string& out = run.output;
    EXPECT_NE(out.find("\nsignature: unsigned\n"), std::string::npos) << out;
    const size_t manifestAt = out.find("\nmanifest (");
    ASSERT_NE(manifestAt, std::string::npos) << out;
    // The manifest's lines one after the other, in its own section.
    std::string shown;
    std::istringstream manifest(entries_->at(kManifest).bytes);
    for (std::string line; std::getline(manifest, line);) {
        shown += "  " + line + "\n";
    }
    EXPECT_EQ(out.find(shown), out.find('\n', manifestAt + 1) + 1) << out;
    for (const PartitionCase& c : *cases_) {
        std::string list;
        std::istringstream text(entries_->at(mpp::listEntryName(c.partition)).bytes);
        for (std::string line; std::getline(text, line);) {
            list += "  " + line + "\n";
        }
        const size_t header = out.find("list of " + c.partition + " (");
        ASSERT_NE(header, std::string::npos) << out;
        EXPECT_EQ(out.find(list, header), out.find('\n', header) + 1) << c.partition << "\n" << out;
    }

    // The entry lines: stored size, uncompressed size, method, name.
    std::vector<std::pair<long long, std::string>> byOffset;
    for (const auto& [name, entry] : *entries_) {
        byOffset.emplace_back(entry.offset, name);
    }
    std::sort(byOffset.begin(), byOffset.end());
    const size_t table = out.find("\nentries (" + std::to_string(entries_->size()) + ")");
    ASSERT_NE(table, std::string::npos) << out;
    std::istringstream rows(out.substr(out.find('\n', out.find('\n', table + 1) + 1) + 1));
    for (const auto& [offset, name] : byOffset) {
        const PackageEntry& entry = entries_->at(name);
        long long storedSize = -1;
        long long size = -1;
        std::string method;
        std::string shownName;
        ASSERT_TRUE(rows >> storedSize >> size >> method >> shownName) << out;
        EXPECT_EQ(shownName, name);
        EXPECT_EQ(storedSize, entry.storedSize) << name;
        EXPECT_EQ(size, static_cast<long long>(entry.bytes.size())) << name;
        EXPECT_EQ(method, entry.stored ? "stored" : "deflated") << name;
    }
    std::string rest;
    EXPECT_FALSE(rows >> rest) << "more entries shown than the package holds: " << rest;
}

// inspect on what is not a package of this builder: a package of an older
// builder (no manifest), and files that are no ZIP at all.
struct InspectCase {
    const char* label;
    // Writes the file at `path`; returns inspect's arguments.
    std::string (*setUp)(const std::string& path);
    int status;
    std::vector<std::string> shown;
};

const std::string kOldList =
    "total;usrfs;0123456789abcdef0123456789abcdef;8192;8192\n"
    "create;usrfs_split_partaa;0123456789abcdef0123456789abcdef;0;0\n";

const InspectCase kInspectCases[] = {
    {"PackageWithoutManifest",
     [](const std::string& path) {
         EXPECT_TRUE(ota_test::writeZip(
             path,
             {{"patch_package/split_usrfs_udpate_list.ini", kOldList, true},
              {"patch_package/usrfs_split_partaa", ota_test::patternBytes(8192, 14), false}}));
         return "'" + path + "'";
     },
     0,
     {"\nsignature: unsigned\nno manifest\nlist of usrfs",
      "\n  total;usrfs;0123456789abcdef0123456789abcdef;8192;8192\n"
      "  create;usrfs_split_partaa;0123456789abcdef0123456789abcdef;0;0\nentries (2)",
      "\n        8192          8192  stored    patch_package/usrfs_split_partaa\n"}},
    {"NoZip",
     [](const std::string& path) {
         writeBytes(path, ota_test::patternBytes(5000, 15));
         return "'" + path + "'";
     },
     1,
     {"cannot open"}},
    {"TruncatedPackage",
     [](const std::string& path) {
         EXPECT_TRUE(ota_test::writeZip(
             path, {{"patch_package/manifest", "version;1\n", true},
                    {"patch_package/usrfs.img", ota_test::patternBytes(20000, 16), false}}));
         EXPECT_EQ(truncate(path.c_str(), 10000), 0);
         return "'" + path + "'";
     },
     1,
     {"cannot open"}},
    {"Missing", [](const std::string& path) { return "'" + path + "'"; }, 1, {"cannot open"}},
    {"NoPackageNamed", [](const std::string&) { return std::string(); }, 2, {"usage"}},
};

class Inspect : public ::testing::TestWithParam<InspectCase> {};

TEST_P(Inspect, ShowsWhatThereIsOrFails) {
    TempDir dir;
    const std::string args = GetParam().setUp(dir.path() + "/p.zip");
    const ToolRun run = runTool("inspect " + args);
    EXPECT_EQ(run.status, GetParam().status) << run.output;
    for (const std::string& text : GetParam().shown) {
        EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n---\n" << run.output;
    }
    if (GetParam().status != 0) {
        EXPECT_EQ(run.output.find("signature:"), std::string::npos) << run.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Builder, Inspect, ::testing::ValuesIn(kInspectCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Patched parts past the first: the manifest gives each its offset, and the
// last one the short length of both images' ends.

TEST(Manifest, PatchedPartsAtTheirOffsetsUpToTheImagesEnd) {
    TempDir dir;
    const std::string oldImage = ota_test::patternBytes(2 * kPart + 5000, 13);
    const std::string newImage =
        withChange(withChange(oldImage, kPart + 777, 32, 131), 2 * kPart + 100, 16, 132);
    const std::vector<PartitionCase> cases = {
        {"usrfs", oldImage, newImage, {"chksync", "update", "update"}}};
    writeImage(dir.sub("old"), "usrfs", oldImage);
    writeImage(dir.sub("new"), "usrfs", newImage);
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run = runTool(buildArgs(dir, package, "--release 7"));
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, PackageEntry> entries;
    std::string error;
    ASSERT_TRUE(mpp_test::readPackage(package, &entries, &error)) << error;
    const std::vector<ParsedLine> lines = listOf(entries, "usrfs");
    ASSERT_EQ(lines.size(), 4u);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(lines[k + 1].mode, cases[0].modes[k]);
    }
    EXPECT_EQ(entries.at(kManifest).bytes, expectedManifest(cases, 7));
}

// ---------------------------------------------------------------------------
// One-part images: which action a changed part gets.

struct SinglePartCase {
    const char* label;
    std::string oldImage;
    std::string newImage;
    const char* mode;
};

std::vector<SinglePartCase> singlePartCases() {
    const std::string base = ota_test::patternBytes(1024 * 1024, 5);
    return {
        {"SmallChangeIsPatched", base, withChange(base, 4096, 16, 51), "update"},
        {"UnrelatedBytesGoWhole", ota_test::patternBytes(4096, 6), ota_test::patternBytes(4096, 61),
         "create"},
        {"UnchangedIsChecked", base, base, "chksync"},
        {"GrownPartGoesWhole", base, base + ota_test::patternBytes(512 * 1024, 52), "create"},
        {"ShrunkPartGoesWhole", base, base.substr(0, 700 * 1024), "create"},
    };
}

// Each case with the builder's own patch maker and with Debian's bsdiff,
// which stays selectable for comparison.
class SinglePart : public ::testing::TestWithParam<std::tuple<SinglePartCase, const char*>> {};

TEST_P(SinglePart, ActionAndReplay) {
    const SinglePartCase& c = std::get<0>(GetParam());
    TempDir dir;
    writeImage(dir.sub("old"), "usrfs", c.oldImage);
    writeImage(dir.sub("new"), "usrfs", c.newImage);
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run =
        runTool(buildArgs(dir, package, std::string("--diff ") + std::get<1>(GetParam())));
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, PackageEntry> entries;
    std::string error;
    ASSERT_TRUE(mpp_test::readPackage(package, &entries, &error)) << error;
    const std::vector<ParsedLine> lines = listOf(entries, "usrfs");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].mode, c.mode);
    expectReplayGives(entries, "usrfs", c.oldImage, c.newImage, 2 * kPart);
}

INSTANTIATE_TEST_SUITE_P(Builder, SinglePart,
                         ::testing::Combine(::testing::ValuesIn(singlePartCases()),
                                            ::testing::Values("builtin", "bsdiff")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) + "_" +
                                    std::get<1>(info.param);
                         });

// ---------------------------------------------------------------------------
// Whole images on request, and partitions NEW does not hold.

TEST(WholeImage, NamedPartitionGoesWholeAndAbsentOnesGetNoList) {
    TempDir dir;
    const std::string oldDir = dir.sub("old");
    const std::string newDir = dir.sub("new");
    const std::string oldImage = ota_test::patternBytes(256 * 1024, 7);
    const std::string newImage = withChange(oldImage, 1000, 10, 71);
    for (const char* partition : ota_format::kRunOrder) {
        writeImage(oldDir, partition, oldImage);
    }
    writeImage(newDir, "usrfs", newImage);
    writeImage(newDir, "tvservice", newImage);
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run = runTool(buildArgs(dir, package, "--whole usrfs"));
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, PackageEntry> entries;
    std::string error;
    ASSERT_TRUE(mpp_test::readPackage(package, &entries, &error)) << error;

    EXPECT_EQ(entries.count(mpp::listEntryName("optfs")), 0u);
    EXPECT_EQ(entries.count(mpp::listEntryName("serialsdata")), 0u);
    const std::vector<ParsedLine> usrfs = listOf(entries, "usrfs");
    ASSERT_EQ(usrfs.size(), 1u);
    EXPECT_EQ(usrfs[0].mode, "entotal");
    expectReplayGives(entries, "usrfs", ota_test::patternBytes(kPart, 72), newImage, kPart);
    // The partition not named keeps its patch.
    const std::vector<ParsedLine> tvservice = listOf(entries, "tvservice");
    ASSERT_EQ(tvservice.size(), 2u);
    EXPECT_EQ(tvservice[1].mode, "update");
    EXPECT_EQ(entries.size(), 5u);  // two lists, the manifest, one image, one patch
    // A whole image is built on no installed one: the manifest names no base
    // for it. Without --release the package installs release 0.
    EXPECT_EQ(entries.at(kManifest).bytes,
              expectedManifest({{"usrfs", oldImage, newImage, {"entotal"}},
                                {"tvservice", oldImage, newImage, {"update"}}},
                               0, {"usrfs"}));
}

// ---------------------------------------------------------------------------
// Refusals: no package at all, and a reason.

struct RefusalCase {
    const char* label;
    // Fills OLD and NEW; returns the extra arguments.
    std::string (*setUp)(const std::string& oldDir, const std::string& newDir);
    const char* reason;
};

void makeSparse(const std::string& path, off_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
}

const std::string kSmall = ota_test::patternBytes(4096, 8);

const RefusalCase kRefusals[] = {
    {"NewImageOf2GiB",
     [](const std::string& oldDir, const std::string& newDir) {
         writeImage(oldDir, "optfs", kSmall);
         makeSparse(newDir + "/optfs.img", 2147483648LL);
         return std::string();
     },
     "below 2 GiB"},
    {"InstalledImageOf2GiB",
     [](const std::string& oldDir, const std::string& newDir) {
         makeSparse(oldDir + "/usrfs.img", 2147483648LL);
         writeImage(newDir, "usrfs", kSmall);
         return std::string();
     },
     "below 2 GiB"},
    {"WholeImageOf2GiB",
     [](const std::string&, const std::string& newDir) {
         makeSparse(newDir + "/serialsdata.img", 2147483648LL);
         return std::string();
     },
     "below 2 GiB"},
    {"EmptyNewImage",
     [](const std::string& oldDir, const std::string& newDir) {
         writeImage(oldDir, "usrfs", kSmall);
         writeImage(newDir, "usrfs", "");
         return std::string();
     },
     "is empty"},
    {"NoImageInNew",
     [](const std::string& oldDir, const std::string& newDir) {
         writeImage(oldDir, "usrfs", kSmall);
         writeImage(newDir, "rootfs", kSmall);
         return std::string();
     },
     "holds none"},
    {"WholeOfPartitionNotInNew",
     [](const std::string&, const std::string& newDir) {
         writeImage(newDir, "usrfs", kSmall);
         return std::string("--whole tvservice");
     },
     "does not exist"},
    {"OldIsNoDirectory",
     [](const std::string& oldDir, const std::string& newDir) {
         writeImage(newDir, "usrfs", kSmall);
         std::filesystem::remove(oldDir);
         writeBytes(oldDir, kSmall);
         return std::string();
     },
     "is not a directory"},
    {"ImageIsADirectory",
     [](const std::string& oldDir, const std::string& newDir) {
         writeImage(newDir, "usrfs", kSmall);
         mkdir((oldDir + "/usrfs.img").c_str(), 0755);
         return std::string();
     },
     "is not a regular file"},
    {"UnknownPatchMaker",
     [](const std::string& oldDir, const std::string& newDir) {
         writeImage(oldDir, "usrfs", kSmall);
         writeImage(newDir, "usrfs", withChange(kSmall, 100, 4, 81));
         return std::string("--diff xdelta");
     },
     "give builtin or bsdiff"},
    {"WholeOfUnknownPartition",
     [](const std::string&, const std::string& newDir) {
         writeImage(newDir, "usrfs", kSmall);
         return std::string("--whole rootfs");
     },
     "not one of"},
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, NoPackageAndAReason) {
    TempDir dir;
    const std::string extra = GetParam().setUp(dir.sub("old"), dir.sub("new"));
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run = runTool(buildArgs(dir, package, extra));
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find(GetParam().reason), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(package));
    // Nor a temporary file left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
}

INSTANTIATE_TEST_SUITE_P(Builder, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.label); });

// --release takes a whole number that fits the set's 32-bit fields, written
// in digits only; anything else is a usage error, before any work.
struct ReleaseCase {
    const char* label;
    const char* value;
};

class ReleaseRefusal : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleaseRefusal, IsAUsageError) {
    TempDir dir;
    writeImage(dir.sub("old"), "usrfs", kSmall);
    writeImage(dir.sub("new"), "usrfs", withChange(kSmall, 100, 4, 82));
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run =
        runTool(buildArgs(dir, package, std::string("--release '") + GetParam().value + "'"));
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find(std::string("--release ") + GetParam().value + ": give a whole"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("usage:"), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(package));
}

INSTANTIATE_TEST_SUITE_P(
    Builder, ReleaseRefusal,
    ::testing::Values(ReleaseCase{"Word", "abc"}, ReleaseCase{"Empty", ""},
                      ReleaseCase{"Negative", "-1"}, ReleaseCase{"Signed", "+5"},
                      ReleaseCase{"Fraction", "1.5"}, ReleaseCase{"LeadingBlank", " 7"},
                      ReleaseCase{"TrailingText", "7x"}, ReleaseCase{"Hexadecimal", "0x10"},
                      ReleaseCase{"PastSigned32Bits", "2147483648"},
                      ReleaseCase{"FarPast", "99999999999999999999"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Release, LargestTakenNumberIsWrittenAsGiven) {
    TempDir dir;
    writeImage(dir.sub("old"), "usrfs", kSmall);
    writeImage(dir.sub("new"), "usrfs", kSmall);
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run = runTool(buildArgs(dir, package, "--release 2147483647"));
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, PackageEntry> entries;
    std::string error;
    ASSERT_TRUE(mpp_test::readPackage(package, &entries, &error)) << error;
    EXPECT_EQ(entries.at(kManifest).bytes,
              expectedManifest({{"usrfs", kSmall, kSmall, {"chksync"}}}, 2147483647));
}

// ---------------------------------------------------------------------------
// A patch maker that lies: the applier check must catch it before packing.

struct BadPatchCase {
    const char* label;
    const char* script;  // body of a fake "bsdiff OLD NEW PATCH"
    const char* reason;
};

const BadPatchCase kBadPatches[] = {
    {"CorruptPatch", "printf 'BSDIFF40 not a patch' > \"$3\"\n", "applier refused"},
    {"PatchForOtherBytes",
     "cp \"$2\" \"$3.other\"\n"
     "printf 'Z' | dd of=\"$3.other\" bs=1 seek=100 conv=notrunc 2>/dev/null\n"
     "/usr/bin/bsdiff \"$1\" \"$3.other\" \"$3\"\n"
     "rm -f \"$3.other\"\n",
     "does not rebuild"},
};

class BadPatchMaker : public ::testing::TestWithParam<BadPatchCase> {};

TEST_P(BadPatchMaker, IsCaughtBeforeAnythingIsPacked) {
    TempDir dir;
    const std::string bin = dir.sub("bin");
    writeBytes(bin + "/bsdiff", std::string("#!/bin/sh\n") + GetParam().script);
    ASSERT_EQ(chmod((bin + "/bsdiff").c_str(), 0755), 0);
    const std::string oldImage = ota_test::patternBytes(64 * 1024, 9);
    writeImage(dir.sub("old"), "optfs", oldImage);
    writeImage(dir.sub("new"), "optfs", withChange(oldImage, 30000, 8, 91));
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run =
        runTool(buildArgs(dir, package, "--diff bsdiff"), "PATH='" + bin + "':\"$PATH\"");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find(GetParam().reason), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(package));
}

INSTANTIATE_TEST_SUITE_P(Builder, BadPatchMaker, ::testing::ValuesIn(kBadPatches),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// A build stopped by a signal leaves neither a package nor scratch files.

TEST(Interrupted, LeavesNothingBehind) {
    TempDir dir;
    const std::string bin = dir.sub("bin");
    const std::string scratch = dir.sub("scratch");
    // The patch maker itself stops the build, so the signal arrives at a
    // known step: while a patch is being made.
    writeBytes(bin + "/bsdiff", "#!/bin/sh\nkill -TERM $PPID\nexec /usr/bin/bsdiff \"$@\"\n");
    ASSERT_EQ(chmod((bin + "/bsdiff").c_str(), 0755), 0);
    const std::string oldImage = ota_test::patternBytes(64 * 1024, 10);
    writeImage(dir.sub("old"), "optfs", oldImage);
    writeImage(dir.sub("new"), "optfs", withChange(oldImage, 100, 8, 101));
    const std::string package = dir.path() + "/p.zip";
    const ToolRun run = runTool(buildArgs(dir, package, "--diff bsdiff"),
                                "TMPDIR='" + scratch + "' PATH='" + bin + "':\"$PATH\"");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("interrupted"), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(package));
    EXPECT_TRUE(std::filesystem::is_empty(scratch));
}

}  // namespace
