#include "verify.h"

#include <cerrno>
#include <cstdlib>

namespace mpp {

namespace {

const char kVerifyUsage[] =
    "usage: make-patch-package verify PKG --old DIR [--old DIR ...] [--new DIR] [--key PUB.pem]\n"
    "                                 [--cuts every|N] [--cut-at K] [--lang CODE] [-j N]\n"
    "                                 [--shard I/N | --shards N] [--report FILE]\n"
    "                                 [--runner PATH] [--rootfs DIR]\n"
    "       make-patch-package verify-merge REPORT...\n"
    "  Runs PKG as the set will: for each --old directory of installed images (optfs.img,\n"
    "  usrfs.img, tvservice.img, serialsdata.img) a simulated set is made with the sandbox\n"
    "  runner, the images in its partitions, PKG as /OAD/patch_package.zip and the upgrade\n"
    "  pending, and the installed program runs on it. Verdict per base: upgrades (the\n"
    "  success flags, /OAD empty and the suspend marker gone); not cleaned up (the flags,\n"
    "  something left); refused, no partition changed; failed, changed: PARTITION ...\n"
    "  (the failure ending, told apart by comparing every partition with what was\n"
    "  installed); stops; or invalid signature (--key given and PKG does not verify with\n"
    "  it). The set's record of the run (/var/local/upgrade/last_result) is shown under\n"
    "  each base.\n"
    "  --new DIR     'upgrades' also needs every partition to hold DIR's image afterwards\n"
    "  --cuts every  cut the power right after every device call of the run, restart as the\n"
    "                boot stage does, and compare the final state with the uncut run's;\n"
    "  --cuts N      N cuts spread evenly; --cut-at K one cut alone (to reproduce it)\n"
    "  --shard I/N   (I from 1) make only cuts I, I+N, I+2N ... of the sweep's cuts, chosen\n"
    "                and numbered as without it; every shard runs the uncut runs itself.\n"
    "                Without it, with --report or --shards N, the shard comes from\n"
    "                CI_NODE_INDEX (from 1) of CI_NODE_TOTAL, or SLURM_ARRAY_TASK_ID -\n"
    "                SLURM_ARRAY_TASK_MIN (from 0) of N, or JOB_COMPLETION_INDEX (from 0) of N\n"
    "  --report FILE write the shard's cuts (number, device call, ending, reason) to FILE\n"
    "                under the package's SHA-256, the bases' images and uncut runs, --cuts\n"
    "                and the sweep's number of cuts. --shard, --shards and --report need\n"
    "                --cuts and take no --cut-at\n"
    "  --lang CODE   the set's language (default eng)\n"
    "  -j N          sets run at once (default 1)\n"
    "  --runner, --rootfs  the sandbox runner and the set's root file system (default: beside\n"
    "                this program in the build tree, bin/upgrade-sandbox and rootfs)\n"
    "  Needs root, as the runner does. Exit 0 only when every base upgrades and every cut\n"
    "  survives; 1 otherwise; 2 for a usage error or a report that could not be written.\n"
    "  verify-merge prints the table and last line of the sweep whose shards wrote the\n"
    "  REPORTs and exits as it would have; 2 for reports of different packages, bases or\n"
    "  --cuts, a cut in two reports or a cut in none.\n";

bool parseCount(const char* text, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v <= 0) return false;
    *out = v;
    return true;
}

}  // namespace

const char* verifyUsageText() {
    return kVerifyUsage;
}

std::string parseVerifyOptions(int argc, char** argv, VerifyOptions_T* o,
                               const std::function<const char*(const char*)>& getEnv) {
    host::Shard given;
    bool shardGiven = false;
    size_t shards = 0;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            o->help = true;
        } else if (arg == "--old" && hasValue) {
            o->oldDirs.push_back(argv[++i]);
        } else if (arg == "--new" && hasValue) {
            o->newDir = argv[++i];
        } else if (arg == "--key" && hasValue) {
            o->key = argv[++i];
        } else if (arg == "--runner" && hasValue) {
            o->runner = argv[++i];
        } else if (arg == "--rootfs" && hasValue) {
            o->rootfs = argv[++i];
        } else if (arg == "--lang" && hasValue) {
            o->lang = argv[++i];
            if (o->lang.empty() || o->lang.find('/') != std::string::npos)
                return "bad --lang " + o->lang;
        } else if (arg == "--cuts" && hasValue) {
            std::string v = argv[++i];
            if (v == "every") {
                o->cuts = -1;
            } else if (!parseCount(v.c_str(), &o->cuts)) {
                return "--cuts takes 'every' or a count";
            }
        } else if (arg == "--cut-at" && hasValue) {
            if (!parseCount(argv[++i], &o->cutAt)) return "--cut-at takes a device call number";
        } else if (arg == "--shard" && hasValue) {
            std::string error;
            if (!host::parseShard(argv[++i], &given, &error)) return "bad --shard: " + error;
            shardGiven = true;
        } else if (arg == "--shards" && hasValue) {
            long n = 0;
            if (!parseCount(argv[++i], &n)) return "--shards takes a count";
            shards = static_cast<size_t>(n);
        } else if (arg == "--report" && hasValue) {
            o->report = argv[++i];
            if (o->report.empty()) return "--report takes a file";
        } else if (arg == "-j" && hasValue) {
            long j = 0;
            if (!parseCount(argv[++i], &j) || j > 64) return "-j takes 1 to 64";
            o->jobs = static_cast<int>(j);
        } else if (arg.rfind("-", 0) == 0) {
            return "unknown option " + arg;
        } else if (o->package.empty()) {
            o->package = arg;
        } else {
            return "unexpected argument " + arg;
        }
    }
    if (o->help) return std::string();
    if (o->package.empty()) return "verify needs PKG";
    if (o->oldDirs.empty()) return "verify needs at least one --old DIR";
    const bool splits = shardGiven || shards != 0 || !o->report.empty();
    if (splits && o->cutAt > 0)
        return "--cut-at makes one cut alone; it takes no --shard, --shards or --report";
    if (splits && o->cuts == 0)
        return "--shard, --shards and --report split a sweep: give --cuts every or --cuts N";
    std::string error;
    if (!host::chooseShard(shardGiven ? &given : nullptr, shards, !o->report.empty(), getEnv,
                           &o->shard, &error)) {
        return error;
    }
    return std::string();
}

}  // namespace mpp
