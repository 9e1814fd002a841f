// The language choice reads the set's own language file, so these cases run on
// a fresh simulated set: each writes the file, asks for the language and
// checks the row of texts and the font a person would get.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ground.h"
#include "display.h"

namespace {

const std::string kLatinFont = "/usr/bin/upgradeprogress/ukai.ttc";

void writeLanguageFile(const std::string& content) {
    ASSERT_TRUE(mkdir("/var/local/upgrade", 0755) == 0 || errno == EEXIST);
    FILE* f = fopen(ota_paths::kLanguageFile, "w");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
    ASSERT_EQ(fclose(f), 0);
}

struct LanguageCase {
    const char* fileContent;
    int row;
    const char* font;
};

void PrintTo(const LanguageCase& c, std::ostream* os) {
    *os << '"' << c.fileContent << "\" -> " << c.row;
}

class LanguageFile : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageFile, SelectsRowAndFont) {
    const LanguageCase& c = GetParam();
    writeLanguageFile(c.fileContent);
    memset(fontsBank, 'x', sizeof(fontsBank));
    testing::internal::CaptureStdout();
    int row = get_languageID();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(row, c.row);
    EXPECT_EQ(std::string(fontsBank), c.font);
    EXPECT_NE(out.find(", ret = " + std::to_string(c.row) + ", fontsNum : " + c.font + " .\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
}

// Every code of the table, as the set's settings write it (one word and a
// line break), in row order.
INSTANTIATE_TEST_SUITE_P(
    EveryCode, LanguageFile,
    ::testing::Values(LanguageCase{"eng\n", 0, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"fre\n", 1, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"spa\n", 2, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"por\n", 3, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"ara\n", 4, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"rus\n", 5, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"chi\n", 6, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"zho\n", 7, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"vie\n", 8, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"tha\n", 9, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"bur\n", 10, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"uzb\n", 11, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"hin\n", 12, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"ukr\n", 13, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"mal\n", 14, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"hbr\n", 15, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"ger\n", 16, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"ita\n", 17, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"swe\n", 18, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"dan\n", 19, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"fin\n", 20, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"nor\n", 21, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"cze\n", 22, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"slk\n", 23, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"pol\n", 24, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"hun\n", 25, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"bul\n", 26, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"tur\n", 27, "/usr/bin/upgradeprogress/ukai.ttc"},
                      LanguageCase{"per\n", 28, "/var/local/upgrade/uming.ttc"},
                      LanguageCase{"ind\n", 29, "/usr/bin/upgradeprogress/ukai.ttc"}));

INSTANTIATE_TEST_SUITE_P(
    Unusual, LanguageFile,
    ::testing::Values(
        // No line break, leading white space: still the first word.
        LanguageCase{"ita", 17, "/var/local/upgrade/uming.ttc"},
        LanguageCase{"  \n\tger  \n", 16, "/usr/bin/upgradeprogress/ukai.ttc"},
        // Empty file: no row, and the empty code is found in the first list.
        LanguageCase{"", 0, "/usr/bin/upgradeprogress/ukai.ttc"},
        // A fragment of a code: no row, but it is a substring of the list.
        LanguageCase{"en\n", 0, "/usr/bin/upgradeprogress/ukai.ttc"},
        // Codes are lower case: capitals select no row and miss the list.
        LanguageCase{"ENG\n", 0, "/var/local/upgrade/uming.ttc"},
        // Only the first word counts.
        LanguageCase{"fre spa\n", 1, "/usr/bin/upgradeprogress/ukai.ttc"},
        // A word longer than a code is read no further than four characters:
        // it can select no row and cannot spill past the code buffer.
        LanguageCase{"englishenglishenglishenglishenglishenglishenglishenglishenglish\n", 0,
                     "/var/local/upgrade/uming.ttc"},
        // Four characters that begin with a real code are not that code.
        LanguageCase{"chix\n", 0, "/var/local/upgrade/uming.ttc"}));

TEST(LanguageFileMissing, FallsBackToEnglishAndFirstFont) {
    unlink(ota_paths::kLanguageFile);
    memset(fontsBank, 'x', sizeof(fontsBank));
    testing::internal::CaptureStdout();
    int row = get_languageID();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(row, 0);
    EXPECT_EQ(std::string(fontsBank), kLatinFont);
    EXPECT_NE(out.find("(): open /var/local/upgrade/am_tv_lang failed.\n"), std::string::npos)
        << out;
    // Nothing else is logged on this path.
    EXPECT_EQ(out.find("language = "), std::string::npos) << out;
}

// Other programs write /var/local: whatever stands at the language file's
// name that is not a regular file counts as no file, at once. A pipe that
// nobody writes must not hold the set on a black screen; the test would hang
// (and time out) if the read waited on it.
enum class OddEntry { Fifo, Directory, DanglingLink };

class LanguageFileOdd : public ::testing::TestWithParam<OddEntry> {};

TEST_P(LanguageFileOdd, CountsAsNoLanguageFile) {
    ASSERT_TRUE(mkdir("/var/local/upgrade", 0755) == 0 || errno == EEXIST);
    unlink(ota_paths::kLanguageFile);
    switch (GetParam()) {
        case OddEntry::Fifo:
            ASSERT_EQ(mkfifo(ota_paths::kLanguageFile, 0644), 0);
            break;
        case OddEntry::Directory:
            ASSERT_EQ(mkdir(ota_paths::kLanguageFile, 0755), 0);
            break;
        case OddEntry::DanglingLink:
            ASSERT_EQ(symlink("/var/local/upgrade/nowhere", ota_paths::kLanguageFile), 0);
            break;
    }
    memset(fontsBank, 'x', sizeof(fontsBank));
    testing::internal::CaptureStdout();
    const int row = get_languageID();
    const std::string out = testing::internal::GetCapturedStdout();
    rmdir(ota_paths::kLanguageFile);
    unlink(ota_paths::kLanguageFile);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(std::string(fontsBank), kLatinFont);
    EXPECT_NE(out.find("(): open /var/local/upgrade/am_tv_lang failed.\n"), std::string::npos)
        << out;
}

INSTANTIATE_TEST_SUITE_P(NotARegularFile, LanguageFileOdd,
                         ::testing::Values(OddEntry::Fifo, OddEntry::Directory,
                                           OddEntry::DanglingLink));

// Only the file's first bytes are read: a huge file is no reason to wait,
// and its first word still counts.
TEST(LanguageFileLong, ReadsOnlyItsFirstWord) {
    writeLanguageFile("rus\n" + std::string(1 << 20, 'x'));
    EXPECT_EQ(get_languageID(), 5);
}

}  // namespace
