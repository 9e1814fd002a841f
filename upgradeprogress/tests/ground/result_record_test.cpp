// The record of how an upgrade ended: read back as written, replaced whole,
// a line a cut left half written is no line, and a link where the record or
// its directory belongs is never written through.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "ground.h"
#include "testing/files.h"

namespace {

using ota_test::readFile;
using ota_test::writeFile;

class ResultRecord : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "record.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        path_ = root_ + "/upgrade/last_result";
    }
    void TearDown() override { removeTree(root_.c_str()); }

    std::string root_;
    std::string path_;
};

TEST_F(ResultRecord, ReadsBackWhatWasWrittenInOrderAndReplacesItWhole) {
    ResultRecord_T record;
    setResultValue(record, "result", "in progress");
    setResultValue(record, "starts", "1");
    setResultValue(record, "message", "two\nlines");
    ASSERT_EQ(writeResultRecord(path_.c_str(), record), 0);  // makes its directory
    EXPECT_EQ(readFile(path_), "result=in progress\nstarts=1\nmessage=two lines\n");

    setResultValue(record, "result", "upgraded");
    dropResultValue(record, "message");
    ASSERT_EQ(writeResultRecord(path_.c_str(), record), 0);
    const ResultRecord_T back = readResultRecord(path_.c_str());
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(resultValue(back, "result"), "upgraded");
    EXPECT_EQ(resultValue(back, "starts"), "1");
    EXPECT_EQ(resultValue(back, "message"), "");
    EXPECT_FALSE(ota_test::pathExists(path_ + ".new"));
}

TEST_F(ResultRecord, AHalfWrittenLastLineIsNoLine) {
    ASSERT_EQ(mkdir((root_ + "/upgrade").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(path_, "result=failed\nstarts=3\nmessage=cut he"));
    const ResultRecord_T back = readResultRecord(path_.c_str());
    EXPECT_EQ(resultValue(back, "starts"), "3");
    EXPECT_EQ(resultValue(back, "message"), "");
}

TEST_F(ResultRecord, ALinkInPlaceOfTheRecordOrItsDirectoryIsNotFollowed) {
    ASSERT_EQ(mkdir((root_ + "/elsewhere").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(root_ + "/elsewhere/keep", "keep"));
    ResultRecord_T record;
    setResultValue(record, "result", "refused");

    ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), (root_ + "/upgrade").c_str()), 0);
    EXPECT_NE(writeResultRecord(path_.c_str(), record), 0);
    EXPECT_FALSE(ota_test::pathExists(root_ + "/elsewhere/last_result"));

    ASSERT_EQ(unlink((root_ + "/upgrade").c_str()), 0);
    ASSERT_EQ(mkdir((root_ + "/upgrade").c_str(), 0755), 0);
    ASSERT_EQ(symlink((root_ + "/elsewhere/keep").c_str(), path_.c_str()), 0);
    ASSERT_EQ(writeResultRecord(path_.c_str(), record), 0);
    EXPECT_EQ(readFile(root_ + "/elsewhere/keep"), "keep");
    EXPECT_EQ(resultValue(readResultRecord(path_.c_str()), "result"), "refused");
}

}  // namespace
