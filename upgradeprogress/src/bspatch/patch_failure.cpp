// How the program ends on a failed patch: err()/errx() with status 1. Kept in
// a file of its own; see bspatchFail in the door.
#include <err.h>

#include <cstdarg>

#include "bspatch.h"

void bspatchFail(bool withSystemError, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (withSystemError) {
        verr(1, format, args);
    }
    verrx(1, format, args);
}
