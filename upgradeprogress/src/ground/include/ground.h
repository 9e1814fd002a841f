// The ground every room of the program stands on: the one log format, the
// set's fixed paths, the file-system helpers, the boot-flag partition with the
// restart of the set, and the progress record the worker writes and the
// screen reads. Nothing here knows of DirectFB, the package or the archive.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// ---- Log ------------------------------------------------------------------
// The one diagnostic format of the program: "file:line:function(): message".
// Everything goes to standard output with printf; main makes stdout line
// buffered so that a power cut or a kill loses no line already logged.
#define OTA_LOG(fmt, ...) printf("%s:%d:%s(): " fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)

// ---- Fixed paths ----------------------------------------------------------
// Every fixed path of the set, named once. The program has no configuration:
// the boot stage, the download agent and the set's image agree on these.
namespace ota_paths {

// Package and work directories (the work directories end in '/': item paths
// are a directory followed directly by an item name).
constexpr const char kPackage[] = "/OAD/patch_package.zip";
constexpr const char kPatchDir[] = "/tmp/patch_file/";
constexpr const char kOriginalDir[] = "/tmp/original_file/";
constexpr const char kUpdateDir[] = "/OAD/update_file/";
constexpr const char kListDir[] = "/OAD/patch_package/";

// Boot-flag partition: flag bytes through the first name, the reboot marker
// through the second.
constexpr const char kFlagDevice[] = "/dev/mmcblk0p4";
constexpr const char kFlagDeviceBlock[] = "/dev/block/mmcblk0p4";

// The partitions an upgrade writes, by name and eMMC device. The package
// names its lists after these names; the sandbox runner makes these devices.
struct Partition_T {
    const char* name;
    const char* device;
};
constexpr int kPartitionCount = 4;
constexpr const char kOptfs[] = "optfs";
constexpr const char kUsrfs[] = "usrfs";
constexpr const char kTvservice[] = "tvservice";
constexpr const char kSerialsdata[] = "serialsdata";
constexpr const char kOptfsDevice[] = "/dev/mmcblk0p28";
constexpr const char kUsrfsDevice[] = "/dev/mmcblk0p26";
constexpr const char kTvserviceDevice[] = "/dev/mmcblk0p18";
constexpr const char kSerialsdataDevice[] = "/dev/mmcblk0p34";
constexpr Partition_T kPartitions[kPartitionCount] = {
    {kOptfs, kOptfsDevice},
    {kUsrfs, kUsrfsDevice},
    {kTvservice, kTvserviceDevice},
    {kSerialsdata, kSerialsdataDevice},
};

// Removed after a successful upgrade.
constexpr const char kSuspendMarker[] = "/var/local/suspend_force_off";

// Language and fonts.
constexpr const char kLanguageFile[] = "/var/local/upgrade/am_tv_lang";
constexpr const char kFontLatin[] = "/usr/bin/upgradeprogress/ukai.ttc";
constexpr const char kFontOther[] = "/var/local/upgrade/uming.ttc";

// Public keys a package must be signed with: when this directory exists, only
// a package one of its *.pem keys verifies is installed.
constexpr const char kKeyDir[] = "/usr/bin/upgradeprogress/keys/";

// The set's installed release, a whole number on one line, written by the
// image build. When it exists, only a package whose manifest installs this
// release or a later one is accepted.
constexpr const char kReleaseFile[] = "/usr/bin/upgradeprogress/release";

// How each upgrade ended, for the downloader and field reports; the flags
// stay the boot stage's only commitment.
constexpr const char kResultDir[] = "/var/local/upgrade/";
constexpr const char kLastResult[] = "/var/local/upgrade/last_result";

// Animation frames: kFrameDir + two-digit number + kFrameSuffix.
constexpr const char kFrameDir[] = "/usr/bin/upgradeprogress/animationImage/";
constexpr const char kFrameSuffix[] = ".png";

}  // namespace ota_paths

// ---- File-system helpers --------------------------------------------------
// Closes a stdio stream on every way out of a scope.
struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FileOwner = std::unique_ptr<FILE, FileCloser>;

// Room for a composed path, its zero included. getFilePath writes into a
// buffer of this size; a path that does not fit comes back empty.
constexpr unsigned long kComposedPathMax = 4096;

void removeDirFile(const char* path, std::vector<std::string>* keep);
bool isExistFile(const std::vector<std::string>* list, std::string name);
bool isFile(const char* path);
bool isDir(const char* path);
bool isSpecialDir(const char* name);
char* getFilePath(const char* dir, const char* name, char* out);
bool isDirExist(std::string path);
// Spelled as the set's other programs call it; the name stays.
int mkDiretory(std::string path);
int fileWc(const char* path);
// True when anything, of any kind, is at `path`.
bool fileExists(const std::string& path);

// ---- Files on shared ground -----------------------------------------------
// /OAD, /var/local and /tmp are written by other programs too. A symbolic
// link there never redirects a write or a removal, and a pipe or device
// never makes the program wait.

// Opens `path` for reading, following links, only when it is a regular file
// (or, with `blockDeviceToo`, a block device). -1 (or null) for anything else.
int openReadable(const char* path, bool blockDeviceToo = false);
FILE* fopenReadable(const char* path, bool blockDeviceToo = false);

// Opens `path` to be written from its start as a regular file of its own:
// a link, pipe or device node at that name is removed first (a directory is
// refused), and the open never follows a link. -1 (or null) on failure.
int openFreshFile(const char* path, mode_t mode);
FILE* fopenFreshFile(const char* path);
// fopenFreshFile inside the directory held on `dirFd`, as openFreshFileAt.
FILE* fopenFreshFileAt(int dirFd, const char* name);

// The same, for `name` inside the directory held open on `dirFd` (AT_FDCWD:
// `name` is a path). Whatever is at the name is unlinked first and the file
// is made with O_EXCL: an existing file, a hard link above all, is never
// opened, so nothing but the new file is ever truncated or written.
// `readBack` opens it for reading too.
int openFreshFileAt(int dirFd, const char* name, mode_t mode, bool readBack = false);
// A regular file `name` inside the directory held on `dirFd`, opened for
// reading without following a link at the name. -1 for anything else.
int openReadableAt(int dirFd, const char* name);

// Makes `path` a work directory of this program and holds it open: a
// directory owned by the program's user, made with mode 0700. A link, a file,
// or a directory owned by another user or writable by group or others is removed
// (never what a link points at) and made afresh. Files are then made and
// read only through the returned descriptor, so renaming the directory away
// changes nothing. -1 on failure.
int openWorkDirectory(const char* path);

// Removes `path` and everything below it without following a link anywhere
// and without a shell: a link is removed itself. 0 when nothing is left.
int removeTree(const char* path);
// Removes everything inside the directory held open on `dirFd`, the same
// way. 0 when nothing is left in it.
int emptyDirectoryAt(int dirFd);

// ---- Streams ----------------------------------------------------------------
// One routine reads every stream the program checks or copies: in chunks of
// kStreamChunk, hashed on the way, each chunk handed on.
constexpr size_t kStreamChunk = 1048576;
// Buffers, offsets and sizes of a read past the page cache (O_DIRECT).
constexpr size_t kDirectAlignment = 4096;
constexpr uint64_t kWholeStream = UINT64_MAX;

enum class StreamHash { None, Md5, Sha256 };

// Takes one chunk; false stops the stream.
using ChunkSink = std::function<bool(const unsigned char* data, size_t size)>;

struct StreamResult_T {
    uint64_t bytes = 0;  // handed on, and hashed
    std::string digest;  // raw digest bytes; empty without a hash
};

// Reads `length` bytes (kWholeStream: to the end) of fd from byte `start`
// with pread, so the descriptor's position is left alone. `each` (may be
// empty) gets every chunk after it was hashed. With `direct` the descriptor
// was opened with O_DIRECT: `start` must be aligned, the last read is
// rounded up to whole blocks and only the asked-for prefix is hashed and
// handed on. False on a read error, a refused chunk, or a stream shorter
// than `length`; `result` then holds what was read so far.
bool streamChunks(int fd, uint64_t start, uint64_t length, StreamHash hash, const ChunkSink& each,
                  StreamResult_T* result, bool direct = false);
// Writes every byte, going on after a short write or a signal. False on an
// error.
bool writeAll(int fd, const void* data, size_t size);
// A small regular file read whole: false when it cannot be read or holds
// more than `maxBytes` bytes, which is never taken into memory.
bool readSmallFile(const char* path, uint64_t maxBytes, std::string* text);
// Lower-case hexadecimal digits of raw digest bytes.
std::string hexDigest(const std::string& digest);

// ---- Held images --------------------------------------------------------------
// Bytes held in a sealed memfd: nothing, this process included, can change
// them once sealed, so what was hashed is what gets written.
struct HeldImage_T {
    int fd = -1;
    uint64_t size = 0;
    std::string md5;  // 32 lower-case hex digits of the sealed bytes

    HeldImage_T() = default;
    ~HeldImage_T();
    HeldImage_T(HeldImage_T&& other) noexcept;
    HeldImage_T& operator=(HeldImage_T&& other) noexcept;
    HeldImage_T(const HeldImage_T&) = delete;
    HeldImage_T& operator=(const HeldImage_T&) = delete;
};

// A fresh memfd that can be sealed, for an extraction to fill.
int newImageFd(const char* name);
// Seals the memfd `fd` (the image owns it from now on, even on failure)
// and hashes it. False when it cannot be sealed or read.
bool sealImage(int fd, HeldImage_T* image);
// Copies the whole file open on `source`, read once from its start, into
// a new sealed image and hashes it there.
bool holdImageFrom(int source, const char* name, HeldImage_T* image);

// ---- Result record ----------------------------------------------------------
// key=value lines, in the order they were first set.
using ResultRecord_T = std::vector<std::pair<std::string, std::string>>;

std::string resultValue(const ResultRecord_T& record, const std::string& key);
void setResultValue(ResultRecord_T& record, const std::string& key, const std::string& value);
void dropResultValue(ResultRecord_T& record, const std::string& key);
// The record at `path`; empty when there is none or it cannot be read.
ResultRecord_T readResultRecord(const char* path);
// Replaces the record at `path` atomically: a new file, fsync, rename, fsync
// of the directory (made when missing; a link in its place is refused). 0 on
// success.
int writeResultRecord(const char* path, const ResultRecord_T& record);

// ---- Boot-flag partition --------------------------------------------------
// Byte layout read by the boot stage.
constexpr long kFlagRunningChain = 0;
constexpr long kFlagOffset4 = 4;
constexpr long kFlagOffset5 = 5;
constexpr long kFlagOffset7 = 7;
constexpr long kFlagOffset8 = 8;
constexpr long kRebootMarkerOffset = 512;

// What the boot stage does with these bytes at every power-up: while bytes 4
// and 7 are not both 0x55 an upgrade is pending and it starts the program
// again, at most kRestarts times after the first start. The program itself
// never reads the rule; the tools and tests that stand in for the boot stage
// after a power cut all take it from here.
namespace boot_stage {

constexpr int kRestarts = 3;

// `flags`: the partition's bytes from its first one. Too few to hold byte 7
// read as pending, as unset bytes do.
inline bool upgradePending(const std::string& flags) {
    if (flags.size() <= static_cast<size_t>(kFlagOffset7)) {
        return true;
    }
    return !(static_cast<unsigned char>(flags[kFlagOffset4]) == 0x55 &&
             static_cast<unsigned char>(flags[kFlagOffset7]) == 0x55);
}

}  // namespace boot_stage

// "Upgrad" is how the boot stage's side has always spelled it; the name stays.
int readEmmcUpgradFlag(const char* path, long offset);
int writeEmmcUpgradeFlag(const char* path, long offset, unsigned char value);
int setRebootFlag_init();

// The last step of every run: everything written so far to storage, the
// reboot marker, then the restart. Returns only if the restart is refused.
void restartSet();

// ---- Progress record ------------------------------------------------------
// Written by the worker through request_update, read once per iteration by the
// rendering loop, both under progressMutex.
extern int currentProgress;
extern int errorStatus;
extern pthread_mutex_t progressMutex;

void request_update(int value, int error);

// How progressMutex is shared between the rendering loop and the writers.
// The loop holds it for one iteration at a time and takes it again right
// after dropping it; a plain unlock/lock pair would leave the waiting writer's
// chance to the scheduler, and the loop usually wins that race. So the loop
// hands the mutex, at the end of every iteration, to each writer that is
// already waiting: a writer never waits longer than the iteration that was
// running when it asked.

// Rendering loop: takes progressMutex for one iteration.
void beginProgressIteration();

// Rendering loop: lets every waiting writer take its turn, then releases
// progressMutex. Must be called with progressMutex held.
void endProgressIteration();

// Writers: takes progressMutex, at the latest at the end of the iteration
// that is running now. request_update uses it; so may an observer that must
// see a whole picture between two iterations.
void takeProgressTurn();

// Writers: releases progressMutex taken by takeProgressTurn.
void giveBackProgressTurn();

// How many writers have asked for a turn and not yet given it back.
int waitingProgressUpdates();
