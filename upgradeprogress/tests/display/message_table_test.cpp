// The texts the set shows. A byte lost or added here is on millions of
// screens, so the places where the texts are unusual are checked byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "display.h"

namespace {

TEST(MessageTable, CodesAreThreeLowerCaseLettersAndUnique) {
    std::set<std::string> seen;
    for (const LanguageMessages_T& row : kMessageTable) {
        ASSERT_NE(row.langCode, nullptr);
        ASSERT_EQ(strlen(row.langCode), 3u) << row.langCode;
        for (const char* p = row.langCode; *p; ++p) {
            EXPECT_TRUE(*p >= 'a' && *p <= 'z') << row.langCode;
        }
        EXPECT_TRUE(seen.insert(row.langCode).second) << "duplicate " << row.langCode;
        ASSERT_NE(row.upgradingText, nullptr);
        ASSERT_NE(row.successText, nullptr);
        ASSERT_NE(row.failureText, nullptr);
        // The renderer copies a text into a 512-byte buffer.
        EXPECT_LT(strlen(row.upgradingText), 512u) << row.langCode;
    }
}

// Row 8 carries three damaged characters: the first two bytes of a
// three-byte sequence and a question mark, with the next word straight after.
TEST(MessageTable, VietnameseKeepsItsThreeDamagedSequences) {
    const std::string text = kMessageTable[8].upgradingText;
    ASSERT_STREQ(kMessageTable[8].langCode, "vie");
    const std::string damaged =
        "\xe1\xbb"
        "?";
    const char* after[] = {"mất", "hoàn", "trước"};
    const char* before[] = {" th", " đ", " ch"};
    size_t from = 0;
    for (int i = 0; i < 3; ++i) {
        size_t at = text.find(damaged, from);
        ASSERT_NE(at, std::string::npos) << "damaged place " << i;
        EXPECT_EQ(text.compare(at - strlen(before[i]), strlen(before[i]), before[i]), 0) << i;
        EXPECT_EQ(text.compare(at + 3, strlen(after[i]), after[i]), 0) << i;
        from = at + 3;
    }
    EXPECT_EQ(text.find(damaged, from), std::string::npos);
    // Exactly one line break, and nothing else odd: 0x3F appears only there.
    EXPECT_EQ(std::count(text.begin(), text.end(), '?'), 3);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

struct TrailingBlank {
    int row;
    const char* code;
    const char* successText;
};

class SuccessTextTrailingBlank : public ::testing::TestWithParam<TrailingBlank> {};

// These success texts end in a blank; the screen draws it (it moves nothing,
// the text is left aligned) and the set has always stored it.
TEST_P(SuccessTextTrailingBlank, IsKept) {
    const TrailingBlank& c = GetParam();
    EXPECT_STREQ(kMessageTable[c.row].langCode, c.code);
    EXPECT_STREQ(kMessageTable[c.row].successText, c.successText);
}

INSTANTIATE_TEST_SUITE_P(Rows, SuccessTextTrailingBlank,
                         ::testing::Values(TrailingBlank{21, "nor", "Oppgradering vellykket "},
                                           TrailingBlank{22, "cze", "Aktualizace byla úspěšná "},
                                           TrailingBlank{23, "slk", "Aktualizovanie bolo úspešné "},
                                           TrailingBlank{25, "hun",
                                                         "A frissítés sikeresen befejeződött "},
                                           TrailingBlank{29, "ind", "Berhasil meningkatkan "}));

// Blanks before a line break belong to the texts as well: the renderer cuts
// at the break only, so these blanks stay at the end of the drawn line.
TEST(MessageTable, BlanksBeforeLineBreaksAreKept) {
    EXPECT_NE(std::string(kMessageTable[1].upgradingText).find("minutes. \nNous"),
              std::string::npos);
    const std::string rus = kMessageTable[5].upgradingText;
    EXPECT_EQ(std::count(rus.begin(), rus.end(), '\n'), 2);
    EXPECT_NE(rus.find(" \n"), std::string::npos);
    const std::string bul = kMessageTable[26].upgradingText;
    EXPECT_EQ(bul.find("\n"), bul.find(" \n") + 1);
    EXPECT_EQ(std::count(bul.begin(), bul.end(), '\n'), 2);
}

// Rows whose language has no translation show the English texts, and the
// typographic apostrophes of row 11 are the real characters, not ASCII ones.
TEST(MessageTable, SharedEnglishAndTypographicApostrophes) {
    for (int row : {4, 9, 10, 12, 15, 28}) {
        EXPECT_STREQ(kMessageTable[row].upgradingText, kMessageTable[0].upgradingText) << row;
        EXPECT_STREQ(kMessageTable[row].successText, "Upgrade successful") << row;
        EXPECT_STREQ(kMessageTable[row].failureText, "Upgrade failed") << row;
    }
    const std::string uzb = kMessageTable[11].upgradingText;
    EXPECT_NE(uzb.find("ta\xe2\x80\x99minotni"), std::string::npos);
    EXPECT_NE(uzb.find("o\xe2\x80\x98"
                       "chirmasdan"),
              std::string::npos);
}

}  // namespace
