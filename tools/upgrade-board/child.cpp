#include "child.h"

#include "run_child.h"

namespace board {

bool runTool(const std::vector<std::string>& argv, std::string* error, const std::string& input) {
    host::ChildOptions options;
    options.input = input;
    host::ChildResult run = host::runChild(argv, options);
    if (run.succeeded()) return true;
    std::string output = !run.started ? run.error : run.output.substr(0, 16384);
    *error = host::commandText(argv) + " failed" + (output.empty() ? std::string() : ": " + output);
    while (!error->empty() && error->back() == '\n')
        error->pop_back();
    return false;
}

}  // namespace board
