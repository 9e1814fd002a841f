// Progress display: the progress state shared by the worker and the screen,
// the language and font choice, and the rendering thread.
#pragma once

#include <pthread.h>

#include <directfb.h>

// ---- Progress state (guarded by progressMutex) -----------------------------
extern int currentProgress;
extern int errorStatus;
extern pthread_mutex_t progressMutex;

void request_update(int value, int error);

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
// The record main hands to the rendering thread, in this order.
struct AnimationArgs_T {
    IDirectFBFont* fontPercent;
    IDirectFBFont* fontPrompt;
    IDirectFBSurface* primary_sfc;
    IDirectFBSurface* background_sfc;
};

extern IDirectFB* dfb;

void* animation(void* arg);
int drawText(IDirectFBSurface* surface, IDirectFBFont* font, char* str, int x, int y,
             DFBSurfaceTextFlags alignMode);
int doLoadImg(const char* path, IDirectFBSurface** surface, unsigned int* width,
              unsigned int* height, DFBSurfaceDescription* dsc);
int clearSurface(IDirectFBSurface* surface);
int drawImage(IDirectFBSurface* surface, const char* path, int x, int y);
