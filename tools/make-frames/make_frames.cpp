// make-frames: draws the 48 frames of the progress spinner shown while the
// set upgrades, as RGBA PNG files "01.png" ... "48.png" in the given folder.
//
//   make-frames OUTDIR
//
// The spinner is a ring with a bright head that sweeps clockwise one full turn
// over the 48 frames, dragging a fading tail over a faint track. The screen
// copies frames without blending onto a black picture, so the colour of every
// pixel is stored already multiplied by its alpha: copied or blended onto
// black, the ring looks the same.
#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kFrames = 48;
constexpr int kSize = 186;            // the screen places it at (867, 330): centred on x 960
constexpr double kRingRadius = 70.0;  // middle of the ring
constexpr double kRingHalfWidth = 10.0;
constexpr double kTailDegrees = 300.0;  // how far behind the head the tail fades out
constexpr double kTrackAlpha = 0.16;
constexpr int kSubsamples = 4;  // per axis, for smooth edges

struct Rgba {
    double r, g, b, a;
};

// Colour and coverage of one sample point, before premultiplying.
Rgba samplePoint(double x, double y, double headDegrees) {
    const double cx = kSize / 2.0;
    const double cy = kSize / 2.0;
    const double dx = x - cx;
    const double dy = y - cy;
    const double radius = std::sqrt(dx * dx + dy * dy);

    // Angle clockwise from twelve o'clock, in degrees.
    double angle = std::atan2(dx, -dy) * 180.0 / M_PI;
    if (angle < 0) angle += 360.0;

    // The round head: a disc on the ring at the head's angle.
    const double headRad = headDegrees * M_PI / 180.0;
    const double hx = cx + kRingRadius * std::sin(headRad);
    const double hy = cy - kRingRadius * std::cos(headRad);
    const bool inHead =
        (x - hx) * (x - hx) + (y - hy) * (y - hy) <= kRingHalfWidth * kRingHalfWidth;
    const bool onRing = std::fabs(radius - kRingRadius) <= kRingHalfWidth;
    if (!onRing && !inHead) return {0, 0, 0, 0};

    double behind = std::fmod(headDegrees - angle + 360.0, 360.0);
    double strength = 0.0;
    if (inHead) {
        strength = 1.0;
    } else if (behind <= kTailDegrees) {
        strength = std::pow(1.0 - behind / kTailDegrees, 1.6);
    }
    const double alpha = std::max(strength, kTrackAlpha);
    // From a calm blue at the end of the tail to white at the head.
    const double r = 0.16 + 0.84 * strength;
    const double g = 0.55 + 0.45 * strength;
    const double b = 0.85 + 0.15 * strength;
    return {r, g, b, alpha};
}

std::vector<unsigned char> drawFrame(int frame) {
    const double headDegrees = 360.0 * frame / kFrames;
    std::vector<unsigned char> pixels(kSize * kSize * 4);
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < kSubsamples; ++sy) {
                for (int sx = 0; sx < kSubsamples; ++sx) {
                    Rgba s = samplePoint(x + (sx + 0.5) / kSubsamples, y + (sy + 0.5) / kSubsamples,
                                         headDegrees);
                    r += s.r * s.a;
                    g += s.g * s.a;
                    b += s.b * s.a;
                    a += s.a;
                }
            }
            const double n = kSubsamples * kSubsamples;
            unsigned char* p = &pixels[(y * kSize + x) * 4];
            p[0] = static_cast<unsigned char>(std::lround(255.0 * r / n));
            p[1] = static_cast<unsigned char>(std::lround(255.0 * g / n));
            p[2] = static_cast<unsigned char>(std::lround(255.0 * b / n));
            p[3] = static_cast<unsigned char>(std::lround(255.0 * a / n));
        }
    }
    return pixels;
}

bool writePng(const std::string& path, const std::vector<unsigned char>& pixels) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "make-frames: cannot create %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        fprintf(stderr, "make-frames: cannot encode %s\n", path.c_str());
        png_destroy_write_struct(&png, &info);
        fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, kSize, kSize, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    for (int y = 0; y < kSize; ++y) {
        png_write_row(png, &pixels[y * kSize * 4]);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) {
        fprintf(stderr, "make-frames: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make-frames OUTDIR\n");
        return 2;
    }
    for (int n = 1; n <= kFrames; ++n) {
        char name[16];
        snprintf(name, sizeof(name), "/%02d.png", n);
        // Frame n shows the head n steps round, so the last frame ends the turn
        // where the first one begins.
        if (!writePng(std::string(argv[1]) + name, drawFrame(n))) return 1;
    }
    return 0;
}
