// The builder refuses list lines the set's reader would take apart wrongly,
// instead of truncating them.
#include <gtest/gtest.h>

#include "list_line.h"
#include "package.h"

namespace {

mpp::ListLine_T goodLine() {
    mpp::ListLine_T line;
    line.upgradMode = ota_format::kUpdate;
    line.fileName = "usrfs_split_partab";
    line.checkSum = "0123456789abcdef0123456789abcdef";
    line.offset = 10485760;
    return line;
}

TEST(ListLine, FormatIsFiveFieldsWithTheNumberLast) {
    EXPECT_EQ(mpp::formatListLine(goodLine()),
              "update;usrfs_split_partab;0123456789abcdef0123456789abcdef;0;10485760\n");
    EXPECT_EQ(mpp::checkListLine(goodLine()), "");
}

struct BadLine {
    const char* label;
    void (*spoil)(mpp::ListLine_T&);
    const char* reason;
};

const BadLine kBadLines[] = {
    {"NameOf30", [](mpp::ListLine_T& l) { l.fileName = std::string(30, 'u'); }, "item name"},
    {"SeparatorInName", [](mpp::ListLine_T& l) { l.fileName = "usrfs;x"; }, "separator"},
    {"LineBreakInName", [](mpp::ListLine_T& l) { l.fileName = "usrfs\nx"; }, "line break"},
    {"EmptyName", [](mpp::ListLine_T& l) { l.fileName.clear(); }, "empty"},
    {"ChecksumOf38", [](mpp::ListLine_T& l) { l.checkSum = std::string(38, 'a'); }, "checksum"},
    {"WordOf8", [](mpp::ListLine_T& l) { l.upgradMode = "updating"; }, "action word"},
    {"OffsetOf2GiB", [](mpp::ListLine_T& l) { l.offset = 2147483648LL; }, "offset"},
    {"NegativeSize", [](mpp::ListLine_T& l) { l.fileSize = -1; }, "size"},
};

class ListLineRefusal : public ::testing::TestWithParam<BadLine> {};

TEST_P(ListLineRefusal, GivesTheReason) {
    mpp::ListLine_T line = goodLine();
    GetParam().spoil(line);
    const std::string reason = mpp::checkListLine(line);
    EXPECT_NE(reason.find(GetParam().reason), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Builder, ListLineRefusal, ::testing::ValuesIn(kBadLines),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ListLine, LimitsThemselvesAreAccepted) {
    mpp::ListLine_T line = goodLine();
    line.fileName = std::string(ota_format::kNameMax, 'u');
    line.checkSum = std::string(ota_format::kChecksumMax, 'a');
    line.upgradMode = std::string(ota_format::kModeMax, 'c');
    line.fileSize = 2147483647LL;
    line.offset = 2147483647LL;
    EXPECT_EQ(mpp::checkListLine(line), "");
}

TEST(PartName, SuffixRunsFromAaToZz) {
    EXPECT_EQ(mpp::partName("usrfs", 0), "usrfs_split_partaa");
    EXPECT_EQ(mpp::partName("usrfs", 27), "usrfs_split_partbb");
    EXPECT_EQ(mpp::partName("serialsdata", ota_format::kMaxParts - 1), "serialsdata_split_partzz");
    EXPECT_EQ(mpp::partName("usrfs", ota_format::kMaxParts), "");
}

}  // namespace
