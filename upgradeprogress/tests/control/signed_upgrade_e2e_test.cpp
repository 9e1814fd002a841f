// Signed packages, run whole on simulated sets through the sandbox runner: a
// set that holds a release key installs the package that key signed, and
// refuses a changed or unsigned one with the failure ending and every
// partition untouched, at every start; a set without keys installs a signed
// package as any other.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/set_driver.h"
#include "package/signature_keys.h"

namespace {

using namespace set_driver;

constexpr size_t kMiB = 1 << 20;

// Small images carried whole: the package build needs no patches.
std::vector<ImagePair> smallImages() {
    std::vector<ImagePair> images(4);
    for (size_t i = 0; i < images.size(); ++i) {
        images[i].oldImage = pseudoRandom(100 + i, (i + 1) * kMiB / 2);
        images[i].newImage = pseudoRandom(200 + i, (i + 1) * kMiB / 2 + 4096);
    }
    return images;
}

class SignedUpgrade : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = new std::string(scratchDir("signed_upgrade"));
        images_ = new std::vector<ImagePair>(smallImages());
        keyedRootfs_ = new std::string(*work_ + "/rootfs-keyed");
        ASSERT_TRUE(ota_test::makeKeyPair(*work_, "release"));
        ASSERT_TRUE(ota_test::makeKeyPair(*work_, "stranger"));
        ASSERT_TRUE(writeImageDirs(*work_, *images_));
        const std::vector<std::string> whole = {"--whole", "optfs",     "--whole", "usrfs",
                                                "--whole", "tvservice", "--whole", "serialsdata"};
        for (const char* signer : {"release", "stranger", ""}) {
            std::vector<std::string> extra = whole;
            if (*signer != '\0') {
                extra.push_back("--sign");
                extra.push_back(*work_ + "/" + signer + ".pem");
            }
            const ChildResult built = buildPackage(*work_, packageOf(signer), extra);
            ASSERT_EQ(built.exitCode, 0) << built.text();
        }
        // The installed root file system with the release key laid in, as a
        // build with -DOTA_PACKAGE_KEYS lays it out (hard links: the tree
        // itself stays as the other tests need it).
        const std::string keys = *keyedRootfs_ + "/usr/bin/upgradeprogress/keys";
        ASSERT_EQ(system(("cp -al '" + rootfsPath() + "' '" + *keyedRootfs_ + "' && mkdir -p '" +
                          keys + "' && cp '" + *work_ + "/release.pub.pem' '" + keys + "/'")
                             .c_str()),
                  0);
    }
    static void TearDownTestSuite() {
        removeTree(*work_);
        delete work_;
        delete images_;
        delete keyedRootfs_;
    }

    static std::string packageOf(const std::string& signer) {
        return *work_ + "/" + (signer.empty() ? std::string("unsigned") : signer) + ".zip";
    }

    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = info->name();
        for (char& c : tag) {
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        set_ = *work_ + "/" + tag;
    }
    void TearDown() override {
        if (!HasFailure()) {
            removeTree(set_);
        }
    }

    ChildResult run(const std::string& rootfs, const LineTrigger* cut = nullptr) {
        return runChild({runnerPath(), "run", set_, rootfs, "--timeout", "180"}, 240, cut);
    }

    // Every partition image of the set, whole, to tell an untouched one.
    std::vector<std::string> partitionImages() {
        std::vector<std::string> all;
        for (const Partition& partition : kPartitions) {
            all.push_back(ota_test::readFile(partitionPath(set_, partition.device)));
        }
        return all;
    }

    void expectRefused(const ChildResult& result, const std::string& why,
                       const std::vector<std::string>& partitionsBefore) {
        EXPECT_TRUE(result.contains("package signature check failed: " + why)) << result.text();
        EXPECT_EQ(result.verdict(), "upgrade-sandbox: reboot requested") << result.text();
        EXPECT_TRUE(result.contains("clear ota flags finished.")) << result.text();
        EXPECT_FALSE(result.contains("extractOneFile")) << "extracted before the check";
        ASSERT_FALSE(progressReports(result).empty());
        EXPECT_EQ(progressReports(result).back(), std::make_pair(2, 1));
        EXPECT_FALSE(upgradePending(set_)) << "flags 4 and 7 are reset by the failure ending";
        EXPECT_TRUE(partitionImages() == partitionsBefore) << "a partition was written";
        EXPECT_FALSE(exists(set_ + "/OAD/patch_package.zip"));
    }

    std::string set_;
    static std::string* work_;
    static std::vector<ImagePair>* images_;
    static std::string* keyedRootfs_;
};

std::string* SignedUpgrade::work_ = nullptr;
std::vector<ImagePair>* SignedUpgrade::images_ = nullptr;
std::string* SignedUpgrade::keyedRootfs_ = nullptr;

TEST_F(SignedUpgrade, PackageSignedWithTheSetsKeyIsInstalled) {
    ASSERT_TRUE(makeSet(set_, *images_, packageOf("release")));

    const ChildResult result = run(*keyedRootfs_);

    EXPECT_EQ(result.exitCode, 100) << result.text();
    EXPECT_TRUE(result.contains("package signature verified")) << result.text();
    EXPECT_EQ(upgradeProblems(set_, *images_), "") << result.text();
    EXPECT_EQ(cleanUpProblems(set_), "") << result.text();
}

TEST_F(SignedUpgrade, SignedPackageOnASetWithoutKeysIsInstalledAsBefore) {
    ASSERT_TRUE(makeSet(set_, *images_, packageOf("release")));

    const ChildResult result = run(rootfsPath());

    EXPECT_EQ(result.exitCode, 100) << result.text();
    EXPECT_FALSE(result.contains("package signature")) << result.text();
    EXPECT_EQ(upgradeProblems(set_, *images_), "") << result.text();
}

struct RefusedCase {
    const char* name;
    const char* signer;
    long flipAt;  // byte changed, counted from the start (-1: none)
    const char* why;
};

class RefusedUpgrade : public SignedUpgrade, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedUpgrade, TakesTheFailureEndingWithEveryPartitionUntouched) {
    ASSERT_TRUE(makeSet(set_, *images_, packageOf(GetParam().signer)));
    const std::string onSet = set_ + "/OAD/patch_package.zip";
    if (GetParam().flipAt >= 0) {
        const std::string byte = readAt(onSet, GetParam().flipAt, 1);
        ASSERT_TRUE(writeAt(onSet, GetParam().flipAt, std::string(1, byte[0] ^ 0x20)));
    }
    const std::vector<std::string> before = partitionImages();

    expectRefused(run(*keyedRootfs_), GetParam().why, before);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, RefusedUpgrade,
    ::testing::Values(RefusedCase{"OneByteChanged", "release", 1000000, "the signature does not"},
                      RefusedCase{"SignedByAnotherKey", "stranger", -1, "signed by an unknown key"},
                      RefusedCase{"Unsigned", "", -1, "no signature"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

// A run cut short starts again from the beginning, check included: a package
// changed on the set between the two starts is refused at the second.
TEST_F(SignedUpgrade, ResumedRunChecksThePackageAgain) {
    ASSERT_TRUE(makeSet(set_, *images_, packageOf("release")));
    const LineTrigger cut = {"handle split flie", 0};
    const ChildResult first = run(*keyedRootfs_, &cut);
    ASSERT_TRUE(first.contains("package signature verified")) << first.text();
    ASSERT_NE(first.verdict(), "upgrade-sandbox: reboot requested") << first.text();

    const std::string onSet = set_ + "/OAD/patch_package.zip";
    ASSERT_TRUE(exists(onSet)) << first.text();
    ASSERT_TRUE(writeAt(onSet, 200, "changed"));
    const std::vector<std::string> before = partitionImages();

    expectRefused(run(*keyedRootfs_), "the signature does not", before);
}

}  // namespace
