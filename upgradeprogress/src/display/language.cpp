// The language of the on-screen texts, chosen once at start-up from the file
// the set's settings write. The program only reads it.
#include <cstdio>
#include <cstring>

#include "ground.h"
#include "display.h"

int currentLanguage = 0;
char fontsBank[64];

namespace {

void setFont(const char* path) {
    snprintf(fontsBank, sizeof(fontsBank), "%s", path);
}

}  // namespace

int get_languageID() {
    // Room for four characters: one more than any code, so a longer word can
    // never be cut down to a valid code. The read is bounded to that.
    char code[5] = {0};

    FILE* file = fopen(ota_paths::kLanguageFile, "r");
    if (file == nullptr) {
        OTA_LOG("open %s failed.\n", ota_paths::kLanguageFile);
        setFont(ota_paths::kFontLatin);
        return 0;
    }
    if (fscanf(file, "%4s", code) != 1) {
        code[0] = '\0';
    }
    fclose(file);

    // A plain substring test, as the set has always done it: the empty code
    // and fragments such as "en" fall to the first font too.
    if (strstr(kFirstFontCodes, code) != nullptr) {
        setFont(ota_paths::kFontLatin);
    } else {
        setFont(ota_paths::kFontOther);
    }

    int row = 0;
    for (int i = 0; i < kLanguageCount; ++i) {
        if (strcmp(code, kMessageTable[i].langCode) == 0) {
            row = i;
        }
    }

    OTA_LOG("language = %s, ret = %d, fontsNum : %s .\n", code, row, fontsBank);
    return row;
}
