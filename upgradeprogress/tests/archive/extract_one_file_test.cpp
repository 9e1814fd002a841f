// Extracting entries of a real package: where the output lands for every
// combination of destination and kept directories, what it holds, and that
// nothing is created when the entry is missing or its name would escape.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "archive.h"
#include "archive_test_util.h"
#include "testing/zip_fixture.h"

namespace {

using ota_test::ScopedTempDir;
using ota_test::ZipFixtureEntry;

// Text that deflates well, as update lists and images with padding do; every
// line differs, so a misplaced stretch shows in a comparison.
std::string textBytes(size_t size) {
    std::string text(size, '\0');
    char line[64];
    size_t at = 0;
    for (unsigned n = 0; at < size; ++n) {
        const int length =
            snprintf(line, sizeof(line), "part %u of the image, offset %u\n", n, n * 4096u);
        const size_t take = std::min(static_cast<size_t>(length), size - at);
        memcpy(&text[at], line, take);
        at += take;
    }
    return text;
}

std::vector<ZipFixtureEntry> suiteEntries() {
    return {
        {"stored.bin", ota_test::patternBytes(10000, 1), false},
        // Far more than the reader's inflate buffer, so it refills many times.
        {"deflated.txt", textBytes(1u << 20), true},
        {"patch_package/optfs_update.lst", "update a.bin 0123 4096 0\n", true},
        {"a/b/c", ota_test::patternBytes(777, 2), false},
        {"empty", "", false},
        {"dir/", "", false},
        // As large as a staged part: 20 MiB, stored as the set's images mostly are.
        {"big.bin", ota_test::patternBytes(20u << 20, 3), false},
        {"../up.bin", "one level up", false},
    };
}

// One package for every extraction test, written on first use: its large
// entries are costly to write, more so under the sanitizers.
struct SuitePackage {
    SuitePackage() {
        for (const ZipFixtureEntry& entry : suiteEntries()) {
            entries[entry.name] = entry.bytes;
        }
        written = ota_test::writeZip(path(), suiteEntries());
    }
    std::string path() const { return dir / "patch_package.zip"; }

    ScopedTempDir dir;
    std::map<std::string, std::string> entries;
    bool written = false;
};

const SuitePackage& suitePackage() {
    static const SuitePackage package;
    return package;
}

class ExtractTest : public ::testing::Test {
protected:
    static std::string packagePath() { return suitePackage().path(); }
    static const std::string& bytesOf(const std::string& entry) {
        return suitePackage().entries.at(entry);
    }

    void SetUp() override {
        // No creation mask, so the mode the output is created with shows as it is.
        m_oldMask = umask(0);
        ASSERT_EQ(mkdir(dest().c_str(), 0755), 0);
        ASSERT_TRUE(suitePackage().written);
        ASSERT_EQ(openArchive(packagePath().c_str(), &m_handle), 0);
    }
    void TearDown() override {
        EXPECT_EQ(closeArchive(m_handle), 0);
        umask(m_oldMask);
    }

    std::string dest() const { return m_work / "dest"; }

    ScopedTempDir m_work;
    void* m_handle = nullptr;
    mode_t m_oldMask = 0;
};

struct Placement {
    const char* entry;
    int keepDirs;
    const char* output;  // relative to the destination
};

void PrintTo(const Placement& p, std::ostream* os) {
    *os << p.entry << " keepDirs " << p.keepDirs;
}

class ExtractPlacementTest : public ExtractTest,
                             public ::testing::WithParamInterface<std::tuple<Placement, bool>> {};

TEST_P(ExtractPlacementTest, WritesTheEntryBytesWhereExpected) {
    const Placement& p = std::get<0>(GetParam());
    // Every caller of the program passes a directory that ends in "/"; the
    // doubled separator it leads to must name the same file.
    const std::string destDir = dest() + (std::get<1>(GetParam()) ? "/" : "");

    ASSERT_EQ(extractOneFile(m_handle, p.entry, destDir.c_str(), p.keepDirs), 0);
    const std::string output = dest() + "/" + p.output;
    EXPECT_TRUE(ota_test::readFile(output) == bytesOf(p.entry)) << output;
    struct stat st;
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Nothing but the output (and its directories) appears in the destination.
    const std::string top = std::string(p.output).substr(0, std::string(p.output).find('/'));
    EXPECT_EQ(ota_test::listDir(dest()), std::set<std::string>{top});
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ExtractPlacementTest,
    ::testing::Combine(
        ::testing::Values(
            Placement{"stored.bin", 0, "stored.bin"}, Placement{"deflated.txt", 0, "deflated.txt"},
            Placement{"patch_package/optfs_update.lst", 0, "optfs_update.lst"},
            Placement{"patch_package/optfs_update.lst", 1, "patch_package/optfs_update.lst"},
            Placement{"a/b/c", 1, "a/b/c"}, Placement{"a/b/c", 0, "c"},
            Placement{"empty", 0, "empty"}, Placement{"big.bin", 0, "big.bin"},
            // Without kept directories only the base name counts.
            Placement{"../up.bin", 0, "up.bin"}),
        ::testing::Bool()));

TEST_F(ExtractTest, NullDestinationWritesIntoTheWorkingDirectory) {
    char* old = getcwd(nullptr, 0);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(chdir(dest().c_str()), 0);
    const int flat = extractOneFile(m_handle, "a/b/c", nullptr, 0);
    const int kept = extractOneFile(m_handle, "patch_package/optfs_update.lst", nullptr, 1);
    ASSERT_EQ(chdir(old), 0);
    free(old);

    EXPECT_EQ(flat, 0);
    EXPECT_EQ(kept, 0);
    EXPECT_EQ(ota_test::readFile(dest() + "/c"), bytesOf("a/b/c"));
    EXPECT_EQ(ota_test::readFile(dest() + "/patch_package/optfs_update.lst"),
              bytesOf("patch_package/optfs_update.lst"));
}

TEST_F(ExtractTest, KeptDirectoriesThatExistAreLeftAsTheyAre) {
    ASSERT_EQ(mkdir((dest() + "/a").c_str(), 0700), 0);
    ASSERT_TRUE(ota_test::writeFile(dest() + "/a/other", "keep me"));

    ASSERT_EQ(extractOneFile(m_handle, "a/b/c", dest().c_str(), 1), 0);
    EXPECT_EQ(ota_test::readFile(dest() + "/a/other"), "keep me");
    EXPECT_EQ(ota_test::readFile(dest() + "/a/b/c"), bytesOf("a/b/c"));
    struct stat st;
    ASSERT_EQ(stat((dest() + "/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ExtractTest, SecondExtractionTruncatesTheOutput) {
    const std::string output = dest() + "/stored.bin";
    ASSERT_TRUE(ota_test::writeFile(output, std::string(100000, 'x')));
    ASSERT_EQ(extractOneFile(m_handle, "stored.bin", dest().c_str(), 0), 0);
    EXPECT_TRUE(ota_test::readFile(output) == bytesOf("stored.bin"));
    ASSERT_EQ(extractOneFile(m_handle, "stored.bin", dest().c_str(), 0), 0);
    EXPECT_TRUE(ota_test::readFile(output) == bytesOf("stored.bin"));
}

TEST_F(ExtractTest, MissingEntryCreatesNothing) {
    EXPECT_EQ(extractOneFile(m_handle, "absent.bin", dest().c_str(), 0), -3);
    EXPECT_EQ(extractOneFile(m_handle, "x/y/absent.bin", dest().c_str(), 1), -3);
    // Names are matched whole: a prefix of a name is not an entry.
    EXPECT_EQ(extractOneFile(m_handle, "patch_package", dest().c_str(), 1), -3);
    EXPECT_EQ(extractOneFile(m_handle, nullptr, dest().c_str(), 0), -3);
    EXPECT_TRUE(ota_test::listDir(dest()).empty());
}

TEST_F(ExtractTest, OutputThatCannotBeOpenedGivesMinusFour) {
    // A directory entry names a directory, which cannot be opened for writing.
    EXPECT_EQ(extractOneFile(m_handle, "dir/", dest().c_str(), 0), -4);
    EXPECT_EQ(extractOneFile(m_handle, "dir/", dest().c_str(), 1), -4);
    // The destination's own directories are never created.
    const std::string missing = m_work / "missing";
    EXPECT_EQ(extractOneFile(m_handle, "stored.bin", missing.c_str(), 0), -4);
    EXPECT_EQ(extractOneFile(m_handle, "a/b/c", missing.c_str(), 1), -4);
    EXPECT_FALSE(ota_test::pathExists(missing));
}

TEST_F(ExtractTest, PathLongerThanTheBufferIsRefused) {
    // 4400 bytes of destination cannot hold even a short name after it.
    std::string longDir = dest();
    while (longDir.size() < 4400) {
        longDir += "/deep";
    }
    EXPECT_EQ(extractOneFile(m_handle, "stored.bin", longDir.c_str(), 0), -4);
    EXPECT_EQ(extractOneFile(m_handle, "a/b/c", longDir.c_str(), 1), -4);
    EXPECT_TRUE(ota_test::listDir(dest()).empty());
}

TEST_F(ExtractTest, HandleThatIsNullFindsNoEntry) {
    EXPECT_EQ(extractOneFile(nullptr, "stored.bin", dest().c_str(), 0), -3);
}

// A package of its own per case: names that try to leave the destination.
class ZipSlipTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ZipSlipTest, KeptDirectoriesNeverLeaveTheDestination) {
    ScopedTempDir root;
    const std::string dest = root / "deep/dest";
    ASSERT_EQ(mkdir((root / "deep").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    std::string name = GetParam();
    if (name.rfind("ROOT", 0) == 0) {
        name.replace(0, 4, root.path());
    }
    const std::string package = root / "evil.zip";
    ASSERT_TRUE(ota_test::writeZip(package, {{name, "owned", false}}));

    void* handle = nullptr;
    ASSERT_EQ(openArchive(package.c_str(), &handle), 0);
    EXPECT_EQ(extractOneFile(handle, name.c_str(), dest.c_str(), 1), -4);
    EXPECT_EQ(closeArchive(handle), 0);

    EXPECT_TRUE(ota_test::listDir(dest).empty());
    EXPECT_EQ(ota_test::listDir(root / "deep"), std::set<std::string>{"dest"});
    EXPECT_EQ(ota_test::listDir(root.path()), (std::set<std::string>{"deep", "evil.zip"}));
}

INSTANTIATE_TEST_SUITE_P(Names, ZipSlipTest,
                         ::testing::Values("../evil", "../../evil", "a/../../evil",
                                           "x/../../../evil", "ROOT/evil", "ROOT/new/evil", "..",
                                           "a/.."));

// An entry whose compressed bytes were damaged after the package was
// written: the reader finds it but cannot inflate it.
TEST(ExtractDamagedTest, DamagedEntryGivesMinusFive) {
    ScopedTempDir dir;
    const std::string package = dir / "damaged.zip";
    ASSERT_TRUE(ota_test::writeZip(package, {{"part.bin", textBytes(50000), true}}));
    std::string bytes = ota_test::readFile(package);
    // The entry's data follows its local header: 30 bytes, the name, the extra field.
    ASSERT_GT(bytes.size(), 30u);
    const size_t nameLength =
        static_cast<unsigned char>(bytes[26]) | static_cast<unsigned char>(bytes[27]) << 8;
    const size_t extraLength =
        static_cast<unsigned char>(bytes[28]) | static_cast<unsigned char>(bytes[29]) << 8;
    const size_t data = 30 + nameLength + extraLength;
    ASSERT_LT(data + 200, bytes.size());
    for (size_t i = data + 100; i < data + 200; ++i) {
        bytes[i] = static_cast<char>(0xff);
    }
    ASSERT_TRUE(ota_test::writeFile(package, bytes));

    void* handle = nullptr;
    ASSERT_EQ(openArchive(package.c_str(), &handle), 0);
    EXPECT_EQ(extractOneFile(handle, "part.bin", dir.path().c_str(), 0), -5);
    EXPECT_EQ(closeArchive(handle), 0);
    // The output was created before the damage showed; it stays for the caller's check.
    EXPECT_TRUE(ota_test::pathExists(dir / "part.bin"));
}

}  // namespace
