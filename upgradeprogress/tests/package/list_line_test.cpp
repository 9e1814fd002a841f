// The update-list line format: what a line turns into, and which lines are
// refused whole instead of being cut or shifted into the wrong fields.
#include "list_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kSum = "0123456789abcdef0123456789abcdef";

struct Parsed {
    std::string line;
    std::string mode, name, checkSum;
    int32_t fileSize, offset;
};

void PrintTo(const Parsed& p, std::ostream* os) {
    *os << ::testing::PrintToString(p.line);
}

class ListLineAccepted : public ::testing::TestWithParam<Parsed> {};

TEST_P(ListLineAccepted, FillsTheRecordFieldByField) {
    const Parsed& p = GetParam();
    CongfigItemValue_T item;
    memset(&item, 0x5a, sizeof item);
    std::string why;
    ASSERT_TRUE(parseListLine(p.line.c_str(), p.line.size(), item, why)) << why;
    EXPECT_EQ(item.upgradMode, p.mode);
    EXPECT_EQ(item.fileName, p.name);
    EXPECT_EQ(item.checkSum, p.checkSum);
    EXPECT_EQ(item.fileSize, p.fileSize);
    EXPECT_EQ(item.offset, p.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Format, ListLineAccepted,
    ::testing::Values(
        // The worked example of a part written 10 MiB into the partition.
        Parsed{"update;usrfs_split_partab;" + kSum + ";0;10485760\n", "update",
               "usrfs_split_partab", kSum, 0, 10485760},
        // Empty fields are skipped: every later field moves one place left.
        Parsed{"total;;usrfs;" + kSum + ";;5;7\n", "total", "usrfs", kSum, 5, 7},
        Parsed{";;create;a;" + kSum + ";1;2\n", "create", "a", kSum, 1, 2},
        // Missing numbers are 0; a terminator-only last field is no value.
        Parsed{"total;usrfs;" + kSum + ";31457280\n", "total", "usrfs", kSum, 31457280, 0},
        Parsed{"chksync;optfs_split_partab;" + kSum + ";;\n", "chksync", "optfs_split_partab", kSum,
               0, 0},
        Parsed{"entotal;tv;" + kSum + ";3;4;\n", "entotal", "tv", kSum, 3, 4},
        Parsed{"entotal;tv;" + kSum + ";3;4;\r\n", "entotal", "tv", kSum, 3, 4},
        // A list written with CR LF, and the last line of a file without one.
        Parsed{"update;u;" + kSum + ";0;20971520\r\n", "update", "u", kSum, 0, 20971520},
        Parsed{"update;u;" + kSum + ";0;20971520", "update", "u", kSum, 0, 20971520},
        // The signed 32-bit limits themselves, and explicit signs.
        Parsed{"create;c;" + kSum + ";-2147483648;2147483647\n", "create", "c", kSum, INT32_MIN,
               INT32_MAX},
        Parsed{"create;c;" + kSum + ";+12;-0\n", "create", "c", kSum, 12, 0},
        // Spaces belong to text fields; the terminator stays in a last text
        // field (a checksum that ends the line then fails its comparison).
        Parsed{"delete; a b ;" + kSum + "\n", "delete", " a b ", kSum + "\n", 0, 0},
        // A blank line is one field holding the terminator: no action word.
        Parsed{"\n", "\n", "", "", 0, 0},
        // Fields filled to their record limits: 7, 29 and 37 characters.
        Parsed{"chksync;" + std::string(29, 'n') + ";" + std::string(37, 'c') + ";1;2\n", "chksync",
               std::string(29, 'n'), std::string(37, 'c'), 1, 2},
        // Case matters only to the dispatcher; the record keeps the word as written.
        Parsed{"Update;u;" + kSum + ";0;0\n", "Update", "u", kSum, 0, 0}));

struct Refused {
    std::string line;
    std::string reason;  // part of the logged reason
};

void PrintTo(const Refused& r, std::ostream* os) {
    *os << ::testing::PrintToString(r.line);
}

class ListLineRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(ListLineRefused, IsRefusedWholeAndNamesTheRule) {
    const Refused& r = GetParam();
    // The record sits between guards: a refused line must not write past it.
    struct {
        char before[16];
        CongfigItemValue_T item;
        char after[16];
    } guarded;
    memset(&guarded, 0x5a, sizeof guarded);
    std::string why;
    EXPECT_FALSE(parseListLine(r.line.c_str(), r.line.size(), guarded.item, why));
    EXPECT_NE(why.find(r.reason), std::string::npos) << "reason given: " << why;
    for (char c : guarded.before)
        ASSERT_EQ(c, 0x5a);
    for (char c : guarded.after)
        ASSERT_EQ(c, 0x5a);
}

INSTANTIATE_TEST_SUITE_P(
    Format, ListLineRefused,
    ::testing::Values(
        Refused{"update;u;" + kSum + ";0;10485760;extra\n", "more than 5 fields"},
        Refused{"update;u;" + kSum + ";0;1;\n;\n", "more than 5 fields"},
        Refused{"update;" + std::string(50, 'n') + ";" + kSum + ";0;0\n", "longer than 49"},
        Refused{"update;" + std::string(30, 'n') + ";" + kSum + ";0;0\n",
                "file name is longer than 29"},
        Refused{"chksyncs;u;" + kSum + ";0;0\n", "action word is longer than 7"},
        Refused{"update;u;" + std::string(38, 'c') + ";0;0\n", "checksum is longer than 37"},
        // A checksum of 37 characters that ends the line carries its terminator: 38.
        Refused{"update;u;" + std::string(37, 'c') + "\n", "checksum is longer than 37"},
        Refused{"create;c;" + kSum + ";0;2147483648\n", "offset is outside the signed 32-bit"},
        Refused{"create;c;" + kSum + ";-2147483649;0\n", "size is outside the signed 32-bit"},
        Refused{"create;c;" + kSum + ";0;" + std::string(40, '9') + "\n",
                "outside the signed 32-bit"},
        Refused{"create;c;" + kSum + ";0;10MiB\n", "offset is not a number"},
        Refused{"create;c;" + kSum + ";0x10;0\n", "size is not a number"},
        Refused{"create;c;" + kSum + "; 5;0\n", "size is not a number"},
        Refused{"create;c;" + kSum + ";-;0\n", "size is not a number"},
        Refused{"create;c;" + kSum + ";0;1\n\n", "offset is not a number"},
        Refused{std::string("create;c\0x;", 11) + kSum + ";0;0\n", "NUL"}));

// Reads `text` through the list reader, piece by piece, the way the runner does.
std::vector<std::string> pieces(const std::string& text, std::vector<bool>* cut = nullptr) {
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    EXPECT_NE(file, nullptr);
    std::vector<std::string> out;
    char piece[ota_format::kLineUnit];
    size_t length = 0;
    while (readListPiece(file, piece, length)) {
        out.emplace_back(piece, length);
        if (cut != nullptr) {
            cut->push_back(pieceIsCut(file, piece, length));
        }
    }
    fclose(file);
    return out;
}

TEST(ListReader, ReadsLinesInUnitsOf127Characters) {
    const std::string longLine = std::string(129, 'x') + "\n";  // 130 characters
    std::vector<bool> cut;
    const std::vector<std::string> got = pieces("a;b\n" + longLine + "\nlast", &cut);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "a;b\n");
    EXPECT_EQ(got[1], std::string(127, 'x'));
    EXPECT_EQ(got[2], "xx\n");
    EXPECT_EQ(got[3], "\n");
    EXPECT_EQ(got[4], "last");
    EXPECT_EQ(cut, (std::vector<bool>{false, true, false, false, false}));
}

TEST(ListReader, ALineOfExactly127CharactersIsWholeAtTheEndOrBeforeItsTerminator) {
    std::vector<bool> cut;
    pieces(std::string(127, 'y'), &cut);
    EXPECT_EQ(cut, std::vector<bool>{false});

    cut.clear();
    const std::vector<std::string> got = pieces(std::string(126, 'y') + "\n", &cut);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(cut, std::vector<bool>{false});

    // 127 characters and then the terminator: the terminator is read alone.
    cut.clear();
    pieces(std::string(127, 'y') + "\n", &cut);
    EXPECT_EQ(cut, (std::vector<bool>{true, false}));
}

TEST(ListReader, KeepsNulBytesSoTheLineCanBeRefused) {
    const std::string text("ab\0cd\n", 6);
    const std::vector<std::string> got = pieces(text);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], text);
}

}  // namespace
