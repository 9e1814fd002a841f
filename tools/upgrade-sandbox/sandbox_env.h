// The environment of the sandboxed command: a clean one, like the set's, with
// only the host's test and sanitizer settings carried over.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// DirectFB on its headless "dummy" system. The dummy screen is 8x8 unless a
// mode is given: the set's panel is 1920x1080 ARGB. No VT, no input devices
// (none exist here), no signal handlers of its own so a crash is reported as
// the signal it is, and quiet so the program's own log stays readable (drop
// "quiet" through DFBARGS to see DirectFB's messages).
constexpr const char kDirectFbArgs[] =
    "system=dummy,mode=1920x1080,depth=32,pixelformat=ARGB,no-vt,no-vt-switch,no-cursor,no-"
    "sighandler,"
    "no-debug,quiet,disable-module=linux_input,disable-module=keyboard,disable-module=input_hub";

std::vector<std::string> sandboxEnvironment(const std::string& setDir);

}  // namespace sandbox
