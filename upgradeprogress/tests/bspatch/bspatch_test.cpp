// The patch applier against patches made by the system's bsdiff, against
// hand-written patches for the shapes bsdiff never makes, and against
// hostile patches, each of which must end the process with status 1 and
// the one expected message, without writing anything.
#include "bspatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "patch_fixture.h"

namespace bspatch_test {
namespace {

std::string describeDifference(const Bytes& got, const Bytes& want) {
    if (got.size() != want.size()) {
        return "size " + std::to_string(got.size()) + ", expected " + std::to_string(want.size());
    }
    const auto at = std::mismatch(got.begin(), got.end(), want.begin());
    if (at.first == got.end()) {
        return "identical";
    }
    return "first difference at byte " + std::to_string(at.first - got.begin());
}

// ---------------------------------------------------------------------------
// Patches made by bsdiff: the applier must rebuild the new file exactly.

void scatteredEdits(Rng& rng, Bytes& old, Bytes& neu) {
    old = rng.bytes(256 * 1024);
    neu = old;
    for (int edit = 0; edit < 40; ++edit) {
        const size_t at = rng.below(neu.size() - 16);
        const Bytes change = rng.bytes(1 + rng.below(16));
        std::copy(change.begin(), change.end(), neu.begin() + at);
    }
}

// Old A B C D, new A D B C: after D the applier must seek back to B.
void blockMovedBackwards(Rng& rng, Bytes& old, Bytes& neu) {
    const size_t block = 64 * 1024;
    old = rng.bytes(4 * block);
    neu.assign(old.begin(), old.begin() + block);
    neu.insert(neu.end(), old.begin() + 3 * block, old.end());
    neu.insert(neu.end(), old.begin() + block, old.begin() + 3 * block);
}

void insertionsAndDeletions(Rng& rng, Bytes& old, Bytes& neu) {
    old = rng.bytes(200 * 1024);
    neu.clear();
    size_t at = 0;
    while (at < old.size()) {
        const size_t keep = std::min(old.size() - at, 4096 + rng.below(16384));
        neu.insert(neu.end(), old.begin() + at, old.begin() + at + keep);
        at += keep;
        if (rng.below(2) == 0) {
            at += 1 + rng.below(2000);  // deleted
        } else {
            const Bytes inserted = rng.bytes(1 + rng.below(2000));
            neu.insert(neu.end(), inserted.begin(), inserted.end());
        }
    }
}

void fileGrows(Rng& rng, Bytes& old, Bytes& neu) {
    old = rng.bytes(128 * 1024);
    neu = old;
    const Bytes middle = rng.bytes(8 * 1024);
    neu.insert(neu.begin() + 50000, middle.begin(), middle.end());
    const Bytes tail = rng.bytes(64 * 1024);
    neu.insert(neu.end(), tail.begin(), tail.end());
    neu[1000] ^= 0x5a;
}

void fileShrinks(Rng& rng, Bytes& old, Bytes& neu) {
    old = rng.bytes(160 * 1024);
    const size_t cutFrom = old.size() * 4 / 10;
    const size_t cutTo = old.size() * 6 / 10;
    neu.assign(old.begin(), old.begin() + cutFrom);
    neu.insert(neu.end(), old.begin() + cutTo, old.end() - 4096);
    neu[20] ^= 0xff;
    neu[neu.size() - 3] ^= 0x01;
}

// Code whose embedded addresses all moved: bsdiff's diff bytes carry small
// deltas that the applier must add to the old bytes with carries intact.
void addressesShifted(Rng& rng, Bytes& old, Bytes& neu) {
    old = rng.bytes(128 * 1024);
    neu = old;
    for (size_t at = 0; at + 4 <= neu.size(); at += 4) {
        if (neu[at] < 96) {
            uint32_t word =
                neu[at] | neu[at + 1] << 8 | neu[at + 2] << 16 | uint32_t{neu[at + 3]} << 24;
            word += 0x1f40;
            for (int i = 0; i < 4; ++i) {
                neu[at + i] = static_cast<uint8_t>(word >> (8 * i));
            }
        }
    }
}

// A 10 MiB part as the staging step cuts them from a file-system image:
// random blocks, empty blocks and repeated tables, with scattered changes,
// one block inserted and one dropped.
void tenMiBPart(Rng& rng, Bytes& old, Bytes& neu) {
    const size_t block = 4096;
    old.clear();
    const Bytes table = rng.bytes(512);
    while (old.size() < 10 * 1024 * 1024) {
        switch (rng.below(3)) {
            case 0: {
                const Bytes random = rng.bytes(block);
                old.insert(old.end(), random.begin(), random.end());
                break;
            }
            case 1:
                old.insert(old.end(), block, 0);
                break;
            default:
                for (size_t i = 0; i < block / table.size(); ++i) {
                    old.insert(old.end(), table.begin(), table.end());
                }
        }
    }
    neu = old;
    for (int edit = 0; edit < 30; ++edit) {
        neu[rng.below(neu.size())] ^= static_cast<uint8_t>(1 + rng.below(255));
    }
    const Bytes inserted = rng.bytes(block);
    neu.insert(neu.begin() + 3 * 1024 * 1024, inserted.begin(), inserted.end());
    neu.erase(neu.begin() + 7 * 1024 * 1024, neu.begin() + 7 * 1024 * 1024 + block);
}

struct RoundTripCase {
    const char* name;
    void (*make)(Rng&, Bytes& old, Bytes& neu);
    bool seeksBackwards;  // the patch must hold a negative z for the case to mean anything
};

class BsdiffRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(BsdiffRoundTrip, RebuildsTheNewFileExactly) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    Rng rng(std::hash<std::string>()(GetParam().name));
    Bytes old, expected;
    GetParam().make(rng, old, expected);
    const std::string oldPath = dir.file("old"), refPath = dir.file("ref");
    const std::string patchPath = dir.file("patch"), newPath = dir.file("new");
    ASSERT_TRUE(writeFile(oldPath, old));
    ASSERT_TRUE(writeFile(refPath, expected));
    ASSERT_TRUE(runBsdiff(oldPath, refPath, patchPath));
    if (GetParam().seeksBackwards) {
        const auto triples = decodeControl(readFile(patchPath));
        EXPECT_TRUE(std::any_of(triples.begin(), triples.end(), [](const auto& t) {
            return t[2] < 0;
        })) << "bsdiff made no backward seek";
    }
    // A stale, longer result from an earlier run must not survive.
    Bytes stale = old;
    stale.insert(stale.end(), 4096, 0xee);
    ASSERT_TRUE(writeFile(newPath, stale));

    ASSERT_EQ(bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str()), 0);

    const Bytes got = readFile(newPath);
    EXPECT_TRUE(got == expected) << describeDifference(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    BsdiffPatches, BsdiffRoundTrip,
    ::testing::Values(RoundTripCase{"ScatteredEdits", scatteredEdits, false},
                      RoundTripCase{"BlockMovedBackwards", blockMovedBackwards, true},
                      RoundTripCase{"InsertionsAndDeletions", insertionsAndDeletions, false},
                      RoundTripCase{"FileGrows", fileGrows, false},
                      RoundTripCase{"FileShrinks", fileShrinks, false},
                      RoundTripCase{"AddressesShifted", addressesShifted, false},
                      RoundTripCase{"TenMiBPart", tenMiBPart, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BspatchInPlace, NewPathMayBeTheOldPath) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    Rng rng(7);
    Bytes old, expected;
    insertionsAndDeletions(rng, old, expected);
    const std::string partPath = dir.file("part"), refPath = dir.file("ref"),
                      patchPath = dir.file("patch");
    ASSERT_TRUE(writeFile(partPath, old));
    ASSERT_TRUE(writeFile(refPath, expected));
    ASSERT_TRUE(runBsdiff(partPath, refPath, patchPath));

    ASSERT_EQ(bspatch(partPath.c_str(), partPath.c_str(), patchPath.c_str()), 0);

    const Bytes got = readFile(partPath);
    EXPECT_TRUE(got == expected) << describeDifference(got, expected);
}

// ---------------------------------------------------------------------------
// Hand-written patches for shapes bsdiff does not make.

Bytes text(const char* s) {
    return Bytes(s, s + strlen(s));
}

struct HandCase {
    std::string name;
    Bytes old;
    HandPatch patch;
    Bytes expected;
};

HandPatch handPatch(std::vector<Triple> triples, Bytes diff, Bytes extra, int64_t newSize) {
    HandPatch patch;
    patch.control = controlBlock(triples);
    patch.diff = std::move(diff);
    patch.extra = std::move(extra);
    patch.newSize = patchInt(newSize);
    return patch;
}

constexpr int64_t kMax31 = (int64_t{1} << 31) - 1;

std::vector<HandCase> handCases() {
    std::vector<HandCase> cases;
    // bsdiff cannot read an empty file, yet a part may be new.
    cases.push_back({"EmptyOldFilePassesDiffBytesUnchanged",
                     {},
                     handPatch({triple(5, 3, 0)}, text("hello"), text("abc"), 8),
                     text("helloabc")});
    cases.push_back(
        {"NewSizeZeroMakesAnEmptyFile", text("something"), handPatch({}, {}, {}, 0), {}});
    {
        HandPatch patch = handPatch({}, {}, {}, 0);
        patch.newSize = negativeZero();
        cases.push_back({"NegativeZeroNewSizeIsZero", text("old"), patch, {}});
    }
    {
        HandPatch patch = handPatch({}, {1, 1, 1}, text("xy"), 5);
        patch.control =
            controlBlock({Triple{negativeZero(), patchInt(2), negativeZero()}, triple(3, 0, 0)});
        cases.push_back(
            {"NegativeZeroControlValuesAreZero", text("ABCDEFGH"), patch, text("xyBCD")});
    }
    cases.push_back({"DiffAddsOldBytesModulo256",
                     {0xff, 0x80, 0x01},
                     handPatch({triple(3, 0, 0)}, {0x02, 0x80, 0xff}, {}, 3),
                     {0x01, 0x00, 0x00}});
    cases.push_back({"DiffRunPastOldEndKeepsDiffBytes",
                     text("ABCD"),
                     handPatch({triple(6, 0, 0)}, {1, 1, 1, 1, 7, 8}, {}, 6),
                     {'B', 'C', 'D', 'E', 7, 8}});
    cases.push_back(
        {"DiffRunBeforeOldStartKeepsDiffBytes",
         text("ABCDEFGH"),
         handPatch({triple(0, 2, -3), triple(6, 0, 0)}, {10, 20, 30, 1, 2, 3}, text("xy"), 8),
         {'x', 'y', 10, 20, 30, 'A' + 1, 'B' + 2, 'C' + 3}});
    cases.push_back(
        {"NegativeSeekRereadsEarlierBytes", text("ABCDEFGH"),
         handPatch({triple(4, 0, -4), triple(4, 0, 0)}, {0, 0, 0, 0, 1, 1, 1, 1}, {}, 8),
         text("ABCDBCDE")});
    // Three seeks put the old position at exactly 4 GiB: a 32-bit position
    // would wrap to 0 and add old bytes; the true position lies far past the
    // old file. Two seeks back then land on byte 6.
    cases.push_back({"SeeksPastFourGiBDoNotWrap",
                     text("ABCDEFGH"),
                     handPatch({triple(0, 0, kMax31), triple(0, 0, kMax31), triple(0, 0, 2),
                                triple(4, 0, -kMax31), triple(0, 0, -kMax31), triple(2, 0, 0)},
                               {1, 2, 3, 4, 0, 0}, {}, 6),
                     {1, 2, 3, 4, 'G', 'H'}});
    // Once the new file is complete, nothing more is read from the control block.
    cases.push_back({"TriplesAfterTheNewSizeAreIgnored", text("ABCD"),
                     handPatch({triple(0, 4, 0), triple(-1, -1, 0)}, {}, text("wxyz"), 4),
                     text("wxyz")});
    return cases;
}

class HandWrittenPatch : public ::testing::TestWithParam<HandCase> {};

TEST_P(HandWrittenPatch, BuildsTheExpectedBytes) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                      newPath = dir.file("new");
    ASSERT_TRUE(writeFile(oldPath, GetParam().old));
    ASSERT_TRUE(writeFile(patchPath, GetParam().patch.build()));
    ASSERT_TRUE(writeFile(newPath, text("stale result")));

    ASSERT_EQ(bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str()), 0);

    const Bytes got = readFile(newPath);
    EXPECT_TRUE(got == GetParam().expected) << describeDifference(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, HandWrittenPatch, ::testing::ValuesIn(handCases()),
                         [](const auto& info) { return info.param.name; });

TEST(BspatchNewFile, IsCreatedWithMode0666LessTheUmask) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                      newPath = dir.file("new");
    ASSERT_TRUE(writeFile(oldPath, text("ABCD")));
    ASSERT_TRUE(writeFile(patchPath, handPatch({triple(4, 0, 0)}, {0, 0, 0, 0}, {}, 4).build()));
    const mode_t saved = umask(027);
    bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str());
    umask(saved);
    struct stat st {};
    ASSERT_EQ(stat(newPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// ---------------------------------------------------------------------------
// Hostile patches: each ends the process with status 1 and "Corrupt patch",
// and leaves no new file behind.

std::string regexEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (strchr("\\^$.|?*+()[]{}", c) != nullptr) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string diagnostic(const std::string& message) {
    return "^" + regexEscape(program_invocation_short_name) + ": " + message + "\n$";
}

const Bytes kHostileOld = text("0123456789abcdef");

// A sound patch over kHostileOld that each case spoils in one way.
HandPatch soundPatch() {
    return handPatch({triple(8, 4, 0)}, Bytes(8, 1), text("WXYZ"), 12);
}

struct HostileCase {
    const char* name;
    Bytes (*patch)();
};

constexpr int64_t k2Pow32 = int64_t{1} << 32;

const HostileCase kHostileCases[] = {
    {"EmptyPatch", [] { return Bytes(); }},
    {"ShortHeader",
     [] {
         Bytes p = soundPatch().build();
         p.resize(31);
         return p;
     }},
    {"BadMagic",
     [] {
         HandPatch p = soundPatch();
         p.magic = "BSDIFF41";
         return p.build();
     }},
    {"NegativeControlLength",
     [] {
         HandPatch p = soundPatch();
         p.controlLength = patchInt(-1);
         return p.build();
     }},
    {"NegativeDiffLength",
     [] {
         HandPatch p = soundPatch();
         p.diffLength = patchInt(-1);
         return p.build();
     }},
    {"NegativeNewSize",
     [] {
         HandPatch p = soundPatch();
         p.newSize = patchInt(-1);
         return p.build();
     }},
    // Each of these would pass if only the low four bytes were read.
    {"ControlLengthBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.controlLength = patchInt(static_cast<int64_t>(bzip2(p.control).size()) + k2Pow32);
         return p.build();
     }},
    {"DiffLengthBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.diffLength = patchInt(static_cast<int64_t>(bzip2(p.diff).size()) + k2Pow32);
         return p.build();
     }},
    {"NewSizeBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.newSize = patchInt(12 + k2Pow32);
         return p.build();
     }},
    {"NewSizeInByte6",
     [] {
         HandPatch p = soundPatch();
         p.newSize = patchInt(12 + (int64_t{1} << 48));
         return p.build();
     }},
    {"NewSizeInLowBitsOfByte7",
     [] {
         HandPatch p = soundPatch();
         p.newSize = patchInt(12 + (int64_t{1} << 56));
         return p.build();
     }},
    {"NewSizeWithByte3TopBit",
     [] {
         HandPatch p = soundPatch();
         p.newSize = patchInt(12 + (int64_t{1} << 31));
         return p.build();
     }},
    {"NegativeNewSizeBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.newSize = patchInt(-k2Pow32);
         return p.build();
     }},
    {"DiffRunBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(8 + k2Pow32, 4, 0)});
         return p.build();
     }},
    {"ExtraRunBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(8, 4 + k2Pow32, 0)});
         return p.build();
     }},
    {"SeekBeyond32Bits",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(8, 4, k2Pow32)});
         return p.build();
     }},
    {"DiffRunOf2Pow31",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(int64_t{1} << 31, 4, 0)});
         return p.build();
     }},
    {"NegativeDiffRun",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(-1, 4, 0)});
         return p.build();
     }},
    {"NegativeExtraRun",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(8, -1, 0)});
         return p.build();
     }},
    // The blocks hold the whole run, so a missed check writes past the
    // new buffer (which the sanitizer run reports) instead of failing short.
    {"DiffRunPastNewSize",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(64, 0, 0)});
         p.diff = Bytes(64, 1);
         return p.build();
     }},
    {"ExtraRunPastNewSize",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(8, 64, 0)});
         p.extra = Bytes(64, 'E');
         return p.build();
     }},
    // 4 + (2^31 - 1) wraps a 32-bit sum to a negative number below N.
    {"RunSumOverflows32Bits",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(0, 4, 0), triple(kMax31, 0, 0)});
         p.diff = Bytes(64, 1);
         return p.build();
     }},
    {"ControlEndsInsideATriple",
     [] {
         HandPatch p = soundPatch();
         p.control.resize(16);
         return p.build();
     }},
    {"ControlEndsBeforeNewSize",
     [] {
         HandPatch p = soundPatch();
         p.control = controlBlock({triple(8, 0, 0)});
         return p.build();
     }},
    {"DiffBlockShorterThanRun",
     [] {
         HandPatch p = soundPatch();
         p.diff.resize(4);
         return p.build();
     }},
    {"ExtraBlockShorterThanRun",
     [] {
         HandPatch p = soundPatch();
         p.extra.resize(2);
         return p.build();
     }},
    // Cut inside the extra stream's data, not just its end marker: bytes
    // already delivered before a missing trailer are not a short read.
    {"TruncatedLastBlock",
     [] {
         Bytes p = soundPatch().build();
         p.resize(p.size() - bzip2(soundPatch().extra).size() / 2);
         return p;
     }},
    {"ControlBlockNotBzip2",
     [] {
         Bytes p = soundPatch().build();
         std::fill(p.begin() + 32, p.begin() + 40, 0x55);
         return p;
     }},
    {"DiffBlockMisplaced",
     [] {
         HandPatch p = soundPatch();
         p.controlLength = patchInt(static_cast<int64_t>(bzip2(p.control).size()) - 5);
         return p.build();
     }},
};

class HostilePatchDeathTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostilePatchDeathTest, EndsWithCorruptPatch) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                      newPath = dir.file("new");
    ASSERT_TRUE(writeFile(oldPath, kHostileOld));
    ASSERT_TRUE(writeFile(patchPath, GetParam().patch()));

    EXPECT_EXIT(bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str()),
                ::testing::ExitedWithCode(1), diagnostic("Corrupt patch\n"));
    EXPECT_FALSE(fileExists(newPath));
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostilePatchDeathTest, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostilePatchSanity, SoundPatchAppliesSoEveryCaseFailsForItsOwnFault) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                      newPath = dir.file("new");
    ASSERT_TRUE(writeFile(oldPath, kHostileOld));
    ASSERT_TRUE(writeFile(patchPath, soundPatch().build()));
    ASSERT_EQ(bspatch(oldPath.c_str(), newPath.c_str(), patchPath.c_str()), 0);
    EXPECT_EQ(readFile(newPath), text("12345678WXYZ"));
}

// A real bsdiff patch cut short anywhere after its header is corrupt.
TEST(TruncatedBsdiffPatchDeathTest, EveryCutIsCorrupt) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    Rng rng(11);
    Bytes old, neu;
    fileGrows(rng, old, neu);
    const std::string oldPath = dir.file("old"), refPath = dir.file("ref");
    const std::string patchPath = dir.file("patch"), cutPath = dir.file("cut"),
                      newPath = dir.file("new");
    ASSERT_TRUE(writeFile(oldPath, old));
    ASSERT_TRUE(writeFile(refPath, neu));
    ASSERT_TRUE(runBsdiff(oldPath, refPath, patchPath));
    const Bytes patch = readFile(patchPath);
    const int64_t controlEnd = 32 + readPatchInt(&patch[8]);
    const int64_t diffEnd = controlEnd + readPatchInt(&patch[16]);
    // Inside the control block, inside the diff block, inside the extra block.
    for (const int64_t cut : {int64_t{40}, (controlEnd + diffEnd) / 2,
                              (diffEnd + static_cast<int64_t>(patch.size())) / 2}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ASSERT_TRUE(writeFile(cutPath, Bytes(patch.begin(), patch.begin() + cut)));
        EXPECT_EXIT(bspatch(oldPath.c_str(), newPath.c_str(), cutPath.c_str()),
                    ::testing::ExitedWithCode(1), diagnostic("Corrupt patch\n"));
        EXPECT_FALSE(fileExists(newPath));
    }
}

// ---------------------------------------------------------------------------
// Files that cannot be used: status 1 and the path with the system's reason.

struct Paths {
    std::string old, neu, patch;
};

struct FileFailureCase {
    const char* name;
    void (*spoil)(Paths&);  // breaks one path of a working setup
    std::string (*message)(const Paths&);
};

const FileFailureCase kFileFailures[] = {
    {"MissingOldFile", [](Paths& p) { remove(p.old.c_str()); },
     [](const Paths& p) { return regexEscape(p.old) + ": No such file or directory"; }},
    {"MissingPatch", [](Paths& p) { remove(p.patch.c_str()); },
     [](const Paths& p) {
         return regexEscape("fopen(" + p.patch + ")") + ": No such file or directory";
     }},
    {"NewFileInMissingDirectory", [](Paths& p) { p.neu += ".d/new"; },
     [](const Paths& p) { return regexEscape(p.neu) + ": No such file or directory"; }},
    // The reason depends on the file system (its size or its read fails).
    {"OldFileIsADirectory", [](Paths& p) { p.old = p.old.substr(0, p.old.rfind('/')); },
     [](const Paths& p) { return regexEscape(p.old) + ": [A-Z][^\n]+"; }},
};

class FileFailureDeathTest : public ::testing::TestWithParam<FileFailureCase> {};

TEST_P(FileFailureDeathTest, EndsWithThePathAndTheReason) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    Paths paths{dir.file("old"), dir.file("new"), dir.file("patch")};
    ASSERT_TRUE(writeFile(paths.old, kHostileOld));
    ASSERT_TRUE(writeFile(paths.patch, soundPatch().build()));
    GetParam().spoil(paths);

    EXPECT_EXIT(bspatch(paths.old.c_str(), paths.neu.c_str(), paths.patch.c_str()),
                ::testing::ExitedWithCode(1), diagnostic(GetParam().message(paths)));
    EXPECT_FALSE(fileExists(paths.neu));
}

INSTANTIATE_TEST_SUITE_P(Files, FileFailureDeathTest, ::testing::ValuesIn(kFileFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MissingParameterDeathTest, EachNullPathEndsWithInvalidParam) {
    const char* path = "/nonexistent/part";
    EXPECT_EXIT(bspatch(nullptr, path, path), ::testing::ExitedWithCode(1),
                diagnostic("invalid param!: .*"));
    EXPECT_EXIT(bspatch(path, nullptr, path), ::testing::ExitedWithCode(1),
                diagnostic("invalid param!: .*"));
    EXPECT_EXIT(bspatch(path, path, nullptr), ::testing::ExitedWithCode(1),
                diagnostic("invalid param!: .*"));
}

}  // namespace
}  // namespace bspatch_test
