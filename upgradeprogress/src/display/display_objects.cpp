// The display objects main creates for the whole run.
#include "display/display.h"

IDirectFB* dfb = nullptr;
IDirectFBSurface* primary_sfc = nullptr;
IDirectFBSurface* background_sfc = nullptr;
IDirectFBFont* fontPercent = nullptr;
IDirectFBFont* fontPrompt = nullptr;
