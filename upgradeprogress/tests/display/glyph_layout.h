// Where a text must appear, worked out with FreeType alone from the same font
// file and height, glyph by glyph: the expected ink of a line drawn with its
// first pen position at x (or centred on x) and its base line at y. The
// screen's picture is checked against this, not against a stored result.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <string>
#include <vector>

#include "screen_support.h"

namespace screen_test {

// Code points of a UTF-8 text read as the screen's text renderer reads it: a
// lead byte says how many bytes follow and those are taken whatever they are.
std::vector<unsigned> decodeAsDrawn(const std::string& utf8);

class GlyphLayout {
public:
    GlyphLayout(const char* fontPath, int pixelHeight);
    ~GlyphLayout();
    GlyphLayout(const GlyphLayout&) = delete;
    GlyphLayout& operator=(const GlyphLayout&) = delete;

    bool ok() const { return face_ != nullptr; }
    // Sum of the glyph advances, in pixels.
    int width(const std::string& utf8);
    // Adds the ink of one line to the expected picture.
    void addLine(const std::string& utf8, int x, int baseline, bool centred);
    // Adds every line of a text cut at line breaks (empty pieces take no
    // room), the first at baseline, each next one step lower.
    void addLines(const std::string& text, int x, int baseline, int step);

    bool covered(int x, int y) const;
    const Box& box() const { return box_; }
    long inkPixels() const { return ink_; }

private:
    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    std::vector<unsigned char> mask_;  // 1920 x 1080
    Box box_{};
    long ink_ = 0;
};

// Compares a picture with the expected ink inside region: pixels that should
// be ink and are not, and pixels that are ink and should not be.
struct InkDifference {
    long missing = 0;
    long extra = 0;
    long expected = 0;
};
InkDifference compareInk(const Picture& picture, const GlyphLayout& layout, const Box& region);

}  // namespace screen_test
