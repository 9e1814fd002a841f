// The check before the first partition write, run whole: the installed
// program on a fresh simulated set per case, through the sandbox runner.
// A set that does not hold what the package was built on, a /tmp or /OAD
// without room, or a package older than the set is refused before any
// partition byte changes; a package without a manifest runs as before; the
// record /var/local/upgrade/last_result tells each ending apart; the failure
// ending turns the running-chain byte over exactly once however often it is
// cut; and restarts after cuts keep passing the check until the set is
// upgraded. Whatever the ending, no partition byte past the images and no
// flag byte the design does not name may change.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"
#include "ground.h"

namespace {

using namespace set_driver;

constexpr long kPartitionBytes = 32L << 20;
const char kManifestEntry[] = "patch_package/manifest";
const char kReleaseFile[] = "/usr/bin/upgradeprogress/release";

// ---- What the suites share, made once ----------------------------------------

// One line of an update list, as the package carries it, with the stretch
// of the installed image its part covers.
struct ListLine {
    std::string partition;
    std::string mode;
    std::string name;
    long offset = 0;
    long length = 0;
};

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0, semi;
    while ((semi = line.find(';', from)) != std::string::npos) {
        fields.push_back(line.substr(from, semi - from));
        from = semi + 1;
    }
    fields.push_back(line.substr(from));
    return fields;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The lines of every list. A patched or checked part's place comes from the
// manifest ("part;NAME;OFFSET;BASELENGTH;..."), as such list lines carry no
// offset; a part written whole covers its offset to the next 10 MiB.
std::vector<ListLine> listLines(const std::string& package, const std::vector<ImagePair>& images) {
    std::string manifest;
    readZipEntry(package, kManifestEntry, &manifest);
    std::map<std::string, std::pair<long, long>> parts;
    for (const std::string& line : linesOf(manifest)) {
        const std::vector<std::string> f = fieldsOf(line);
        if (f.size() == 7 && f[0] == "part") {
            parts[f[1]] = {atol(f[2].c_str()), atol(f[3].c_str())};
        }
    }
    std::vector<ListLine> lines;
    for (size_t i = 0; i < 4; ++i) {
        std::string list;
        readZipEntry(package,
                     std::string("patch_package/split_") + kPartitions[i].name + "_udpate_list.ini",
                     &list);
        const long imageSize = static_cast<long>(images[i].oldImage.size());
        for (const std::string& text : linesOf(list)) {
            const std::vector<std::string> f = fieldsOf(text);
            if (f.size() != 5) continue;
            ListLine line{kPartitions[i].name, f[0], f[1], atol(f[4].c_str()), 0};
            auto part = parts.find(line.name);
            if (part != parts.end()) {
                line.offset = part->second.first;
                line.length = part->second.second;
            } else if (line.offset < imageSize) {
                line.length = std::min(10L << 20, imageSize - line.offset);
            }
            lines.push_back(line);
        }
    }
    return lines;
}

// The `nth` line (from 0) of `partition`'s list whose action word is `mode`.
const ListLine* lineOf(const std::vector<ListLine>& lines, const std::string& partition,
                       const std::string& mode, int nth) {
    for (const ListLine& line : lines) {
        if (line.partition == partition && line.mode == mode && nth-- == 0) return &line;
    }
    return nullptr;
}

size_t partitionIndex(const std::string& name) {
    for (size_t i = 0; i < 4; ++i) {
        if (name == kPartitions[i].name) return i;
    }
    return 4;
}

struct Material {
    SampleUpgrade sample;
    std::string problem;
    std::vector<ListLine> lines;
    std::string noManifest;               // the sample package without its manifest entry
    std::string failing;                  // a later patch that makes a wrong part
    std::string releasedRootfs;           // the installed root with release 5
    std::map<int, std::string> released;  // package of each --release asked for
};

Material* g_material = nullptr;
std::mutex g_materialLock;

// The sample images and package, and what the cases make of them.
Material& material() {
    std::lock_guard<std::mutex> hold(g_materialLock);
    if (g_material != nullptr) return *g_material;
    g_material = new Material;
    Material& m = *g_material;
    m.sample = buildSampleUpgrade("precheck_e2e");
    if (!m.sample.problem.empty()) {
        m.problem = m.sample.problem;
        return m;
    }
    m.lines = listLines(m.sample.package, m.sample.images);
    m.noManifest = m.sample.work + "/no_manifest.zip";
    if (!removeZipEntry(m.sample.package, kManifestEntry, m.noManifest)) {
        m.problem += "cannot remove the manifest from the sample package; ";
    }
    // usrfs's patched part gets optfs's patch: a valid BSDIFF40 patch of a
    // part of the same length that makes other bytes than the list's MD5.
    // The manifest still describes the set as it is, so the check passes,
    // optfs is written, and the part fails its MD5 after that.
    const ListLine* optfsPart = lineOf(m.lines, "optfs", "update", 0);
    const ListLine* usrfsPart = lineOf(m.lines, "usrfs", "update", 0);
    std::string patch;
    m.failing = m.sample.work + "/failing.zip";
    if (optfsPart == nullptr || usrfsPart == nullptr ||
        !readZipEntry(m.sample.package, "patch_package/" + optfsPart->name, &patch) ||
        patch.compare(0, 8, "BSDIFF40") != 0 ||
        !replaceZipEntry(m.sample.package, "patch_package/" + usrfsPart->name, patch, m.failing)) {
        m.problem += "cannot make the package with a wrong usrfs patch; ";
    }
    // A copy of the installed root whose image was built at release 5.
    m.releasedRootfs = m.sample.work + "/rootfs-release-5";
    const ChildResult copied = runChild({"/bin/cp", "-a", rootfsPath(), m.releasedRootfs}, 120);
    if (copied.exitCode != 0 || !writeFile(m.releasedRootfs + kReleaseFile, "5\n")) {
        m.problem += "cannot make the root file system at release 5: " + copied.text();
    }
    return m;
}

// The sample package built with --release `release`.
std::string releasedPackage(int release) {
    Material& m = material();
    std::lock_guard<std::mutex> hold(g_materialLock);
    auto it = m.released.find(release);
    if (it != m.released.end()) return it->second;
    const std::string out = m.sample.work + "/release_" + std::to_string(release) + ".zip";
    const ChildResult built = buildPackage(
        m.sample.work, out, {"--whole", "serialsdata", "--release", std::to_string(release)});
    if (built.exitCode != 0) {
        fprintf(stderr, "%s", built.text().c_str());
        return "";
    }
    m.released[release] = out;
    return out;
}

// ---- One run, its restarts, and what they leave ------------------------------

struct RunOptions {
    std::string rootfs;     // empty: the installed one
    long cutAt = 0;         // > 0: cut right after this device call; else count them
    long tmpKib = -1;       // > 0: a /tmp that holds this much
    std::string cutAtText;  // cut as soon as the program prints this
};

RunOptions onRoot(const std::string& rootfs) {
    RunOptions o;
    o.rootfs = rootfs;
    return o;
}

RunOptions cutAtCall(long call) {
    RunOptions o;
    o.cutAt = call;
    return o;
}

RunOptions withTmpKib(long kib) {
    RunOptions o;
    o.tmpKib = kib;
    return o;
}

RunOptions cutAtOutput(const std::string& text) {
    RunOptions o;
    o.cutAtText = text;
    return o;
}

ChildResult runSet(const std::string& set, const RunOptions& o = {}) {
    std::vector<std::string> argv = {
        runnerPath(), "run", set, o.rootfs.empty() ? rootfsPath() : o.rootfs, "--timeout", "150"};
    if (o.cutAt > 0) {
        argv.insert(argv.end(), {"--cut-at-write", std::to_string(o.cutAt)});
    } else {
        argv.push_back("--count-writes");
    }
    if (o.tmpKib > 0) argv.insert(argv.end(), {"--tmp-kib", std::to_string(o.tmpKib)});
    if (!o.cutAtText.empty()) argv.insert(argv.end(), {"--cut-at-output", o.cutAtText});
    return runChild(argv, 210);
}

// Starts the set again as the boot stage does: while flag bytes 4 and 7 are
// not both 0x55, at most boot_stage::kRestarts times.
std::vector<ChildResult> restartAsTheBootStage(const std::string& set,
                                               const std::string& rootfs = "") {
    std::vector<ChildResult> restarts;
    while (upgradePending(set) && restarts.size() < boot_stage::kRestarts) {
        restarts.push_back(runSet(set, onRoot(rootfs)));
    }
    return restarts;
}

// The set's partitions and flag partition, whole, before a run.
struct Snapshot {
    std::vector<std::string> partitions;
    std::string flags;
};

Snapshot snapshot(const std::string& set) {
    Snapshot s;
    for (const Partition& p : kPartitions) {
        s.partitions.push_back(readFile(partitionPath(set, p.device)));
    }
    s.flags = readFile(flagPath(set));
    return s;
}

// The flag partition with the bytes the design names blanked out: what is
// left must never change.
std::string unnamedFlagBytes(std::string flags) {
    for (size_t at : {0, 4, 5, 7, 8}) {
        if (at < flags.size()) flags[at] = 0;
    }
    for (size_t at = kMarkerOffset; at < kMarkerOffset + 7 && at < flags.size(); ++at) {
        flags[at] = 0;
    }
    return flags;
}

// What no ending may change: partition bytes past the new images, flag
// bytes the design does not name. Empty when all is right.
std::string invariantProblems(const std::string& set, const Snapshot& before,
                              const std::vector<ImagePair>& images) {
    std::string problems;
    for (size_t i = 0; i < 4; ++i) {
        const size_t from = images[i].newImage.size();
        const std::string now = readAt(partitionPath(set, kPartitions[i].device),
                                       static_cast<long>(from), kPartitionBytes - from);
        if (before.partitions[i].size() != static_cast<size_t>(kPartitionBytes) ||
            now != before.partitions[i].substr(from)) {
            problems += std::string(kPartitions[i].name) + " changed past its new image; ";
        }
    }
    if (unnamedFlagBytes(readFile(flagPath(set))) != unnamedFlagBytes(before.flags)) {
        problems += "a flag byte the design does not name changed; ";
    }
    return problems;
}

// The failure ending's flags: 4 and 7 at 0x55, the success bytes 5 and 8
// untouched, the running chain turned over once from where it stood.
std::string failureFlagProblems(const std::string& set, const Snapshot& before) {
    const std::string flags = readAt(flagPath(set), 0, 9);
    if (flags.size() != 9) return "the flags cannot be read; ";
    std::string problems;
    if (flags[4] != '\x55' || flags[7] != '\x55') problems += "bytes 4 and 7 are not 0x55; ";
    if (flags[5] != before.flags[5] || flags[8] != before.flags[8]) {
        problems += "a success byte (5 or 8) was written; ";
    }
    const char turned = before.flags[0] == '\x00' ? '\x01' : '\x00';
    if (flags[0] != turned) {
        problems += "running chain byte went from " + std::to_string(int(before.flags[0])) +
                    " to " + std::to_string(int(flags[0])) + "; ";
    }
    return problems;
}

std::string unchangedProblems(const std::string& set, const Snapshot& before) {
    std::string problems;
    for (size_t i = 0; i < 4; ++i) {
        if (readFile(partitionPath(set, kPartitions[i].device)) != before.partitions[i]) {
            problems += std::string(kPartitions[i].name) + " changed; ";
        }
    }
    return problems;
}

// Flips one byte of the installed image in the middle of the part a line
// names.
bool drift(const std::string& set, const ListLine& line) {
    const size_t i = partitionIndex(line.partition);
    if (i >= 4 || line.length <= 0) return false;
    const long at = line.offset + line.length / 2;
    const std::string path = partitionPath(set, kPartitions[i].device);
    std::string byte = readAt(path, at, 1);
    if (byte.size() != 1) return false;
    byte[0] = static_cast<char>(byte[0] ^ 0x5a);
    return writeAt(path, at, byte);
}

// The log line of the pre-check's refusal; empty when there is none.
std::string refusalLine(const ChildResult& run) {
    for (const LogLine& line : run.lines) {
        if (line.text.find("pre-check refused the package: ") != std::string::npos) {
            return line.text;
        }
    }
    return "";
}

// One value of the record, "(none)" when it has no such key.
std::string valueOf(const std::map<std::string, std::string>& record, const std::string& key) {
    auto it = record.find(key);
    return it == record.end() ? "(none)" : it->second;
}

bool isSeconds(const std::string& text) {
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

std::string sha256Of(const std::string& path) {
    const ChildResult summed = runChild({"/usr/bin/sha256sum", path}, 60);
    const std::string text = summed.text();
    return summed.exitCode == 0 ? text.substr(0, text.find(' ')) : "";
}

// A fresh set under a scratch directory named after the running test.
class SetCase {
public:
    SetCase() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = std::string("precheck_") + info->test_suite_name() + "_" + info->name();
        for (char& c : tag) {
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        dir = scratchDir(tag);
        set = dir + "/set";
    }
    ~SetCase() {
        if (!::testing::Test::HasFailure()) removeTree(dir);
    }
    std::string dir;
    std::string set;
};

#define ASSERT_MATERIAL()                                                              \
    do {                                                                               \
        ASSERT_TRUE(exists(rootfsPath() + "/usr/bin/upgradeprogress/upgradeprogress")) \
            << "the install fixture did not lay out " << rootfsPath();                 \
        ASSERT_EQ(material().problem, "");                                             \
    } while (0)

// ---- A drifted part ------------------------------------------------------------

struct DriftCase {
    const char* name;
    const char* partition;
    const char* mode;
    int nth;       // which line of that action word in the partition's list
    bool refused;  // a part the package patches or checks; else written whole
};

void PrintTo(const DriftCase& c, std::ostream* os) {
    *os << c.name;
}

class Drift : public ::testing::TestWithParam<DriftCase> {};

// Without the check before the first write, the list runner found a drifted
// part only when it reached it: a drift in usrfs, or in optfs's last part,
// came after optfs (or its first part) had been rewritten with new bytes,
// and the set was left part new, part old when the failure ending ran. Now
// every part a list patches or checks is compared with the manifest's base
// first, and a drift anywhere leaves every partition as it was.
TEST_P(Drift, IsRefusedBeforeAnyWriteWhereThePackageBuildsOnThePart) {
    const DriftCase& c = GetParam();
    ASSERT_MATERIAL();
    const Material& m = material();
    const ListLine* line = lineOf(m.lines, c.partition, c.mode, c.nth);
    ASSERT_NE(line, nullptr) << "the sample package has no " << c.mode << " line " << c.nth
                             << " in " << c.partition;
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.sample.package));
    ASSERT_TRUE(drift(sc.set, *line));
    const Snapshot before = snapshot(sc.set);

    const ChildResult run = runSet(sc.set);
    const std::string log = run.text();
    ASSERT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    const auto record = lastResult(sc.set);
    if (c.refused) {
        EXPECT_NE(refusalLine(run).find("part " + line->name + " of " + c.partition + " holds "),
                  std::string::npos)
            << log;
        EXPECT_TRUE(run.contains("TV will reset the flags")) << log;
        EXPECT_EQ(failureFlagProblems(sc.set, before), "") << log;
        EXPECT_EQ(unchangedProblems(sc.set, before), "") << log;
        EXPECT_FALSE(exists(sc.set + "/OAD/patch_package.zip")) << "the ending keeps the package";
        EXPECT_EQ(valueOf(record, "result"), "refused");
        EXPECT_EQ(valueOf(record, "failed_partition"), c.partition);
        EXPECT_EQ(valueOf(record, "failed_item"), line->name);
        EXPECT_NE(valueOf(record, "message"), "(none)");
        EXPECT_EQ(valueOf(record, "starts"), "1");
        EXPECT_EQ(valueOf(record, "ending"), "done");
    } else {
        // The part is rewritten whole: what it held before does not matter.
        EXPECT_TRUE(run.contains("pre-check passed")) << log;
        EXPECT_EQ(upgradeProblems(sc.set, m.sample.images), "") << log;
        EXPECT_EQ(valueOf(record, "result"), "upgraded");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Drift,
    ::testing::Values(DriftCase{"OptfsFirstPatchedPart", "optfs", "update", 0, true},
                      DriftCase{"OptfsCheckedPart", "optfs", "chksync", 0, true},
                      DriftCase{"OptfsLastPatchedPart", "optfs", "update", 1, true},
                      DriftCase{"UsrfsPatchedPart", "usrfs", "update", 0, true},
                      // The sample's tvservice and serialsdata lists patch and
                      // check nothing: their parts are carried whole.
                      DriftCase{"TvserviceCarriedWhole", "tvservice", "create", 0, false},
                      DriftCase{"SerialsdataCarriedWhole", "serialsdata", "entotal", 0, false}),
    [](const ::testing::TestParamInfo<DriftCase>& info) { return std::string(info.param.name); });

// ---- Room -------------------------------------------------------------------

struct RoomCase {
    const char* name;
    const char* dir;  // the directory without room, as the log names it
    long tmpKib;      // > 0: /tmp holds this much
    long oadSpare;    // > 0: /OAD is a file system with this much room beside the package
};

void PrintTo(const RoomCase& c, std::ostream* os) {
    *os << c.name;
}

class Room : public ::testing::TestWithParam<RoomCase> {};

// The numbers of "DIR has FREE bytes free, the upgrade needs NEED (MORE
// more)"; false when the log has no such line.
bool missingRoom(const ChildResult& run, const std::string& dir, long long* free, long long* need,
                 long long* more) {
    const std::string key = "pre-check refused the package: " + dir + " has ";
    for (const LogLine& line : run.lines) {
        const size_t at = line.text.find(key);
        if (at != std::string::npos &&
            sscanf(line.text.c_str() + at + key.size(),
                   "%lld bytes free, the upgrade needs %lld (%lld more)", free, need, more) == 3) {
            return true;
        }
    }
    return false;
}

TEST_P(Room, ADirectoryWithoutRoomIsRefusedBeforeAnyWrite) {
    const RoomCase& c = GetParam();
    ASSERT_MATERIAL();
    const Material& m = material();
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, c.oadSpare > 0 ? "" : m.sample.package));
    const Snapshot before = snapshot(sc.set);
    const long long packageBytes = static_cast<long long>(readFile(m.sample.package).size());

    ChildResult run;
    std::string oadAfter = "?";
    if (c.oadSpare > 0) {
        // The set's /OAD as a small file system of its own, mounted in a
        // mount namespace of this run only: the runner binds SETDIR/OAD as it
        // finds it, and the mount goes with the namespace. What is left in
        // it is listed before it goes.
        const long kib = (packageBytes + c.oadSpare) / 1024 + 1;
        const std::string script =
            "mount -t tmpfs -o size=" + std::to_string(kib) +
            "k,mode=0755 small-oad \"$1/OAD\" && cp \"$2\" \"$1/OAD/patch_package.zip\" || exit 3\n"
            "\"$3\" run \"$1\" \"$4\" --count-writes --timeout 150\n"
            "rc=$?\n"
            "echo \"OAD after the run: [$(ls -A \"$1/OAD\" | tr '\\n' ' ')]\"\n"
            "exit $rc\n";
        run = runChild({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                        script, "sh", sc.set, m.sample.package, runnerPath(), rootfsPath()},
                       210);
        for (const LogLine& line : run.lines) {
            if (line.text.rfind("OAD after the run: ", 0) == 0) oadAfter = line.text.substr(19);
        }
        EXPECT_EQ(oadAfter, "[]") << "the ending leaves the package or its lists";
    } else {
        run = runSet(sc.set, withTmpKib(c.tmpKib));
        EXPECT_FALSE(exists(sc.set + "/OAD/patch_package.zip")) << "the ending keeps the package";
    }
    const std::string log = run.text();
    ASSERT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << log;

    long long free = 0, need = 0, more = 0;
    ASSERT_TRUE(missingRoom(run, c.dir, &free, &need, &more)) << log;
    EXPECT_EQ(more, need - free) << log;
    EXPECT_GT(more, 0) << log;
    if (c.tmpKib > 0) {
        // The staging copy of optfs, the largest installed image, alone
        // needs more than the whole /tmp.
        EXPECT_LE(free, c.tmpKib * 1024) << log;
        EXPECT_GE(need, static_cast<long long>(m.sample.images[0].oldImage.size())) << log;
    } else {
        // Room for a 10 MiB result is what /OAD lacks.
        EXPECT_LE(free, c.oadSpare + (64 << 10)) << log;
        EXPECT_GE(need, 10LL << 20) << log;
    }
    EXPECT_TRUE(run.contains("TV will reset the flags")) << log;
    EXPECT_EQ(failureFlagProblems(sc.set, before), "") << log;
    EXPECT_EQ(unchangedProblems(sc.set, before), "") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    const auto record = lastResult(sc.set);
    EXPECT_EQ(valueOf(record, "result"), "refused");
    EXPECT_NE(valueOf(record, "message").find(c.dir), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, Room,
                         ::testing::Values(RoomCase{"TmpTooSmallForStaging", "/tmp", 8192, 0},
                                           RoomCase{"OadTooSmallForAResult", "/OAD", 0, 2L << 20}),
                         [](const ::testing::TestParamInfo<RoomCase>& info) {
                             return std::string(info.param.name);
                         });

// A restart after cuts finds results an earlier run left in /OAD for the
// parts of a partition that now holds its new image. The runner never reaches
// those parts again, so the results must not take the room the parts still
// to be made need: the pre-check removes them before it measures /OAD.
TEST(StaleResults, ResultsLeftForAPartitionAlreadyUpgradedDoNotTakeItsRoom) {
    ASSERT_MATERIAL();
    const Material& m = material();
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, ""));
    ASSERT_TRUE(writeAt(partitionPath(sc.set, kPartitions[0].device), 0,
                        m.sample.images[0].newImage));  // optfs, written before the cuts
    const std::string stale = sc.dir + "/stale-result";
    ASSERT_TRUE(writeFile(stale, pseudoRandom(7, 10 << 20)));

    // /OAD holds the package, the stale 10 MiB result and 2 MiB more: room
    // for a 10 MiB result only once the stale one is gone.
    const long long packageBytes = static_cast<long long>(readFile(m.sample.package).size());
    const long kib = (packageBytes + (12LL << 20)) / 1024 + 64;
    const std::string script =
        "mount -t tmpfs -o size=" + std::to_string(kib) +
        "k,mode=0755 small-oad \"$1/OAD\" && cp \"$2\" \"$1/OAD/patch_package.zip\" &&\n"
        "mkdir \"$1/OAD/update_file\" && cp \"$5\" \"$1/OAD/update_file/optfs_split_partaa\" "
        "|| exit 3\n"
        "\"$3\" run \"$1\" \"$4\" --timeout 150\n"
        "rc=$?\n"
        "echo \"OAD after the run: [$(ls -A \"$1/OAD\" | tr '\\n' ' ')]\"\n"
        "exit $rc\n";
    const ChildResult run =
        runChild({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                  script, "sh", sc.set, m.sample.package, runnerPath(), rootfsPath(), stale},
                 210);
    const std::string log = run.text();
    ASSERT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_TRUE(
        run.contains("removing /OAD/update_file/optfs_split_partaa: its partition "
                     "already holds its new image."))
        << log;
    EXPECT_FALSE(run.contains("pre-check refused")) << log;
    EXPECT_TRUE(run.contains("OAD after the run: []")) << log;
    EXPECT_EQ(upgradeProblems(sc.set, m.sample.images), "") << log;
    EXPECT_EQ(valueOf(lastResult(sc.set), "result"), "upgraded") << log;
}

// ---- Manifest and release ----------------------------------------------------

struct ReleaseCase {
    const char* name;
    bool setRelease5;    // the set's image installs release 5; else no release file
    int packageRelease;  // -1: the package has no manifest
    bool upgrades;
    const char* why;  // for a refusal: what the log line names
};

void PrintTo(const ReleaseCase& c, std::ostream* os) {
    *os << c.name;
}

class ManifestAndRelease : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ManifestAndRelease, RefusesOnlyWhatTheReleaseRuleForbids) {
    const ReleaseCase& c = GetParam();
    ASSERT_MATERIAL();
    const Material& m = material();
    if (!c.setRelease5) {
        ASSERT_FALSE(exists(rootfsPath() + kReleaseFile))
            << "the installed root carries a release file: the build set -DOTA_RELEASE";
    }
    const std::string package =
        c.packageRelease < 0 ? m.noManifest : releasedPackage(c.packageRelease);
    ASSERT_FALSE(package.empty());
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, package));
    const Snapshot before = snapshot(sc.set);

    const ChildResult run = runSet(sc.set, onRoot(c.setRelease5 ? m.releasedRootfs : ""));
    const std::string log = run.text();
    ASSERT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    if (c.packageRelease < 0) {
        EXPECT_TRUE(run.contains("the package has no manifest")) << log;
    }
    const auto record = lastResult(sc.set);
    const std::string result = valueOf(record, "result");
    if (c.upgrades) {
        EXPECT_FALSE(run.contains("pre-check refused")) << log;
        EXPECT_EQ(upgradeProblems(sc.set, m.sample.images), "") << log;
        EXPECT_EQ(cleanUpProblems(sc.set), "") << log;
        EXPECT_EQ(result, "upgraded");
    } else {
        EXPECT_NE(refusalLine(run).find(c.why), std::string::npos) << log;
        EXPECT_EQ(failureFlagProblems(sc.set, before), "") << log;
        EXPECT_EQ(unchangedProblems(sc.set, before), "") << log;
        EXPECT_EQ(result, "refused");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestAndRelease,
    ::testing::Values(ReleaseCase{"OlderPackageOnRelease5", true, 4, false,
                                  "release 4, older than the set's release 5"},
                      ReleaseCase{"NoManifestOnRelease5", true, -1, false,
                                  "release 5 and the package states none"},
                      ReleaseCase{"EqualReleaseOnRelease5", true, 5, true, ""},
                      ReleaseCase{"NewerReleaseOnRelease5", true, 6, true, ""},
                      ReleaseCase{"AnyReleaseWithoutReleaseFile", false, 4, true, ""},
                      // Runs as before the manifest: no check, no refusal, the upgrade.
                      ReleaseCase{"NoManifestWithoutReleaseFile", false, -1, true, ""}),
    [](const ::testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

// ---- The record of each ending ---------------------------------------------------

// An uncut upgrade of the sample package: the record it leaves, and how many
// device calls it makes (where the cuts below fall).
struct Reference {
    std::string log;
    std::string verdict;
    std::string problems;
    std::map<std::string, std::string> record;
    long deviceCalls = -1;
};

const Reference& reference() {
    static const Reference* made = [] {
        Reference* r = new Reference;
        const Material& m = material();
        const std::string dir = scratchDir("precheck_reference");
        const std::string set = dir + "/set";
        if (!makeSet(set, m.sample.images, m.sample.package)) {
            r->problems = "cannot make the set";
            return r;
        }
        const Snapshot before = snapshot(set);
        const ChildResult run = runSet(set);
        r->log = run.text();
        r->verdict = run.verdict();
        r->deviceCalls = deviceCallsOf(run);
        r->record = lastResult(set);
        r->problems = upgradeProblems(set, m.sample.images) + cleanUpProblems(set) +
                      invariantProblems(set, before, m.sample.images);
        if (r->problems.empty()) removeTree(dir);
        return r;
    }();
    return *made;
}

TEST(Record, AnUpgradeRecordsItsStartPackageAndPhases) {
    ASSERT_MATERIAL();
    const Reference& r = reference();
    ASSERT_EQ(r.verdict, "upgrade-sandbox: reboot requested") << r.log;
    EXPECT_EQ(r.problems, "") << r.log;
    EXPECT_EQ(valueOf(r.record, "result"), "upgraded");
    EXPECT_EQ(valueOf(r.record, "starts"), "1");
    EXPECT_EQ(valueOf(r.record, "package_sha256"), sha256Of(material().sample.package));
    for (const std::string key :
         {"seconds_precheck", "seconds_list_optfs", "seconds_list_usrfs", "seconds_list_tvservice",
          "seconds_list_serialsdata", "seconds_final_check"}) {
        EXPECT_TRUE(isSeconds(valueOf(r.record, key))) << key << "=" << valueOf(r.record, key);
    }
    for (const std::string key : {"failed_partition", "failed_item", "message", "ending"}) {
        EXPECT_EQ(r.record.count(key), 0u) << key << "=" << valueOf(r.record, key);
    }
}

TEST(Record, AFailureAfterWritingIsRecordedAsFailed) {
    ASSERT_MATERIAL();
    const Material& m = material();
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.failing));
    const Snapshot before = snapshot(sc.set);
    const ChildResult run = runSet(sc.set);
    const std::string log = run.text();
    ASSERT_EQ(run.verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_TRUE(run.contains("pre-check passed")) << log;
    EXPECT_TRUE(run.contains("TV will reset the flags")) << log;
    EXPECT_EQ(failureFlagProblems(sc.set, before), "") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    // optfs was written before usrfs's part failed its MD5; that part never
    // reached usrfs, and the lists after it never ran.
    EXPECT_TRUE(partitionHolds(sc.set, kPartitions[0].device, m.sample.images[0].newImage));
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(readFile(partitionPath(sc.set, kPartitions[i].device)), before.partitions[i])
            << kPartitions[i].name << " changed";
    }
    const auto record = lastResult(sc.set);
    EXPECT_EQ(valueOf(record, "result"), "failed");
    EXPECT_EQ(valueOf(record, "failed_partition"), "usrfs");
    EXPECT_EQ(valueOf(record, "failed_item"), lineOf(m.lines, "usrfs", "update", 0)->name);
    EXPECT_NE(valueOf(record, "message"), "(none)");
    EXPECT_EQ(valueOf(record, "starts"), "1");
    EXPECT_EQ(valueOf(record, "ending"), "done");
    EXPECT_EQ(valueOf(record, "chain_target"), "0");  // the set's chain byte was 1
    EXPECT_TRUE(isSeconds(valueOf(record, "seconds_list_optfs")));
}

TEST(Record, ACutUpgradeIsInProgressUntilItsRestartUpgrades) {
    ASSERT_MATERIAL();
    const Material& m = material();
    const Reference& r = reference();
    ASSERT_GT(r.deviceCalls, 12) << r.log;
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.sample.package));
    const Snapshot before = snapshot(sc.set);
    const long call = r.deviceCalls / 4;
    const ChildResult cut = runSet(sc.set, cutAtCall(call));
    ASSERT_NE(cut.verdict().find("(device call " + std::to_string(call) + ")"), std::string::npos)
        << cut.text();
    const auto during = lastResult(sc.set);
    EXPECT_EQ(valueOf(during, "result"), "in progress");
    EXPECT_EQ(valueOf(during, "starts"), "1");

    const std::vector<ChildResult> restarts = restartAsTheBootStage(sc.set);
    ASSERT_EQ(restarts.size(), 1u);
    const std::string log = restarts.back().text();
    EXPECT_EQ(restarts.back().verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_EQ(upgradeProblems(sc.set, m.sample.images), "") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    const auto after = lastResult(sc.set);
    EXPECT_EQ(valueOf(after, "result"), "upgraded");
    EXPECT_EQ(valueOf(after, "starts"), "2");
    EXPECT_EQ(valueOf(after, "package_sha256"), valueOf(during, "package_sha256"));
}

// The first start rewrites optfs and is cut before usrfs's part fails its
// MD5; the restart finds optfs upgraded, writes nothing itself and fails at
// the same part. The package has rewritten a partition: the record must not
// call that a refusal, which says that no partition byte was written.
TEST(Record, AFailureAfterAnEarlierStartWroteIsFailedNotRefused) {
    ASSERT_MATERIAL();
    const Material& m = material();
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.failing));
    const Snapshot before = snapshot(sc.set);
    const ChildResult cut =
        runSet(sc.set, cutAtOutput("handle split flie:/OAD/patch_package/split_usrfs"));
    ASSERT_EQ(cut.exitCode, 101) << cut.text();
    ASSERT_TRUE(partitionHolds(sc.set, kPartitions[0].device, m.sample.images[0].newImage))
        << "the cut came before optfs was written\n"
        << cut.text();
    ASSERT_FALSE(cut.contains("TV will reset the flags")) << cut.text();

    const std::vector<ChildResult> restarts = restartAsTheBootStage(sc.set);
    ASSERT_EQ(restarts.size(), 1u);
    const std::string log = restarts.back().text();
    EXPECT_TRUE(restarts.back().contains("pre-check passed")) << log;
    EXPECT_EQ(failureFlagProblems(sc.set, before), "") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    const auto record = lastResult(sc.set);
    EXPECT_EQ(valueOf(record, "starts"), "2");
    EXPECT_EQ(valueOf(record, "failed_partition"), "usrfs");
    EXPECT_EQ(valueOf(record, "result"), "failed") << "optfs holds the package's new image";
}

// A refusal for room whose ending was cut after it chose the running-chain
// byte and before it removed the package: the next start has room again,
// runs the same package and upgrades. The record must then say upgraded, not
// the refusal the cut ending had written, and the running-chain byte must be
// as it was: the ending never reached the flags. A cut cannot be aimed
// between those two steps (no device call, no output lies there), so the set
// is left as that cut leaves it: the package in /OAD and the record of the
// ending begun.
TEST(Record, ARestartThatUpgradesAfterAnEndingCutShortIsRecordedAsUpgraded) {
    ASSERT_MATERIAL();
    const Material& m = material();
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.sample.package));
    const Snapshot before = snapshot(sc.set);
    ASSERT_EQ(mkdir((sc.set + "/var-local/upgrade").c_str(), 0755) == 0 || errno == EEXIST, true);
    std::ofstream(sc.set + "/var-local/upgrade/last_result", std::ios::trunc)
        << "result=refused\npackage_sha256=" << sha256Of(m.sample.package)
        << "\nstarts=1\nfailed_partition=\nfailed_item=\n"
           "message=/tmp has 8388608 bytes free, the upgrade needs 21283141 (12894533 more)\n"
           "chain_target="
        << (before.flags[0] == 1 ? 0 : 1) << "\nending=started\n";

    const std::vector<ChildResult> restarts = restartAsTheBootStage(sc.set);
    ASSERT_EQ(restarts.size(), 1u);
    const std::string log = restarts.back().text();
    EXPECT_EQ(restarts.back().verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_EQ(upgradeProblems(sc.set, m.sample.images), "") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    EXPECT_EQ(readFile(flagPath(sc.set)).substr(0, 1), before.flags.substr(0, 1))
        << "the running-chain byte was turned over";
    const auto after = lastResult(sc.set);
    EXPECT_EQ(valueOf(after, "result"), "upgraded") << log;
    EXPECT_EQ(valueOf(after, "starts"), "2");
    for (const std::string key : {"ending", "chain_target", "message", "failed_partition"}) {
        EXPECT_EQ(after.count(key), 0u) << key << "=" << valueOf(after, key);
    }
}

// A cut inside the success ending after bytes 4, 8 and 5, and a part the
// run had written damaged by the same cut (a flash program operation that
// took its neighbour with it). The restart sees the damage and takes the
// failure ending; 5 and 8 must not be left reading as success beside the
// 4 and 7 that ending writes: they get back what they held before.
TEST(FlagsAfterACut, AFailureAfterACutInsideTheSuccessBytesTakesThemBack) {
    ASSERT_MATERIAL();
    const Material& m = material();
    const Reference& r = reference();
    ASSERT_GT(r.deviceCalls, 12) << r.log;
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.sample.package));
    const Snapshot before = snapshot(sc.set);
    // The last ten device calls: bytes 4, 8, 5, 7 and the reboot marker,
    // each a write and its fsync.
    const long afterByte5 = r.deviceCalls - 4;
    const ChildResult cut = runSet(sc.set, cutAtCall(afterByte5));
    ASSERT_EQ(cut.exitCode, 101) << cut.text();
    const std::string cutFlags = readAt(flagPath(sc.set), 0, 9);
    ASSERT_EQ(cutFlags.size(), 9u);
    ASSERT_EQ(cutFlags[4], '\x55');
    ASSERT_EQ(cutFlags[8], '\xAA');
    ASSERT_EQ(cutFlags[5], '\xAA');
    ASSERT_NE(cutFlags[7], '\x55') << "the cut came after the last success byte";
    const ListLine* part = lineOf(m.lines, "optfs", "update", 0);
    ASSERT_NE(part, nullptr);
    ASSERT_TRUE(drift(sc.set, *part));

    const std::vector<ChildResult> restarts = restartAsTheBootStage(sc.set);
    ASSERT_EQ(restarts.size(), 1u);
    const std::string log = restarts.back().text();
    EXPECT_TRUE(restarts.back().contains("TV will reset the flags")) << log;
    EXPECT_TRUE(restarts.back().contains("bytes 5 and 8 get back")) << log;
    EXPECT_EQ(failureFlagProblems(sc.set, before), "") << log;
    EXPECT_EQ(valueOf(lastResult(sc.set), "result"), "failed") << log;
}

// ---- The failure ending under cuts -------------------------------------------------

struct EndingCase {
    const char* name;
    bool afterWriting;  // the failing package; else a refused one (usrfs drifted)
};

void PrintTo(const EndingCase& c, std::ostream* os) {
    *os << c.name;
}

class EndingCut : public ::testing::TestWithParam<EndingCase> {};

// A set ready for the case: the package in /OAD, byte 0 as given.
bool makeEndingSet(const std::string& set, const EndingCase& c, char chain) {
    const Material& m = material();
    if (!makeSet(set, m.sample.images, c.afterWriting ? m.failing : m.sample.package) ||
        !writeAt(flagPath(set), 0, std::string(1, chain))) {
        return false;
    }
    if (c.afterWriting) return true;
    const ListLine* line = lineOf(m.lines, "usrfs", "update", 0);
    return line != nullptr && drift(set, *line);
}

// The flag writes of the failure ending and the reboot marker are the last
// device calls of either run; the ones before them in the failing run are
// its image writes. A cut at any of them, then the boot stage's restarts,
// must leave the running-chain byte turned over exactly once: the restart
// that finds the ending cut short writes the value the ending chose, never
// turns it over again.
TEST_P(EndingCut, TheRunningChainTurnsOverOnceWhereverTheEndingIsCut) {
    const EndingCase& c = GetParam();
    ASSERT_MATERIAL();
    const Material& m = material();
    SetCase sc;

    // The uncut run: how many device calls it makes.
    ASSERT_TRUE(makeEndingSet(sc.set, c, '\x01'));
    const ChildResult uncut = runSet(sc.set);
    ASSERT_EQ(uncut.verdict(), "upgrade-sandbox: reboot requested") << uncut.text();
    ASSERT_TRUE(uncut.contains("TV will reset the flags")) << uncut.text();
    const long calls = deviceCallsOf(uncut);
    ASSERT_GT(calls, 0) << uncut.text();
    EXPECT_EQ(valueOf(lastResult(sc.set), "result"), c.afterWriting ? "failed" : "refused");

    // Every call of the refused run (all of them the ending's); in the
    // failing run, its ending's calls and two image writes before them, and
    // its first call.
    std::vector<long> cuts;
    if (!c.afterWriting) {
        for (long k = 1; k <= calls; ++k)
            cuts.push_back(k);
    } else {
        const ChildResult refused = [&] {
            const std::string probe = sc.dir + "/probe";
            makeEndingSet(probe, {"", false}, '\x01');
            const ChildResult run = runSet(probe);
            removeTree(probe);
            return run;
        }();
        const long endingCalls = deviceCallsOf(refused);
        ASSERT_GT(endingCalls, 0) << refused.text();
        ASSERT_GT(calls, endingCalls + 2) << "the failing run wrote no partition\n" << uncut.text();
        cuts.push_back(1);
        for (long k = calls - endingCalls - 1; k <= calls; ++k)
            cuts.push_back(k);
    }

    // Two sets at a time; the chain byte starts at 0 and at 1 by turns.
    std::vector<std::string> problems(cuts.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
        workers.emplace_back([&, w] {
            for (size_t i; (i = next++) < cuts.size();) {
                const std::string set = sc.dir + "/cut_" + std::to_string(w);
                const char chain = static_cast<char>(i % 2);
                if (!makeEndingSet(set, c, chain)) {
                    problems[i] = "cannot make the set";
                    continue;
                }
                const Snapshot before = snapshot(set);
                const ChildResult cut = runSet(set, cutAtCall(cuts[i]));
                std::string log = cut.text();
                std::string& p = problems[i];
                if (cut.verdict().find("(device call " + std::to_string(cuts[i]) + ")") ==
                    std::string::npos) {
                    p += "not cut there: '" + cut.verdict() + "'; ";
                }
                const std::vector<ChildResult> restartRuns = restartAsTheBootStage(set);
                const size_t restarts = restartRuns.size();
                for (const ChildResult& again : restartRuns) {
                    log += again.text();
                    if (again.verdict() != "upgrade-sandbox: reboot requested") {
                        p += "a restart ended '" + again.verdict() + "'; ";
                    }
                }
                p += failureFlagProblems(set, before);
                p += invariantProblems(set, before, m.sample.images);
                // A failing run leaves optfs new and the rest as it was; a
                // refused one leaves everything as it was.
                for (size_t part = 0; part < 4; ++part) {
                    const std::string path = partitionPath(set, kPartitions[part].device);
                    const bool rewritten = c.afterWriting && part == 0;
                    if (rewritten ? !partitionHolds(set, kPartitions[part].device,
                                                    m.sample.images[part].newImage)
                                  : readFile(path) != before.partitions[part]) {
                        p += std::string(kPartitions[part].name) +
                             " is not as the ending leaves it; ";
                    }
                }
                // The record names the chain byte the ending chose; it is done
                // once a restart finished the ending. A cut after the last
                // flag byte leaves no restart due and the ending on record as
                // started, until the next start.
                const auto record = lastResult(set);
                const std::string ending = valueOf(record, "ending");
                if (valueOf(record, "chain_target") != std::to_string(chain == 0 ? 1 : 0) ||
                    (ending != "done" && (ending != "started" || restarts > 0)) ||
                    (valueOf(record, "result") != "refused" &&
                     valueOf(record, "result") != "failed")) {
                    p += "record result=" + valueOf(record, "result") + " ending=" + ending +
                         " chain_target=" + valueOf(record, "chain_target") + " after " +
                         std::to_string(restarts) + " restarts; ";
                }
                if (!p.empty()) {
                    fprintf(stderr, "---- cut at device call %ld, chain byte %d ----\n%s", cuts[i],
                            chain, log.c_str());
                }
                removeTree(set);
            }
        });
    }
    for (std::thread& t : workers)
        t.join();
    for (size_t i = 0; i < cuts.size(); ++i) {
        printf("cut at device call %ld of %ld, chain byte %zu: %s\n", cuts[i], calls, i % 2,
               problems[i].empty() ? "turned over once" : problems[i].c_str());
        EXPECT_EQ(problems[i], "")
            << "cut at device call " << cuts[i] << " of " << calls << ", chain byte " << i % 2;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EndingCut,
                         ::testing::Values(EndingCase{"Refused", false},
                                           EndingCase{"FailedAfterWriting", true}),
                         [](const ::testing::TestParamInfo<EndingCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- Restarts after cuts ------------------------------------------------------------

class Resume : public ::testing::TestWithParam<int> {};

// A restart finds parts already new, a part torn by the cut with its verified
// result waiting in /OAD/update_file/, and parts still at their base: the
// check must take each as the list runner will, and let the upgrade finish.
TEST_P(Resume, EveryRestartAfterACutPassesTheCheckAndUpgrades) {
    ASSERT_MATERIAL();
    const Material& m = material();
    const Reference& r = reference();
    ASSERT_GT(r.deviceCalls, 12) << r.log;
    // Sixths of the run, all before its success flags (its last ten calls).
    const long call = r.deviceCalls * GetParam() / 6;
    SetCase sc;
    ASSERT_TRUE(makeSet(sc.set, m.sample.images, m.sample.package));
    const Snapshot before = snapshot(sc.set);
    const ChildResult cut = runSet(sc.set, cutAtCall(call));
    ASSERT_NE(cut.verdict().find("(device call " + std::to_string(call) + ")"), std::string::npos)
        << cut.text();
    ASSERT_TRUE(upgradePending(sc.set)) << "the cut fell after the success flags";

    const std::vector<ChildResult> restarts = restartAsTheBootStage(sc.set);
    ASSERT_FALSE(restarts.empty());
    for (const ChildResult& again : restarts) {
        EXPECT_TRUE(again.contains("pre-check passed")) << again.text();
        EXPECT_FALSE(again.contains("pre-check refused")) << again.text();
    }
    const std::string log = restarts.back().text();
    EXPECT_EQ(restarts.back().verdict(), "upgrade-sandbox: reboot requested") << log;
    EXPECT_EQ(upgradeProblems(sc.set, m.sample.images), "") << log;
    EXPECT_EQ(cleanUpProblems(sc.set), "") << log;
    EXPECT_EQ(invariantProblems(sc.set, before, m.sample.images), "") << log;
    const auto record = lastResult(sc.set);
    EXPECT_EQ(valueOf(record, "result"), "upgraded");
    EXPECT_EQ(valueOf(record, "starts"), std::to_string(1 + restarts.size()));
}

INSTANTIATE_TEST_SUITE_P(Sixths, Resume, ::testing::Values(1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "CutAt" + std::to_string(info.param) + "Sixths";
                         });

}  // namespace
