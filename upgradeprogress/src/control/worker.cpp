// The upgrade worker: one run from package check to committed flags, and the
// failure ending that resets the flags so that the set shows the failure and
// restarts.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <chrono>

#include "archive.h"
#include "control.h"
#include "ground.h"
#include "package.h"
#include "upgrade_record.h"

namespace {

bool packageExists() {
    return access(ota_paths::kPackage, F_OK) == 0;
}

// A link or a directory in the package's place goes too, never what a
// link points at.
void removePackage() {
    removeTree(ota_paths::kPackage);
}

// Anything at all at `dir`, a dangling link included.
bool pathPresent(const char* dir) {
    const std::string bare = std::string(dir).substr(0, strlen(dir) - 1);
    struct stat st;
    return lstat(bare.c_str(), &st) == 0;
}

struct FlagWrite {
    long offset;
    unsigned char value;
};

// Offsets 4 and 7 are what the boot stage reads as "no upgrade pending";
// 8 and 5 carry the success itself, so they are written before 7: until the
// last byte is on the device the upgrade is still pending and runs again.
constexpr FlagWrite kSuccessFlags[] = {
    {kFlagOffset4, 0x55}, {kFlagOffset8, 0xAA}, {kFlagOffset5, 0xAA}, {kFlagOffset7, 0x55}};

int writeSuccessFlags() {
    // What 5 and 8 held before, so that a failure ending after a cut in
    // this sequence can take back the success bytes already written.
    recordBytesBeforeSuccess(
        {static_cast<unsigned char>(readEmmcUpgradFlag(ota_paths::kFlagDevice, kFlagOffset5)),
         static_cast<unsigned char>(readEmmcUpgradFlag(ota_paths::kFlagDevice, kFlagOffset8))});
    for (const FlagWrite& flag : kSuccessFlags) {
        if (writeEmmcUpgradeFlag(ota_paths::kFlagDevice, flag.offset, flag.value) != 0) {
            return 1;
        }
    }
    return 0;
}

// The running chain flag flips between 0 and 1; anything else means it was
// never valid here and is replaced by the value the boot stage knows as reset.
constexpr unsigned char kChainFlagReset = 0x19;

// The running-chain byte a failure ending writes, read and turned over now.
unsigned char nextRunningChain() {
    const int current = readEmmcUpgradFlag(ota_paths::kFlagDevice, kFlagRunningChain);
    if (current == 0) {
        return 1;
    }
    if (current == 1) {
        return 0;
    }
    OTA_LOG("Read the running chain flag failed.\n");
    return kChainFlagReset;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The failure ending, its result recorded first: "refused" while no start
// of this package has gone past its pre-check and no partition write was
// tried, "failed" after.
void endInFailure() {
    recordEnding(m_partitionWrites == 0 && !writingBegan() ? "refused" : "failed");
    clearFlags(2);
}

}  // namespace

void clearFiles() {
    const char* const dirs[] = {ota_paths::kListDir, ota_paths::kUpdateDir};
    for (const char* dir : dirs) {
        if (!pathPresent(dir)) {
            continue;
        }
        // No shell and no link followed: a work directory that another
        // program turned into a link loses the link, never the files it
        // points at.
        if (removeTree(dir) != 0) {
            OTA_LOG("Rm the dir %s failed, will try again.\n", dir);
            removeTree(dir);
        }
    }
    if (packageExists()) {
        removePackage();
    }
    sync();
}

void clearFlags(int value) {
    // Written as a value, chosen once per package and recorded before the
    // package is removed: a cut inside this ending, and the start after it
    // that finds no package, write the same byte again instead of turning
    // the chain over a second time.
    const unsigned char chain = chainTargetForEnding(nextRunningChain);
    if (packageExists()) {
        removePackage();
        sync();
    }
    clearFiles();
    if (m_archiveHandle != nullptr) {
        closeArchive(m_archiveHandle);
        m_archiveHandle = nullptr;
    }
    OTA_LOG("TV will reset the flags and reboot.\n");

    // A success ending of this package cut after some of its bytes: with 4
    // and 7 written below, 5 and 8 would read as success over a set that
    // failed. They get back what they held before that ending began.
    SuccessBytes_T before{};
    bool cleared = true;
    if (bytesBeforeSuccess(&before)) {
        OTA_LOG("A success ending was cut short: bytes 5 and 8 get back %02X and %02X.\n",
                before.byte5, before.byte8);
        cleared = writeEmmcUpgradeFlag(ota_paths::kFlagDevice, kFlagOffset8, before.byte8) == 0 &&
                  writeEmmcUpgradeFlag(ota_paths::kFlagDevice, kFlagOffset5, before.byte5) == 0;
    }
    const FlagWrite resets[] = {
        {kFlagRunningChain, chain}, {kFlagOffset4, 0x55}, {kFlagOffset7, 0x55}};
    for (const FlagWrite& flag : resets) {
        if (!cleared) {
            break;
        }
        if (writeEmmcUpgradeFlag(ota_paths::kFlagDevice, flag.offset, flag.value) != 0) {
            cleared = false;
            break;
        }
    }
    // A flag that did not reach the device is a failure, never "finished":
    // whoever reads the log after a field return must see which it was.
    if (cleared) {
        recordEndingDone();
        OTA_LOG("clear ota flags finished.\n");
    } else {
        OTA_LOG("clear ota flags failed.\n");
    }
    request_update(value, 1);
}

void* refreshBlock(void* /*arg*/) {
    m_totalItemNum = 0;
    m_curItemNum = 0;
    m_partitionWrites = 0;
    request_update(2, 0);
    recordStart();

    if (!packageExists()) {
        OTA_LOG("there is no package: %s\n", ota_paths::kPackage);
        m_failure.message = "there is no package";
        endInFailure();
        return nullptr;
    }
    if (prepareBspatch(m_totalItemNum) != 0) {
        OTA_LOG("prepare bspatch failed.\n");
        m_failure.message = "the package cannot be prepared";
        endInFailure();
        return nullptr;
    }
    OTA_LOG("m_totalItemNum is %d.\n", m_totalItemNum);
    if (m_totalItemNum == 0) {
        OTA_LOG("m_totalItemNum is 0.\n");
        m_failure.message = "the package's lists hold no lines";
        endInFailure();
        return nullptr;
    }
    // Whatever can be known to stop the run halfway is looked for before the
    // first partition write, so that a refusal leaves every partition as it
    // was.
    auto phase = std::chrono::steady_clock::now();
    const int prechecked = checkPackageAgainstSet();
    recordPhase("precheck", secondsSince(phase));
    if (prechecked != 0) {
        endInFailure();
        return nullptr;
    }
    recordWritingBegins();
    // A list that fails takes the failure ending too: the set shows the
    // failure text and restarts instead of freezing on the last percentage.
    if (handleSplitBspatch() != 0) {
        OTA_LOG("handleSplitBspatch failed.\n");
        endInFailure();
        return nullptr;
    }
    // Success is written only over partitions that hold their new images,
    // read back from the devices: a part skipped as done, a part no line
    // named, or a write the device lost ends here instead.
    phase = std::chrono::steady_clock::now();
    const int checked = checkUpgradedPartitions();
    recordPhase("final_check", secondsSince(phase));
    if (checked != 0) {
        OTA_LOG("final check failed, no success is written.\n");
        endInFailure();
        return nullptr;
    }
    request_update(95, 0);
    // On record before the flags: a cut between the two starts the program
    // again, which records the run anew.
    recordEnding("upgraded");

    // The flags go out before the package is removed: a power cut between the
    // two must find a committed upgrade (and, if started again, a package that
    // resumes as already done), never a missing package that would reset the
    // flags and report a finished upgrade as failed.
    if (writeSuccessFlags() != 0) {
        m_failure.message = "a success flag cannot be written";
        recordEnding("failed");
        request_update(95, 1);
        return nullptr;
    }
    sync();
    if (packageExists()) {
        removePackage();
        sync();
    }
    if (access(ota_paths::kSuspendMarker, F_OK) == 0) {
        remove(ota_paths::kSuspendMarker);
        sync();
    }
    request_update(99, 0);
    clearFiles();
    usleep(1000000);
    request_update(100, 0);
    return nullptr;
}
