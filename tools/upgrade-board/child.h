// Host programs the board tool calls (sfdisk, mkfs.ext4, cp): run to the end,
// their output kept for the message when they fail.
#pragma once

#include <string>
#include <vector>

namespace board {

// Runs argv[0] (found on PATH) and waits. True when it exits 0; otherwise
// false with the command and its output in *error.
bool runTool(const std::vector<std::string>& argv, std::string* error,
             const std::string& input = "");

}  // namespace board
