// Brings DirectFB up the way the program does on the set (full-screen, 1920x1080
// double-buffered primary), draws, flips and reads the pixels back. Exits 0
// when what was drawn is what is read back; run inside the sandbox.
#include <directfb.h>

#include <cstdio>
#include <cstdint>

// DirectFB 1.7 keeps module lists and fusion buffers until exit on purpose;
// those are its own and not what a sanitizer build of this probe looks for.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdirectfb-1.7.so\nleak:libdirect-1.7.so\nleak:libfusion-1.7.so\n";
}

namespace {

int check(DFBResult result, const char* what) {
    if (result != DFB_OK) fprintf(stderr, "dfb_probe: %s: %s\n", what, DirectFBErrorString(result));
    return result == DFB_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A sanitizer's report at exit skips stdio's flush; keep every line.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    IDirectFB* dfb = nullptr;
    if (check(DirectFBInit(&argc, &argv), "DirectFBInit") ||
        check(DirectFBCreate(&dfb), "DirectFBCreate")) {
        return 1;
    }
    if (check(dfb->SetCooperativeLevel(dfb, DFSCL_FULLSCREEN), "SetCooperativeLevel")) return 1;

    DFBSurfaceDescription desc{};
    desc.flags = DSDESC_CAPS;
    desc.caps = static_cast<DFBSurfaceCapabilities>(DSCAPS_PRIMARY | DSCAPS_DOUBLE);
    IDirectFBSurface* primary = nullptr;
    if (check(dfb->CreateSurface(dfb, &desc, &primary), "CreateSurface")) return 1;
    int width = 0, height = 0;
    primary->GetSize(primary, &width, &height);
    DFBSurfacePixelFormat format = DSPF_UNKNOWN;
    primary->GetPixelFormat(primary, &format);
    printf("dfb_probe: primary %dx%d, format 0x%x\n", width, height, static_cast<unsigned>(format));
    if (width != 1920 || height != 1080) {
        fprintf(stderr, "dfb_probe: expected a 1920x1080 primary surface\n");
        return 1;
    }

    // Blue everywhere, a red rectangle; after the flip the drawn buffer is the
    // front one, so draw the same frame twice to read back a known picture.
    for (int frame = 0; frame < 2; ++frame) {
        primary->SetColor(primary, 0x00, 0x00, 0xff, 0xff);
        primary->FillRectangle(primary, 0, 0, width, height);
        primary->SetColor(primary, 0xff, 0x00, 0x00, 0xff);
        primary->FillRectangle(primary, 100, 200, 300, 400);
        if (check(primary->Flip(primary, nullptr, DSFLIP_WAITFORSYNC), "Flip")) return 1;
    }

    void* data = nullptr;
    int pitch = 0;
    if (check(primary->Lock(primary, DSLF_READ, &data, &pitch), "Lock")) return 1;
    auto pixel = [&](int x, int y) {
        return *reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(data) + y * pitch +
                                                  x * 4);
    };
    uint32_t outside = pixel(10, 10) & 0x00ffffff;
    uint32_t inside = pixel(250, 500) & 0x00ffffff;
    uint32_t corner = pixel(1919, 1079) & 0x00ffffff;
    primary->Unlock(primary);
    printf("dfb_probe: outside 0x%06x inside 0x%06x corner 0x%06x\n", outside, inside, corner);

    primary->Release(primary);
    dfb->Release(dfb);
    bool ok =
        format == DSPF_ARGB && outside == 0x0000ff && inside == 0xff0000 && corner == 0x0000ff;
    return ok ? 0 : 1;
}
