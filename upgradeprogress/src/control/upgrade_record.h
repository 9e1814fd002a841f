// The durable record of how an upgrade ended (/var/local/upgrade/last_result)
// and what the failure ending needs from it to act once per package.
// Internal to the control room.
#pragma once

#include <string>

// At every start: notes the package's SHA-256 and how many times this
// package has been started, and records the run as "in progress". A record
// left by a failure ending that a cut interrupted is kept as it is.
void recordStart();

// The run has passed its pre-check and begins the lists: from here on a
// partition may change. Recorded durably, so that a later start of the same
// package that fails says "failed", not "refused", even if that start itself
// writes nothing.
void recordWritingBegins();
// True when this start or an earlier start of this package began writing.
bool writingBegan();

// The seconds one phase took ("precheck", "final_check").
void recordPhase(const std::string& phase, double seconds);

// Records the run's ending ("upgraded", "refused", "failed") with the
// failure the package room noted, if any.
void recordEnding(const char* result);

// The running-chain byte the failure ending writes: the value chosen when
// this package's ending first began, or, the first time, `fresh()`'s value,
// recorded durably before the ending removes anything.
unsigned char chainTargetForEnding(unsigned char (*fresh)());

// The failure ending has written every flag byte.
void recordEndingDone();

// The success bytes (offsets 5 and 8) as they were before this package's
// success ending first began, as two bytes; recorded once per package, before
// the first success byte is written.
struct SuccessBytes_T {
    unsigned char byte5;
    unsigned char byte8;
};
void recordBytesBeforeSuccess(SuccessBytes_T bytes);
// True, with the bytes, when an earlier start of this package began its
// success ending: a cut inside it may have left 5 and 8 on the device.
bool bytesBeforeSuccess(SuccessBytes_T* bytes);
