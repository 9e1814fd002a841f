// Opening the package for a run: verified first when the set holds keys, and
// read afterwards through the very descriptor that was verified.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "archive.h"
#include "package.h"

namespace {

// How long to wait for the clock to move past a change time that is "now".
constexpr int kSettleTries = 100;
constexpr useconds_t kSettleStepUs = 2000;

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A file's change time comes from the kernel's coarse clock. A write in the
// same tick as the identity below would leave it unchanged, so the identity
// is taken only once that clock has moved past the change time: from then on
// every write shows.
bool settledIdentity(int fd, FileIdentity_T* identity) {
    for (int tries = 0;; ++tries) {
        if (!readFileIdentity(fd, identity)) {
            return false;
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (before(identity->changed, now) || tries == kSettleTries) {
            // A change time still ahead after the wait lies in the future
            // (a clock set back): any write now moves it back, which shows too.
            return true;
        }
        usleep(kSettleStepUs);
    }
}

int refuse(const char* why) {
    OTA_LOG("package signature check failed: %s\n", why);
    return kArchiveOpenFailed;
}

}  // namespace

int openCheckedPackage(const char* path, const char* keyDir, void** handle) {
    *handle = nullptr;
    if (!fileExists(keyDir)) {
        return openArchive(path, handle);
    }
    // Any key directory at all means signed packages only: one that holds
    // no usable key refuses everything, it never accepts everything.
    const std::vector<PublicKey_T> keys = loadKeyDirectory(keyDir);
    if (keys.empty()) {
        return refuse((std::string("no key loads from ") + keyDir).c_str());
    }
    // Only a regular file, and a pipe in its place never makes the check wait.
    const int fd = openReadable(path);
    if (fd < 0) {
        return refuse("cannot open the package");
    }
    FileIdentity_T identity;
    if (!settledIdentity(fd, &identity)) {
        close(fd);
        return refuse("cannot read the package");
    }
    const std::string why = checkPackageSignature(fd, keys);
    if (!why.empty()) {
        close(fd);
        return refuse(why.c_str());
    }
    OTA_LOG("package signature verified (%zu key(s) installed)\n", keys.size());
    // The archive takes the descriptor and checks after every extraction
    // that the file is still the one whose bytes were verified.
    return openArchiveFd(fd, path, &identity, handle);
}
