// Numbers on a tool's command line: a whole, non-negative decimal number and
// nothing after it.
#pragma once

#include <cerrno>
#include <cstdlib>

namespace host {

inline bool parseNumber(const char* text, long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) return false;
    *out = value;
    return true;
}

}  // namespace host
