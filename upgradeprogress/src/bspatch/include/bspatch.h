// Binary patching: rebuild a new file from an old file and a BSDIFF40 patch.
// Returns 0 once the new file is written; every failure ends the process with
// exit status 1 through err()/errx().
#pragma once

int bspatch(const char* oldPath, const char* newPath, const char* patchPath);

// The one way out of a failed patch. The program's definition (patch_failure.cpp)
// is err(1, ...) when `withSystemError` is true and errx(1, ...) otherwise:
// the message on standard error, then exit status 1. It lives alone in its
// own object file so that a harness which must survive a bad patch (the
// fuzzer) can link its own definition in its place; such a replacement must
// not return either, but may throw, and the applier then releases every
// stream, reader and buffer it holds.
[[noreturn]] void bspatchFail(bool withSystemError, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
