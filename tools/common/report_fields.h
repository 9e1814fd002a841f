// The text of the reports that shards of a long run write and a merge reads
// back: one record per line, its fields split by tabs, and any text field
// escaped so that a tab or line break inside it cannot split the record.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace host {

std::vector<std::string> splitTabs(const std::string& line);

// A backslash, tab, newline or carriage return is written as \\, \t, \n or
// \r; everything else as it is.
std::string escapedField(const std::string& text);

// The inverse; false for a lone backslash or an escape it never writes.
bool unescapedField(const std::string& text, std::string* out);

// Writes `text` whole under another name first, then renames it to `path`:
// a shard cut off while writing leaves no half report for a merge to take.
bool writeReportFile(const std::string& path, const std::string& text, std::string* error);

// Opens a report whose first line must be `magic`; `what` names the kind of
// report in the error ("a campaign report").
bool openReportFile(const std::string& path, const std::string& magic, const std::string& what,
                    std::ifstream* file, std::string* error);

}  // namespace host
