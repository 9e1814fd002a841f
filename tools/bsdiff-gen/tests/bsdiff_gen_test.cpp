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
#include <thread>
#include <vector>

#include <bzlib.h>
#include <gtest/gtest.h>

#include "bsdiff_gen.h"
#include "bspatch.h"
#include "bzip2_stream.h"
#include "control_plan.h"
#include "corpus.h"
#include "patch_writer.h"
#include "suffix_index.h"
#include "testing/files.h"

namespace {

using diff_corpus::Bytes;
using diff_corpus::PartPair_T;

constexpr size_t kMiB = 1024 * 1024;

using ota_test::ScratchDir;

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
    {"SmallEditEveryFewKiB",
     [] {
         PartPair_T pair{"", diff_corpus::randomBytes(1 * kMiB, 14), {}};
         pair.newPart = pair.oldPart;
         diff_corpus::Rng rng(15);
         for (size_t at = 1000; at + 8 < pair.newPart.size(); at += 2048 + rng.below(4096)) {
             for (size_t i = 0; i < 1 + rng.below(6); ++i) {
                 pair.newPart[at + i] ^= static_cast<uint8_t>(1 + rng.below(255));
             }
         }
         return pair;
     },
     64 * 1024},
    {"BlocksInAnotherOrder",
     [] {
         // 4 KiB blocks of the old part, reordered, a few of them edited
         // and one new: the blocks of a file system after files moved.
         PartPair_T pair{"", diff_corpus::randomBytes(1 * kMiB, 16), {}};
         diff_corpus::Rng rng(17);
         const size_t blocks = pair.oldPart.size() / 4096;
         for (size_t i = 0; i < blocks; ++i) {
             const size_t from = (i * 37 + 11) % blocks;
             pair.newPart.insert(pair.newPart.end(), pair.oldPart.begin() + from * 4096,
                                 pair.oldPart.begin() + (from + 1) * 4096);
             if (rng.below(8) == 0) {
                 pair.newPart[i * 4096 + rng.below(4096)] ^= 0x5a;
             }
         }
         const Bytes fresh = diff_corpus::randomBytes(4096, 18);
         std::copy(fresh.begin(), fresh.end(), pair.newPart.begin() + 40 * 4096);
         return pair;
     },
     32 * 1024},
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

// Every diff run reads inside the old part, no run is negative, and the
// runs together cover the new part exactly.
::testing::AssertionResult planStaysInsideBothParts(const std::vector<bsdiff_gen::Control_T>& plan,
                                                    const bsdiff_gen::Bytes_T& old,
                                                    const bsdiff_gen::Bytes_T& next) {
    int64_t newPos = 0;
    int64_t oldPos = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        const bsdiff_gen::Control_T& control = plan[i];
        if (control.diffLength < 0 || control.extraLength < 0) {
            return ::testing::AssertionFailure() << "triple " << i << " has a negative run";
        }
        if (control.diffLength > 0 && (oldPos < 0 || oldPos + control.diffLength > old.size)) {
            return ::testing::AssertionFailure() << "triple " << i << " reads outside the old part";
        }
        newPos += control.diffLength + control.extraLength;
        oldPos += control.diffLength + control.seek;
        if (newPos > next.size) {
            return ::testing::AssertionFailure() << "triple " << i << " runs past the new part";
        }
    }
    if (newPos != next.size) {
        return ::testing::AssertionFailure() << "the plan covers " << newPos << " of " << next.size;
    }
    return ::testing::AssertionSuccess();
}

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
    EXPECT_TRUE(planStaysInsideBothParts(bsdiff_gen::planControls(index, old, next), old, next));
}

// Rewriting a plan by cost moves bytes between the diff and extra runs and
// folds triples together; under any score setting, including ones that
// fold everything they can or nothing at all, the rewritten plan must still
// rebuild the part with both appliers.
TEST_P(GeneratedPatch, PlansRewrittenByCostRebuildTheNewPart) {
    const PartPair_T pair = GetParam().make();
    const bsdiff_gen::Bytes_T old{pair.oldPart.data(), static_cast<int64_t>(pair.oldPart.size())};
    const bsdiff_gen::Bytes_T next{pair.newPart.data(), static_cast<int64_t>(pair.newPart.size())};
    std::vector<bsdiff_gen::Control_T> greedy;
    {
        bsdiff_gen::SuffixIndex_T index;
        ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(old.data, old.size, &index));
        greedy = bsdiff_gen::planControls(index, old, next);
    }
    ScratchDir dir;
    ASSERT_TRUE(diff_corpus::writeFile(dir.file("old"), pair.oldPart));
    const bsdiff_gen::CostModel_T models[] = {
        {256, 1, 16, 16},      // as makePatch tries
        {100000, 0, 1, 1000},  // a triple dearer than any run: fold all that can
        {0, 16, 16, 1},        // extra bytes cheapest: fold nothing, grow nothing
        {16, 0, 64, 16},       // mismatches dear: grow only over equal bytes
    };
    for (const bsdiff_gen::CostModel_T& model : models) {
        SCOPED_TRACE(model.triple);
        const std::vector<bsdiff_gen::Control_T> plan =
            bsdiff_gen::mergeByCost(greedy, old, next, model);
        EXPECT_LE(plan.size(), greedy.size());
        ASSERT_TRUE(planStaysInsideBothParts(plan, old, next));

        Bytes patch;
        ASSERT_EQ(bsdiff_gen::writePatch(plan, old, next, &patch), "");
        ASSERT_TRUE(diff_corpus::writeFile(dir.file("patch"), patch));
        ASSERT_EQ(applyWithSetApplier(dir.file("old"), dir.file("by-set"), dir.file("patch")), 0);
        EXPECT_TRUE(diff_corpus::readFile(dir.file("by-set")) == pair.newPart);
        ASSERT_EQ(applyWithDebianBspatch(dir.file("old"), dir.file("by-debian"), dir.file("patch")),
                  0);
        EXPECT_TRUE(diff_corpus::readFile(dir.file("by-debian")) == pair.newPart);
    }
}

// makePatch keeps the smallest of the plans it tries, the greedy one
// among them: never a byte more than the greedy plan's own patch. And the
// choice is the same bytes whatever runs beside it or in which time zone,
// as the builder's jobs make patches side by side.
TEST_P(GeneratedPatch, NeverLargerThanTheGreedyPlanAndTheSameEveryTime) {
    const PartPair_T pair = GetParam().make();
    const bsdiff_gen::Bytes_T old{pair.oldPart.data(), static_cast<int64_t>(pair.oldPart.size())};
    const bsdiff_gen::Bytes_T next{pair.newPart.data(), static_cast<int64_t>(pair.newPart.size())};
    Bytes greedyPatch;
    {
        bsdiff_gen::SuffixIndex_T index;
        ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(old.data, old.size, &index));
        ASSERT_EQ(bsdiff_gen::writePatch(bsdiff_gen::planControls(index, old, next), old, next,
                                         &greedyPatch),
                  "");
    }
    Bytes alone;
    ASSERT_EQ(bsdiff_gen::makePatch(pair.oldPart.data(), pair.oldPart.size(), pair.newPart.data(),
                                    pair.newPart.size(), &alone),
              "");
    EXPECT_LE(alone.size(), greedyPatch.size());

    Bytes side[2];
    std::string errors[2];
    setenv("TZ", "JST-9", 1);
    {
        std::thread other([&] {
            errors[1] = bsdiff_gen::makePatch(pair.oldPart.data(), pair.oldPart.size(),
                                              pair.newPart.data(), pair.newPart.size(), &side[1]);
        });
        errors[0] = bsdiff_gen::makePatch(pair.oldPart.data(), pair.oldPart.size(),
                                          pair.newPart.data(), pair.newPart.size(), &side[0]);
        other.join();
    }
    unsetenv("TZ");
    EXPECT_EQ(errors[0], "");
    EXPECT_EQ(errors[1], "");
    EXPECT_TRUE(side[0] == alone);
    EXPECT_TRUE(side[1] == alone);
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

TEST(LongestMatch, AmongEqualMatchesTakesTheOneNearestTheHint) {
    // "abc" occurs at 0, 8, 16 and 24, each time followed by another byte.
    const std::string text = "abcQxxxxabcRxxxxabcSxxxxabcTxxxx";
    bsdiff_gen::SuffixIndex_T index;
    ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(reinterpret_cast<const uint8_t*>(text.data()),
                                             static_cast<int64_t>(text.size()), &index));
    const uint8_t* query = reinterpret_cast<const uint8_t*>("abcZ");
    for (const int64_t near : {0, 7, 9, 15, 17, 30}) {
        SCOPED_TRACE(near);
        const bsdiff_gen::Match_T match = bsdiff_gen::longestMatch(index, query, 4, near);
        EXPECT_EQ(match.length, 3);
        const int64_t expected = std::min<int64_t>(24, (near + 4) / 8 * 8);
        EXPECT_EQ(match.oldPos, expected);
    }
    // A longer match elsewhere still wins over a nearer shorter one.
    const uint8_t* longer = reinterpret_cast<const uint8_t*>("abcSx");
    EXPECT_EQ(bsdiff_gen::longestMatch(index, longer, 5, 0).oldPos, 16);
}

TEST(LongestMatch, EmptyTextMatchesNothing) {
    bsdiff_gen::SuffixIndex_T index;
    ASSERT_TRUE(bsdiff_gen::buildSuffixIndex(nullptr, 0, &index));
    const uint8_t query[] = {1, 2, 3};
    EXPECT_EQ(bsdiff_gen::longestMatch(index, query, 3).length, 0);
}

// A diff whose statistics change along the part: nine stretches of 100 000
// bytes, each of words over an alphabet of its own. In one 900 k block their
// contexts mix; the writer also tries smaller blocks per stream and keeps
// what is smaller, and the patch it makes that way still rebuilds the part
// with both appliers.
TEST(WritePatch, SmallerBlocksWinWhereTheDiffChangesAlongThePart) {
    const size_t stretch = 100000;
    const size_t size = 9 * stretch;
    const Bytes oldPart = diff_corpus::randomBytes(size, 31);
    Bytes newPart = oldPart;
    diff_corpus::Rng rng(32);
    for (size_t s = 0; s < 9; ++s) {
        uint8_t alphabet[12];
        for (uint8_t& letter : alphabet)
            letter = static_cast<uint8_t>(rng.next());
        std::vector<Bytes> words(300);
        for (Bytes& word : words) {
            word.resize(2 + rng.below(7));
            for (uint8_t& letter : word)
                letter = alphabet[rng.below(12)];
            word.push_back(' ');
        }
        for (size_t i = s * stretch; i < (s + 1) * stretch;) {
            for (const uint8_t letter : words[rng.below(words.size())]) {
                if (i == (s + 1) * stretch) break;
                newPart[i] = static_cast<uint8_t>(newPart[i] + letter);
                ++i;
            }
        }
    }
    const bsdiff_gen::Bytes_T old{oldPart.data(), static_cast<int64_t>(size)};
    const bsdiff_gen::Bytes_T next{newPart.data(), static_cast<int64_t>(size)};
    bsdiff_gen::Control_T whole;
    whole.diffLength = static_cast<int64_t>(size);
    const std::vector<bsdiff_gen::Control_T> plan = {whole};

    Bytes large;
    Bytes smallest;
    ASSERT_EQ(bsdiff_gen::writePatch(plan, old, next, &large, {9}), "");
    ASSERT_EQ(bsdiff_gen::writePatch(plan, old, next, &smallest, {9, 3, 2, 1}), "");
    EXPECT_LT(smallest.size(), large.size());
    // The control stream, one triple, is one block at any size and stays
    // at 900 k; the diff stream is the one written in smaller blocks.
    const size_t diffStream = 32 + static_cast<size_t>(readOfftout(smallest, 8));
    ASSERT_LT(diffStream + 4, smallest.size());
    EXPECT_EQ(smallest[32 + 3], '9');
    EXPECT_NE(smallest[diffStream + 3], '9');

    ScratchDir dir;
    ASSERT_TRUE(diff_corpus::writeFile(dir.file("old"), oldPart));
    ASSERT_TRUE(diff_corpus::writeFile(dir.file("patch"), smallest));
    ASSERT_EQ(applyWithSetApplier(dir.file("old"), dir.file("by-set"), dir.file("patch")), 0);
    EXPECT_TRUE(diff_corpus::readFile(dir.file("by-set")) == newPart);
    ASSERT_EQ(applyWithDebianBspatch(dir.file("old"), dir.file("by-debian"), dir.file("patch")), 0);
    EXPECT_TRUE(diff_corpus::readFile(dir.file("by-debian")) == newPart);
}

}  // namespace

// ---------------------------------------------------------------------------
// Whether a part carried whole, deflated, beats a patch of a given size.

TEST(DeflatesBelow, TellsAPartThatDeflatesSmallFromOneThatDoesNot) {
    // 10 MiB of zeros deflate to about 10 KiB: below 20000 bytes, not
    // below 5000, and never below the 1032:1 bound (about 10160 bytes).
    const Bytes zeros(10 * kMiB, 0);
    EXPECT_TRUE(bsdiff_gen::deflatesBelow(zeros.data(), zeros.size(), 20000));
    EXPECT_FALSE(bsdiff_gen::deflatesBelow(zeros.data(), zeros.size(), 5000));
    // Random bytes do not shrink: stored blocks cost a few bytes per 64 KiB.
    const Bytes noise = diff_corpus::randomBytes(1 * kMiB, 19);
    EXPECT_FALSE(bsdiff_gen::deflatesBelow(noise.data(), noise.size(), noise.size()));
    EXPECT_TRUE(bsdiff_gen::deflatesBelow(noise.data(), noise.size(), noise.size() + 1024));
    // Nothing at all still takes a byte or two.
    EXPECT_FALSE(bsdiff_gen::deflatesBelow(nullptr, 0, 1));
    EXPECT_TRUE(bsdiff_gen::deflatesBelow(nullptr, 0, 16));
}
