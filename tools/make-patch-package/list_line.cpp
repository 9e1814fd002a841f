#include "list_line.h"

#include <algorithm>
#include <cstdio>

#include "package.h"

namespace mpp {

namespace {

// The set keeps fields 4 and 5 in signed 32-bit longs.
constexpr long long kMaxNumber = 2147483647LL;

std::string checkText(const char* what, const std::string& text, size_t limit) {
    char reason[160];
    if (text.empty()) {
        snprintf(reason, sizeof(reason), "%s is empty", what);
        return reason;
    }
    if (text.size() > limit) {
        snprintf(reason, sizeof(reason), "%s \"%s\" has %zu characters, at most %zu fit", what,
                 text.c_str(), text.size(), limit);
        return reason;
    }
    // A separator would shift every later field; a line break or a NUL would
    // end the field early on the set.
    for (char c : text) {
        if (c == ota_format::kFieldSeparator || c == '\n' || c == '\r' || c == '\0') {
            snprintf(reason, sizeof(reason), "%s \"%s\" holds a separator or line break", what,
                     text.c_str());
            return reason;
        }
    }
    return std::string();
}

std::string checkNumber(const char* what, long long value) {
    if (value < 0 || value > kMaxNumber) {
        char reason[128];
        snprintf(reason, sizeof(reason), "%s %lld does not fit the set's signed 32-bit field", what,
                 value);
        return reason;
    }
    return std::string();
}

}  // namespace

std::string formatListLine(const ListLine_T& line) {
    const char sep = ota_format::kFieldSeparator;
    std::string text;
    text += line.upgradMode;
    text += sep;
    text += line.fileName;
    text += sep;
    text += line.checkSum;
    text += sep;
    text += std::to_string(line.fileSize);
    text += sep;
    text += std::to_string(line.offset);
    text += '\n';
    return text;
}

std::string checkListLine(const ListLine_T& line) {
    // Every field also has to fit the reader's token slot.
    const size_t slot = ota_format::kTokenSlot - 1;
    std::string reason =
        checkText("action word", line.upgradMode, std::min<size_t>(ota_format::kModeMax, slot));
    if (reason.empty()) {
        reason =
            checkText("item name", line.fileName, std::min<size_t>(ota_format::kNameMax, slot));
    }
    if (reason.empty()) {
        reason =
            checkText("checksum", line.checkSum, std::min<size_t>(ota_format::kChecksumMax, slot));
    }
    if (reason.empty()) {
        reason = checkNumber("size", line.fileSize);
    }
    if (reason.empty()) {
        reason = checkNumber("offset", line.offset);
    }
    if (reason.empty()) {
        // One read of the set's line reader returns at most kLineUnit - 1
        // characters; a longer line would be split into two items.
        const std::string text = formatListLine(line);
        const size_t limit = ota_format::kLineUnit - 1;
        if (text.size() > limit) {
            char buffer[128];
            snprintf(buffer, sizeof(buffer), "line of %zu characters, at most %zu fit one read",
                     text.size(), limit);
            reason = buffer;
        }
    }
    return reason;
}

std::string partName(const std::string& partition, int index) {
    if (index < 0 || index >= ota_format::kMaxParts) {
        return std::string();
    }
    static_assert(ota_format::kSuffixLength == 2, "part names carry two suffix letters");
    std::string name = partition + ota_format::kSplitSuffix;
    name += static_cast<char>('a' + index / 26);
    name += static_cast<char>('a' + index % 26);
    return name;
}

std::string listEntryName(const std::string& partition) {
    return std::string(ota_format::kEntryDir) + ota_format::kListPrefix + partition +
           ota_format::kListSuffix;
}

std::string itemEntryName(const std::string& fileName) {
    return std::string(ota_format::kEntryDir) + fileName;
}

}  // namespace mpp
