// Reading and splitting update-list lines. Internal to the package subsystem:
// the list runner uses it, and its tests check the format rules directly.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "package.h"

// One read of the list: at most kLineUnit - 1 characters, ending after a line
// terminator. `length` counts every character read, NUL bytes included.
// Returns false at the end of the file.
bool readListPiece(FILE* file, char (&piece)[ota_format::kLineUnit], size_t& length);

// True when a piece that fills the whole reading unit is not a complete line:
// it has no terminator and more characters follow in the file.
bool pieceIsCut(FILE* file, const char* piece, size_t length);

// Splits one complete line into `item` (zeroed first). Returns false when the
// line is outside the list format, with `why` naming the broken rule; nothing
// is ever written past `item`.
bool parseListLine(const char* line, size_t length, CongfigItemValue_T& item, std::string& why);

// Calls `each` with every line of the in-memory list kept under `path`, read
// in the pieces the runner reads, until `each` returns false. False, with
// `why`, at the first line the runner would refuse; true for a list the
// package does not carry.
bool forEachListItem(const std::string& path,
                     const std::function<bool(const CongfigItemValue_T&)>& each, std::string* why);
