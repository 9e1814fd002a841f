// Entry point: language, full-screen display, the rendering thread, one
// second later the upgrade worker; then, only if the rendering thread came
// back without restarting the set, release, reboot marker and reboot.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "control.h"
#include "ground.h"
#include "display.h"

namespace {

pthread_t animationThread;
pthread_t workerThread;

// The display objects, in the one record the rendering thread is handed;
// reachable for the whole run, since that thread reads it until the set
// restarts.
AnimationArgs_T displayObjects = {};

// The four descriptions main creates the display from; only the fields their
// flags name are set.
DFBSurfaceDescription bg_dsc;
DFBSurfaceDescription progress_dsc;
DFBFontDescription font_percent;
DFBFontDescription font_prompt;

void fillDescriptions() {
    memset(&bg_dsc, 0, sizeof bg_dsc);
    bg_dsc.flags =
        static_cast<DFBSurfaceDescriptionFlags>(DSDESC_CAPS | DSDESC_WIDTH | DSDESC_HEIGHT);
    bg_dsc.caps =
        static_cast<DFBSurfaceCapabilities>(DSCAPS_PRIMARY | DSCAPS_DOUBLE | DSCAPS_TRIPLE);
    bg_dsc.width = 1920;
    bg_dsc.height = 1080;

    memset(&progress_dsc, 0, sizeof progress_dsc);
    progress_dsc.flags =
        static_cast<DFBSurfaceDescriptionFlags>(DSDESC_CAPS | DSDESC_WIDTH | DSDESC_HEIGHT);
    progress_dsc.caps = DSCAPS_NONE;
    progress_dsc.width = 1920;
    progress_dsc.height = 1080;

    memset(&font_percent, 0, sizeof font_percent);
    font_percent.flags = DFDESC_HEIGHT;
    font_percent.height = 48;

    memset(&font_prompt, 0, sizeof font_prompt);
    font_prompt.flags = DFDESC_HEIGHT;
    font_prompt.height = 36;
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line, so that a power cut or a kill loses no line already logged.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    currentLanguage = get_languageID();
    OTA_LOG("Get current language is %s.\n", kMessageTable[currentLanguage].langCode);

    // Each call is written out here so that a failure reports the call as
    // it stands in this file, under the names the set's logs know.
    IDirectFBSurface*& primary_sfc = displayObjects.primary_sfc;
    IDirectFBSurface*& background_sfc = displayObjects.background_sfc;
    IDirectFBFont*& fontPercent = displayObjects.fontPercent;
    IDirectFBFont*& fontPrompt = displayObjects.fontPrompt;
    fillDescriptions();
    DFBCHECK(DirectFBInit(&argc, &argv));
    DFBCHECK(DirectFBCreate(&dfb));
    DFBCHECK(dfb->SetCooperativeLevel(dfb, DFSCL_FULLSCREEN));
    DFBCHECK(dfb->CreateSurface(dfb, &bg_dsc, &primary_sfc));
    DFBCHECK(dfb->CreateSurface(dfb, &progress_dsc, &background_sfc));
    DFBCHECK(dfb->CreateFont(dfb, fontsBank, &font_percent, &fontPercent));
    DFBCHECK(dfb->CreateFont(dfb, fontsBank, &font_prompt, &fontPrompt));

    const bool animationStarted =
        pthread_create(&animationThread, nullptr, animation, &displayObjects) == 0;
    if (!animationStarted) {
        OTA_LOG("can not create animation thread\n");
    }

    usleep(1000000);

    const bool workerStarted = pthread_create(&workerThread, nullptr, refreshBlock, nullptr) == 0;
    if (!workerStarted) {
        // Without a thread of its own the upgrade still has to run: do it
        // here, the rendering thread goes on drawing beside it.
        OTA_LOG("can not create upgrade thread, upgrading on the main thread\n");
        refreshBlock(nullptr);
    }

    if (animationStarted) {
        pthread_join(animationThread, nullptr);
    }
    if (workerStarted) {
        pthread_join(workerThread, nullptr);
    }

    background_sfc->Release(background_sfc);
    primary_sfc->Release(primary_sfc);
    dfb->Release(dfb);

    restartSet();
    return 0;
}
