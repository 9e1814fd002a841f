// The environment of the sandboxed command: a clean one, like the set's, with
// only the host's test and sanitizer settings carried over.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// DirectFB on its headless "dummy" system: no VT, no keyboard or input
// devices, no signal handlers of its own, a 1920x1080 ARGB primary layer like
// the set's panel.
constexpr const char kDirectFbArgs[] =
    "system=dummy,mode=1920x1080,depth=32,pixelformat=ARGB,no-vt,no-vt-switch,no-vt-switching,"
    "no-cursor,no-sighandler,no-debug,quiet,disable-module=linux_input,disable-module=keyboard";

std::vector<std::string> sandboxEnvironment(const std::string& setDir);

}  // namespace sandbox
