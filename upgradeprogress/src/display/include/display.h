// Progress display: the language and font choice, the message table, and the
// rendering thread that draws the progress record of the ground floor.
#pragma once

#include <cstdio>

#include <directfb.h>

// ---- Language -------------------------------------------------------------
struct LanguageMessages_T {
    const char* langCode;
    const char* upgradingText;
    const char* successText;
    const char* failureText;
};
constexpr int kLanguageCount = 30;
extern const LanguageMessages_T kMessageTable[kLanguageCount];

// Codes whose texts are drawn with the first font; every other code takes the
// second one.
constexpr const char kFirstFontCodes[] =
    "eng,fre,spa,por,bur,uzb,mal,ger,swe,dan,fin,nor,cze,slk,pol,hun,tur,ind";

extern int currentLanguage;
extern char fontsBank[64];

int get_languageID();

// ---- Rendering thread -----------------------------------------------------
// The display objects main creates before the rendering thread starts, hands
// to that thread in this order, and releases after joining it. The thread
// alone uses them while it runs.
struct AnimationArgs_T {
    IDirectFBFont* fontPercent;
    IDirectFBFont* fontPrompt;
    IDirectFBSurface* primary_sfc;
    IDirectFBSurface* background_sfc;
};

// The DirectFB main interface, through which every surface and image is made.
extern IDirectFB* dfb;

// Runs a DirectFB call; on any result but DFB_OK names the place on stderr and
// ends the process through DirectFB's fatal report, with the call's own text.
// The screen is all the user sees of the upgrade: a display that half works
// is not carried on with.
#define DFBCHECK(call)                                           \
    do {                                                         \
        DFBResult dfbcheck_result_ = (call);                     \
        if (dfbcheck_result_ != DFB_OK) {                        \
            fprintf(stderr, "%s <%d>:\n\t", __FILE__, __LINE__); \
            DirectFBErrorFatal(#call, dfbcheck_result_);         \
        }                                                        \
    } while (0)

void* animation(void* arg);
int drawText(IDirectFBSurface* surface, IDirectFBFont* font, char* str, int x, int y,
             DFBSurfaceTextFlags alignMode);
int doLoadImg(const char* path, IDirectFBSurface** surface, unsigned int* width,
              unsigned int* height, DFBSurfaceDescription* dsc);
int clearSurface(IDirectFBSurface* surface);
int drawImage(IDirectFBSurface* surface, const char* path, int x, int y);
