#include "glyph_layout.h"

#include <algorithm>
#include <cstring>

namespace screen_test {

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

int sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

}  // namespace

std::vector<unsigned> decodeAsDrawn(const std::string& utf8) {
    std::vector<unsigned> points;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* end = p + utf8.size();
    while (p < end) {
        int n = sequenceLength(*p);
        if (p + n > end) break;
        unsigned cp = n == 1 ? *p : (*p & (0x7F >> n));
        for (int i = 1; i < n; ++i) {
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        points.push_back(cp);
        p += n;
    }
    return points;
}

GlyphLayout::GlyphLayout(const char* fontPath, int pixelHeight) : mask_(kWidth * kHeight, 0) {
    if (FT_Init_FreeType(&library_) != 0) return;
    if (FT_New_Face(library_, fontPath, 0, &face_) != 0) {
        face_ = nullptr;
        return;
    }
    FT_Set_Pixel_Sizes(face_, 0, pixelHeight);
}

GlyphLayout::~GlyphLayout() {
    if (face_) FT_Done_Face(face_);
    if (library_) FT_Done_FreeType(library_);
}

int GlyphLayout::width(const std::string& utf8) {
    int total = 0;
    for (unsigned cp : decodeAsDrawn(utf8)) {
        if (FT_Load_Glyph(face_, FT_Get_Char_Index(face_, cp), FT_LOAD_DEFAULT) == 0) {
            total += static_cast<int>(face_->glyph->advance.x >> 6);
        }
    }
    return total;
}

void GlyphLayout::addLine(const std::string& utf8, int x, int baseline, bool centred) {
    int pen = centred ? x - (width(utf8) >> 1) : x;
    for (unsigned cp : decodeAsDrawn(utf8)) {
        if (FT_Load_Glyph(face_, FT_Get_Char_Index(face_, cp), FT_LOAD_DEFAULT) != 0) continue;
        if (FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_NORMAL) != 0) continue;
        const FT_Bitmap& bitmap = face_->glyph->bitmap;
        const int left = pen + face_->glyph->bitmap_left;
        const int top = baseline - face_->glyph->bitmap_top;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
            for (unsigned col = 0; col < bitmap.width; ++col) {
                if (bitmap.buffer[row * bitmap.pitch + col] == 0) continue;
                const int px = left + static_cast<int>(col);
                const int py = top + static_cast<int>(row);
                if (px < 0 || py < 0 || px >= kWidth || py >= kHeight) continue;
                unsigned char& m = mask_[static_cast<size_t>(py) * kWidth + px];
                if (m == 0) {
                    m = 1;
                    ++ink_;
                    if (box_.empty()) {
                        box_ = Box{px, py, px + 1, py + 1};
                    } else {
                        box_.x0 = std::min(box_.x0, px);
                        box_.y0 = std::min(box_.y0, py);
                        box_.x1 = std::max(box_.x1, px + 1);
                        box_.y1 = std::max(box_.y1, py + 1);
                    }
                }
            }
        }
        pen += static_cast<int>(face_->glyph->advance.x >> 6);
    }
}

void GlyphLayout::addLines(const std::string& text, int x, int baseline, int step) {
    int line = 0;
    size_t from = 0;
    while (from <= text.size()) {
        size_t to = text.find('\n', from);
        if (to == std::string::npos) to = text.size();
        if (to > from) {
            addLine(text.substr(from, to - from), x, baseline + line * step, false);
            ++line;
        }
        from = to + 1;
    }
}

bool GlyphLayout::covered(int x, int y) const {
    return mask_[static_cast<size_t>(y) * kWidth + x] != 0;
}

InkDifference compareInk(const Picture& picture, const GlyphLayout& layout, const Box& region) {
    InkDifference d;
    for (int y = region.y0; y < region.y1; ++y) {
        for (int x = region.x0; x < region.x1; ++x) {
            const bool want = layout.covered(x, y);
            const bool have = picture.at(x, y) != 0;
            d.expected += want;
            d.missing += want && !have;
            d.extra += have && !want;
        }
    }
    return d;
}

}  // namespace screen_test
