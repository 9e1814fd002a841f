// Every character the screen can show must be in the font the set picks for
// its language: a missing glyph is an empty box on millions of screens. The
// font files the build installs are opened with FreeType and asked for each
// character of each text, by the same rule the screen uses to choose.
#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdio>
#include <cstring>
#include <string>

#include "display.h"
#include "glyph_layout.h"
#include "screen_support.h"

namespace {

using screen_test::decodeAsDrawn;
using screen_test::fontSourceFor;

// Row 8 keeps three damaged sequences; the screen reads each as this code
// point, which no font is expected to hold.
constexpr unsigned kDamagedVietnamese =
    ((0xE1u & 0x0F) << 12) | ((0xBBu & 0x3F) << 6) | ('?' & 0x3F);

class FontCoverage : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(FT_Init_FreeType(&library_), 0); }
    static void TearDownTestSuite() { FT_Done_FreeType(library_); }
    static FT_Library library_;
};

FT_Library FontCoverage::library_ = nullptr;

TEST_P(FontCoverage, FontOfTheRowHoldsEveryCharacterOfItsTexts) {
    const LanguageMessages_T& row = kMessageTable[GetParam()];
    const char* font = fontSourceFor(row.langCode);
    FT_Face face = nullptr;
    ASSERT_EQ(FT_New_Face(library_, font, 0, &face), 0) << font;
    // The set's font files are TrueType collections.
    EXPECT_GT(face->num_faces, 1) << font;

    std::string missing;
    int checked = 0;
    for (const char* text : {row.upgradingText, row.successText, row.failureText}) {
        for (unsigned cp : decodeAsDrawn(text)) {
            if (cp == '\n' || cp == kDamagedVietnamese) continue;
            ++checked;
            if (FT_Get_Char_Index(face, cp) == 0) {
                char name[16];
                snprintf(name, sizeof(name), "U+%04X ", cp);
                if (missing.find(name) == std::string::npos) missing += name;
            }
        }
    }
    FT_Done_Face(face);
    EXPECT_GT(checked, 10);
    EXPECT_EQ(missing, "") << row.langCode << " with " << font;
}

INSTANTIATE_TEST_SUITE_P(EveryRow, FontCoverage, ::testing::Range(0, kLanguageCount),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kMessageTable[info.param].langCode);
                         });

TEST(FontCoverageSelf, DamagedSequencesAreTheOnlyOnesSkipped) {
    // The skip above must match exactly the three damaged places of row 8.
    int damaged = 0;
    for (const LanguageMessages_T& row : kMessageTable) {
        for (unsigned cp : decodeAsDrawn(row.upgradingText))
            damaged += cp == kDamagedVietnamese;
        for (unsigned cp : decodeAsDrawn(row.successText))
            damaged += cp == kDamagedVietnamese;
        for (unsigned cp : decodeAsDrawn(row.failureText))
            damaged += cp == kDamagedVietnamese;
    }
    EXPECT_EQ(damaged, 3);
}

}  // namespace
