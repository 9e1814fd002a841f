// The boot-flag partition on a real block device: /dev/mmcblk0p4 is a loop
// device over the set's image file, so a byte the boot stage would read is
// checked both through the device and in the image itself. Runs only inside
// the sandbox runner.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ground.h"

namespace {

constexpr long kPartitionBytes = 1L << 20;
constexpr long kPatternBytes = 1024;

// PID 1 is the sandbox's own init: /dev/mmcblk0p4 is a loop device of the set.
bool insideSandbox() {
    std::ifstream comm("/proc/1/comm");
    std::string init;
    std::getline(comm, init);
    return init == "sandbox-init" && getenv("UPGRADE_SANDBOX_SET") != nullptr;
}

std::string imageFile() {
    return std::string(getenv("UPGRADE_SANDBOX_SET")) + "/emmc/mmcblk0p4.img";
}

std::vector<unsigned char> readBytes(const std::string& path, long offset, size_t count) {
    std::vector<unsigned char> data(count);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    ssize_t n = pread(fd, data.data(), count, offset);
    close(fd);
    if (n != static_cast<ssize_t>(count)) return {};
    return data;
}

bool writeBytes(const std::string& path, long offset, const std::vector<unsigned char>& data) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    bool ok = pwrite(fd, data.data(), data.size(), offset) == static_cast<ssize_t>(data.size()) &&
              fsync(fd) == 0;
    close(fd);
    return ok;
}

unsigned char patternAt(long offset) {
    return static_cast<unsigned char>(offset * 7 + 3);
}

class BootFlagsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideSandbox()) {
            GTEST_FAIL() << "run through the sandbox runner: this test writes /dev/mmcblk0p4";
        }
        // A partition whose every byte is known, so that a stray write shows.
        std::vector<unsigned char> pattern(kPatternBytes);
        for (long i = 0; i < kPatternBytes; ++i)
            pattern[i] = patternAt(i);
        ASSERT_TRUE(writeBytes(ota_paths::kFlagDevice, 0, pattern));
    }

    // The byte as the device shows it and as the eMMC stand-in holds it.
    void expectByte(long offset, unsigned char expected) {
        std::vector<unsigned char> device = readBytes(ota_paths::kFlagDevice, offset, 1);
        std::vector<unsigned char> image = readBytes(imageFile(), offset, 1);
        ASSERT_EQ(device.size(), 1u);
        ASSERT_EQ(image.size(), 1u);
        EXPECT_EQ(device[0], expected) << "device byte " << offset;
        EXPECT_EQ(image[0], expected) << "image byte " << offset;
    }
};

TEST_F(BootFlagsTest, SuccessFlagsLandOnTheirBytesAndNowhereElse) {
    struct Flag {
        long offset;
        unsigned char value;
    };
    // The success ending's order.
    const Flag flags[] = {
        {kFlagOffset4, 0x55}, {kFlagOffset8, 0xAA}, {kFlagOffset5, 0xAA}, {kFlagOffset7, 0x55}};
    for (const Flag& flag : flags) {
        ASSERT_EQ(writeEmmcUpgradeFlag(ota_paths::kFlagDevice, flag.offset, flag.value), 0);
        // On the eMMC the moment the call returns, not at some later flush.
        std::vector<unsigned char> image = readBytes(imageFile(), flag.offset, 1);
        ASSERT_EQ(image.size(), 1u);
        EXPECT_EQ(image[0], flag.value) << "offset " << flag.offset << " not durable on return";
    }
    expectByte(4, 0x55);
    expectByte(5, 0xAA);
    expectByte(7, 0x55);
    expectByte(8, 0xAA);
    for (long untouched : {0L, 1L, 2L, 3L, 6L, 9L, 511L, 512L})
        expectByte(untouched, patternAt(untouched));
    EXPECT_EQ(readEmmcUpgradFlag(ota_paths::kFlagDevice, 4), 0x55);
    EXPECT_EQ(readEmmcUpgradFlag(ota_paths::kFlagDevice, 5), 0xAA);
    EXPECT_EQ(readEmmcUpgradFlag(ota_paths::kFlagDevice, 7), 0x55);
    EXPECT_EQ(readEmmcUpgradFlag(ota_paths::kFlagDevice, 8), 0xAA);
}

struct RoundTrip {
    long offset;
    unsigned char value;
};

class FlagRoundTripTest : public BootFlagsTest, public ::testing::WithParamInterface<RoundTrip> {};

// Every value reads back as 0..255 (never sign-extended), at the flag bytes
// and at the partition's last byte.
TEST_P(FlagRoundTripTest, WrittenByteReadsBackAsItsValue) {
    const RoundTrip& c = GetParam();
    ASSERT_EQ(writeEmmcUpgradeFlag(ota_paths::kFlagDevice, c.offset, c.value), 0);
    EXPECT_EQ(readEmmcUpgradFlag(ota_paths::kFlagDevice, c.offset), static_cast<int>(c.value));
    expectByte(c.offset, c.value);
    if (c.offset > 0 && c.offset < kPatternBytes) expectByte(c.offset - 1, patternAt(c.offset - 1));
    if (c.offset + 1 < kPatternBytes) expectByte(c.offset + 1, patternAt(c.offset + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Values, FlagRoundTripTest,
    ::testing::Values(RoundTrip{kFlagRunningChain, 0x00}, RoundTrip{kFlagRunningChain, 0x01},
                      RoundTrip{kFlagRunningChain, 0x19}, RoundTrip{kFlagOffset4, 0x55},
                      RoundTrip{kFlagOffset5, 0xAA}, RoundTrip{kFlagOffset8, 0xFF},
                      RoundTrip{kPartitionBytes - 1, 0x80}));

TEST_F(BootFlagsTest, RebootMarkerIsTheTextAndItsZeroByteAt512) {
    ASSERT_EQ(setRebootFlag_init(), 0);
    const unsigned char marker[] = {0x72, 0x65, 0x62, 0x6F, 0x6F, 0x74, 0x00};
    for (long i = 0; i < 7; ++i)
        expectByte(kRebootMarkerOffset + i, marker[i]);
    for (long untouched : {0L, 4L, 5L, 7L, 8L, 511L, 519L, 520L})
        expectByte(untouched, patternAt(untouched));
}

TEST_F(BootFlagsTest, RebootMarkerFailsWithoutItsDevice) {
    const std::string moved = std::string(ota_paths::kFlagDeviceBlock) + ".away";
    ASSERT_EQ(rename(ota_paths::kFlagDeviceBlock, moved.c_str()), 0);
    EXPECT_EQ(setRebootFlag_init(), -1);
    ASSERT_EQ(rename(moved.c_str(), ota_paths::kFlagDeviceBlock), 0);
    expectByte(kRebootMarkerOffset, patternAt(kRebootMarkerOffset));
}

struct Failure {
    const char* name;
    const char* path;
    long offset;
    const char* readMessage;  // what the read logs, after the "file:line:function(): " prefix
    const char* writeMessage;
};

class FlagFailureTest : public BootFlagsTest, public ::testing::WithParamInterface<Failure> {};

std::string afterPrefix(const std::string& line, const char* function) {
    std::string key = std::string(":") + function + "(): ";
    size_t at = line.find(key);
    return at == std::string::npos ? "<no " + key + " prefix in: " + line + ">"
                                   : line.substr(at + key.size());
}

TEST_P(FlagFailureTest, ReadGivesFFAndWriteGivesOneAfterLoggingWhy) {
    const Failure& c = GetParam();
    ::testing::internal::CaptureStdout();
    int read = readEmmcUpgradFlag(c.path, c.offset);
    fflush(stdout);
    std::string readLog = ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStdout();
    int write = writeEmmcUpgradeFlag(c.path, c.offset, 0x55);
    fflush(stdout);
    std::string writeLog = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(read, 0xFF);
    EXPECT_EQ(write, 1);
    EXPECT_EQ(afterPrefix(readLog, "readEmmcUpgradFlag"), c.readMessage);
    EXPECT_EQ(afterPrefix(writeLog, "writeEmmcUpgradeFlag"), c.writeMessage);
    EXPECT_NE(readLog.find("boot_flags.cpp:"), std::string::npos) << readLog;
    // The partition and its image keep their size and their bytes.
    struct stat st {};
    ASSERT_EQ(stat(imageFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kPartitionBytes);
    expectByte(kFlagOffset4, patternAt(kFlagOffset4));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlagFailureTest,
    ::testing::Values(
        Failure{"missing_device", "/dev/mmcblk0p99", kFlagOffset4, "open failed: errno = 2..\n",
                "open failed: errno = 2..\n"},
        // At the end the seek still succeeds; nothing is there to read and
        // the device has no room to write.
        Failure{"offset_at_the_end", ota_paths::kFlagDevice, kPartitionBytes,
                "read error: ret = 0..errno = 0.\n", "write: err = -1, errno = 28.\n"},
        Failure{"offset_beyond_the_end", ota_paths::kFlagDevice, kPartitionBytes + 1,
                "lseek error:err = -1..errno = 22.\n", "lseek error: err = -1..errno = 22.\n"},
        Failure{"negative_offset", ota_paths::kFlagDevice, -1,
                "lseek error:err = -1..errno = 22.\n", "lseek error: err = -1..errno = 22.\n"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

}  // namespace
