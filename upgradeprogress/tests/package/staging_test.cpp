// Staging of the installed image into part files: every byte of the source
// lands in the right part, names run aa..zz, and every refusal happens
// before a wrong or partial copy could be mistaken for a good one.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package.h"
#include "partition/test_files.h"

namespace {

using ota_test::Bytes;

constexpr unsigned long kMiB = 1048576;
constexpr unsigned long kPart = ota_format::kPartSize;

// The name of part k, counted independently of nextFile.
std::string partName(const std::string& prefix, unsigned long k) {
    return prefix + static_cast<char>('a' + k / 26) + static_cast<char>('a' + k % 26);
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                names.push_back(entry->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class StagingTest : public ::testing::Test {
protected:
    void SetUp() override {
        sourceDir_ = ota_test::makeTempDir("staging_src");
        partDir_ = ota_test::makeTempDir("staging_parts");
        prefix_ = partDir_ + "usrfs_split_part";
    }
    void TearDown() override {
        ota_test::removeTree(sourceDir_);
        ota_test::removeTree(partDir_);
    }

    std::string makeSource(unsigned long size) {
        source_ = ota_test::patternBytes(size, 5);
        std::string path = sourceDir_ + "partition";
        EXPECT_TRUE(ota_test::writeFile(path, source_));
        return path;
    }

    // Runs the staging with stdout captured into output_.
    int stage(const char* source, unsigned long size, unsigned long partSize, const char* prefix) {
        ::testing::internal::CaptureStdout();
        int result = loadOriginalSplitFile(source, size, partSize, prefix);
        output_ = ::testing::internal::GetCapturedStdout();
        return result;
    }

    // Parts 0..count-1 hold consecutive slices of the source and nothing else is in the directory.
    void expectParts(unsigned long count, unsigned long partSize, unsigned long size) {
        std::vector<std::string> expectedNames;
        for (unsigned long k = 0; k < count; ++k) {
            expectedNames.push_back(partName("usrfs_split_part", k));
            Bytes part = ota_test::readFile(partName(prefix_, k));
            unsigned long begin = k * partSize;
            unsigned long end = std::min(begin + partSize, size);
            ASSERT_EQ(part.size(), end - begin) << "part " << k;
            EXPECT_EQ(memcmp(part.data(), source_.data() + begin, part.size()), 0) << "part " << k;
        }
        EXPECT_EQ(listDir(partDir_), expectedNames);
    }

    std::string sourceDir_;
    std::string partDir_;
    std::string prefix_;
    std::string output_;
    Bytes source_;
};

struct SplitCase {
    const char* name;
    unsigned long size;
    unsigned long partSize;
    unsigned long parts;
};

class StagingSplitTest : public StagingTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(StagingSplitTest, PartsHoldConsecutiveSlicesOfTheSource) {
    const SplitCase& c = GetParam();
    std::string source = makeSource(c.size + 1000);  // the source may be longer than what is staged

    ASSERT_EQ(stage(source.c_str(), c.size, c.partSize, prefix_.c_str()), 0) << output_;

    expectParts(c.parts, c.partSize, c.size);
    EXPECT_NE(output_.find("(): splitFileNum = " + std::to_string(c.parts) + ".\n"),
              std::string::npos)
        << output_;
    EXPECT_NE(output_.find("(): outFileName: " + prefix_ + "aa.\n"), std::string::npos) << output_;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StagingSplitTest,
    ::testing::Values(SplitCase{"FiveWholeParts", 5 * kPart, kPart, 5},
                      SplitCase{"OneByteIntoASixth", 5 * kPart + 1, kPart, 6},
                      SplitCase{"UnderOneChunk", 700000, kPart, 1},
                      SplitCase{"PartsAcrossChunkEdges", 3 * kMiB + 5, kMiB + 7, 3},
                      SplitCase{"SeveralPartsPerChunk", 2 * kMiB + 3, 300000, 7},
                      SplitCase{"AllSuffixes", 676 * 16, 16, 676}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST_F(StagingTest, MoreThanAllSuffixesIsRefusedBeforeAnyPart) {
    std::string source = makeSource(677 * 16);
    EXPECT_EQ(stage(source.c_str(), 677 * 16, 16, prefix_.c_str()), 1);
    EXPECT_NE(output_.find("(): output file suffixes exhausted.\n"), std::string::npos) << output_;
    EXPECT_TRUE(listDir(partDir_).empty());
}

TEST_F(StagingTest, ShortSourceFailsAfterTheFullParts) {
    std::string source = makeSource(2 * kMiB + kMiB / 2);
    EXPECT_EQ(stage(source.c_str(), 5 * kMiB, kMiB, prefix_.c_str()), 1);
    EXPECT_NE(output_.find("(): fp read err ! error:"), std::string::npos) << output_;
    expectParts(2, kMiB, 2 * kMiB);
}

TEST_F(StagingTest, MissingSourceIsReported) {
    std::string source = sourceDir_ + "absent";
    EXPECT_EQ(stage(source.c_str(), kMiB, kPart, prefix_.c_str()), 1);
    EXPECT_NE(output_.find("(): open fp error...fileName = " + source +
                           ", error:No such file or directory(2).\n"),
              std::string::npos)
        << output_;
    EXPECT_TRUE(listDir(partDir_).empty());
}

TEST_F(StagingTest, UncreatablePartIsReported) {
    std::string source = makeSource(kMiB);
    std::string prefix = partDir_ + "missing_dir/part";
    EXPECT_EQ(stage(source.c_str(), kMiB, kPart, prefix.c_str()), 1);
    EXPECT_NE(
        output_.find("(): open " + prefix + "aa failed, error:No such file or directory(2).\n"),
        std::string::npos)
        << output_;
}

TEST_F(StagingTest, BadParametersAreRefused) {
    std::string source = makeSource(1000);
    const struct {
        const char* source;
        unsigned long size;
        unsigned long partSize;
        const char* prefix;
    } cases[] = {
        {nullptr, 1000, kPart, prefix_.c_str()},
        {source.c_str(), 1000, kPart, nullptr},
        {source.c_str(), 0, kPart, prefix_.c_str()},
        {source.c_str(), 1000, 0, prefix_.c_str()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stage(c.source, c.size, c.partSize, c.prefix), 1);
        EXPECT_NE(output_.find("(): loadOriginalSplitFile: error param.\n"), std::string::npos)
            << output_;
    }
    EXPECT_TRUE(listDir(partDir_).empty());
}

// The name buffer holds 256 bytes: prefix, two letters and the NUL.
TEST_F(StagingTest, PrefixLimitIsTheNameBuffer) {
    std::string source = makeSource(100);
    std::string longest = partDir_ + std::string(253 - partDir_.size(), 'p');
    ASSERT_EQ(longest.size(), 253u);

    EXPECT_EQ(stage(source.c_str(), 100, kPart, (longest + "p").c_str()), 1);
    EXPECT_NE(output_.find("(): suffix too long.\n"), std::string::npos) << output_;
    EXPECT_TRUE(listDir(partDir_).empty());

    EXPECT_EQ(stage(source.c_str(), 100, kPart, longest.c_str()), 0) << output_;
    EXPECT_EQ(ota_test::readFile(longest + "aa"), source_);
}

struct NextCase {
    const char* before;
    unsigned suffixLength;
    const char* after;  // nullptr: no successor, name unchanged
};

class NextFileTest : public ::testing::TestWithParam<NextCase> {};

TEST_P(NextFileTest, AdvancesTheSuffixInPlace) {
    const NextCase& c = GetParam();
    char name[256];
    snprintf(name, sizeof name, "%s", c.before);

    char* result = nextFile(name, c.suffixLength);

    if (c.after != nullptr) {
        EXPECT_EQ(result, name);
        EXPECT_STREQ(name, c.after);
    } else {
        EXPECT_EQ(result, nullptr);
        EXPECT_STREQ(name, c.before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NextFileTest,
    ::testing::Values(NextCase{"part_aa", 2, "part_ab"}, NextCase{"part_az", 2, "part_ba"},
                      NextCase{"part_yz", 2, "part_za"}, NextCase{"part_zy", 2, "part_zz"},
                      NextCase{"part_zz", 2, nullptr}, NextCase{"zz", 2, nullptr},
                      NextCase{"zaz", 2, "zba"},  // the prefix never changes
                      NextCase{"p_azz", 3, "p_baa"}, NextCase{"z", 2, nullptr}));

TEST(NextFileSequence, RunsThroughAll676NamesInOrder) {
    char name[] = "x_aa";
    std::vector<std::string> seen{name};
    while (nextFile(name, 2) != nullptr) {
        seen.push_back(name);
    }
    ASSERT_EQ(seen.size(), 676u);
    for (unsigned long k = 0; k < seen.size(); ++k) {
        EXPECT_EQ(seen[k], partName("x_", k));
    }
}

}  // namespace
