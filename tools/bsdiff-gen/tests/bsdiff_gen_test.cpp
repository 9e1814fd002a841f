// Patches from the builder's own patch maker must rebuild the new part
// exactly with both appliers that will ever read them: the set's own and
// Debian's bspatch. Each kind of part is one that broke or slowed a patch
// maker before: edits in random data, runs of zeros, a shifted part,
// repeated records, a real ext4 image, and the empty and one-byte edges.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bsdiff_gen.h"
#include "bspatch.h"
#include "control_plan.h"
#include "corpus.h"
#include "suffix_index.h"

namespace {

using diff_corpus::Bytes;
using diff_corpus::PartPair_T;

constexpr size_t kMiB = 1024 * 1024;

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/bsdiff-gen-test.XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The set's applier ends its process on a bad patch, so it runs in a child.
int applyWithSetApplier(const std::string& oldPath, const std::string& newPath,
                        const std::string& patchPath) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str()) == 0 ? 0 : 3);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

int applyWithDebianBspatch(const std::string& oldPath, const std::string& newPath,
                           const std::string& patchPath) {
    const std::string command =
        "/usr/bin/bspatch '" + oldPath + "' '" + newPath + "' '" + patchPath + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Bytes 0..7 hold the magnitude least significant first, the sign on top.
int64_t readOfftout(const Bytes& bytes, size_t at) {
    int64_t value = bytes[at + 7] & 0x7f;
    for (int i = 6; i >= 0; --i) {
        value = value * 256 + bytes[at + static_cast<size_t>(i)];
    }
    return (bytes[at + 7] & 0x80) != 0 ? -value : value;
}

// A small ext4 pair, made once: a copy of Perl's library (which the build
// tools bring; else this checkout) with a few files edited, as a set's
// file-system partitions change between two builds.
const PartPair_T& ext4Pair() {
    static const PartPair_T pair = [] {
        PartPair_T made;
        made.label = "ext4 image";
        ScratchDir work;
        const std::string source =
            std::filesystem::is_directory("/usr/share/perl") ? "/usr/share/perl" : OTA_SOURCE_DIR;
        const std::string error =
            diff_corpus::makeExt4Pair(source, work.path(), 16 * kMiB, 4 * kMiB, 5, 17);
        if (error.empty()) {
            made.oldPart = diff_corpus::readFile(work.file("old.img"));
            made.newPart = diff_corpus::readFile(work.file("new.img"));
        } else {
            ADD_FAILURE() << error;
        }
        return made;
    }();
    return pair;
}

struct PatchCase {
    const char* label;
    std::function<PartPair_T()> make;
    // A patch larger than this means the matching lost its way; 0: no bound.
    size_t maxPatchSize;
};

const PatchCase kCases[] = {
    {"ScatteredEditsInRandomData", [] { return diff_corpus::scatteredEdits(2 * kMiB, 60, 1); },
     24 * 1024},
    {"ZerosButAFewBlocks", [] { return diff_corpus::zerosButBlocks(4 * kMiB, 2); }, 32 * 1024},
    {"ShiftedByThreeBytes", [] { return diff_corpus::shiftedBy(2 * kMiB, 3, 3); }, 1024},
    {"RepeatedRecords", [] { return diff_corpus::repeatedRecords(4 * kMiB, 4); }, 32 * 1024},
    {"Ext4ImageWithEditedFiles", [] { return ext4Pair(); }, 2 * kMiB},
    {"IdenticalParts",
     [] {
         const Bytes same = diff_corpus::randomBytes(512 * 1024, 5);
         return PartPair_T{"", same, same};
     },
     512},
    {"UnrelatedParts",
     [] {
         return PartPair_T{"", diff_corpus::randomBytes(256 * 1024, 6),
                           diff_corpus::randomBytes(256 * 1024, 7)};
     },
     0},
    {"EmptyOldPart",
     [] {
         return PartPair_T{"", {}, diff_corpus::randomBytes(70000, 8)};
     },
     0},
    {"EmptyNewPart",
     [] {
         return PartPair_T{"", diff_corpus::randomBytes(70000, 9), {}};
     },
     256},
    {"BothPartsEmpty",
     [] {
         return PartPair_T{"", {}, {}};
     },
     256},
    {"OneByteNewPart",
     [] {
         return PartPair_T{"", diff_corpus::randomBytes(70000, 10), Bytes{0x42}};
     },
     256},
    {"OneByteOldPart",
     [] {
         return PartPair_T{"", Bytes{0x42}, diff_corpus::randomBytes(5000, 11)};
     },
     0},
    {"NewPartGrowsPastTheOld",
     [] {
         PartPair_T pair{"", diff_corpus::randomBytes(100000, 12), {}};
         pair.newPart = pair.oldPart;
         const Bytes tail = diff_corpus::randomBytes(30000, 13);
         pair.newPart.insert(pair.newPart.end(), tail.begin(), tail.end());
         return pair;
     },
     40000},
};

class GeneratedPatch : public ::testing::TestWithParam<PatchCase> {};

TEST_P(GeneratedPatch, BothAppliersRebuildTheNewPartExactly) {
    const PartPair_T pair = GetParam().make();
    Bytes patch;
    ASSERT_EQ(bsdiff_gen::makePatch(pair.oldPart.data(), pair.oldPart.size(), pair.newPart.data(),
                                    pair.newPart.size(), &patch),
              "");
    ASSERT_GE(patch.size(), 32u);
    EXPECT_EQ(std::string(patch.begin(), patch.begin() + 8), "BSDIFF40");
    EXPECT_EQ(readOfftout(patch, 24), static_cast<int64_t>(pair.newPart.size()));
    EXPECT_LE(32 + readOfftout(patch, 8) + readOfftout(patch, 16),
              static_cast<int64_t>(patch.size()));
    if (GetParam().maxPatchSize != 0) {
        EXPECT_LE(patch.size(), GetParam().maxPatchSize);
    }

    ScratchDir dir;
    ASSERT_TRUE(diff_corpus::writeFile(dir.file("old"), pair.oldPart));
    ASSERT_TRUE(diff_corpus::writeFile(dir.file("patch"), patch));
    ASSERT_EQ(applyWithSetApplier(dir.file("old"), dir.file("by-set"), dir.file("patch")), 0);
    EXPECT_TRUE(diff_corpus::readFile(dir.file("by-set")) == pair.newPart)
        << "the set's applier built other bytes";
    ASSERT_EQ(applyWithDebianBspatch(dir.file("old"), dir.file("by-debian"), dir.file("patch")), 0);
    EXPECT_TRUE(diff_corpus::readFile(dir.file("by-debian")) == pair.newPart)
        << "Debian's bspatch built other bytes";
}

// The applier skips old bytes outside the old part, so a diff run that
// strays there would still rebuild in most cases while the generator read
// past its buffer: the plan itself must stay inside both parts.
TEST_P(GeneratedPatch, EveryRunStaysInsideBothParts) {
    const PartPair_T pair = GetParam().make();
    bsdiff_gen::SuffixIndex_T index;
    ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(pair.oldPart.data(),
                                             static_cast<int64_t>(pair.oldPart.size()), &index));
    const bsdiff_gen::Bytes_T old{pair.oldPart.data(), static_cast<int64_t>(pair.oldPart.size())};
    const bsdiff_gen::Bytes_T next{pair.newPart.data(), static_cast<int64_t>(pair.newPart.size())};
    int64_t newPos = 0;
    int64_t oldPos = 0;
    for (const bsdiff_gen::Control_T& control : bsdiff_gen::planControls(index, old, next)) {
        ASSERT_GE(control.diffLength, 0);
        ASSERT_GE(control.extraLength, 0);
        if (control.diffLength > 0) {
            ASSERT_GE(oldPos, 0);
            ASSERT_LE(oldPos + control.diffLength, old.size);
        }
        newPos += control.diffLength + control.extraLength;
        oldPos += control.diffLength + control.seek;
        ASSERT_LE(newPos, next.size);
    }
    EXPECT_EQ(newPos, next.size);
}

INSTANTIATE_TEST_SUITE_P(Parts, GeneratedPatch, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// The exact-match search on its own: what the scan builds on.

TEST(LongestMatch, FindsTheLongestPrefixAnywhereInTheText) {
    const std::string text = "abracadabra-cadabra-abracadabrax";
    bsdiff_gen::SuffixIndex_T index;
    ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(reinterpret_cast<const uint8_t*>(text.data()),
                                             static_cast<int64_t>(text.size()), &index));
    struct Query {
        std::string query;
        int64_t length;
    };
    for (const Query& q : {Query{"abracadabrax!", 12}, Query{"cadabra-x", 8}, Query{"zzz", 0},
                           Query{"a", 1}, Query{"ra-cadabra-abracadabrax", 23}}) {
        SCOPED_TRACE(q.query);
        const bsdiff_gen::Match_T match =
            bsdiff_gen::longestMatch(index, reinterpret_cast<const uint8_t*>(q.query.data()),
                                     static_cast<int64_t>(q.query.size()));
        EXPECT_EQ(match.length, q.length);
        EXPECT_EQ(text.compare(static_cast<size_t>(match.oldPos), static_cast<size_t>(match.length),
                               q.query, 0, static_cast<size_t>(match.length)),
                  0);
    }
}

TEST(LongestMatch, EmptyTextMatchesNothing) {
    bsdiff_gen::SuffixIndex_T index;
    ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(nullptr, 0, &index));
    const uint8_t query[] = {1, 2, 3};
    EXPECT_EQ(bsdiff_gen::longestMatch(index, query, 3).length, 0);
}

}  // namespace
