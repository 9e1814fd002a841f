#include "screen_support.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace screen_test {

namespace {

// The sandbox runner's choice as well: headless, no terminal, no input.
const char kDummyArgs[] =
    "system=dummy,mode=1920x1080,depth=32,pixelformat=ARGB,no-vt,no-vt-switch,no-vt-switching,"
    "no-cursor,no-sighandler,no-debug,quiet,disable-module=linux_input,disable-module=keyboard";

void makeDirs(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

}  // namespace

void startDirectFb() {
    if (dfb != nullptr) {
        return;
    }
    setenv("DFBARGS", kDummyArgs, 0);
    DFBCHECK(DirectFBInit(nullptr, nullptr));
    DFBCHECK(DirectFBCreate(&dfb));
    DFBCHECK(dfb->SetCooperativeLevel(dfb, DFSCL_FULLSCREEN));
}

void createScreen(const char* fontPath, Screen* screen) {
    DFBSurfaceDescription bg_dsc;
    bg_dsc.flags =
        static_cast<DFBSurfaceDescriptionFlags>(DSDESC_CAPS | DSDESC_WIDTH | DSDESC_HEIGHT);
    bg_dsc.caps =
        static_cast<DFBSurfaceCapabilities>(DSCAPS_PRIMARY | DSCAPS_DOUBLE | DSCAPS_TRIPLE);
    bg_dsc.width = 1920;
    bg_dsc.height = 1080;
    DFBSurfaceDescription progress_dsc = bg_dsc;
    progress_dsc.caps = DSCAPS_NONE;
    DFBCHECK(dfb->CreateSurface(dfb, &bg_dsc, &screen->primary));
    DFBCHECK(dfb->CreateSurface(dfb, &progress_dsc, &screen->background));
    DFBFontDescription font_percent;
    font_percent.flags = DFDESC_HEIGHT;
    font_percent.height = 48;
    DFBFontDescription font_prompt;
    font_prompt.flags = DFDESC_HEIGHT;
    font_prompt.height = 36;
    DFBCHECK(dfb->CreateFont(dfb, fontPath, &font_percent, &screen->percent));
    DFBCHECK(dfb->CreateFont(dfb, fontPath, &font_prompt, &screen->prompt));
}

void releaseScreen(Screen* screen) {
    if (screen->prompt) screen->prompt->Release(screen->prompt);
    if (screen->percent) screen->percent->Release(screen->percent);
    if (screen->background) screen->background->Release(screen->background);
    if (screen->primary) screen->primary->Release(screen->primary);
    *screen = Screen();
}

Picture readBack(IDirectFBSurface* surface) {
    Picture picture;
    DFBCHECK(surface->GetSize(surface, &picture.width, &picture.height));
    DFBSurfacePixelFormat format;
    DFBCHECK(surface->GetPixelFormat(surface, &format));
    if (format != DSPF_ARGB) {
        fprintf(stderr, "readBack: surface is not ARGB (0x%x)\n", static_cast<unsigned>(format));
        abort();
    }
    void* data = nullptr;
    int pitch = 0;
    DFBCHECK(surface->Lock(surface, DSLF_READ, &data, &pitch));
    picture.argb.resize(static_cast<size_t>(picture.width) * picture.height);
    for (int y = 0; y < picture.height; ++y) {
        memcpy(&picture.argb[static_cast<size_t>(y) * picture.width],
               static_cast<char*>(data) + y * pitch, static_cast<size_t>(picture.width) * 4);
    }
    surface->Unlock(surface);
    return picture;
}

bool savePng(const Picture& picture, const std::string& path, bool opaque) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, 3);
    png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGBA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<unsigned char> row(static_cast<size_t>(picture.width) * 4);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            uint32_t p = picture.at(x, y);
            row[x * 4 + 0] = (p >> 16) & 0xff;
            row[x * 4 + 1] = (p >> 8) & 0xff;
            row[x * 4 + 2] = p & 0xff;
            row[x * 4 + 3] = opaque ? 0xff : p >> 24;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(file) == 0;
}

bool loadPng(const std::string& path, Picture* picture) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGBA;
    std::vector<unsigned char> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) return false;
    picture->width = static_cast<int>(image.width);
    picture->height = static_cast<int>(image.height);
    picture->argb.resize(static_cast<size_t>(picture->width) * picture->height);
    for (size_t i = 0; i < picture->argb.size(); ++i) {
        const unsigned char* p = &rgba[i * 4];
        picture->argb[i] =
            (uint32_t(p[3]) << 24) | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    }
    return true;
}

bool saveRaw(const Picture& picture, const std::string& path) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const int32_t size[2] = {picture.width, picture.height};
    bool ok = fwrite(size, sizeof(size), 1, file) == 1 &&
              fwrite(picture.argb.data(), 4, picture.argb.size(), file) == picture.argb.size();
    return fclose(file) == 0 && ok;
}

bool loadRaw(const std::string& path, Picture* picture) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    int32_t size[2] = {0, 0};
    bool ok = fread(size, sizeof(size), 1, file) == 1 && size[0] > 0 && size[1] > 0 &&
              size[0] <= 4096 && size[1] <= 4096;
    if (ok) {
        picture->width = size[0];
        picture->height = size[1];
        picture->argb.resize(static_cast<size_t>(size[0]) * size[1]);
        ok = fread(picture->argb.data(), 4, picture->argb.size(), file) == picture->argb.size();
    }
    fclose(file);
    return ok;
}

Box inkBox(const Picture& picture, const Box& region) {
    Box box{region.x1, region.y1, region.x0, region.y0};
    for (int y = region.y0; y < region.y1; ++y) {
        for (int x = region.x0; x < region.x1; ++x) {
            if (picture.at(x, y) != 0) {
                box.x0 = std::min(box.x0, x);
                box.y0 = std::min(box.y0, y);
                box.x1 = std::max(box.x1, x + 1);
                box.y1 = std::max(box.y1, y + 1);
            }
        }
    }
    return box.empty() ? Box{} : box;
}

long countOther(const Picture& picture, const Box& region, uint32_t value) {
    long n = 0;
    for (int y = region.y0; y < region.y1; ++y) {
        for (int x = region.x0; x < region.x1; ++x) {
            n += picture.at(x, y) != value;
        }
    }
    return n;
}

long countInk(const Picture& picture, const Box& region) {
    return countOther(picture, region, 0);
}

std::string artifactPath(const std::string& name) {
    std::string dir = std::string(OTA_BINARY_DIR) + "/test-artifacts/display";
    makeDirs(dir);
    return dir + "/" + name;
}

std::string builtFramePath(int number) {
    char name[32];
    snprintf(name, sizeof(name), "/animationImage/%02d.png", number);
    return std::string(OTA_BINARY_DIR) + name;
}

const char* fontSourceFor(const char* langCode) {
    return strstr(kFirstFontCodes, langCode) != nullptr ? OTA_FONT_LATIN_SOURCE
                                                        : OTA_FONT_OTHER_SOURCE;
}

}  // namespace screen_test

// DirectFB keeps its core, its modules' names and its event threads until
// the process ends and never hands them back; that is the library's way, not
// a leak of this code.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdirectfb-1.7.so\n"
           "leak:libfusion-1.7.so\n"
           "leak:libdirect-1.7.so\n";
}
