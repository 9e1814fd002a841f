// The MD5 check against the system's md5sum: whole files, leading stretches
// of every length that matters to the 128-byte reads, and the exact texts a
// mismatch must refuse and report.
#include <string>

#include <gtest/gtest.h>

#include "partition.h"
#include "partition/test_files.h"

namespace {

using ota_test::Bytes;

class Md5Test : public ::testing::Test {
protected:
    void SetUp() override { dir_ = ota_test::makeTempDir("md5"); }
    void TearDown() override { ota_test::removeTree(dir_); }

    std::string makeFile(size_t size, uint32_t seed) {
        std::string path = dir_ + "file_" + std::to_string(size) + "_" + std::to_string(seed);
        EXPECT_TRUE(ota_test::writeFile(path, ota_test::patternBytes(size, seed)));
        return path;
    }

    std::string dir_;
};

// The checksum md5sum gives for what a length selects: 0 the whole file,
// a negative length nothing at all.
std::string referenceMd5(const std::string& path, int length) {
    if (length == 0) {
        return ota_test::md5sumOf("cat '" + path + "'");
    }
    int take = length < 0 ? 0 : length;
    return ota_test::md5sumOf("head -c " + std::to_string(take) + " '" + path + "'");
}

struct LengthCase {
    size_t fileSize;
    int length;
};

class Md5LengthTest : public Md5Test, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(Md5LengthTest, AgreesWithMd5sumAndRejectsNeighbours) {
    const LengthCase& c = GetParam();
    std::string path = makeFile(c.fileSize, 7);
    std::string expected = referenceMd5(path, c.length);
    ASSERT_EQ(expected.size(), 32u);

    ::testing::internal::CaptureStdout();
    int result = checkMD5Sum(path, expected, c.length);
    std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output, "") << "a match is silent";

    // One byte more or less is a different checksum: the length is honoured
    // exactly (unless the file ends first, or nothing is hashed anyway).
    if (c.length > 0 && static_cast<size_t>(c.length) < c.fileSize) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(checkMD5Sum(path, referenceMd5(path, c.length + 1), c.length), 1);
        EXPECT_EQ(
            checkMD5Sum(path, referenceMd5(path, c.length - 1 == 0 ? -1 : c.length - 1), c.length),
            1);
        ::testing::internal::GetCapturedStdout();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Md5LengthTest,
    ::testing::Values(LengthCase{0, 0},       // empty input
                      LengthCase{1000, 0},    // whole file
                      LengthCase{128, 0},     // exactly one read
                      LengthCase{129, 0},     // one byte past a read
                      LengthCase{1000, 128},  // exactly one read of a longer file
                      LengthCase{1000, 300},  // 128 + 128 + 44
                      LengthCase{1000, 50},   // less than one read
                      LengthCase{1000, 1},
                      LengthCase{1000, 5000},  // longer than the file: all of it
                      LengthCase{1000, 1000}, LengthCase{1000, -1},    // nothing
                      LengthCase{1000, -300}, LengthCase{3145805, 0},  // past the stream buffer
                      LengthCase{3145805, 2097155}));

struct TextCase {
    const char* name;
    std::string (*spoil)(const std::string& right);
};

class Md5TextTest : public Md5Test, public ::testing::WithParamInterface<TextCase> {};

// A checksum text that only looks like the right one fails, and the three
// lines name the computed text, the expected text and the file, in order.
TEST_P(Md5TextTest, NearMissTextFailsWithThreeMessages) {
    std::string path = makeFile(1000, 11);
    std::string right = referenceMd5(path, 0);
    std::string expected = GetParam().spoil(right);
    ASSERT_NE(expected, right);

    ::testing::internal::CaptureStdout();
    int result = checkMD5Sum(path, expected, 0);
    std::string output = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 1);
    size_t computed = output.find("(): fileMd is " + right + " .\n");
    // The report prints the expected text as C text, up to any NUL in it.
    size_t given = output.find("(): md5Sum is " + std::string(expected.c_str()) + " .\n");
    size_t named = output.find("(): " + path + " checksum is failed.\n");
    ASSERT_NE(computed, std::string::npos) << output;
    ASSERT_NE(given, std::string::npos) << output;
    ASSERT_NE(named, std::string::npos) << output;
    EXPECT_LT(computed, given);
    EXPECT_LT(given, named);
}

std::string upperCase(const std::string& s) {
    std::string out = s;
    for (char& ch : out) {
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    }
    return out;
}
std::string trailingBlank(const std::string& s) {
    return s + " ";
}
std::string trailingNewline(const std::string& s) {
    return s + "\n";
}
std::string leadingBlank(const std::string& s) {
    return " " + s;
}
std::string trailingAfterNul(const std::string& s) {
    return s + std::string("\0x", 2);
}
std::string lastDigitOff(const std::string& s) {
    return s.substr(0, 31) + (s[31] == '0' ? "1" : "0");
}
std::string shortened(const std::string& s) {
    return s.substr(0, 31);
}
std::string empty(const std::string&) {
    return std::string();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Md5TextTest,
    ::testing::Values(TextCase{"UpperCase", &upperCase}, TextCase{"TrailingBlank", &trailingBlank},
                      TextCase{"TrailingNewline", &trailingNewline},
                      TextCase{"LeadingBlank", &leadingBlank},
                      TextCase{"TrailingAfterNul", &trailingAfterNul},
                      TextCase{"LastDigitOff", &lastDigitOff}, TextCase{"Shortened", &shortened},
                      TextCase{"Empty", &empty}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST_F(Md5Test, MissingFileIsReportedAndFails) {
    std::string path = dir_ + "absent";
    ::testing::internal::CaptureStdout();
    int result = checkMD5Sum(path, "d41d8cd98f00b204e9800998ecf8427e", 0);
    std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_NE(output.find("(): Open file [" + path + "] failed.\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("checksum is failed"), std::string::npos);
}

}  // namespace
