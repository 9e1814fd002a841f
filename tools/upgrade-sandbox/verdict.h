// How a run on a simulated set ended, as the sandbox runner and the emulated
// board both report it: the exit codes behind their verdict lines.
#pragma once

namespace sandbox {

constexpr int kExitReboot = 100;
constexpr int kExitCut = 101;
constexpr int kExitTimeout = 124;
constexpr int kExitRunnerFailure = 2;
constexpr int kExitSignalBase = 128;

}  // namespace sandbox
