// Hostile packages and a hostile set, run whole: the installed program on a
// fresh simulated set per case, as an attacker or a broken downloader would
// leave it. Every case must end in an ending the design allows for it (the
// failure ending, exit 1 for a patch the applier refuses, or success with
// every partition holding its new image), and never by a signal or a hang.
// Whatever the ending, no partition byte past what the package may write,
// no flag byte the design does not name, and nothing outside /OAD,
// /var/local and /tmp may change.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"
#include "testing/zip_fixture.h"

namespace {

using namespace set_driver;

enum Ending : unsigned { kFailure = 1, kExit1 = 2, kSuccess = 4 };

struct World;
using Arrange = std::function<bool(World&)>;

struct HostileCase {
    const char* name;
    Arrange arrange;
    unsigned endings;      // what the design allows for this case
    long tmpKib = -1;      // > 0: a /tmp that fills up
    bool wrapped = false;  // the program runs under a shell that first changes /dev
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

// What a case may change before the run: the set and the package in it.
struct World {
    std::string set;
    std::string basePackage;
    const std::vector<ImagePair>* images;
    std::string command;  // with `wrapped`: shell text run before the program

    std::string oad(const std::string& name) const { return set + "/OAD/" + name; }
    std::string package() const { return oad("patch_package.zip"); }
};

std::string listEntry(const char* partition) {
    return std::string("patch_package/split_") + partition + "_udpate_list.ini";
}

std::string listOf(const World& w, const char* partition) {
    std::string list;
    readZipEntry(w.basePackage, listEntry(partition), &list);
    return list;
}

// The package with one entry's bytes replaced.
bool withEntry(World& w, const std::string& entry, const std::string& bytes) {
    return replaceZipEntry(w.basePackage, entry, bytes, w.package());
}

// The package with one list replaced by `lines`.
Arrange listIs(const char* partition, std::string lines) {
    return [partition, lines](World& w) { return withEntry(w, listEntry(partition), lines); };
}

// The first line of any list whose action word is `mode`.
std::vector<std::string> firstLineOf(const World& w, const std::string& mode,
                                     const char** partitionOut) {
    for (const Partition& p : kPartitions) {
        const std::string list = listOf(w, p.name);
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find('\n', start);
            if (end == std::string::npos) end = list.size();
            std::vector<std::string> fields;
            std::string line = list.substr(start, end - start);
            size_t from = 0, semi;
            while ((semi = line.find(';', from)) != std::string::npos) {
                fields.push_back(line.substr(from, semi - from));
                from = semi + 1;
            }
            fields.push_back(line.substr(from));
            if (fields.size() == 5 && fields[0] == mode) {
                *partitionOut = p.name;
                return fields;
            }
            start = end + 1;
        }
    }
    return {};
}

// The package with the entry of the first "update" line (its patch) replaced.
Arrange patchIs(std::function<std::string(const std::string&)> make) {
    return [make](World& w) {
        const char* partition = nullptr;
        const auto fields = firstLineOf(w, "update", &partition);
        if (fields.empty()) return false;
        const std::string entry = "patch_package/" + fields[1];
        std::string patch;
        if (!readZipEntry(w.basePackage, entry, &patch)) return false;
        return withEntry(w, entry, make(patch));
    };
}

// The package's list of `partition` with the first line of `mode` rewritten.
Arrange lineRewritten(const char* mode, std::function<std::string(std::vector<std::string>)> make) {
    return [mode, make](World& w) {
        const char* partition = nullptr;
        const auto fields = firstLineOf(w, mode, &partition);
        if (fields.empty()) return false;
        std::string list = listOf(w, partition);
        std::string original = fields[0];
        for (size_t i = 1; i < fields.size(); ++i)
            original += ";" + fields[i];
        const size_t at = list.find(original);
        if (at == std::string::npos) return false;
        list.replace(at, original.size(), make(fields));
        return withEntry(w, listEntry(partition), list);
    };
}

std::string le64(int64_t value) {
    // Sign and magnitude, as BSDIFF40 stores its numbers.
    uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-(value + 1)) + 1 : value;
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<char>((magnitude >> (8 * i)) & 0xff);
    if (value < 0) out[7] = static_cast<char>(out[7] | 0x80);
    return out;
}

// A patch whose 32-byte header carries these three numbers, body kept.
std::function<std::string(const std::string&)> header(int64_t ctrl, int64_t diff, int64_t size) {
    return [=](const std::string& patch) {
        std::string out = patch;
        if (out.size() < 32) return out;
        out.replace(8, 24, le64(ctrl) + le64(diff) + le64(size));
        return out;
    };
}

bool writeRaw(const std::string& path, const std::string& bytes) {
    return writeFile(path, bytes);
}

const std::string kZeroMd5 = "00000000000000000000000000000000";

std::vector<HostileCase> cases() {
    return {
        // ---- Damaged archives ---------------------------------------------
        {"TruncatedPackage",
         [](World& w) {
             const std::string bytes = readFile(w.basePackage);
             return writeRaw(w.package(), bytes.substr(0, bytes.size() / 2));
         },
         kFailure},
        {"BadCentralDirectory",
         [](World& w) {
             std::string bytes = readFile(w.basePackage);
             const size_t at = bytes.find(std::string("PK\x01\x02", 4));
             if (at == std::string::npos) return false;
             for (size_t i = at; i < std::min(bytes.size(), at + 46); ++i)
                 bytes[i] ^= 0x5a;
             return writeRaw(w.package(), bytes);
         },
         kFailure},
        {"NotAZip", [](World& w) { return writeRaw(w.package(), pseudoRandom(7, 300000)); },
         kFailure},
        {"EmptyFile", [](World& w) { return writeRaw(w.package(), ""); }, kFailure},
        {"DirectoryForAPackage", [](World& w) { return mkdir(w.package().c_str(), 0755) == 0; },
         kFailure},
        {"FifoForAPackage", [](World& w) { return mkfifo(w.package().c_str(), 0644) == 0; },
         kFailure},
        {"DuplicateListNames",
         [](World& w) {
             return ota_test::writeZip(
                 w.package(), {{listEntry("optfs"), "total;nopartition;" + kZeroMd5 + ";1;0\n"},
                               {listEntry("optfs"), "total;nopartition;" + kZeroMd5 + ";2;0\n"}});
         },
         kFailure},
        // ---- List lines outside the format -------------------------------
        {"SixFields",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + ";" + f[2] + ";" + f[3] + ";" + f[4] +
                                  ";extra";
                       }),
         kFailure | kSuccess},
        {"OverlongLine",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + std::string(300, 'x') + ";" + f[2] + ";" +
                                  f[3] + ";" + f[4];
                       }),
         kFailure},
        {"BinaryGarbageList", listIs("optfs", pseudoRandom(11, 4000)), kFailure},
        // A word the dispatcher does not know is no error: the line counts
        // as handled and the rest of the list runs.
        {"UnknownActionWord",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + ";" + f[2] + ";" + f[3] + ";" + f[4] +
                                  "\nformat;" + f[1] + ";" + f[2] + ";0;0";
                       }),
         kSuccess},
        // Only "total" reads the size; elsewhere a word there reads as 0.
        {"NonNumericSize",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + ";" + f[2] + ";lots;" + f[4];
                       }),
         kFailure | kSuccess},
        // The set's 32-bit build once read -1 as 4 GiB and staged the whole
        // partition into RAM; it must end at once on every build.
        {"NegativeTotalSize",
         lineRewritten("total",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + ";" + f[2] + ";-1;" + f[4];
                       }),
         kFailure},
        // ---- Names that climb out of their directory ---------------------
        {"NameClimbsOut",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";../../var/local/optfs_x;" + f[2] + ";" + f[3] + ";" +
                                  f[4];
                       }),
         kFailure},
        {"AbsoluteName",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";/etc/optfs_passwd;" + f[2] + ";" + f[3] + ";" + f[4];
                       }),
         kFailure},
        {"DotDotName",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";..;" + f[2] + ";" + f[3] + ";" + f[4];
                       }),
         kFailure},
        // ---- Partitions the set does not have ----------------------------
        {"UnknownPartitionTotal", listIs("optfs", "total;bootloader;" + kZeroMd5 + ";1048576;0\n"),
         kFailure},
        {"UnknownPartitionCreate",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";recovery_split_partaa;" + f[2] + ";" + f[3] + ";" + f[4];
                       }),
         kFailure},
        // ---- Offsets and sizes past a partition's end --------------------
        {"OffsetPastTheEnd",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + ";" + f[2] + ";" + f[3] + ";2147483000";
                       }),
         kFailure},
        {"NegativeOffset",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           return f[0] + ";" + f[1] + ";" + f[2] + ";" + f[3] + ";-4096";
                       }),
         kFailure},
        {"PartOverlappingTheEnd",
         lineRewritten("create",
                       [](std::vector<std::string> f) {
                           // 32 MiB partitions: a part written 1 KiB before the end.
                           return f[0] + ";" + f[1] + ";" + f[2] + ";" + f[3] + ";33553408";
                       }),
         kFailure},
        // ---- Hostile patches ----------------------------------------------
        {"PatchNegativeLengths", patchIs(header(-1, -1, 4096)), kExit1 | kFailure},
        {"PatchOverflowingLengths", patchIs(header(INT64_MAX, INT64_MAX, 4096)), kExit1 | kFailure},
        {"PatchHugeNewSize", patchIs(header(40, 40, INT64_MAX / 2)), kExit1 | kFailure},
        {"PatchNotBsdiff", patchIs([](const std::string& p) {
             return "BSDIFF39" + p.substr(std::min<size_t>(8, p.size()));
         }),
         kExit1 | kFailure},
        {"PatchBzip2Bomb", patchIs([](const std::string& p) {
             // A control block that inflates far past anything the part needs.
             FILE* pipe = popen("head -c 200000000 /dev/zero | bzip2 -9 -c", "r");
             std::string bomb;
             char buffer[65536];
             size_t got;
             while (pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
                 bomb.append(buffer, got);
             if (pipe != nullptr) pclose(pipe);
             return p.substr(0, 8) + le64(static_cast<int64_t>(bomb.size())) + le64(0) +
                    le64(4096) + bomb;
         }),
         kExit1 | kFailure},
        // ---- A deflate bomb ---------------------------------------------
        {"DeflateBomb",
         [](World& w) {
             return ota_test::writeZip(
                 w.package(),
                 {{listEntry("optfs"), "create;optfs_split_partaa;" + kZeroMd5 + ";67108864;0\n"},
                  {"patch_package/optfs_split_partaa", std::string(64 << 20, '\0'), true}});
         },
         kFailure},
        // ---- Full /tmp in the middle of a run ---------------------------
        {"TmpFillsUp", [](World& w) { return copyFile(w.basePackage, w.package()); }, kFailure,
         2048},
        // ---- Odd set state -------------------------------------------------
        {"UpdateDirLinkedElsewhere",
         [](World& w) {
             return copyFile(w.basePackage, w.package()) &&
                    mkdir((w.set + "/var-local/elsewhere").c_str(), 0755) == 0 &&
                    writeFile(w.set + "/var-local/elsewhere/keep", "keep") &&
                    symlink("/var/local/elsewhere", w.oad("update_file").c_str()) == 0;
         },
         kSuccess},
        {"ListDirLinkedElsewhere",
         [](World& w) {
             return copyFile(w.basePackage, w.package()) &&
                    mkdir((w.set + "/var-local/lists").c_str(), 0755) == 0 &&
                    writeFile(w.set + "/var-local/lists/keep", "keep") &&
                    symlink("/var/local/lists", w.oad("patch_package").c_str()) == 0;
         },
         kSuccess},
        {"UpdateDirIsAFifo",
         [](World& w) {
             return copyFile(w.basePackage, w.package()) &&
                    mkfifo(w.oad("update_file").c_str(), 0644) == 0;
         },
         kSuccess},
        {"PartNameIsAFifo",
         [](World& w) {
             const char* partition = nullptr;
             const auto fields = firstLineOf(w, "create", &partition);
             return !fields.empty() && copyFile(w.basePackage, w.package()) &&
                    mkdir(w.oad("update_file").c_str(), 0755) == 0 &&
                    mkfifo(w.oad("update_file/" + fields[1]).c_str(), 0644) == 0;
         },
         kSuccess},
        {"PartNameLinksOutside",
         [](World& w) {
             const char* partition = nullptr;
             const auto fields = firstLineOf(w, "create", &partition);
             return !fields.empty() && copyFile(w.basePackage, w.package()) &&
                    writeFile(w.set + "/var-local/keep", "keep") &&
                    mkdir(w.oad("update_file").c_str(), 0755) == 0 &&
                    symlink("/var/local/keep", w.oad("update_file/" + fields[1]).c_str()) == 0;
         },
         kSuccess},
        {"LanguageFileIsAFifo",
         [](World& w) {
             mkdir((w.set + "/var-local/upgrade").c_str(), 0755);
             unlink((w.set + "/var-local/upgrade/am_tv_lang").c_str());
             return copyFile(w.basePackage, w.package()) &&
                    mkfifo((w.set + "/var-local/upgrade/am_tv_lang").c_str(), 0644) == 0;
         },
         kSuccess},
        {"SuspendMarkerIsADirectory",
         [](World& w) {
             unlink((w.set + "/var-local/suspend_force_off").c_str());
             return copyFile(w.basePackage, w.package()) &&
                    mkdir((w.set + "/var-local/suspend_force_off").c_str(), 0755) == 0 &&
                    writeFile(w.set + "/var-local/suspend_force_off/x", "x");
         },
         kSuccess},
        {"MissingDeviceNode",
         [](World& w) {
             w.command = "rm -f /dev/mmcblk0p34";
             return copyFile(w.basePackage, w.package());
         },
         kFailure, -1, true},
        {"FlagPartitionShorterThanTheMarker",
         [](World& w) {
             return copyFile(w.basePackage, w.package()) &&
                    truncate(flagPath(w.set).c_str(), 512) == 0;
         },
         kSuccess},
    };
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {
protected:
    static void SetUpTestSuite() {
        const SampleUpgrade sample = buildSampleUpgrade("hostile_input");
        if (!sample.problem.empty()) {
            fprintf(stderr, "%s\n", sample.problem.c_str());
        }
        work_ = new std::string(sample.work);
        images_ = new std::vector<ImagePair>(sample.images);
        package_ = new std::string(sample.package);
    }
    static void TearDownTestSuite() {
        delete work_;
        delete images_;
        delete package_;
    }

    static std::string* work_;
    static std::vector<ImagePair>* images_;
    static std::string* package_;
};

std::string* HostileInput::work_ = nullptr;
std::vector<ImagePair>* HostileInput::images_ = nullptr;
std::string* HostileInput::package_ = nullptr;

constexpr long kPartitionBytes = 32L << 20;

// The flag partition with the bytes the design names blanked out: what is
// left must never change.
std::string unnamedFlagBytes(const std::string& flags) {
    std::string out = flags;
    for (size_t at : {0, 4, 5, 7, 8}) {
        if (at < out.size()) out[at] = 0;
    }
    for (size_t at = kMarkerOffset; at < kMarkerOffset + 7 && at < out.size(); ++at)
        out[at] = 0;
    return out;
}

// Names under `dir`, one level, sorted.
std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    const ChildResult listed = runChild({"/bin/ls", "-A", dir}, 10);
    for (const LogLine& line : listed.lines)
        names.push_back(line.text);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_P(HostileInput, EndsAsTheDesignAllowsAndTouchesNothingElse) {
    const HostileCase& c = GetParam();
    ASSERT_TRUE(exists(*package_)) << "no package was built";
    World w;
    w.set = scratchDir(std::string("hostile_") + c.name) + "/set";
    w.basePackage = *package_;
    w.images = images_;
    ASSERT_TRUE(makeSet(w.set, *images_, ""));
    ASSERT_TRUE(c.arrange(w)) << "the case could not be laid out";

    // What no run may change.
    std::vector<std::string> tails;
    for (size_t i = 0; i < 4; ++i) {
        const long from = static_cast<long>((*images_)[i].newImage.size());
        tails.push_back(readAt(partitionPath(w.set, kPartitions[i].device), from,
                               static_cast<size_t>(kPartitionBytes - from)));
    }
    const std::string flagsBefore = readFile(flagPath(w.set));
    const std::string kept = w.set + "/../kept";
    ASSERT_EQ(mkdir(kept.c_str(), 0755), 0);

    std::vector<std::string> argv = {
        runnerPath(), "run", w.set, rootfsPath(), "--timeout", "240", "--keep-writable", kept};
    if (c.tmpKib > 0) {
        argv.push_back("--tmp-kib");
        argv.push_back(std::to_string(c.tmpKib));
    }
    if (c.wrapped) {
        argv.insert(argv.end(), {"--", "/bin/sh", "-c",
                                 w.command + "; exec /usr/bin/upgradeprogress/upgradeprogress"});
    }
    const ChildResult run = runChild(argv, 300);
    const std::string log = run.text();

    // Never a signal, never a hang.
    EXPECT_EQ(run.verdict().find("killed by signal"), std::string::npos) << log;
    EXPECT_EQ(run.verdict().find("timed out"), std::string::npos) << log;
    ASSERT_NE(run.exitCode, -1) << log;

    // One of the endings the design allows for this case.
    const std::string flags = readAt(flagPath(w.set), 0, 9);
    const std::string pending = pendingFlags();
    const bool rebooted = run.exitCode == 100;
    const bool failureEnding = rebooted && flags.size() == 9 && flags[4] == '\x55' &&
                               flags[7] == '\x55' && flags[5] == pending[5] &&
                               flags[8] == pending[8] && run.contains("TV will reset the flags");
    const bool exit1 = run.exitCode == 1;
    const bool success = rebooted && upgradeProblems(w.set, *images_).empty();
    const bool allowed = ((c.endings & kFailure) && failureEnding) ||
                         ((c.endings & kExit1) && exit1) || ((c.endings & kSuccess) && success);
    EXPECT_TRUE(allowed) << "ending " << run.verdict() << "\n"
                         << upgradeProblems(w.set, *images_) << "\n"
                         << log;

    // No partition byte past what the package may write.
    for (size_t i = 0; i < 4; ++i) {
        const long from = static_cast<long>((*images_)[i].newImage.size());
        EXPECT_TRUE(readAt(partitionPath(w.set, kPartitions[i].device), from,
                           static_cast<size_t>(kPartitionBytes - from)) == tails[i])
            << kPartitions[i].name << " changed past its new image";
    }
    // No flag byte the design does not name.
    EXPECT_TRUE(unnamedFlagBytes(readFile(flagPath(w.set))) == unnamedFlagBytes(flagsBefore))
        << "a flag byte the design does not name changed";
    // Nothing outside /OAD, /var/local and /tmp: the root is read-only but
    // for /run and /dev, kept here.
    EXPECT_EQ(namesIn(kept + "/run"), std::vector<std::string>{}) << log;
    const std::vector<std::string> devMade = {
        "block",      "fd",        "full",    "mmcblk0p18", "mmcblk0p26", "mmcblk0p28",
        "mmcblk0p34", "mmcblk0p4", "null",    "random",     "shm",        "stderr",
        "stdin",      "stdout",    "urandom", "zero"};
    for (const std::string& name : namesIn(kept + "/dev")) {
        EXPECT_TRUE(std::find(devMade.begin(), devMade.end(), name) != devMade.end())
            << "the run left /dev/" << name;
    }
    EXPECT_EQ(namesIn(kept + "/dev/block"), std::vector<std::string>{"mmcblk0p4"});
    // Files the set's other programs own are never followed into.
    for (const char* owned :
         {"/var-local/elsewhere/keep", "/var-local/lists/keep", "/var-local/keep"}) {
        if (exists(w.set + owned)) {
            EXPECT_EQ(readFile(w.set + owned), "keep") << owned;
        }
    }
    // rm refuses a path that ends in "..": the case's scratch directory by name.
    if (!HasFailure()) removeTree(w.set.substr(0, w.set.rfind('/')));
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
