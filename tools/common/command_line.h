// The shape both "run" verbs (the sandbox runner's and the board's) give
// their command line: the tool's own words, then "--" and the command to run
// in the set; and SETDIR then ROOTFS as the tool's operands.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace host {

struct SplitWords {
    std::vector<std::string> own;      // before the first "--"
    std::vector<std::string> command;  // after it
};

inline SplitWords splitAtCommand(int argc, char** argv) {
    SplitWords words;
    int i = 0;
    for (; i < argc && std::string(argv[i]) != "--"; ++i)
        words.own.push_back(argv[i]);
    for (++i; i < argc; ++i)
        words.command.push_back(argv[i]);
    return words;
}

// Fills the first empty one of `operands` with `word`; false when all are
// taken already.
inline bool takeOperand(const std::string& word, std::initializer_list<std::string*> operands) {
    for (std::string* operand : operands) {
        if (operand->empty()) {
            *operand = word;
            return true;
        }
    }
    return false;
}

}  // namespace host
