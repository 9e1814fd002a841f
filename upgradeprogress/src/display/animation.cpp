// The rendering thread: the spinner, the percentage and the in-progress text
// while the upgrade runs, then the success or failure text, then the restart
// of the set.
#include <unistd.h>

#include <cstring>

#include "ground.h"
#include "animation_state.h"
#include "display.h"

namespace {

// The renderer state; it belongs to the rendering thread.
int animationDone = 0;
int lastProgress = -1;
int frameIndex = 1;
int finishFrames = 0;

constexpr useconds_t kFramePause = 40 * 1000;
constexpr useconds_t kFinalScreenTime = 2 * 1000 * 1000;

const LanguageMessages_T& currentMessages() {
    // main stores a row of the table; anything else shows the English texts
    // rather than reading past the table.
    if (currentLanguage < 0 || currentLanguage >= kLanguageCount) {
        return kMessageTable[0];
    }
    return kMessageTable[currentLanguage];
}

// The success or failure picture: the one text alone on a cleared screen.
void showFinalScreen(IDirectFBSurface* primary, IDirectFBSurface* background, IDirectFBFont* prompt,
                     const char* message, char* text, size_t textSize) {
    clearSurface(background);
    memset(text, 0, textSize);
    snprintf(text, textSize, "%s", message);
    drawText(background, prompt, text, kResultX, kResultY, DSTF_LEFT);
    primary->Blit(primary, background, NULL, 0, 0);
    primary->Flip(primary, NULL, DSFLIP_WAITFORSYNC);
}

}  // namespace

RendererState_T rendererState() {
    return RendererState_T{animationDone, lastProgress, frameIndex, finishFrames};
}

void* animation(void* arg) {
    const AnimationArgs_T* args = static_cast<const AnimationArgs_T*>(arg);
    IDirectFBFont* percentFont = args->fontPercent;
    IDirectFBFont* promptFont = args->fontPrompt;
    IDirectFBSurface* primary = args->primary_sfc;
    // Named as the program-wide surface it is: the check text names it so.
    IDirectFBSurface* background_sfc = args->background_sfc;

    int w = 0;
    int h = 0;
    DFBCHECK(background_sfc->GetSize(background_sfc, &w, &h));
    OTA_LOG("OTA-UI animation(): progress surface w = %d, h = %d\n", w, h);

    // All frames are decoded before the first picture: a set that cannot show
    // its whole animation shows none, and main finishes the upgrade blind.
    IDirectFBSurface* frames[kFrameCount] = {};
    char path[100];
    DFBSurfaceDescription description;
    for (int n = 1; n <= kFrameCount; ++n) {
        memset(path, 0, sizeof(path));
        snprintf(path, sizeof(path), "%s%02d%s", ota_paths::kFrameDir, n, ota_paths::kFrameSuffix);
        if (doLoadImg(path, &frames[n - 1], nullptr, nullptr, &description) != 0) {
            OTA_LOG("OTA-UI ERROR(): ERROR!\n");
            return nullptr;
        }
    }

    const LanguageMessages_T& messages = currentMessages();
    char text[512];
    bool finished = false;
    while (animationDone == 0) {
        beginProgressIteration();
        if (errorStatus != 0) {
            // Checked first: an error wins over a success not yet on screen.
            OTA_LOG("OTA-UI animation(): upgrade error!\n");
            animationDone = 1;
            errorStatus = 0;
            showFinalScreen(primary, background_sfc, promptFont, messages.failureText, text,
                            sizeof(text));
        } else if (finished) {
            animationDone = 1;
            showFinalScreen(primary, background_sfc, promptFont, messages.successText, text,
                            sizeof(text));
        } else {
            if (frameIndex > kFrameCount - 1) {
                frameIndex = 0;
            }
            if (currentProgress == 100) {
                ++finishFrames;
                if (finishFrames > kFinishIterations - 1) {
                    finished = true;
                }
            }
            // The texts are drawn only when the value changes; the frame is
            // blitted over the same spot every time.
            if (currentProgress != lastProgress) {
                lastProgress = currentProgress;
                clearSurface(background_sfc);
                memset(text, 0, sizeof(text));
                snprintf(text, sizeof(text), "%d%%", currentProgress);
                drawText(background_sfc, percentFont, text, kPercentX, kPercentY, DSTF_CENTER);
                memset(text, 0, sizeof(text));
                snprintf(text, sizeof(text), "%s", messages.upgradingText);
                drawText(background_sfc, promptFont, text, kPromptX, kPromptY, DSTF_LEFT);
            }
            if (frames[frameIndex] != nullptr) {
                // The frame replaces what is beneath it, whatever flags an
                // earlier drawing left on the surface.
                background_sfc->SetBlittingFlags(background_sfc, DSBLIT_NOFX);
                background_sfc->Blit(background_sfc, frames[frameIndex], NULL, kFrameX, kFrameY);
            }
            primary->Blit(primary, background_sfc, NULL, 0, 0);
            primary->Flip(primary, NULL, DSFLIP_WAITFORSYNC);
            ++frameIndex;
            usleep(kFramePause);
        }
        endProgressIteration();
    }

    OTA_LOG(" OTA-UI animation() 110: thread exit.\n");
    usleep(kFinalScreenTime);

    restartSet();

    usleep(kFinalScreenTime);
    for (IDirectFBSurface* frame : frames) {
        if (frame == nullptr) {
            break;
        }
        frame->Release(frame);
    }
    return nullptr;
}
