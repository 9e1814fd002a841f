#include <gtest/gtest.h>
#include "control/set_driver.h"
using namespace set_driver;
TEST(Probe, Build) {
    const SampleUpgrade s = buildSampleUpgrade("attacker");
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    ASSERT_TRUE(makeSet(s.work + "/set", s.images, s.package));
}
