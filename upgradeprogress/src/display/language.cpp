// The language of the on-screen texts, chosen once at start-up from the file
// the set's settings write. The program only reads it.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ground.h"
#include "display.h"

int currentLanguage = 0;
char fontsBank[64];

namespace {

// The code is the first word of the file; a set writes three letters and a
// line break. Leading blanks beyond this many bytes are not looked through.
constexpr size_t kLanguageReadMax = 64;

void setFont(const char* path) {
    snprintf(fontsBank, sizeof(fontsBank), "%s", path);
}

}  // namespace

int get_languageID() {
    // Room for four characters: one more than any code, so a longer word can
    // never be cut down to a valid code. The read is bounded to that.
    char code[5] = {0};

    // Other programs write this file: only a regular file is read (a pipe
    // nobody writes would hold the set on a black screen forever), and only
    // its first bytes. Anything else counts as no language file at all.
    const int fd = openReadable(ota_paths::kLanguageFile);
    if (fd < 0) {
        OTA_LOG("open %s failed.\n", ota_paths::kLanguageFile);
        setFont(ota_paths::kFontLatin);
        return 0;
    }
    char text[kLanguageReadMax + 1] = {};
    const ssize_t got = read(fd, text, kLanguageReadMax);
    close(fd);
    if (got <= 0 || sscanf(text, "%4s", code) != 1) {
        code[0] = '\0';
    }

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
