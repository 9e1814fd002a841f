// The 48 frames the build draws: real PNG files with an alpha channel, of the
// size the screen layout expects, that a viewer takes for a spinner: the
// bright head moves clockwise by the same step every frame and comes round
// to where it began after the last one.
#include <gtest/gtest.h>

#include <cmath>

#include "screen_support.h"

namespace {

using namespace screen_test;

// Angle, clockwise from twelve o'clock, of the centroid of the frame's
// brightest pixels (the head of the spinner).
bool headAngle(const Picture& frame, double* degrees) {
    double sx = 0, sy = 0;
    long n = 0;
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            uint32_t p = frame.at(x, y);
            if ((p >> 24) == 0xff && ((p >> 16) & 0xff) >= 250 && ((p >> 8) & 0xff) >= 250 &&
                (p & 0xff) >= 250) {
                sx += x + 0.5;
                sy += y + 0.5;
                ++n;
            }
        }
    }
    if (n < 20) return false;
    const double dx = sx / n - frame.width / 2.0;
    const double dy = sy / n - frame.height / 2.0;
    *degrees = std::atan2(dx, -dy) * 180.0 / M_PI;
    if (*degrees < 0) *degrees += 360.0;
    return true;
}

TEST(Frames, FortyEightSquareFramesWithRealTransparency) {
    for (int n = 1; n <= 48; ++n) {
        Picture frame;
        ASSERT_TRUE(loadPng(builtFramePath(n), &frame)) << n;
        EXPECT_EQ(frame.width, 186) << n;
        EXPECT_EQ(frame.height, 186) << n;
        long clear = 0, solid = 0, partial = 0;
        for (uint32_t p : frame.argb) {
            unsigned a = p >> 24;
            clear += a == 0;
            solid += a == 255;
            partial += a > 0 && a < 255;
            // Colour is stored multiplied by alpha: never brighter than it.
            EXPECT_LE((p >> 16) & 0xff, a);
        }
        // Corners and the middle are see-through, the ring is not.
        EXPECT_EQ(frame.at(0, 0) >> 24, 0u);
        EXPECT_EQ(frame.at(93, 93) >> 24, 0u);
        EXPECT_GT(clear, 186 * 186 / 3) << n;
        EXPECT_GT(solid, 200) << n;
        EXPECT_GT(partial, 500) << n;
    }
}

TEST(Frames, HeadTurnsClockwiseOneStepPerFrameAndOneTurnInAll) {
    double angles[49];
    for (int n = 1; n <= 48; ++n) {
        Picture frame;
        ASSERT_TRUE(loadPng(builtFramePath(n), &frame));
        ASSERT_TRUE(headAngle(frame, &angles[n])) << "no head in frame " << n;
    }
    double total = 0;
    for (int n = 1; n <= 48; ++n) {
        const double next = angles[n == 48 ? 1 : n + 1];
        double step = std::fmod(next - angles[n] + 360.0, 360.0);
        EXPECT_NEAR(step, 7.5, 1.0) << "from frame " << n;
        total += step;
    }
    EXPECT_NEAR(total, 360.0, 0.01);
}

}  // namespace
