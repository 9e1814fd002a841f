// Mapping a package file whole: the view holds exactly the file's bytes, a
// release unmaps it, and every refusal leaves the mapping reset and nothing
// mapped.
#include <cstring>

#include <gtest/gtest.h>

#include "archive.h"
#include "archive_test_util.h"
#include "testing/zip_fixture.h"

namespace {

using ota_test::ScopedTempDir;

TEST(MappedFileTest, PlainFileIsMappedWholeAndReleased) {
    ScopedTempDir dir;
    const std::string file = dir / "package.zip";
    const std::string bytes = ota_test::patternBytes(3 * 4096 + 17, 7);
    ASSERT_TRUE(ota_test::writeFile(file, bytes));

    MemMapping mapping;
    ASSERT_EQ(sysMapFile(file.c_str(), &mapping), 0);
    ASSERT_NE(mapping.addr, nullptr);
    ASSERT_EQ(mapping.length, bytes.size());
    EXPECT_EQ(std::memcmp(mapping.addr, bytes.data(), bytes.size()), 0);
    ASSERT_EQ(mapping.ranges.size(), 1u);
    EXPECT_EQ(mapping.ranges[0].addr, mapping.addr);
    EXPECT_EQ(mapping.ranges[0].length, bytes.size());
    EXPECT_TRUE(ota_test::isFileMapped(file));

    unsigned char* const start = mapping.addr;
    sysReleaseMap(&mapping);
    EXPECT_FALSE(ota_test::isFileMapped(file));
    EXPECT_TRUE(mapping.ranges.empty());
    // A release keeps start and length; only the ranges are gone.
    EXPECT_EQ(mapping.addr, start);
    EXPECT_EQ(mapping.length, bytes.size());
}

TEST(MappedFileTest, ViewIsPrivateToTheReader) {
    ScopedTempDir dir;
    const std::string file = dir / "package.zip";
    ASSERT_TRUE(ota_test::writeFile(file, "PK-original"));
    MemMapping mapping;
    ASSERT_EQ(sysMapFile(file.c_str(), &mapping), 0);
    // A read-only private view: the package on storage can never be changed through it.
    bool readOnly = false;
    char start[32];
    snprintf(start, sizeof(start), "%lx-", reinterpret_cast<unsigned long>(mapping.addr));
    for (const std::string& line : ota_test::memoryMapLines()) {
        if (line.rfind(start, 0) == 0) {
            readOnly = line.find(" r--p ") != std::string::npos;
        }
    }
    EXPECT_TRUE(readOnly);
    sysReleaseMap(&mapping);
}

TEST(MappedFileTest, MappingAgainResetsAnEarlierMapping) {
    ScopedTempDir dir;
    const std::string first = dir / "first.zip";
    const std::string second = dir / "second.zip";
    ASSERT_TRUE(ota_test::writeFile(first, std::string(5000, 'a')));
    ASSERT_TRUE(ota_test::writeFile(second, std::string(100, 'b')));

    MemMapping mapping;
    ASSERT_EQ(sysMapFile(first.c_str(), &mapping), 0);
    sysReleaseMap(&mapping);
    ASSERT_EQ(sysMapFile(second.c_str(), &mapping), 0);
    ASSERT_EQ(mapping.ranges.size(), 1u);
    EXPECT_EQ(mapping.length, 100u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mapping.addr), mapping.length),
              std::string(100, 'b'));
    sysReleaseMap(&mapping);
}

struct RefusedFile {
    const char* label;
    // Creates the file to map inside `dir` and returns the path handed over.
    std::string (*make)(const ScopedTempDir& dir);
};

void PrintTo(const RefusedFile& c, std::ostream* os) {
    *os << c.label;
}

class MappedFileRefusalTest : public ::testing::TestWithParam<RefusedFile> {};

TEST_P(MappedFileRefusalTest, FailsResetAndMapsNothing) {
    ScopedTempDir dir;
    const std::string path = GetParam().make(dir);
    const std::vector<std::string> before = ota_test::memoryMapLines();

    MemMapping mapping;
    unsigned char junk = 0;
    mapping.addr = &junk;
    mapping.length = 99;
    EXPECT_EQ(sysMapFile(path.c_str(), &mapping), -1);
    EXPECT_EQ(mapping.addr, nullptr);
    EXPECT_EQ(mapping.length, 0u);
    EXPECT_TRUE(mapping.ranges.empty());
    EXPECT_TRUE(ota_test::leftoverMappings(before, dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Plain, MappedFileRefusalTest,
    ::testing::Values(
        RefusedFile{"EmptyFile",
                    [](const ScopedTempDir& dir) {
                        EXPECT_TRUE(ota_test::writeFile(dir / "empty.zip", ""));
                        return dir / "empty.zip";
                    }},
        RefusedFile{"MissingFile", [](const ScopedTempDir& dir) { return dir / "absent.zip"; }},
        RefusedFile{"Directory", [](const ScopedTempDir& dir) { return dir.path(); }},
        RefusedFile{"MissingBlockMap",
                    [](const ScopedTempDir& dir) { return "@" + (dir / "absent.map"); }},
        RefusedFile{"EmptyBlockMapName", [](const ScopedTempDir&) { return std::string("@"); }}),
    [](const ::testing::TestParamInfo<RefusedFile>& info) {
        return std::string(info.param.label);
    });

TEST(MappedFileTest, NullArgumentsLeaveTheMappingUntouched) {
    ScopedTempDir dir;
    const std::string file = dir / "package.zip";
    ASSERT_TRUE(ota_test::writeFile(file, "bytes"));

    MemMapping mapping;
    unsigned char junk = 0;
    mapping.addr = &junk;
    mapping.length = 42;
    mapping.ranges.push_back(MappedRange{&junk, 1});
    EXPECT_EQ(sysMapFile(nullptr, &mapping), -1);
    EXPECT_EQ(mapping.addr, &junk);
    EXPECT_EQ(mapping.length, 42u);
    EXPECT_EQ(mapping.ranges.size(), 1u);

    EXPECT_EQ(sysMapFile(file.c_str(), nullptr), -1);
    EXPECT_FALSE(ota_test::isFileMapped(file));
}

}  // namespace
