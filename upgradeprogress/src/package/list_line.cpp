// The update-list line format: up to five ';'-separated fields, empty fields
// skipped, the line terminator kept at the end of the last field. A line that
// breaks a limit is refused whole: a cut checksum or a shifted offset would
// send a part to the wrong place of a partition.
#include "list_line.h"

#include <cstdint>
#include <cstring>

namespace {

using namespace ota_format;

// "\n" or "\r\n" at the very end of a field: the terminator the line reader
// keeps. It belongs to no value.
size_t terminatorLength(const char* text, size_t length) {
    if (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n') {
        return 2;
    }
    if (length >= 1 && text[length - 1] == '\n') {
        return 1;
    }
    return 0;
}

// A signed decimal that fits the record's 32-bit field. A field that holds
// nothing but the terminator is missing, and a missing number is 0.
bool parseNumber(const char* text, int32_t& value, const char* name, std::string& why) {
    size_t length = strlen(text);
    length -= terminatorLength(text, length);
    value = 0;
    if (length == 0) {
        return true;
    }
    size_t pos = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos == length) {
        why = std::string(name) + " is not a number";
        return false;
    }
    // Accumulated as a magnitude that stops growing past the 32-bit limit, so
    // any count of digits is safe.
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    uint64_t magnitude = 0;
    for (; pos < length; ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9') {
            why = std::string(name) + " is not a number";
            return false;
        }
        magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
        if (magnitude > limit) {
            why = std::string(name) + " is outside the signed 32-bit range";
            return false;
        }
    }
    value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                     : static_cast<int32_t>(magnitude);
    return true;
}

template <size_t N>
bool copyText(char (&field)[N], const char* text, size_t limit, const char* name,
              std::string& why) {
    static_assert(N > 0, "a record field holds at least its terminating zero");
    const size_t length = strlen(text);
    if (length > limit || length >= N) {
        why = std::string(name) + " is longer than " + std::to_string(limit) + " characters";
        return false;
    }
    memcpy(field, text, length);
    field[length] = '\0';
    return true;
}

}  // namespace

bool readListPiece(FILE* file, char (&piece)[kLineUnit], size_t& length) {
    length = 0;
    int c = 0;
    while (length < kLineUnit - 1 && (c = fgetc(file)) != EOF) {
        piece[length++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    piece[length] = '\0';
    return length > 0;
}

bool pieceIsCut(FILE* file, const char* piece, size_t length) {
    if (length < kLineUnit - 1 || piece[length - 1] == '\n') {
        return false;
    }
    const int next = fgetc(file);
    if (next == EOF) {
        return false;
    }
    ungetc(next, file);
    return true;
}

bool parseListLine(const char* line, size_t length, CongfigItemValue_T& item, std::string& why) {
    memset(&item, 0, sizeof item);
    if (strlen(line) != length) {
        why = "the line holds a NUL byte";
        return false;
    }

    char tokens[kMaxFields][kTokenSlot] = {};
    int count = 0;
    const char* p = line;
    while (*p != '\0') {
        if (*p == kFieldSeparator) {
            ++p;  // empty fields are skipped
            continue;
        }
        const char* end = strchr(p, kFieldSeparator);
        if (end == nullptr) {
            end = p + strlen(p);
        }
        const size_t fieldLength = static_cast<size_t>(end - p);
        if (count == kMaxFields) {
            // A terminator after the last separator is the line's end, not a field.
            if (*end == '\0' && terminatorLength(p, fieldLength) == fieldLength) {
                break;
            }
            why = "more than " + std::to_string(kMaxFields) + " fields";
            return false;
        }
        if (fieldLength >= static_cast<size_t>(kTokenSlot)) {
            why = "field " + std::to_string(count + 1) + " is longer than " +
                  std::to_string(kTokenSlot - 1) + " characters";
            return false;
        }
        memcpy(tokens[count], p, fieldLength);
        ++count;
        p = end;
    }

    return copyText(item.upgradMode, tokens[0], kModeMax, "the action word", why) &&
           copyText(item.fileName, tokens[1], kNameMax, "the file name", why) &&
           copyText(item.checkSum, tokens[2], kChecksumMax, "the checksum", why) &&
           parseNumber(tokens[3], item.fileSize, "the size", why) &&
           parseNumber(tokens[4], item.offset, "the offset", why);
}
