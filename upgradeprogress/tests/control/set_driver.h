// Host-side driver of whole-program runs: sample partition images, sample
// sets made and run with the sandbox runner, packages made with the package
// builder, and readers for what a run leaves on the set. The program itself
// only ever runs inside the runner.
#pragma once

#include "testing/files.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace set_driver {

// ---- Child processes --------------------------------------------------------
struct LogLine {
    std::string text;
    long ms;  // since the child was started
};

struct ChildResult {
    int exitCode = -1;  // -1: did not end by itself within its time
    std::vector<LogLine> lines;

    bool contains(const std::string& needle) const;
    // Time of the first line holding `needle`, -1 when there is none.
    long msOf(const std::string& needle) const;
    // The runner's final line ("upgrade-sandbox: ...").
    std::string verdict() const;
    std::string text() const;
};

// Sends the child SIGTERM `delayMs` after the first line holding `needle`.
struct LineTrigger {
    std::string needle;
    long delayMs = 0;
};

// Runs argv with stdout and stderr in one pipe, each line time-stamped.
ChildResult runChild(const std::vector<std::string>& argv, int timeoutS,
                     const LineTrigger* trigger = nullptr);

// ---- The build tree -------------------------------------------------------
std::string runnerPath();
std::string builderPath();
std::string rootfsPath();
// A fresh scratch directory under the build tree, named after `tag`.
std::string scratchDir(const std::string& tag);

// ---- Partitions and images --------------------------------------------------
struct Partition {
    const char* name;    // as the package and the update lists name it
    const char* device;  // its image file in the set: emmc/<device>.img
};
extern const Partition kPartitions[4];
constexpr const char kFlagDevice[] = "mmcblk0p4";

// Installed and new image of every partition: parts patched, kept, added
// and dropped, one image that shrinks and one carried whole.
struct ImagePair {
    std::string oldImage;
    std::string newImage;
};
std::vector<ImagePair> sampleImages();
std::string pseudoRandom(unsigned long long seed, size_t size);

// Writes <dir>/old/<name>.img and <dir>/new/<name>.img.
bool writeImageDirs(const std::string& dir, const std::vector<ImagePair>& images);
// Runs the package builder on <dir>/old and <dir>/new; `extra` is appended.
ChildResult buildPackage(const std::string& dir, const std::string& output,
                         const std::vector<std::string>& extra = {});

// The sample images and the package the builder makes of them, serialsdata
// carried whole, in a fresh scratch directory named after `tag`. When either
// cannot be made, `problem` says why and no file is at `package`.
struct SampleUpgrade {
    std::string work;
    std::vector<ImagePair> images;
    std::string package;
    std::string problem;
};
SampleUpgrade buildSampleUpgrade(const std::string& tag);

// ---- Files ------------------------------------------------------------------
using ota_test::readFile;
using ota_test::writeFile;
inline bool exists(const std::string& path) {
    return ota_test::pathExists(path);
}
std::string readAt(const std::string& path, long offset, size_t length);
bool writeAt(const std::string& path, long offset, const std::string& bytes);
bool copyFile(const std::string& from, const std::string& to);
void removeTree(const std::string& path);
// Reads one entry of a ZIP file; false when it cannot.
bool readZipEntry(const std::string& zip, const std::string& entry, std::string* out);
// Copies a ZIP file entry by entry, replacing the bytes of `entry`.
bool replaceZipEntry(const std::string& zip, const std::string& entry, const std::string& bytes,
                     const std::string& output);
// Copies a ZIP file entry by entry, leaving `entry` out; false when `zip`
// does not read or holds no such entry.
bool removeZipEntry(const std::string& zip, const std::string& entry, const std::string& output);

// ---- Sets -----------------------------------------------------------------------
// The flag partition's first ten bytes as a set leaves the factory with an
// upgrade pending (bytes 4 and 7 not 0x55), and the bytes where the reboot
// marker goes, so that every untouched byte can be told apart.
std::string pendingFlags();
constexpr long kMarkerOffset = 512;
std::string markerArea();

std::string partitionPath(const std::string& setDir, const char* device);
std::string flagPath(const std::string& setDir);

// A fresh set: partitions of `sizeMiB` holding the installed images, flags
// pending, the package (if any) in OAD, the suspend marker present.
bool makeSet(const std::string& setDir, const std::vector<ImagePair>& images,
             const std::string& package, int sizeMiB = 32);

// One run of the installed program on the set. A cut either comes after a
// fixed time (the runner's own cut) or right after a logged line: the runner
// ends its sandbox on SIGTERM as at its own cut, nothing in the set running
// another instruction.
ChildResult runProgram(const std::string& setDir, long cutAfterMs = -1, int timeoutS = 180,
                       const LineTrigger* cutAfterLine = nullptr);

// One run cut right after the program's `call`-th write, pwrite or fsync that
// reaches a partition device (the runner's --cut-at-write); with `call` 0 the
// run is not cut and only counts those calls.
ChildResult runProgramToDeviceCall(const std::string& setDir, long call, int timeoutS = 180);
// The device calls a run of runProgramToDeviceCall reported; -1 when none.
long deviceCallsOf(const ChildResult& run);

// The set's flags as the boot stage reads them after a power-up: true while
// it would start the program again (boot_stage::upgradePending).
bool upgradePending(const std::string& setDir);
// The program's record of how the last upgrade on the set ended
// (/var/local/upgrade/last_result), one key=value line each; empty when
// there is none.
std::map<std::string, std::string> lastResult(const std::string& setDir);
bool partitionHolds(const std::string& setDir, const char* device, const std::string& image);

// What differs from a committed upgrade: a partition without its new image,
// success flags not set, other flag bytes touched. Empty when all is right.
std::string upgradeProblems(const std::string& setDir, const std::vector<ImagePair>& images);
// What differs from a set cleaned up after success: anything left in /OAD,
// the suspend marker still there (both the runner's one clean-up check), or
// the reboot marker missing.
std::string cleanUpProblems(const std::string& setDir);

// (value, error) of every request_update in the log, in order.
std::vector<std::pair<int, int>> progressReports(const ChildResult& run);

}  // namespace set_driver
