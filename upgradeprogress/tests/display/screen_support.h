// Test support for the progress screen: DirectFB on its headless dummy
// system, surfaces and fonts made as main makes them, pictures read back from
// surfaces and PNG files, and the questions a person asks of a picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "display.h"

namespace screen_test {

// A picture as 0xAARRGGBB words, row by row.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;

    uint32_t at(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

// A rectangle of pixels, x0/y0 inclusive, x1/y1 exclusive.
struct Box {
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;
    int y1 = 0;

    bool empty() const { return x1 <= x0 || y1 <= y0; }
    bool contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

constexpr Box kWholeScreen{0, 0, 1920, 1080};
// Where the spinner frame sits: 186 x 186 at (867, 330).
constexpr Box kFrameBox{867, 330, 867 + 186, 330 + 186};

// Brings DirectFB up on its dummy system (unless the environment already
// chose a system) and fills dfb. Safe to call more than once.
void startDirectFb();

// What main creates: the triple-buffered 1920 x 1080 screen, the off-screen
// picture of the same size, fonts of heights 48 and 36 from fontPath.
struct Screen {
    IDirectFBSurface* primary = nullptr;
    IDirectFBSurface* background = nullptr;
    IDirectFBFont* percent = nullptr;
    IDirectFBFont* prompt = nullptr;
};
void createScreen(const char* fontPath, Screen* screen);
void releaseScreen(Screen* screen);

Picture readBack(IDirectFBSurface* surface);
// Saves the picture as PNG. With opaque, alpha is written as 0xff: the panel
// shows the colour channels only, so that is the picture a person sees.
bool savePng(const Picture& picture, const std::string& path, bool opaque = false);
bool loadPng(const std::string& path, Picture* picture);
// A picture as written in memory: width, height, then the words. Quick to
// write where a process has little time left.
bool saveRaw(const Picture& picture, const std::string& path);
bool loadRaw(const std::string& path, Picture* picture);

// Bounding box of the pixels in region that are not 0 (any channel).
Box inkBox(const Picture& picture, const Box& region);
// Pixels in region that are not 0.
long countInk(const Picture& picture, const Box& region);
// Pixels in region that differ from value.
long countOther(const Picture& picture, const Box& region, uint32_t value);

// <build>/test-artifacts/display/NAME, the folder made on the way.
std::string artifactPath(const std::string& name);
// <build>/animationImage/NN.png: the frames the build drew.
std::string builtFramePath(int number);

// The font file the screen uses for a language code, by the set's rule, as
// the build installs it.
const char* fontSourceFor(const char* langCode);

}  // namespace screen_test
