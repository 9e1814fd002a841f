// The drawing helpers on a real DirectFB (its headless dummy system), with the
// real fonts and the frames the build drew. Each picture is read back and
// checked the way a person looks at the screen: is the text where it belongs,
// is the image the image, is anything else touched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "display.h"
#include "glyph_layout.h"
#include "screen_support.h"
#include "testing/files.h"

namespace {

using namespace screen_test;

constexpr uint32_t kPaint = 0xff204080;  // opaque blue-grey, not a colour the screen uses

void fill(IDirectFBSurface* surface, uint32_t argb) {
    surface->SetColor(surface, (argb >> 16) & 0xff, (argb >> 8) & 0xff, argb & 0xff, argb >> 24);
    surface->SetDrawingFlags(surface, DSDRAW_NOFX);
    surface->FillRectangle(surface, 0, 0, 1920, 1080);
}

class DrawTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One screen for the whole process: DirectFB hands out its primary
        // surface once.
        startDirectFb();
        if (screen_.primary == nullptr) {
            createScreen(OTA_FONT_LATIN_SOURCE, &screen_);
        }
    }

    void SetUp() override { clearSurface(screen_.background); }

    static Screen screen_;
};

Screen DrawTest::screen_;

// ---- drawText --------------------------------------------------------------

class PercentText : public DrawTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PercentText, CentredOnTheMiddleOfTheScreenOnItsBaseLine) {
    char text[16];
    snprintf(text, sizeof(text), "%s", GetParam());
    ASSERT_EQ(drawText(screen_.background, screen_.percent, text, 960, 581, DSTF_CENTER), 1);

    GlyphLayout expected(OTA_FONT_LATIN_SOURCE, 48);
    ASSERT_TRUE(expected.ok());
    expected.addLine(GetParam(), 960, 581, true);
    Picture picture = readBack(screen_.background);
    InkDifference d = compareInk(picture, expected, kWholeScreen);
    EXPECT_GT(d.expected, 100);
    EXPECT_EQ(d.missing, 0);
    EXPECT_EQ(d.extra, 0);
    // The middle of the drawn text is the middle of the screen.
    Box box = inkBox(picture, kWholeScreen);
    EXPECT_NEAR((box.x0 + box.x1) / 2.0, 960.0, 6.0);
    EXPECT_LE(box.y1, 581 + 1);
}

INSTANTIATE_TEST_SUITE_P(Values, PercentText, ::testing::Values("0%", "7%", "42%", "100%"));

TEST_F(DrawTest, PromptLinesStartAtTheLeftMarginAndStepDown) {
    std::string source = kMessageTable[0].upgradingText;
    std::vector<char> text(source.begin(), source.end());
    text.push_back('\0');
    ASSERT_EQ(drawText(screen_.background, screen_.prompt, text.data(), 350, 631, DSTF_LEFT), 1);

    GlyphLayout expected(OTA_FONT_LATIN_SOURCE, 36);
    expected.addLines(source, 350, 631, 38);
    Picture picture = readBack(screen_.background);
    InkDifference d = compareInk(picture, expected, kWholeScreen);
    EXPECT_GT(d.expected, 1000);
    EXPECT_EQ(d.missing, 0);
    EXPECT_EQ(d.extra, 0);

    // Both lines begin at the margin: "S" and "P" start within a few pixels
    // right of x 350, one line 38 pixels below the other.
    Box first = inkBox(picture, Box{0, 631 - 36, 1920, 631});
    Box second = inkBox(picture, Box{0, 669 - 36, 1920, 669});
    EXPECT_GE(first.x0, 350);
    EXPECT_LE(first.x0, 356);
    EXPECT_GE(second.x0, 350);
    EXPECT_LE(second.x0, 356);
    // The text was cut into lines in place.
    EXPECT_EQ(strlen(text.data()), source.find('\n'));
}

TEST_F(DrawTest, EmptyLinesTakeNoRoom) {
    char text[] = "alpha\n\nbeta\n";
    ASSERT_EQ(drawText(screen_.background, screen_.prompt, text, 350, 631, DSTF_LEFT), 1);
    GlyphLayout expected(OTA_FONT_LATIN_SOURCE, 36);
    expected.addLine("alpha", 350, 631, false);
    expected.addLine("beta", 350, 669, false);
    InkDifference d = compareInk(readBack(screen_.background), expected, kWholeScreen);
    EXPECT_GT(d.expected, 100);
    EXPECT_EQ(d.missing, 0);
    EXPECT_EQ(d.extra, 0);
}

// A text with no line at all is drawn once, whole, at the given place: for
// the empty text that is nothing; line breaks alone show what the font has
// for them.
class NoLineText : public DrawTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoLineText, IsDrawnWholeOnce) {
    char text[16];
    snprintf(text, sizeof(text), "%s", GetParam());
    ASSERT_EQ(drawText(screen_.background, screen_.prompt, text, 780, 522, DSTF_LEFT), 1);
    EXPECT_STREQ(text, GetParam());
    GlyphLayout expected(OTA_FONT_LATIN_SOURCE, 36);
    expected.addLine(GetParam(), 780, 522, false);
    InkDifference d = compareInk(readBack(screen_.background), expected, kWholeScreen);
    EXPECT_EQ(d.missing, 0);
    EXPECT_EQ(d.extra, 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, NoLineText, ::testing::Values("", "\n", "\n\n\n"));

struct NullCase {
    bool surface;
    bool font;
    bool str;
};

class DrawTextNullArgument : public DrawTest, public ::testing::WithParamInterface<NullCase> {};

TEST_P(DrawTextNullArgument, RefusesAndDrawsNothing) {
    const NullCase& c = GetParam();
    char text[] = "Upgrade failed";
    testing::internal::CaptureStdout();
    int result =
        drawText(c.surface ? screen_.background : nullptr, c.font ? screen_.prompt : nullptr,
                 c.str ? text : nullptr, 780, 522, DSTF_LEFT);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find("drawText(): parameter error.\n"), std::string::npos) << out;
    EXPECT_EQ(countInk(readBack(screen_.background), kWholeScreen), 0);
    EXPECT_STREQ(text, "Upgrade failed");
}

INSTANTIATE_TEST_SUITE_P(Arguments, DrawTextNullArgument,
                         ::testing::Values(NullCase{false, true, true}, NullCase{true, false, true},
                                           NullCase{true, true, false}));

// ---- clearSurface ----------------------------------------------------------

TEST_F(DrawTest, ClearSurfaceClearsEveryPixelToTransparentBlack) {
    fill(screen_.background, kPaint);
    ASSERT_EQ(countOther(readBack(screen_.background), kWholeScreen, kPaint), 0);
    EXPECT_EQ(clearSurface(screen_.background), 1);
    EXPECT_EQ(countInk(readBack(screen_.background), kWholeScreen), 0);
}

TEST_F(DrawTest, ClearSurfaceOfNothingSaysSoSilently) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(clearSurface(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- doLoadImg -------------------------------------------------------------

TEST_F(DrawTest, LoadedFrameHoldsThePixelsOfItsFile) {
    Picture file;
    ASSERT_TRUE(loadPng(builtFramePath(5), &file));
    IDirectFBSurface* surface = nullptr;
    unsigned width = 0;
    unsigned height = 0;
    DFBSurfaceDescription dsc;
    ASSERT_EQ(doLoadImg(builtFramePath(5).c_str(), &surface, &width, &height, &dsc), 0);
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(width, 186u);
    EXPECT_EQ(height, 186u);
    EXPECT_EQ(dsc.width, 186);
    EXPECT_EQ(dsc.height, 186);
    Picture loaded = readBack(surface);
    surface->Release(surface);
    ASSERT_EQ(loaded.width, file.width);
    ASSERT_EQ(loaded.height, file.height);
    EXPECT_EQ(countOther(loaded, Box{0, 0, 186, 186}, 0), countInk(file, Box{0, 0, 186, 186}));
    long differing = 0;
    for (size_t i = 0; i < file.argb.size(); ++i)
        differing += loaded.argb[i] != file.argb[i];
    EXPECT_EQ(differing, 0);
}

TEST_F(DrawTest, LoadWithoutSizeOutputs) {
    IDirectFBSurface* surface = nullptr;
    DFBSurfaceDescription dsc;
    ASSERT_EQ(doLoadImg(builtFramePath(48).c_str(), &surface, nullptr, nullptr, &dsc), 0);
    ASSERT_NE(surface, nullptr);
    int w = 0, h = 0;
    surface->GetSize(surface, &w, &h);
    EXPECT_EQ(w, 186);
    EXPECT_EQ(h, 186);
    surface->Release(surface);
}

struct LoadFailure {
    const char* name;
    bool nullPath;
    bool nullSurface;
    const char* path;    // used when nullPath is false
    const char* logged;  // expected in the log
    bool badRequest;     // result is -22, else a DirectFB error
};

void PrintTo(const LoadFailure& c, std::ostream* os) {
    *os << c.name;
}

// A text file named like a picture, made by the case in its temporary directory.
std::string notAnImagePath() {
    return ::testing::TempDir() + "not-an-image-" + std::to_string(getpid()) + ".png";
}

class LoadFails : public DrawTest, public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(LoadFails, WithItsReasonLoggedAndNoSurface) {
    const LoadFailure& c = GetParam();
    const std::string path = c.path ? c.path : notAnImagePath();
    if (c.path == nullptr) {
        ASSERT_TRUE(ota_test::writeFile(path, "this is text, not a picture\n"));
    }
    IDirectFBSurface* surface = nullptr;
    DFBSurfaceDescription dsc;
    testing::internal::CaptureStdout();
    int result = doLoadImg(c.nullPath ? nullptr : path.c_str(), c.nullSurface ? nullptr : &surface,
                           nullptr, nullptr, &dsc);
    std::string out = testing::internal::GetCapturedStdout();
    if (c.badRequest) {
        EXPECT_EQ(result, -22);
    } else {
        EXPECT_NE(result, 0);
        EXPECT_NE(result, -22);
    }
    EXPECT_EQ(surface, nullptr);
    std::string logged = c.logged;
    size_t at = logged.find("%s");
    if (at != std::string::npos) logged.replace(at, 2, path);
    EXPECT_NE(out.find("doLoadImg(): " + logged), std::string::npos) << out;
    if (c.path == nullptr) {
        unlink(path.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadFails,
    ::testing::Values(
        LoadFailure{"NullPath", true, false, "/nothing", "doLoadImg() failed for -22.\n", true},
        LoadFailure{"NullSurface", false, true, "/nothing", "doLoadImg() failed for -22.\n", true},
        LoadFailure{"MissingFile", false, false, "/nonexistent/animationImage/17.png",
                    "file %s does not exist.\n", true},
        LoadFailure{"NotAnImage", false, false, nullptr, "CreateImageProvider() for %s failed ",
                    false}));

// ---- drawImage -------------------------------------------------------------

TEST_F(DrawTest, DrawImageBlendsTheFrameByItsAlphaAndTouchesNothingElse) {
    Picture frame;
    ASSERT_TRUE(loadPng(builtFramePath(12), &frame));
    fill(screen_.background, kPaint);
    testing::internal::CaptureStdout();
    int result = drawImage(screen_.background, builtFramePath(12).c_str(), 100, 50);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_NE(out.find("drawImage(): img_dsc.width = 186, img_dsc.height = 186.\n"),
              std::string::npos)
        << out;

    Picture picture = readBack(screen_.background);
    const Box at{100, 50, 100 + 186, 50 + 186};
    // Outside the image nothing changed.
    EXPECT_EQ(countOther(picture, kWholeScreen, kPaint) - countOther(picture, at, kPaint), 0);
    long transparentKept = 0, opaqueCopied = 0, blendedOff = 0, transparent = 0, opaque = 0;
    for (int y = 0; y < 186; ++y) {
        for (int x = 0; x < 186; ++x) {
            const uint32_t src = frame.at(x, y);
            const uint32_t dst = picture.at(100 + x, 50 + y);
            const unsigned a = src >> 24;
            if (a == 0) {
                ++transparent;
                transparentKept += dst == kPaint;
                continue;
            }
            if (a == 255) {
                ++opaque;
                opaqueCopied += (dst & 0xffffff) == (src & 0xffffff);
                continue;
            }
            for (int shift : {16, 8, 0}) {
                const double s = (src >> shift) & 0xff;
                const double b = (kPaint >> shift) & 0xff;
                const double want = (s * a + b * (255 - a)) / 255.0;
                blendedOff += std::abs(static_cast<double>((dst >> shift) & 0xff) - want) > 3.0;
            }
        }
    }
    EXPECT_GT(transparent, 1000);
    EXPECT_GT(opaque, 100);
    EXPECT_EQ(transparentKept, transparent);
    EXPECT_EQ(opaqueCopied, opaque);
    EXPECT_EQ(blendedOff, 0);
}

TEST_F(DrawTest, DrawImageRefusesNullArgumentsAndMissingFiles) {
    fill(screen_.background, kPaint);
    testing::internal::CaptureStdout();
    EXPECT_EQ(drawImage(nullptr, builtFramePath(1).c_str(), 0, 0), 0);
    EXPECT_EQ(drawImage(screen_.background, nullptr, 0, 0), 0);
    EXPECT_EQ(drawImage(screen_.background, "/nonexistent/01.png", 0, 0), 0);
    const std::string notImagePath = notAnImagePath();
    const bool made = ota_test::writeFile(notImagePath, "this is text, not a picture\n");
    int notImage = drawImage(screen_.background, notImagePath.c_str(), 0, 0);
    std::string out = testing::internal::GetCapturedStdout();
    unlink(notImagePath.c_str());
    ASSERT_TRUE(made);
    EXPECT_NE(notImage, 0);
    EXPECT_NE(notImage, 1);
    EXPECT_NE(out.find("file /nonexistent/01.png does not exist.\n"), std::string::npos) << out;
    EXPECT_EQ(countOther(readBack(screen_.background), kWholeScreen, kPaint), 0);
}

}  // namespace
