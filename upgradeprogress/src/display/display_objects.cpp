// The DirectFB main interface main creates for the whole run.
#include "display.h"

IDirectFB* dfb = nullptr;
