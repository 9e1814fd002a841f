// The MD5 check on a partition's leading bytes, the way a "total" item asks
// whether the partition already holds its new image. The sandbox provides
// the partitions as real loop block devices; md5sum reads them as reference.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "ground.h"
#include "partition.h"
#include "partition/test_files.h"

namespace {

constexpr int kMiB = 1048576;

class Md5DeviceTest : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() {
        struct stat st {};
        ASSERT_EQ(stat(ota_paths::kOptfsDevice, &st), 0) << "runs only inside the sandbox runner";
        ASSERT_TRUE(S_ISBLK(st.st_mode));
        ota_test::writeRange(ota_paths::kOptfsDevice, 0, ota_test::patternBytes(3 * kMiB + 17, 21));
    }
};

TEST_P(Md5DeviceTest, LeadingBytesAgreeWithMd5sum) {
    const std::string device = ota_paths::kOptfsDevice;
    int length = GetParam();
    std::string expected =
        length == 0 ? ota_test::md5sumOf("cat " + device)
                    : ota_test::md5sumOf("head -c " + std::to_string(length) + " " + device);
    std::string longer = ota_test::md5sumOf("head -c " + std::to_string(length + 1) + " " + device);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(checkMD5Sum(device, expected, length), 0);
    if (length != 0) {
        EXPECT_EQ(checkMD5Sum(device, longer, length), 1) << "one byte too many was hashed";
    }
    ::testing::internal::GetCapturedStdout();
}

// 0 hashes the whole partition, as a "total" line with offset 0 asks.
INSTANTIATE_TEST_SUITE_P(Lengths, Md5DeviceTest,
                         ::testing::Values(128, 300, kMiB, kMiB + 1, 3 * kMiB + 17, 0));

// What the writer puts into a partition is what the check then finds there.
TEST(Md5DeviceRoundTrip, WrittenImageIsRecognisedInThePartition) {
    std::string dir = ota_test::makeTempDir("md5dev");
    std::string image = dir + "serialsdata.img";
    ota_test::Bytes bytes = ota_test::patternBytes(2 * kMiB + 333, 22);
    ASSERT_TRUE(ota_test::writeFile(image, bytes));
    std::string expected = ota_test::md5sumOf("cat " + image);

    ::testing::internal::CaptureStdout();
    ASSERT_EQ(updateModuleBlock(image, "serialsdata", 0), 0);
    EXPECT_EQ(checkMD5Sum(ota_paths::kSerialsdataDevice, expected, static_cast<int>(bytes.size())),
              0);
    ::testing::internal::GetCapturedStdout();
    ota_test::removeTree(dir);
}

}  // namespace
