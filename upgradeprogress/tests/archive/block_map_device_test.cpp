// The block-map route on a real block device: the package's blocks are
// written out of order onto a partition of the simulated set, and the memory
// route must hand the reader exactly the package. Runs only inside the
// sandbox runner, where the partitions are loop devices.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive.h"
#include "archive_test_util.h"
#include "ground.h"
#include "testing/zip_fixture.h"

namespace {

using ota_test::ScopedTempDir;
using ota_test::ZipFixtureEntry;

constexpr size_t kBlock = 4096;

std::vector<ZipFixtureEntry> packageEntries() {
    return {
        {"update_file/part_aa", ota_test::patternBytes(40 * kBlock + 5, 31), false},
        {"patch_package/usrfs_update.lst", std::string(3000, 'u'), true},
        {"patch_file/part_ab.patch", ota_test::patternBytes(7 * kBlock, 32), true},
    };
}

class BlockMapDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st {};
        ASSERT_EQ(stat(ota_paths::kUsrfsDevice, &st), 0) << "runs only inside the sandbox runner";
        ASSERT_TRUE(S_ISBLK(st.st_mode));
        m_fd = open(ota_paths::kUsrfsDevice, O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
        const off_t end = lseek(m_fd, 0, SEEK_END);
        ASSERT_GT(end, 0);
        m_deviceBlocks = static_cast<size_t>(end) / kBlock;
    }
    void TearDown() override {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

    void writeBlocks(size_t deviceBlock, const std::string& bytes) {
        ASSERT_EQ(
            pwrite(m_fd, bytes.data(), bytes.size(), static_cast<off_t>(deviceBlock * kBlock)),
            static_cast<ssize_t>(bytes.size()));
    }

    std::string writeMap(const std::string& text) const {
        const std::string path = m_dir / "package.map";
        EXPECT_TRUE(ota_test::writeFile(path, std::string(ota_paths::kUsrfsDevice) + "\n" + text));
        return "@" + path;
    }

    ScopedTempDir m_dir;
    int m_fd = -1;
    size_t m_deviceBlocks = 0;
};

TEST_F(BlockMapDeviceTest, ScatteredPackageReadsBackWhole) {
    const std::string package = m_dir / "patch_package.zip";
    ASSERT_TRUE(ota_test::writeZip(package, packageEntries()));
    std::string bytes = ota_test::readFile(package);
    const size_t size = bytes.size();
    const size_t blocks = (size - 1) / kBlock + 1;
    bytes.resize(blocks * kBlock, '\0');

    // Three pieces of the package, at device blocks in falling order, the
    // last piece ending on the partition's very last block.
    const size_t cut1 = blocks / 3;
    const size_t cut2 = 2 * blocks / 3;
    const size_t at0 = m_deviceBlocks - cut1;
    const size_t at1 = 3000;
    const size_t at2 = 17;
    writeBlocks(at0, bytes.substr(0, cut1 * kBlock));
    writeBlocks(at1, bytes.substr(cut1 * kBlock, (cut2 - cut1) * kBlock));
    writeBlocks(at2, bytes.substr(cut2 * kBlock));
    ASSERT_EQ(fsync(m_fd), 0);

    const std::string map =
        writeMap(std::to_string(size) + " 4096\n3\n" + std::to_string(at0) + " " +
                 std::to_string(at0 + cut1) + "\n" + std::to_string(at1) + " " +
                 std::to_string(at1 + cut2 - cut1) + "\n" + std::to_string(at2) + " " +
                 std::to_string(at2 + blocks - cut2) + "\n");
    void* handle = nullptr;
    ASSERT_EQ(openArchiveIntoMemory(map.c_str(), &handle), 0);
    const std::string out = m_dir / "out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    for (const ZipFixtureEntry& entry : packageEntries()) {
        ASSERT_EQ(extractOneFile(handle, entry.name.c_str(), out.c_str(), 0), 0) << entry.name;
        const std::string base = entry.name.substr(entry.name.rfind('/') + 1);
        EXPECT_TRUE(ota_test::readFile(out + "/" + base) == entry.bytes) << entry.name;
    }
    EXPECT_TRUE(ota_test::isFileMapped(ota_paths::kUsrfsDevice));
    EXPECT_EQ(closeArchiveFromMemory(handle), 0);
    EXPECT_FALSE(ota_test::isFileMapped(ota_paths::kUsrfsDevice));
}

// A block device maps past its end without complaint, and the reader would
// die of SIGBUS on the first byte there: such a map is refused up front.
TEST_F(BlockMapDeviceTest, RangePastThePartitionEndIsRefused) {
    const std::vector<std::string> before = ota_test::memoryMapLines();
    const std::string last = std::to_string(m_deviceBlocks);
    MemMapping mapping;
    EXPECT_EQ(sysMapFile(writeMap("8192 4096\n1\n" + std::to_string(m_deviceBlocks - 1) + " " +
                                  std::to_string(m_deviceBlocks + 1) + "\n")
                             .c_str(),
                         &mapping),
              -1);
    EXPECT_EQ(sysMapFile(writeMap("4096 4096\n1\n" + last + " " +
                                  std::to_string(m_deviceBlocks + 1) + "\n")
                             .c_str(),
                         &mapping),
              -1);
    EXPECT_EQ(ota_test::leftoverMappings(before, ota_paths::kUsrfsDevice),
              std::vector<std::string>{});

    // The partition's last block itself is fine.
    ASSERT_EQ(sysMapFile(writeMap("4096 4096\n1\n" + std::to_string(m_deviceBlocks - 1) + " " +
                                  last + "\n")
                             .c_str(),
                         &mapping),
              0);
    EXPECT_EQ(mapping.length, kBlock);
    sysReleaseMap(&mapping);
}

}  // namespace
