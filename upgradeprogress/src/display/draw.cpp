// Drawing helpers of the progress screen: text in lines, images from files,
// clearing. Every DirectFB call whose failure would leave the screen wrong
// goes through DFBCHECK.
#include <unistd.h>

#include <cstring>

#include "ground.h"
#include "animation_state.h"
#include "display.h"

namespace {

// Distance between the base lines of two lines of a text; the check text of
// the drawing call names it so.
constexpr int TXT_INTERVAL_SIZE = kPromptLineStep;

// -EINVAL, as the set's image loaders have always reported a bad request.
constexpr int kBadRequest = -22;

}  // namespace

int clearSurface(IDirectFBSurface* surface) {
    if (surface == nullptr) {
        return 0;
    }
    DFBCHECK(surface->Clear(surface, 0x00, 0x00, 0x00, 0x00));
    return 1;
}

int drawText(IDirectFBSurface* surface, IDirectFBFont* font, char* str, int x, int y,
             DFBSurfaceTextFlags alignMode) {
    if (surface == nullptr || font == nullptr || str == nullptr) {
        OTA_LOG("parameter error.\n");
        return 0;
    }
    DFBCHECK(surface->SetFont(surface, font));
    DFBCHECK(surface->SetColor(surface, 0xff, 0xff, 0xff, 0xFF));

    // Empty pieces (leading, trailing or doubled breaks) take no room.
    int i = 0;
    char* rest = nullptr;
    for (char* str_upg_txt = strtok_r(str, "\n", &rest); str_upg_txt != nullptr;
         str_upg_txt = strtok_r(nullptr, "\n", &rest)) {
        DFBCHECK(surface->DrawString(surface, str_upg_txt, strlen(str_upg_txt), x,
                                     y + i * TXT_INTERVAL_SIZE, alignMode));
        ++i;
    }
    if (i == 0) {
        DFBCHECK(surface->DrawString(surface, str, strlen(str), x, y, alignMode));
    }
    return 1;
}

int doLoadImg(const char* path, IDirectFBSurface** surface, unsigned int* width,
              unsigned int* height, DFBSurfaceDescription* dsc) {
    if (path == nullptr || surface == nullptr) {
        OTA_LOG("doLoadImg() failed for %d.\n", kBadRequest);
        return kBadRequest;
    }
    DFBSurfaceDescription own;
    if (dsc == nullptr) {
        dsc = &own;
    }
    if (access(path, R_OK) != 0) {
        OTA_LOG("file %s does not exist.\n", path);
        return kBadRequest;
    }
    IDirectFBImageProvider* provider = nullptr;
    DFBResult result = dfb->CreateImageProvider(dfb, path, &provider);
    if (result != DFB_OK) {
        OTA_LOG("CreateImageProvider() for %s failed %d.\n", path, result);
        return result;
    }
    result = provider->GetSurfaceDescription(provider, dsc);
    if (result != DFB_OK) {
        OTA_LOG("GetSurfaceDescription() for %s failed %d.\n", path, result);
        provider->Release(provider);
        return result;
    }
    IDirectFBSurface* image = nullptr;
    result = dfb->CreateSurface(dfb, dsc, &image);
    if (result != DFB_OK) {
        OTA_LOG("CreateSurface() for %s failed %d.\n", path, result);
        provider->Release(provider);
        return result;
    }
    result = provider->RenderTo(provider, image, nullptr);
    if (result != DFB_OK) {
        OTA_LOG("RenderTo() for %s failed %d.\n", path, result);
        image->Release(image);
        provider->Release(provider);
        return result;
    }
    *surface = image;
    if (width != nullptr) {
        *width = static_cast<unsigned int>(dsc->width);
    }
    if (height != nullptr) {
        *height = static_cast<unsigned int>(dsc->height);
    }
    provider->Release(provider);
    return 0;
}

int drawImage(IDirectFBSurface* surface, const char* path, int x, int y) {
    if (surface == nullptr || path == nullptr) {
        OTA_LOG("doLoadImg() failed for %d.\n", kBadRequest);
        return 0;
    }
    if (access(path, R_OK) != 0) {
        OTA_LOG("file %s does not exist.\n", path);
        return 0;
    }
    IDirectFBImageProvider* provider = nullptr;
    DFBResult result = dfb->CreateImageProvider(dfb, path, &provider);
    if (result != DFB_OK) {
        OTA_LOG("CreateImageProvider() for %s failed %d.\n", path, result);
        return result;
    }
    DFBSurfaceDescription img_dsc;
    result = provider->GetSurfaceDescription(provider, &img_dsc);
    if (result != DFB_OK) {
        OTA_LOG("GetSurfaceDescription() for %s failed %d.\n", path, result);
        provider->Release(provider);
        return result;
    }
    OTA_LOG("img_dsc.width = %d, img_dsc.height = %d.\n", img_dsc.width, img_dsc.height);
    IDirectFBSurface* img_surface = nullptr;
    DFBCHECK(dfb->CreateSurface(dfb, &img_dsc, &img_surface));
    provider->RenderTo(provider, img_surface, nullptr);
    provider->Release(provider);

    DFBRectangle image_rect = {x, y, img_dsc.width, img_dsc.height};
    surface->SetBlittingFlags(surface, DSBLIT_BLEND_ALPHACHANNEL);
    DFBCHECK(surface->Blit(surface, img_surface, NULL, image_rect.x, image_rect.y));
    // The picture now lives on the target; keeping the image surface would
    // leak one surface per call.
    img_surface->Release(img_surface);
    return 1;
}
