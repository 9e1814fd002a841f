// Update-list lines: any bytes read as a list, piece by piece as the list
// runner reads them, and every piece split into a record. A record that is
// accepted must hold terminated fields within their limits, and written out
// again as a plain line it must read back as the same record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "list_line.h"

namespace {

template <size_t N>
void requireTerminated(const char (&field)[N], size_t limit) {
    const void* zero = memchr(field, '\0', N);
    if (zero == nullptr || static_cast<size_t>(static_cast<const char*>(zero) - field) > limit) {
        abort();
    }
}

bool sameRecord(const CongfigItemValue_T& a, const CongfigItemValue_T& b) {
    return strcmp(a.upgradMode, b.upgradMode) == 0 && strcmp(a.fileName, b.fileName) == 0 &&
           strcmp(a.checkSum, b.checkSum) == 0 && a.fileSize == b.fileSize && a.offset == b.offset;
}

void checkAccepted(const CongfigItemValue_T& item) {
    requireTerminated(item.upgradMode, ota_format::kModeMax);
    requireTerminated(item.fileName, ota_format::kNameMax);
    requireTerminated(item.checkSum, ota_format::kChecksumMax);
    // Only a line with all three text fields has an unambiguous plain form:
    // an empty field would shift the numbers into it.
    if (item.upgradMode[0] == '\0' || item.fileName[0] == '\0' || item.checkSum[0] == '\0') {
        return;
    }
    const std::string again = std::string(item.upgradMode) + ";" + item.fileName + ";" +
                              item.checkSum + ";" + std::to_string(item.fileSize) + ";" +
                              std::to_string(item.offset) + "\n";
    CongfigItemValue_T reread;
    std::string why;
    if (!parseListLine(again.c_str(), again.size(), reread, why) || !sameRecord(item, reread)) {
        fprintf(stderr, "record does not survive its plain form: [%s] %s\n", again.c_str(),
                why.c_str());
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    FILE* list = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (list == nullptr) {
        abort();
    }
    char piece[ota_format::kLineUnit];
    size_t length = 0;
    while (readListPiece(list, piece, length)) {
        if (length == 0 || length > ota_format::kLineUnit - 1) {
            abort();
        }
        if (pieceIsCut(list, piece, length)) {
            continue;  // the runner refuses such a line before splitting it
        }
        CongfigItemValue_T item;
        std::string why;
        if (parseListLine(piece, length, item, why)) {
            checkAccepted(item);
        } else if (why.empty()) {
            abort();  // a refusal always names the rule it broke
        }
    }
    fclose(list);
    return 0;
}
