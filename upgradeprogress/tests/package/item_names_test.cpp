// An item's files are a work directory followed by its name. A name that is
// empty, "." or "..", or that holds a '/', would reach files outside the
// work directories: every action refuses such an item before touching any.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "package.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

using Handler = int (*)(CongfigItemValue_T);

struct Action {
    const char* word;
    Handler handler;
};

const Action kActions[] = {
    {"create", handleCreateBspatch},       {"update", handleUpdateBspatch},
    {"delete", handleDeleteBspatch},       {"total", handleTotalBspatch},
    {"entotal", handleEntireTotalBspatch}, {"chksync", handleChkSyncBspatch},
};

// Files one level above the work directories, where "../" names would land.
const char* const kSentinels[] = {"/OAD/usrfs_sentinel", "/tmp/usrfs_sentinel"};

class ItemNames : public ::testing::TestWithParam<std::tuple<int, std::string>> {
protected:
    void SetUp() override {
        resetRun();
        writePackage({itemEntry("usrfs_split_partaa", "a")});
        openPackage();
        for (const char* sentinel : kSentinels) {
            writeFile(sentinel, "sentinel");
        }
        writeDevice(deviceOf("usrfs"), 0, makeImage(kMiB, 5));
        m_totalFileName = "usrfs";
        isNeedCheck = true;
        isUpgraded = false;
    }
};

TEST_P(ItemNames, AreRefusedBeforeAnyFileIsTouched) {
    const Action& action = kActions[std::get<0>(GetParam())];
    const std::string& name = std::get<1>(GetParam());
    LogCapture capture;
    const int result = action.handler(item(action.word, name, md5Hex("sentinel"), kMiB, 0));
    const std::string log = capture.stop();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(countOf(log, "Item name [" + name + "] is not a plain file name, refused."), 1);
    for (const char* sentinel : kSentinels) {
        EXPECT_EQ(readFile(sentinel), "sentinel") << sentinel;
    }
    EXPECT_FALSE(exists("/tmp/usrfs_sentinel_split_partaa"));
    EXPECT_EQ(countOf(log, "to be programmed"), 0);
    EXPECT_TRUE(readDevice(deviceOf("usrfs"), 0, kMiB) == makeImage(kMiB, 5));
}

INSTANTIATE_TEST_SUITE_P(EveryAction, ItemNames,
                         ::testing::Combine(::testing::Range(0, 6),
                                            ::testing::Values("", ".", "..", "../usrfs_sentinel",
                                                              "usrfs/../x")));

}  // namespace
