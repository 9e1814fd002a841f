// Mapping a package through a block map: the listed device blocks appear in
// order as one view of the package's length, and every malformed or
// dangerous map is refused with nothing left mapped.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive.h"
#include "archive_test_util.h"
#include "testing/zip_fixture.h"

namespace {

using ota_test::ScopedTempDir;

constexpr size_t kBlock = 4096;
constexpr size_t kDeviceBlocks = 16;

// A stretch of the device: byte offset and length.
struct Piece {
    size_t offset;
    size_t length;
};

struct BlockMapCase {
    const char* label;
    // Block map text; "DEV" stands for the device path.
    const char* text;
    int result;
    // For a mapping that succeeds: the device bytes the view must show.
    std::vector<Piece> view;
};

void PrintTo(const BlockMapCase& c, std::ostream* os) {
    *os << c.label;
}

class BlockMapTest : public ::testing::TestWithParam<BlockMapCase> {
protected:
    void SetUp() override {
        m_deviceBytes = ota_test::patternBytes(kDeviceBlocks * kBlock, 3);
        ASSERT_TRUE(ota_test::writeFile(device(), m_deviceBytes));
    }

    std::string device() const { return m_dir / "device"; }

    std::string writeMap(const std::string& text) const {
        std::string resolved = text;
        for (size_t at = resolved.find("DEV"); at != std::string::npos;
             at = resolved.find("DEV", at)) {
            resolved.replace(at, 3, device());
        }
        const std::string path = m_dir / "package.map";
        EXPECT_TRUE(ota_test::writeFile(path, resolved));
        return "@" + path;
    }

    ScopedTempDir m_dir;
    std::string m_deviceBytes;
};

TEST_P(BlockMapTest, MapsExactlyTheListedBlocksOrNothing) {
    const BlockMapCase& c = GetParam();
    const std::string mapArg = writeMap(c.text);
    const std::vector<std::string> before = ota_test::memoryMapLines();

    MemMapping mapping;
    ASSERT_EQ(sysMapFile(mapArg.c_str(), &mapping), c.result);
    if (c.result != 0) {
        EXPECT_EQ(mapping.addr, nullptr);
        EXPECT_EQ(mapping.length, 0u);
        EXPECT_TRUE(mapping.ranges.empty());
        EXPECT_EQ(ota_test::leftoverMappings(before, device()), std::vector<std::string>{});
        return;
    }

    std::string expected;
    for (const Piece& piece : c.view) {
        expected += m_deviceBytes.substr(piece.offset, piece.length);
    }
    ASSERT_NE(mapping.addr, nullptr);
    ASSERT_EQ(mapping.length, expected.size());
    EXPECT_EQ(std::memcmp(mapping.addr, expected.data(), expected.size()), 0);

    // The ranges lie back to back from the start of the view.
    unsigned char* next = mapping.addr;
    for (const MappedRange& range : mapping.ranges) {
        EXPECT_EQ(range.addr, next);
        next += range.length;
    }
    EXPECT_GE(static_cast<size_t>(next - mapping.addr), mapping.length);

    sysReleaseMap(&mapping);
    EXPECT_TRUE(mapping.ranges.empty());
    EXPECT_FALSE(ota_test::isFileMapped(device()));
    EXPECT_EQ(ota_test::leftoverMappings(before, device()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Maps, BlockMapTest,
    ::testing::Values(
        // The last block is only partly used: two blocks mapped, 5000 bytes seen.
        BlockMapCase{"PartLastBlock", "DEV\n5000 4096\n1\n0 2\n", 0, {{0, 5000}}},
        BlockMapCase{
            "TwoRangesApart", "DEV\n8192 4096\n2\n0 1\n10 11", 0, {{0, 4096}, {40960, 4096}}},
        BlockMapCase{"RangesOutOfDeviceOrder",
                     "DEV\n12288 4096\n3\n7 8\n2 3\n15 16",
                     0,
                     {{7 * kBlock, kBlock}, {2 * kBlock, kBlock}, {15 * kBlock, kBlock}}},
        BlockMapCase{"TrailingWhiteSpaceAndEmptyLines",
                     "DEV\n8192 4096\n2\n3 4\n1 2\n \n\n\t\n",
                     0,
                     {{3 * kBlock, kBlock}, {kBlock, kBlock}}},
        BlockMapCase{"LeadingWhiteSpace", "\n  \nDEV\n100 4096\n1\n15 16", 0, {{15 * kBlock, 100}}},
        BlockMapCase{"CoversTooLittle", "DEV\n8192 4096\n1\n0 1\n", -1, {}},
        BlockMapCase{"CoversTooMuch", "DEV\n5000 4096\n1\n0 3\n", -1, {}},
        // The first range maps; the second overruns and must take it down too.
        BlockMapCase{"SecondRangeOverruns", "DEV\n8192 4096\n2\n0 1\n5 7\n", -1, {}},
        BlockMapCase{"EmptyRange", "DEV\n4096 4096\n1\n3 3\n", -1, {}},
        BlockMapCase{"ReversedRange", "DEV\n4096 4096\n1\n4 3\n", -1, {}},
        BlockMapCase{"FewerRangeLinesThanCount", "DEV\n8192 4096\n2\n0 1\n", -1, {}},
        BlockMapCase{"MoreRangeLinesThanCount", "DEV\n4096 4096\n1\n0 1\n1 2\n", -1, {}},
        BlockMapCase{"EmptyLineBetweenRanges", "DEV\n8192 4096\n2\n0 1\n\n1 2\n", -1, {}},
        BlockMapCase{"ZeroSize", "DEV\n0 4096\n1\n0 1\n", -1, {}},
        BlockMapCase{"ZeroBlockSize", "DEV\n4096 0\n1\n0 1\n", -1, {}},
        BlockMapCase{"ZeroRanges", "DEV\n4096 4096\n0\n0 1\n", -1, {}},
        BlockMapCase{"BlockSizeMissing", "DEV\n4096\n1\n0 1\n", -1, {}},
        BlockMapCase{"HeaderOnly", "DEV\n4096 4096\n1\n", -1, {}},
        BlockMapCase{"MissingDevice", "/nonexistent/ota-device\n4096 4096\n1\n0 1\n", -1, {}},
        BlockMapCase{"RangeBeyondDeviceEnd", "DEV\n4096 4096\n1\n16 17\n", -1, {}},
        BlockMapCase{"RangeReachingPastDeviceEnd", "DEV\n8192 4096\n1\n15 17\n", -1, {}},
        // 2^52 blocks of 4096 bytes wrap a 64-bit offset to byte 0 of the device.
        BlockMapCase{
            "OffsetWrapsAround", "DEV\n4096 4096\n1\n4503599627370496 4503599627370497\n", -1, {}},
        BlockMapCase{"NegativeBlock", "DEV\n4096 4096\n1\n-1 0\n", -1, {}},
        BlockMapCase{"TrailingGarbage", "DEV\n4096 4096\n1\n0 1 x\n", -1, {}},
        BlockMapCase{"ViewLargerThan32Bits", "DEV\n4294967296 4096\n1\n0 1048576\n", -1, {}},
        BlockMapCase{"BlockSizeLargerThan32Bits", "DEV\n4096 4294967296\n1\n0 1\n", -1, {}},
        // Device offsets that are not page aligned cannot be mapped.
        BlockMapCase{"UnalignedOffset", "DEV\n512 512\n1\n1 2\n", -1, {}}),
    [](const ::testing::TestParamInfo<BlockMapCase>& info) {
        return std::string(info.param.label);
    });

// A device whose last block is cut short: the package's bytes all exist, only
// the unused tail of the last block lies past the end of the device.
TEST(BlockMapDeviceTest, LastBlockMayEndWithTheDevice) {
    ScopedTempDir dir;
    const std::string device = dir / "device";
    const std::string bytes = ota_test::patternBytes(2 * kBlock + 100, 9);
    ASSERT_TRUE(ota_test::writeFile(device, bytes));
    const std::string map = dir / "package.map";
    ASSERT_TRUE(
        ota_test::writeFile(map, device + "\n" + std::to_string(bytes.size()) + " 4096\n1\n0 3\n"));

    MemMapping mapping;
    ASSERT_EQ(sysMapFile(("@" + map).c_str(), &mapping), 0);
    ASSERT_EQ(mapping.length, bytes.size());
    EXPECT_EQ(std::memcmp(mapping.addr, bytes.data(), bytes.size()), 0);
    sysReleaseMap(&mapping);

    // One byte more than the device holds is refused.
    ASSERT_TRUE(ota_test::writeFile(
        map, device + "\n" + std::to_string(bytes.size() + 1) + " 4096\n1\n0 3\n"));
    EXPECT_EQ(sysMapFile(("@" + map).c_str(), &mapping), -1);
    EXPECT_FALSE(ota_test::isFileMapped(device));
}

}  // namespace
