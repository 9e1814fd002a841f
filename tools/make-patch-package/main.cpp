// make-patch-package: builds the patch package that the set's upgrade reads,
// from a directory of installed partition images and a directory of new ones.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bspatch.h"
#include "child_process.h"
#include "ground.h"
#include "file_util.h"
#include "inspect.h"
#include "interrupt.h"
#include "manifest.h"
#include "options.h"
#include "package.h"
#include "package_signing.h"
#include "package_writer.h"
#include "partition_plan.h"
#include "progress.h"
#include "summary.h"
#include "verify.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsButIsNoFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// The patch check runs the set's own applier in a child of this program,
// because the applier ends its process on any fault of the patch.
int checkPatch(char** argv) {
    return bspatch(argv[0], argv[1], argv[2]);
}

int build(const mpp::BuilderOptions_T& options) {
    // A key that cannot sign is found before the long part of the build.
    mpp::SigningKey_T signer;
    if (!options.signKey.empty()) {
        const std::string keyError = mpp::loadSigningKey(options.signKey, &signer);
        if (!keyError.empty()) {
            OTA_LOG("%s\n", keyError.c_str());
            return 1;
        }
    }
    mpp::WorkDir work;
    if (!work.create()) {
        OTA_LOG("cannot make a work directory\n");
        return 1;
    }
    mpp::PlanContext_T context;
    context.workDir = work.path();
    context.checker = mpp::selfExecutable();
    context.jobs = options.jobs;
    context.diff = options.diff;
    if (context.checker.empty()) {
        OTA_LOG("cannot find this program's own path\n");
        return 1;
    }

    // A mistyped directory must not quietly turn every partition into a
    // whole image (or into nothing).
    for (const std::string* dir : {&options.oldDir, &options.newDir}) {
        if (!isDirectory(*dir)) {
            OTA_LOG("%s is not a directory\n", dir->c_str());
            return 1;
        }
    }
    for (const std::string& part : options.whole) {
        if (mpp::regularFileSize(options.newDir + "/" + part + ".img") < 0) {
            OTA_LOG("--whole %s: %s/%s.img does not exist\n", part.c_str(), options.newDir.c_str(),
                    part.c_str());
            return 1;
        }
    }

    mpp::Progress progress(isatty(STDOUT_FILENO) != 0);
    std::vector<mpp::PartitionPlan_T> plans;
    for (const char* partition : ota_format::kRunOrder) {
        mpp::PartitionPlan_T plan;
        plan.partition = partition;
        plan.newPath = options.newDir + "/" + partition + ".img";
        plan.oldPath = options.oldDir + "/" + partition + ".img";
        for (const std::string* path : {&plan.newPath, &plan.oldPath}) {
            if (existsButIsNoFile(*path)) {
                OTA_LOG("%s is not a regular file\n", path->c_str());
                return 1;
            }
        }
        plan.newSize = mpp::regularFileSize(plan.newPath);
        if (plan.newSize < 0) {
            continue;  // the package leaves this partition alone
        }
        plan.oldSize = mpp::regularFileSize(plan.oldPath);
        bool named = false;
        for (const std::string& part : options.whole) {
            named = named || part == plan.partition;
        }
        // Without a non-empty installed image there is nothing to stage and
        // patch against: the new image goes whole.
        plan.whole = named || plan.oldSize <= 0;
        if (plan.whole) {
            plan.oldSize = 0;
        }
        progress.begin(plan.partition + (plan.whole ? ": whole image" : ": parts"));
        const std::string error = mpp::planPartition(
            context, plan, [&progress](int done, int total) { progress.update(done, total); });
        progress.end();
        if (!error.empty()) {
            OTA_LOG("%s\n", error.c_str());
            return 1;
        }
        if (mpp::interrupted()) {
            OTA_LOG("interrupted\n");
            return 1;
        }
        plans.push_back(std::move(plan));
    }
    if (plans.empty()) {
        OTA_LOG("%s holds none of optfs.img, usrfs.img, tvservice.img, serialsdata.img\n",
                options.newDir.c_str());
        return 1;
    }

    progress.begin("writing " + options.output);
    const std::string manifest = mpp::manifestText(plans, options.release);
    std::string error = mpp::writePackage(plans, manifest, options.output,
                                          options.signKey.empty() ? nullptr : &signer);
    if (error.empty()) {
        error = mpp::verifyPackage(plans, manifest, options.output);
        if (!error.empty()) {
            unlink(options.output.c_str());
        }
    }
    progress.end();
    if (!error.empty()) {
        OTA_LOG("%s\n", error.c_str());
        return 1;
    }
    fputs(mpp::summaryText(plans, mpp::regularFileSize(options.output)).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--check-patch") {
        return checkPatch(argv + 2);
    }
    if (argc >= 2 && std::string(argv[1]) == "verify") {
        return mpp::verifyCommand(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::string(argv[1]) == "verify-merge") {
        return mpp::verifyMergeCommand(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::string(argv[1]) == "check-signature") {
        return mpp::checkSignatureCommand(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::string(argv[1]) == "inspect") {
        return mpp::inspectCommand(argc - 2, argv + 2);
    }
    // Entry times become DOS dates in local time; one zone for every build
    // keeps the package bytes the same wherever it is built.
    setenv("TZ", "UTC0", 1);
    tzset();

    mpp::installInterruptHandlers();

    mpp::BuilderOptions_T options;
    const std::string error = mpp::parseOptions(argc, argv, &options);
    if (options.help) {
        fputs(mpp::usageText(), stdout);
        return 0;
    }
    if (!error.empty()) {
        OTA_LOG("%s\n", error.c_str());
        fputs(mpp::usageText(), stderr);
        return 2;
    }
    return build(options);
}
