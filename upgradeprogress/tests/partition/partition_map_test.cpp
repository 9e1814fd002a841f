// Which eMMC device a partition name selects. A wrong answer writes an image
// into another partition, so every ambiguous spelling is pinned down here.
#include <string>

#include <gtest/gtest.h>

#include "partition.h"

namespace {

struct MapCase {
    const char* name;
    const char* device;  // nullptr: no partition matches
};

class PartitionMapTest : public ::testing::TestWithParam<MapCase> {};

TEST_P(PartitionMapTest, NameSelectsDeviceOrLeavesItAlone) {
    const MapCase& c = GetParam();
    const std::string untouched = "caller's own text";
    std::string device = untouched;

    int found = getLoadEmmcNum(c.name, device);

    if (c.device != nullptr) {
        EXPECT_EQ(found, 1);
        EXPECT_EQ(device, c.device);
    } else {
        EXPECT_EQ(found, 0);
        EXPECT_EQ(device, untouched);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, PartitionMapTest,
    ::testing::Values(
        MapCase{"tvservice", "/dev/mmcblk0p18"}, MapCase{"usrfs", "/dev/mmcblk0p26"},
        MapCase{"serialsdata", "/dev/mmcblk0p34"}, MapCase{"optfs", "/dev/mmcblk0p28"},
        // Anywhere in the text.
        MapCase{"usrfs_split_partaa", "/dev/mmcblk0p26"},
        MapCase{"new_usrfs_image", "/dev/mmcblk0p26"}, MapCase{"imageusrfs", "/dev/mmcblk0p26"},
        MapCase{"/tmp/patch_file/optfs.img", "/dev/mmcblk0p28"},
        // Several names: the earlier table row wins, not the earlier position.
        MapCase{"optfs_serialsdata", "/dev/mmcblk0p34"},
        MapCase{"serialsdata_optfs", "/dev/mmcblk0p34"},
        MapCase{"optfs_usrfs_tvservice", "/dev/mmcblk0p18"},
        MapCase{"serialsdata_usrfs", "/dev/mmcblk0p26"},
        // Case-sensitive, whole words only.
        MapCase{"USRFS", nullptr}, MapCase{"Optfs", nullptr}, MapCase{"usr_fs", nullptr},
        MapCase{"tvservic", nullptr}, MapCase{"kernel", nullptr}, MapCase{"", nullptr}));

}  // namespace
