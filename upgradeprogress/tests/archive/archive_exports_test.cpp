// Opening packages through the exported functions: by path and from memory
// (whole file or block map) the same entries come out byte for byte, and a
// package that cannot be opened leaves no handle and nothing mapped.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive.h"
#include "archive_test_util.h"
#include "testing/zip_fixture.h"

namespace {

using ota_test::ScopedTempDir;
using ota_test::ZipFixtureEntry;

constexpr size_t kBlock = 4096;

std::vector<ZipFixtureEntry> packageEntries() {
    std::string list;
    for (int i = 0; i < 400; ++i) {
        list += "update usrfs_part" + std::to_string(i) + " 0123456789abcdef 10485760 " +
                std::to_string(i * 10485760LL) + "\n";
    }
    return {
        {"patch_package/usrfs_update.lst", list, true},
        {"update_file/part_aa", ota_test::patternBytes(9 * kBlock + 123, 11), false},
        {"update_file/empty", "", false},
        {"patch_file/part_ab.patch", ota_test::patternBytes(3 * kBlock, 12), true},
    };
}

// Extracts every entry into `dir` (kept directories) and checks its bytes.
void expectAllEntries(void* handle, const std::string& dir) {
    for (const ZipFixtureEntry& entry : packageEntries()) {
        ASSERT_EQ(extractOneFile(handle, entry.name.c_str(), dir.c_str(), 1), 0) << entry.name;
        EXPECT_TRUE(ota_test::readFile(dir + "/" + entry.name) == entry.bytes) << entry.name;
    }
}

class ArchiveExportsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ota_test::writeZip(package(), packageEntries())); }

    std::string package() const { return m_dir / "patch_package.zip"; }
    std::string outDir(const char* name) const {
        const std::string path = m_dir / name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
        return path;
    }

    ScopedTempDir m_dir;
};

TEST_F(ArchiveExportsTest, ByPathExtractsEveryEntry) {
    void* handle = nullptr;
    ASSERT_EQ(openArchive(package().c_str(), &handle), 0);
    ASSERT_NE(handle, nullptr);
    expectAllEntries(handle, outDir("by_path"));
    EXPECT_EQ(closeArchive(handle), 0);
}

TEST_F(ArchiveExportsTest, FromMemoryExtractsTheSameBytesAndUnmaps) {
    void* handle = nullptr;
    ASSERT_EQ(openArchiveIntoMemory(package().c_str(), &handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(ota_test::isFileMapped(package()));
    expectAllEntries(handle, outDir("from_memory"));
    EXPECT_EQ(closeArchiveFromMemory(handle), 0);
    EXPECT_FALSE(ota_test::isFileMapped(package()));
}

// The package's blocks lie on a "device" out of order, with foreign blocks
// between them; the block map puts them back in order.
TEST_F(ArchiveExportsTest, FromBlockMapExtractsTheSameBytes) {
    std::string bytes = ota_test::readFile(package());
    const size_t size = bytes.size();
    const size_t blocks = (size - 1) / kBlock + 1;
    ASSERT_GE(blocks, 4u) << "package too small to scatter";
    bytes.resize(blocks * kBlock, '\0');

    // Package block k goes to device block slot[k]: three runs in reverse
    // order, each followed by a foreign block.
    const size_t cut1 = blocks / 3;
    const size_t cut2 = 2 * blocks / 3;
    const std::vector<std::pair<size_t, size_t>> runs = {{cut2, blocks}, {cut1, cut2}, {0, cut1}};
    std::string device;
    std::vector<std::string> rangeLines(3);
    for (size_t r = 0; r < runs.size(); ++r) {
        const size_t first = device.size() / kBlock;
        device += bytes.substr(runs[r].first * kBlock, (runs[r].second - runs[r].first) * kBlock);
        const size_t end = device.size() / kBlock;
        device += std::string(kBlock, static_cast<char>(0xa5));
        // The map lists the runs in package order: run r holds the (2 - r)th piece.
        rangeLines[2 - r] = std::to_string(first) + " " + std::to_string(end);
    }
    const std::string devicePath = m_dir / "mmcblk_sim";
    ASSERT_TRUE(ota_test::writeFile(devicePath, device));
    const std::string mapPath = m_dir / "patch_package.map";
    ASSERT_TRUE(ota_test::writeFile(mapPath, devicePath + "\n" + std::to_string(size) +
                                                 " 4096\n3\n" + rangeLines[0] + "\n" +
                                                 rangeLines[1] + "\n" + rangeLines[2] + "\n"));

    void* handle = nullptr;
    ASSERT_EQ(openArchiveIntoMemory(("@" + mapPath).c_str(), &handle), 0);
    expectAllEntries(handle, outDir("from_block_map"));
    EXPECT_EQ(closeArchiveFromMemory(handle), 0);
    EXPECT_FALSE(ota_test::isFileMapped(devicePath));
}

struct BadPackage {
    const char* label;
    std::string (*make)(const ScopedTempDir& dir, const std::string& good);
    int byPath;
    int fromMemory;
};

void PrintTo(const BadPackage& p, std::ostream* os) {
    *os << p.label;
}

class BadPackageTest : public ArchiveExportsTest,
                       public ::testing::WithParamInterface<BadPackage> {};

TEST_P(BadPackageTest, OpenFailsWithoutAHandle) {
    const std::string path = GetParam().make(m_dir, package());
    const std::vector<std::string> before = ota_test::memoryMapLines();

    void* handle = &handle;
    EXPECT_EQ(openArchive(path.c_str(), &handle), GetParam().byPath);
    EXPECT_EQ(handle, nullptr);

    handle = &handle;
    EXPECT_EQ(openArchiveIntoMemory(path.c_str(), &handle), GetParam().fromMemory);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(ota_test::leftoverMappings(before, m_dir.path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Packages, BadPackageTest,
    ::testing::Values(BadPackage{"Missing",
                                 [](const ScopedTempDir& dir, const std::string&) {
                                     return dir / "absent.zip";
                                 },
                                 -2, -1},
                      BadPackage{"Empty",
                                 [](const ScopedTempDir& dir, const std::string&) {
                                     EXPECT_TRUE(ota_test::writeFile(dir / "empty.zip", ""));
                                     return dir / "empty.zip";
                                 },
                                 -2, -1},
                      BadPackage{"NotAZip",
                                 [](const ScopedTempDir& dir, const std::string&) {
                                     EXPECT_TRUE(ota_test::writeFile(
                                         dir / "noise.zip", ota_test::patternBytes(70000, 4)));
                                     return dir / "noise.zip";
                                 },
                                 -2, -2},
                      // A download cut short: the central directory at the end is missing.
                      BadPackage{"Truncated",
                                 [](const ScopedTempDir& dir, const std::string& good) {
                                     const std::string bytes = ota_test::readFile(good);
                                     EXPECT_TRUE(ota_test::writeFile(
                                         dir / "cut.zip", bytes.substr(0, bytes.size() / 2)));
                                     return dir / "cut.zip";
                                 },
                                 -2, -2},
                      // Only the last bytes lost: the end record is cut.
                      BadPackage{"LastBytesLost",
                                 [](const ScopedTempDir& dir, const std::string& good) {
                                     const std::string bytes = ota_test::readFile(good);
                                     EXPECT_TRUE(ota_test::writeFile(
                                         dir / "cut.zip", bytes.substr(0, bytes.size() - 10)));
                                     return dir / "cut.zip";
                                 },
                                 -2, -2},
                      // The central directory points at bytes that are not there.
                      BadPackage{"CentralDirectoryDamaged",
                                 [](const ScopedTempDir& dir, const std::string& good) {
                                     std::string bytes = ota_test::readFile(good);
                                     const size_t central =
                                         bytes.rfind(std::string("PK\x01\x02", 4));
                                     EXPECT_NE(central, std::string::npos);
                                     bytes[central] = 'X';
                                     EXPECT_TRUE(ota_test::writeFile(dir / "damaged.zip", bytes));
                                     return dir / "damaged.zip";
                                 },
                                 -2, -2},
                      BadPackage{"BadBlockMap",
                                 [](const ScopedTempDir& dir, const std::string& good) {
                                     EXPECT_TRUE(ota_test::writeFile(dir / "bad.map",
                                                                     good + "\n0 4096\n1\n0 1\n"));
                                     return "@" + (dir / "bad.map");
                                 },
                                 -2, -1}),
    [](const ::testing::TestParamInfo<BadPackage>& info) { return std::string(info.param.label); });

TEST(ArchiveExportsNullTest, NullArgumentsAreRefused) {
    EXPECT_EQ(openArchive("/nonexistent/patch_package.zip", nullptr), -2);
    EXPECT_EQ(openArchiveIntoMemory("/nonexistent/patch_package.zip", nullptr), -2);
    void* handle = &handle;
    EXPECT_EQ(openArchive(nullptr, &handle), -2);
    EXPECT_EQ(handle, nullptr);
    handle = &handle;
    EXPECT_EQ(openArchiveIntoMemory(nullptr, &handle), -1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(closeArchive(nullptr), 0);
    EXPECT_EQ(closeArchiveFromMemory(nullptr), 0);
}

}  // namespace
