// Linked into every test that writes the set's fixed paths (partitions, boot
// flags, /OAD, /var/local) or reaches reboot(): such a test refuses to start
// unless the sandbox runner's init is PID 1 of its namespace, so running it by
// hand on a development machine can never touch a real device.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

bool insideSandbox() {
    std::ifstream comm("/proc/1/comm");
    std::string init;
    std::getline(comm, init);
    return init == "sandbox-init" && getenv("UPGRADE_SANDBOX") != nullptr;
}

class SandboxOnly : public ::testing::Environment {
public:
    void SetUp() override {
        if (!insideSandbox()) {
            fprintf(stderr,
                    "this test writes the set's own devices and paths: run it through "
                    "upgrade-sandbox (ctest does)\n");
            exit(2);
        }
    }
};

const ::testing::Environment* const kSandboxOnly =
    ::testing::AddGlobalTestEnvironment(new SandboxOnly);

}  // namespace
