// Another program of the set, run beside the installed program: it can write
// /OAD, /tmp and /var/local (as root, or as uid 1000 where a case says so),
// and it acts while the runner holds one of the program's device calls
// (--hold-at-write K --meanwhile), or before the program starts. Its bytes
// are "ATTACKER-BYTES " over and over, with MD5 sums it computes itself, so
// that a program trusting its files would take them.
//
// Every run must end in the failure ending, or in success with every
// partition holding its new image byte for byte; no partition may hold the
// attacker's pattern; and where the attacker left a partition wrong without
// the program's help, the success flags must never be written.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"

namespace {

using namespace set_driver;

constexpr size_t kMiB = 1 << 20;
constexpr size_t kPartSize = 10 * kMiB;
const std::string kPattern = "ATTACKER-BYTES ";
const char kProgram[] = "/usr/bin/upgradeprogress/upgradeprogress";
// What the files no program may write hold.
const std::string kPrecious = "precious, no program may write this";

std::string attackerBytes(size_t size) {
    std::string out;
    out.reserve(size + kPattern.size());
    while (out.size() < size)
        out += kPattern;
    out.resize(size);
    return out;
}

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(separator, from);
        pieces.push_back(
            text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return pieces;
        from = at + 1;
    }
}

std::string listName(const char* partition) {
    return std::string("split_") + partition + "_udpate_list.ini";
}

// ---- What every case shares ----------------------------------------------

// A part the program writes, and the device calls that write it: the writer
// hands the device 1 MiB at a time and ends each part with one fsync. The
// attacker's own report in ResultReplacedBetweenCheckAndWrite confirms the
// window of one part from both sides.
struct WrittenPart {
    std::string name;
    long firstCall;
    long lastCall;
};

struct Suite {
    SampleUpgrade sample;
    long deviceCalls = -1;  // of an uncut run of the sample package
    std::vector<WrittenPart> parts;
    const std::vector<ImagePair>& images() const { return sample.images; }
    const WrittenPart* part(const std::string& name) const {
        for (const WrittenPart& p : parts)
            if (p.name == name) return &p;
        return nullptr;
    }
};
const Suite* g_suite = nullptr;

// The parts of every list, the lists in the order the program runs them.
std::vector<WrittenPart> writtenParts(const SampleUpgrade& sample) {
    std::vector<WrittenPart> parts;
    long call = 1;
    for (size_t i = 0; i < 4; ++i) {
        std::string list;
        if (!readZipEntry(sample.package,
                          std::string("patch_package/") + listName(kPartitions[i].name), &list))
            continue;
        for (const std::string& line : split(list, '\n')) {
            const std::vector<std::string> f = split(line, ';');
            if (f.size() != 5) continue;
            long size = 0;
            if (f[0] == "update" || f[0] == "create") {
                const long offset = std::stol(f[4]);
                size = std::min<long>(kPartSize,
                                      static_cast<long>(sample.images[i].newImage.size()) - offset);
            } else if (f[0] == "entotal") {
                size = std::stol(f[3]);
            } else {
                continue;
            }
            const long calls = (size + static_cast<long>(kMiB) - 1) / static_cast<long>(kMiB) + 1;
            parts.push_back({f[1], call, call + calls - 1});
            call += calls;
        }
    }
    return parts;
}

// One run of the program on a fresh set, with the attacker beside it.
struct AttackRun {
    std::string set;
    long holdAt = 0;        // > 0: the attacker acts while this device call is held
    std::string meanwhile;  // what it runs then (sh -c)
    std::string before;     // shell text run as root in the sandbox before the program
    ChildResult result;

    std::string oad(const std::string& name) const { return set + "/OAD/" + name; }
    std::string varLocal(const std::string& name) const { return set + "/var-local/" + name; }
    std::string log() const { return result.text(); }
    // The attacker's report lines.
    std::vector<std::string> reports(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const LogLine& line : result.lines)
            if (line.text.rfind("attacker: " + prefix, 0) == 0) lines.push_back(line.text);
        return lines;
    }
};

void runInSandbox(AttackRun& run) {
    std::vector<std::string> argv = {runnerPath(), "run",       run.set,
                                     rootfsPath(), "--timeout", "240"};
    if (run.holdAt > 0)
        argv.insert(argv.end(),
                    {"--hold-at-write", std::to_string(run.holdAt), "--meanwhile", run.meanwhile});
    if (!run.before.empty())
        argv.insert(argv.end(), {"--", "/bin/sh", "-c", run.before + "\nexec " + kProgram});
    run.result = runChild(argv, 300);
}

// Runs a few at once: each mostly waits on the program's screens.
void runAll(std::vector<AttackRun>& runs) {
    constexpr size_t kAtOnce = 3;
    for (size_t from = 0; from < runs.size(); from += kAtOnce) {
        std::vector<std::thread> threads;
        for (size_t i = from; i < std::min(runs.size(), from + kAtOnce); ++i)
            threads.emplace_back([&runs, i] { runInSandbox(runs[i]); });
        for (std::thread& t : threads)
            t.join();
    }
}

// The attacker's lists and results: for every partition, a list that keeps
// (or makes) its "total" line and then creates <partition>_split_partaa from
// the attacker's bytes at offset 0, with their real MD5; the results beside.
// <partition>_split_partaa is a real item name of the sample package for the
// three split partitions.
bool writeAttackerPlan(const AttackRun& run) {
    if (mkdir(run.varLocal("attacker").c_str(), 0755) != 0 ||
        mkdir(run.varLocal("attacker/lists").c_str(), 0755) != 0 ||
        mkdir(run.varLocal("attacker/results").c_str(), 0755) != 0)
        return false;
    for (size_t i = 0; i < 4; ++i) {
        const char* name = kPartitions[i].name;
        const ImagePair& image = g_suite->images()[i];
        std::string list;
        if (!readZipEntry(g_suite->sample.package, std::string("patch_package/") + listName(name),
                          &list))
            return false;
        std::string total = split(list, '\n')[0];
        if (total.rfind("total;", 0) != 0) {
            const std::string size = std::to_string(image.oldImage.size());
            total = std::string("total;") + name + ";" + md5Hex(image.oldImage) + ";" + size + ";" +
                    size;
        }
        const std::string result = std::string(name) + "_split_partaa";
        const std::string bytes = attackerBytes(std::min(kPartSize, image.newImage.size()));
        if (!writeFile(run.varLocal("attacker/results/" + result), bytes) ||
            !writeFile(run.varLocal("attacker/lists/" + listName(name)),
                       total + "\ncreate;" + result + ";" + md5Hex(bytes) + ";0;0\n"))
            return false;
    }
    return true;
}

// Overwrites every file of /OAD/update_file/ with the pattern, same length,
// and tries the same on every memfd any process of the set holds.
const char kOverwriteEverything[] = R"sh(pattern=/var/local/attacker.bin
for f in /OAD/update_file/*; do
    [ -f "$f" ] || continue
    size=$(stat -c %s "$f")
    if dd if=$pattern of="$f" bs="$size" count=1 conv=notrunc 2>/dev/null; then
        echo "attacker: file $f overwritten ($size bytes)"
    fi
done
for f in /proc/[0-9]*/fd/*; do
    target=$(readlink "$f") || continue
    case "$target" in /memfd:*) ;; *) continue ;; esac
    size=$(stat -L -c %s "$f")
    if err=$(dd if=$pattern of="$f" bs="$size" count=1 conv=notrunc 2>&1 >/dev/null); then
        echo "attacker: memfd $f ($target, $size bytes) written"
    else
        echo "attacker: memfd $f ($target, $size bytes) refused: $err"
    fi
done
exit 0)sh";

// ---- The cases ------------------------------------------------------------

enum Ending : unsigned { kFailure = 1, kSuccess = 2 };

struct AttackCase {
    const char* name;
    // The device calls to hold, one fresh set per entry; 0: a run without
    // a hold.
    std::function<std::vector<long>()> holds;
    // Lays out the set of one run (AttackRun::set and holdAt are filled in).
    std::function<bool(AttackRun&)> arrange;
    unsigned endings;
    // With kFailure alone: the partition the final check must name.
    const char* wrongPartition = nullptr;
    // A line the run must show for the attack to have happened; a run
    // without it is tried again on a fresh set, up to `attempts` times.
    const char* attackShows = nullptr;
    int attempts = 1;
    // What the case checks beyond the common checks.
    std::function<void(const std::vector<AttackRun>&)> verify = [](const std::vector<AttackRun>&) {
    };
};

void PrintTo(const AttackCase& c, std::ostream* os) {
    *os << c.name;
}

std::function<std::vector<long>()> at(long call) {
    return [call] { return std::vector<long>{call}; };
}

bool withPackage(AttackRun& run) {
    return copyFile(g_suite->sample.package, run.oad("patch_package.zip"));
}

std::vector<AttackCase> cases() {
    return {
        // A program that opened each list's copy on /OAD when its turn came
        // would run the attacker's lists for usrfs, tvservice and
        // serialsdata: their "create" lines name results already in
        // /OAD/update_file/ with matching MD5s, so it would write the
        // pattern into three partitions and then the success flags.
        {"ListReplacedAfterExtraction", at(1),
         [](AttackRun& run) {
             run.meanwhile =
                 "set -e\n"
                 "cp /var/local/attacker/lists/* /OAD/patch_package/\n"
                 "cp /var/local/attacker/results/* /OAD/update_file/\n"
                 "echo 'attacker: lists and results planted'";
             return writeAttackerPlan(run) && withPackage(run);
         },
         kSuccess | kFailure, nullptr, "attacker: lists and results planted"},

        // A program that resumed from what /OAD holds (a list copy found
        // there taken as the list, a result found there that hashes to its
        // line taken as verified) would write the attacker's part at the
        // first item and every partition after it.
        {"ResultPlantedWithAListThatNamesIt", at(0),
         [](AttackRun& run) {
             // Root's own directories, 0700: the program keeps them and
             // must judge what is in them.
             const bool made = writeAttackerPlan(run) &&
                               mkdir(run.oad("update_file").c_str(), 0700) == 0 &&
                               mkdir(run.oad("patch_package").c_str(), 0700) == 0;
             for (size_t i = 0; made && i < 4; ++i) {
                 const std::string list = listName(kPartitions[i].name);
                 const std::string result = std::string(kPartitions[i].name) + "_split_partaa";
                 if (!copyFile(run.varLocal("attacker/lists/" + list),
                               run.oad("patch_package/" + list)) ||
                     !copyFile(run.varLocal("attacker/results/" + result),
                               run.oad("update_file/" + result)))
                     return false;
             }
             return made && withPackage(run);
         },
         kSuccess | kFailure},

        // Held at the first call of every part's write, at every call that
        // writes tvservice's one part, and at the call right before it: the
        // attacker overwrites every result in /OAD/update_file/ and every
        // memfd it can reach. A program that hashed a file and then wrote
        // from the file, or from memory another process can still write,
        // would put the pattern on the partition at the held call.
        {"ResultReplacedBetweenCheckAndWrite",
         [] {
             std::vector<long> calls;
             for (const WrittenPart& part : g_suite->parts) {
                 calls.push_back(part.firstCall);
                 if (part.name == "tvservice_split_partaa") {
                     calls.push_back(part.firstCall - 1);
                     for (long k = part.firstCall + 1; k <= part.lastCall; ++k)
                         calls.push_back(k);
                 }
             }
             std::sort(calls.begin(), calls.end());
             calls.erase(std::unique(calls.begin(), calls.end()), calls.end());
             return calls;
         },
         [](AttackRun& run) {
             run.meanwhile = kOverwriteEverything;
             return withPackage(run);
         },
         kSuccess | kFailure, nullptr, nullptr, 1,
         [](const std::vector<AttackRun>& runs) {
             const WrittenPart* tv = g_suite->part("tvservice_split_partaa");
             ASSERT_NE(tv, nullptr);
             size_t overwritten = 0;
             for (const AttackRun& run : runs) {
                 SCOPED_TRACE("held at device call " + std::to_string(run.holdAt));
                 overwritten += run.reports("file ").size();
                 // Whatever part is being written, its image is a sealed
                 // memfd, and no memfd of the set takes a byte.
                 const std::vector<std::string> memfds = run.reports("memfd ");
                 EXPECT_FALSE(memfds.empty()) << "no memfd while a part is written\n" << run.log();
                 for (const std::string& line : memfds) {
                     EXPECT_NE(line.find("refused: dd: error writing"), std::string::npos) << line;
                     EXPECT_NE(line.find("Operation not permitted"), std::string::npos) << line;
                 }
                 // The window of tvservice's part, seen from both sides.
                 const bool inside = run.holdAt >= tv->firstCall && run.holdAt <= tv->lastCall;
                 const std::string name = "tvservice_split_partaa";
                 const auto& files = run.reports("file /OAD/update_file/" + name + " ");
                 EXPECT_EQ(files.size(), inside ? 1u : 0u) << run.log();
                 bool sealed = false;
                 for (const std::string& line : memfds)
                     sealed = sealed || line.find("/memfd:" + name) != std::string::npos;
                 EXPECT_EQ(sealed, inside) << run.log();
             }
             EXPECT_GT(overwritten, 0u) << "the attacker never found a result to overwrite";
         }},

        // Once usrfs's installed image is being staged, the attacker renames
        // the NEW first part over the staged one, before the program
        // compares it (the program keeps writing the staged part through its
        // own descriptor). No device call falls between the staging and that
        // comparison, so the attacker starts at the last call before the
        // staging and waits for the part's name to appear. The program then
        // takes the part as written already and skips it. A program whose
        // last word on a part is the staged copy would write the success
        // flags over usrfs still holding its old first part.
        {"StagedPartAlreadyHashesToTheNewPart",
         [] {
             // The last call of optfs's list, the one before usrfs's.
             long last = 0;
             for (const WrittenPart& part : g_suite->parts)
                 if (part.name.rfind("optfs_", 0) == 0) last = part.lastCall;
             return std::vector<long>{last};
         },
         [](AttackRun& run) {
             run.meanwhile =
                 "cp /var/local/usrfs_split_partaa.new /tmp/attacker_part\n"
                 "(while [ ! -e /tmp/original_file/usrfs_split_partaa ]; do :; done\n"
                 " mv /tmp/attacker_part /tmp/original_file/usrfs_split_partaa &&\n"
                 " echo 'attacker: staged part replaced') &";
             return writeFile(run.varLocal("usrfs_split_partaa.new"),
                              g_suite->images()[1].newImage.substr(0, kPartSize)) &&
                    withPackage(run);
         },
         kFailure, "usrfs", "This part has been upgraded: /tmp/original_file/usrfs_split_partaa",
         3},

        // uid 1000 owns /OAD/update_file/, /OAD/patch_package/,
        // /tmp/original_file/ and /tmp/patch_file/, all 0777, and in them
        // hard links (made by root: protected_hardlinks) named after the
        // program's first files, to /OAD/precious and /tmp/precious. A
        // program that opened its files with O_CREAT|O_TRUNC in the
        // directories as it found them would write its list copy, its
        // first result, patch and staged part through those links, and
        // uid 1000 could swap any of its files at any moment.
        {"HardLinksInForeignDirectories", at(1),
         [](AttackRun& run) {
             const std::string precious = run.oad("precious");
             if (!writeFile(precious, kPrecious + "\n") ||
                 !writeFile(run.varLocal("precious"), kPrecious + "\n"))
                 return false;
             for (const char* dir : {"update_file", "patch_package"}) {
                 const std::string path = run.oad(dir);
                 if (mkdir(path.c_str(), 0777) != 0 || chmod(path.c_str(), 0777) != 0 ||
                     chown(path.c_str(), 1000, 1000) != 0)
                     return false;
             }
             if (link(precious.c_str(), run.oad("update_file/optfs_split_partaa").c_str()) != 0 ||
                 link(precious.c_str(), run.oad("patch_package/" + listName("optfs")).c_str()) != 0)
                 return false;
             run.before =
                 "set -e\n"
                 "cp /var/local/precious /tmp/precious\n"
                 "setpriv --reuid=1000 --regid=1000 --clear-groups \\\n"
                 "    mkdir -m 0777 /tmp/original_file /tmp/patch_file\n"
                 "ln /tmp/precious /tmp/original_file/optfs_split_partaa\n"
                 "ln /tmp/precious /tmp/patch_file/optfs_split_partaa\n"
                 "for p in /tmp/precious /tmp/original_file /tmp/patch_file; do\n"
                 "    echo \"attacker: made $p $(stat -c '%u %a %h' $p)\"\n"
                 "done";
             run.meanwhile =
                 "for d in /OAD/update_file /OAD/patch_package /tmp/original_file "
                 "/tmp/patch_file; do\n"
                 "    echo \"attacker: now $d $(stat -c '%u %a' $d)\"\n"
                 "done\n"
                 "for f in /OAD/precious /tmp/precious; do\n"
                 "    echo \"attacker: $f has $(stat -c %h $f) link(s) and holds $(cat $f)\"\n"
                 "done\n"
                 "for d in /OAD/update_file /tmp/original_file; do\n"
                 "    if setpriv --reuid=1000 --regid=1000 --clear-groups \\\n"
                 "        sh -c \"echo x > $d/optfs_split_partac\" 2>/dev/null; then\n"
                 "        echo \"attacker: uid 1000 wrote into $d\"\n"
                 "    else\n"
                 "        echo \"attacker: uid 1000 refused in $d\"\n"
                 "    fi\n"
                 "done";
             return withPackage(run);
         },
         kSuccess | kFailure, nullptr, "attacker: made", 1,
         [](const std::vector<AttackRun>& runs) {
             for (const AttackRun& run : runs) {
                 // Before the program: the attacker's directories, open to
                 // all, and three names for /tmp/precious.
                 EXPECT_EQ(run.reports("made"),
                           (std::vector<std::string>{"attacker: made /tmp/precious 0 644 3",
                                                     "attacker: made /tmp/original_file 1000 777 2",
                                                     "attacker: made /tmp/patch_file 1000 777 2"}))
                     << run.log();
                 // At the first write: every work directory is root's and
                 // closed to others, the links went with the directories,
                 // uid 1000 can put nothing in them, and neither linked
                 // file changed.
                 for (const char* dir : {"/OAD/update_file", "/OAD/patch_package",
                                         "/tmp/original_file", "/tmp/patch_file"}) {
                     EXPECT_EQ(
                         run.reports(std::string("now ") + dir),
                         std::vector<std::string>{std::string("attacker: now ") + dir + " 0 700"})
                         << run.log();
                 }
                 for (const char* file : {"/OAD/precious", "/tmp/precious"}) {
                     EXPECT_EQ(run.reports(file),
                               std::vector<std::string>{std::string("attacker: ") + file +
                                                        " has 1 link(s) and holds " + kPrecious})
                         << run.log();
                 }
                 EXPECT_EQ(run.reports("uid 1000 refused").size(), 2u) << run.log();
                 EXPECT_TRUE(run.reports("uid 1000 wrote").empty()) << run.log();
                 EXPECT_EQ(readFile(run.oad("precious")), kPrecious + "\n");
             }
         }},

        // The first "update" line of optfs carries a word no action has.
        // The line is logged and passed over, so optfs keeps its old first
        // part. A program that ended on the item checks alone would write
        // the success flags over it.
        {"UnknownActionWordInPlaceOfAnUpdate", at(0),
         [](AttackRun& run) {
             const std::string entry = "patch_package/" + listName("optfs");
             std::string list;
             if (!readZipEntry(g_suite->sample.package, entry, &list)) return false;
             const size_t word = list.find("update;optfs_split_partaa;");
             if (word == std::string::npos) return false;
             list.replace(word, 6, "format");
             return replaceZipEntry(g_suite->sample.package, entry, list,
                                    run.oad("patch_package.zip"));
         },
         kFailure, "optfs", "There no handle upgradmode: format"},
    };
}

// ---- The test --------------------------------------------------------------

class Attacker : public ::testing::TestWithParam<AttackCase> {
protected:
    static void SetUpTestSuite() {
        Suite* suite = new Suite;
        suite->sample = buildSampleUpgrade("attacker");
        if (suite->sample.problem.empty()) {
            const std::string set = suite->sample.work + "/uncut";
            if (makeSet(set, suite->sample.images, suite->sample.package)) {
                const ChildResult uncut = runProgramToDeviceCall(set, 0, 240);
                suite->deviceCalls = deviceCallsOf(uncut);
                if (uncut.exitCode != 100 || !upgradeProblems(set, suite->sample.images).empty()) {
                    suite->sample.problem = "the uncut run did not upgrade:\n" + uncut.text();
                }
                removeTree(set);
            }
            suite->parts = writtenParts(suite->sample);
        }
        g_suite = suite;
    }
    static void TearDownTestSuite() {
        delete g_suite;
        g_suite = nullptr;
    }
};

bool holdsPattern(const std::string& image) {
    return image.find(kPattern.substr(0, kPattern.size() - 1)) != std::string::npos;
}

// The common checks of one run.
void expectSafeEnding(const AttackCase& c, const AttackRun& run) {
    SCOPED_TRACE(run.holdAt > 0 ? "held at device call " + std::to_string(run.holdAt)
                                : std::string("no hold"));
    const std::string log = run.log();
    ASSERT_NE(run.result.exitCode, -1) << log;
    if (run.holdAt > 0) {
        EXPECT_TRUE(run.result.contains("upgrade-sandbox: held at device call " +
                                        std::to_string(run.holdAt) +
                                        " while the meanwhile command ran (exit 0)"))
            << log;
    }

    // Nothing of the attacker's on any partition, whatever the ending.
    for (const Partition& p : kPartitions) {
        EXPECT_FALSE(holdsPattern(readFile(partitionPath(run.set, p.device))))
            << "the attacker's bytes reached " << p.name << "\n"
            << log;
    }

    const std::string flags = readAt(flagPath(run.set), 0, 9);
    const std::string pending = pendingFlags();
    ASSERT_EQ(flags.size(), 9u);
    const bool successFlags = flags[5] == '\xAA' || flags[8] == '\xAA';
    const std::string problems = upgradeProblems(run.set, g_suite->images());
    if (successFlags) {
        EXPECT_TRUE(problems.empty())
            << "success flags over a set that does not hold its new images: " << problems << "\n"
            << log;
    }
    const bool rebooted = run.result.exitCode == 100;
    const bool failureEnding = rebooted && flags[0] != pending[0] && flags[4] == '\x55' &&
                               flags[7] == '\x55' && flags[5] == pending[5] &&
                               flags[8] == pending[8] &&
                               run.result.contains("TV will reset the flags");
    const bool success = rebooted && problems.empty();
    EXPECT_TRUE(((c.endings & kFailure) && failureEnding) || ((c.endings & kSuccess) && success))
        << "ending " << run.result.verdict() << "\n"
        << problems << "\n"
        << log;

    if (c.wrongPartition != nullptr) {
        EXPECT_FALSE(successFlags) << "success flags written";
        const std::string named = std::string("final check of ") + c.wrongPartition + ": ";
        bool mismatch = false;
        for (const LogLine& line : run.result.lines)
            mismatch = mismatch || (line.text.find(named) != std::string::npos &&
                                    line.text.find(", its list expects ") != std::string::npos);
        EXPECT_TRUE(mismatch) << "no final-check mismatch of " << c.wrongPartition << "\n" << log;
    }
}

TEST_P(Attacker, GetsNoByteOntoAPartitionAndNoSuccessOverAWrongImage) {
    const AttackCase& c = GetParam();
    ASSERT_NE(g_suite, nullptr);
    ASSERT_TRUE(g_suite->sample.problem.empty()) << g_suite->sample.problem;
    ASSERT_GT(g_suite->deviceCalls, 0);
    ASSERT_FALSE(g_suite->parts.empty());
    ASSERT_LT(g_suite->parts.back().lastCall, g_suite->deviceCalls)
        << "the parts take more device calls than the uncut run made";

    const std::vector<long> holds = c.holds();
    const std::string scratch = scratchDir(std::string("attacker_") + c.name);
    std::vector<AttackRun> runs;
    std::vector<bool> shown(holds.size(), false);
    for (int attempt = 0; attempt < c.attempts; ++attempt) {
        std::vector<AttackRun> tries;
        for (size_t i = 0; i < holds.size(); ++i) {
            if (shown[i]) continue;
            ASSERT_LE(holds[i], g_suite->deviceCalls);
            AttackRun run;
            run.set = scratch + "/set-" + std::to_string(holds[i]) + "-" + std::to_string(attempt);
            run.holdAt = holds[i];
            ASSERT_TRUE(makeSet(run.set, g_suite->images(), ""));
            ASSERT_TRUE(writeFile(run.varLocal("attacker.bin"), attackerBytes(kPartSize + kMiB)));
            ASSERT_TRUE(c.arrange(run)) << "the case could not be laid out";
            tries.push_back(std::move(run));
        }
        if (tries.empty()) break;
        runAll(tries);
        for (AttackRun& run : tries) {
            const size_t i = std::find(holds.begin(), holds.end(), run.holdAt) - holds.begin();
            shown[i] = c.attackShows == nullptr || run.result.contains(c.attackShows);
            if (shown[i] || attempt + 1 == c.attempts) runs.push_back(std::move(run));
        }
    }
    for (const AttackRun& run : runs) {
        if (c.attackShows != nullptr) {
            EXPECT_TRUE(run.result.contains(c.attackShows))
                << "the attack did not happen (no \"" << c.attackShows << "\")\n"
                << run.log();
        }
        expectSafeEnding(c, run);
    }
    c.verify(runs);
    if (!HasFailure()) removeTree(scratch);
}

INSTANTIATE_TEST_SUITE_P(Cases, Attacker, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<AttackCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
