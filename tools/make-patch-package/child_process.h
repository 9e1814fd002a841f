// Running helper programs (the patch maker, the applier check) as children.
#pragma once

#include <string>
#include <vector>

namespace mpp {

// Runs argv[0] (looked up in PATH when it holds no '/') with the given
// arguments and waits for it. Returns its exit status, 128 + the signal
// number when a signal ended it, or -1 when it could not be started.
int runChild(const std::vector<std::string>& argv);

// Path of this very executable, so that it can run itself as a child.
std::string selfExecutable();

}  // namespace mpp
