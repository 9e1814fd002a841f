// The builder's --sign and check-signature, run as the release engineer runs
// them, with keys made by the openssl command: reproducible signed packages
// that any ZIP reader still opens, and every refusal with its reason.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <ziparchive/zip_archive.h>

#include "package.h"
#include "package/signature_keys.h"
#include "testing/run_program.h"

namespace {

using namespace ota_test;

const std::string kTool = OTA_BINARY_DIR "/bin/make-patch-package";

struct ToolRun {
    int status = -1;
    std::string output;
};

ToolRun runTool(const std::string& args) {
    const ProgramResult r = runShell("'" + kTool + "' " + args);
    return {r.exitCode, r.out};
}

class SignedBuild : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeKeyPair(dir_.path(), "release"));
        ASSERT_TRUE(makeKeyPair(dir_.path(), "other"));
        ASSERT_EQ(mkdir((dir_ / "old").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir_ / "new").c_str(), 0755), 0);
        // Whole images only: no patch to make, the signing is what is tested.
        ASSERT_TRUE(writeFile(dir_ / "new/usrfs.img", patternBytes(300000, 3)));
        ASSERT_TRUE(writeFile(dir_ / "new/optfs.img", patternBytes(70000, 4)));
    }

    ToolRun build(const std::string& output, const std::string& extra) {
        return runTool("--old '" + dir_ / "old" + "' --new '" + dir_ / "new" + "' -o '" + output +
                       "' -j 1 " + extra);
    }
    ToolRun checkSignature(const std::string& package, const std::string& keys) {
        return runTool("check-signature '" + package + "' " + keys);
    }
    std::string key(const std::string& name) { return "'" + dir_ / name + "'"; }

    ScopedTempDir dir_;
};

TEST_F(SignedBuild, SignedPackageIsTheUnsignedOneWithItsBlockAndVerifies) {
    const std::string unsignedPackage = dir_ / "unsigned.zip";
    const std::string signedPackage = dir_ / "signed.zip";
    ASSERT_EQ(build(unsignedPackage, "").status, 0);
    const ToolRun built = build(signedPackage, "--sign " + key("release.pem"));
    ASSERT_EQ(built.status, 0) << built.output;

    // Byte for byte the unsigned package, but for the end record's comment
    // length, then the block.
    const std::string plain = readFile(unsignedPackage);
    const std::string signedBytes = readFile(signedPackage);
    ASSERT_EQ(signedBytes.size(), plain.size() + ota_signature::kBlockSize);
    std::string expectedPrefix = plain;
    expectedPrefix[plain.size() - 2] = static_cast<char>(ota_signature::kBlockSize);
    EXPECT_TRUE(signedBytes.compare(0, plain.size(), expectedPrefix) == 0);
    EXPECT_EQ(signedBytes.substr(signedBytes.size() - 8), "OTAPKSIG");

    const ToolRun checked = checkSignature(signedPackage, "--key " + key("release.pub.pem"));
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_NE(checked.output.find("signature verified with"), std::string::npos) << checked.output;
}

TEST_F(SignedBuild, SignedPackageIsReproducible) {
    ASSERT_EQ(build(dir_ / "one.zip", "--sign " + key("release.pem")).status, 0);
    ASSERT_EQ(build(dir_ / "two.zip", "--sign " + key("release.pem")).status, 0);
    EXPECT_TRUE(readFile(dir_ / "one.zip") == readFile(dir_ / "two.zip"));
}

TEST_F(SignedBuild, AnyZipReaderStillOpensTheSignedPackage) {
    const std::string package = dir_ / "signed.zip";
    ASSERT_EQ(build(package, "--sign " + key("release.pem")).status, 0);
    ZipArchiveHandle handle = nullptr;
    ASSERT_EQ(OpenArchive(package.c_str(), &handle), 0);
    ZipEntry entry;
    EXPECT_EQ(FindEntry(handle, "patch_package/split_usrfs_udpate_list.ini", &entry), 0);
    std::string image(300000, '\0');
    ASSERT_EQ(FindEntry(handle, "patch_package/usrfs.img", &entry), 0);
    ASSERT_EQ(ExtractToMemory(handle, &entry, reinterpret_cast<uint8_t*>(&image[0]), image.size()),
              0);
    EXPECT_TRUE(image == patternBytes(300000, 3));
    CloseArchive(handle);
    // And the system's unzip, which knows nothing of the block either.
    EXPECT_EQ(system(("unzip -tq '" + package + "' >/dev/null").c_str()), 0);
}

struct CheckCase {
    const char* name;
    const char* signer;  // "" builds the package unsigned
    const char* keys;    // check-signature's key arguments, file names in the test directory
    int status;
    const char* output;
};

class CheckSignature : public SignedBuild, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckSignature, TellsWhetherAndWhy) {
    const std::string package = dir_ / "p.zip";
    const std::string sign =
        *GetParam().signer != '\0' ? "--sign " + key(GetParam().signer) : std::string();
    ASSERT_EQ(build(package, sign).status, 0);
    std::string keys = GetParam().keys;
    for (size_t at = keys.find("@"); at != std::string::npos; at = keys.find("@")) {
        keys.replace(at, 1, dir_.path() + "/");
    }
    const ToolRun run = checkSignature(package, keys);
    EXPECT_EQ(run.status, GetParam().status) << run.output;
    EXPECT_NE(run.output.find(GetParam().output), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Builder, CheckSignature,
    ::testing::Values(CheckCase{"RightKey", "release.pem", "--key @release.pub.pem", 0, "verified"},
                      CheckCase{"EitherOfTwo", "release.pem",
                                "--key @other.pub.pem --key @release.pub.pem", 0, "verified with"},
                      CheckCase{"WrongKey", "release.pem", "--key @other.pub.pem", 1,
                                "signed by an unknown key"},
                      CheckCase{"Unsigned", "", "--key @release.pub.pem", 1, "no signature"},
                      CheckCase{"PrivateKeyGivenAsPublic", "release.pem", "--key @release.pem", 2,
                                "holds no PEM public key"},
                      CheckCase{"NoKey", "release.pem", "", 2, "usage"}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

TEST_F(SignedBuild, ChangedByteIsReportedByCheckSignature) {
    const std::string package = dir_ / "p.zip";
    ASSERT_EQ(build(package, "--sign " + key("release.pem")).status, 0);
    std::string bytes = readFile(package);
    bytes[100] = static_cast<char>(bytes[100] ^ 0x80);
    ASSERT_TRUE(writeFile(package, bytes));
    const ToolRun run = checkSignature(package, "--key " + key("release.pub.pem"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("does not match the package"), std::string::npos) << run.output;
}

// inspect names the key a package was signed with by its id, worked out here
// from the public key file with the openssl command: the first 8 bytes of the
// SHA-256 of the raw key, the last 32 bytes of its DER form.
struct InspectCase {
    const char* name;
    const char* signer;  // "" builds the package unsigned
    // Byte from the end that is flipped after the build (0: none).
    size_t flipFromEnd;
    const char* signature;  // ends in "@NAME" for the id of key NAME
};

class InspectSignature : public SignedBuild, public ::testing::WithParamInterface<InspectCase> {};

TEST_P(InspectSignature, NamesTheKeyIdOrSaysUnsigned) {
    const std::string package = dir_ / "p.zip";
    const std::string sign =
        *GetParam().signer != '\0' ? "--sign " + key(GetParam().signer) : std::string();
    ASSERT_EQ(build(package, sign + " --release 3").status, 0);
    if (GetParam().flipFromEnd != 0) {
        std::string bytes = readFile(package);
        char& flipped = bytes[bytes.size() - GetParam().flipFromEnd];
        flipped = static_cast<char>(flipped ^ 0x01);
        ASSERT_TRUE(writeFile(package, bytes));
    }
    std::string expected = GetParam().signature;
    const size_t at = expected.find('@');
    if (at != std::string::npos) {
        const std::string pub = key(expected.substr(at + 1) + ".pub.pem");
        const ProgramResult id = runShell("openssl pkey -pubin -in " + pub +
                                          " -outform DER | tail -c 32 | sha256sum | cut -c1-16");
        ASSERT_EQ(id.exitCode, 0);
        ASSERT_EQ(id.out.size(), 17u) << id.out;
        expected = expected.substr(0, at) + id.out.substr(0, 16);
    }
    const ToolRun run = runTool("inspect '" + package + "'");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("\nsignature: " + expected + "\n"), std::string::npos) << run.output;
    // The rest reads the same signed or not.
    EXPECT_NE(run.output.find("\n  release;3\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\n  entotal;usrfs.img;"), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Builder, InspectSignature,
    ::testing::Values(InspectCase{"Signed", "release.pem", 0, "key id @release"},
                      InspectCase{"SignedWithTheOtherKey", "other.pem", 0, "key id @other"},
                      InspectCase{"Unsigned", "", 0, "unsigned"},
                      // The block's version, two bytes before its length and magic.
                      InspectCase{"UnknownBlockVersion", "release.pem", 12,
                                  "unreadable signature block: unsupported signature version 0"}),
    [](const ::testing::TestParamInfo<InspectCase>& info) { return info.param.name; });

struct BadKeyCase {
    const char* name;
    const char* keyFile;  // written into the test directory as bad.pem; "@pub" the public key
    const char* reason;
};

class BadSigningKey : public SignedBuild, public ::testing::WithParamInterface<BadKeyCase> {};

TEST_P(BadSigningKey, NoPackageAndAReason) {
    std::string keyText = GetParam().keyFile;
    if (keyText == "@pub") {
        keyText = readFile(dir_ / "release.pub.pem");
    } else if (keyText == "@ed448") {
        ASSERT_TRUE(makeKeyPair(dir_.path(), "ed448", "ed448"));
        keyText = readFile(dir_ / "ed448.pem");
    }
    ASSERT_TRUE(writeFile(dir_ / "bad.pem", keyText));
    const std::string package = dir_ / "p.zip";
    const ToolRun run = build(package, "--sign " + key("bad.pem"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(GetParam().reason), std::string::npos) << run.output;
    EXPECT_FALSE(pathExists(package));
    EXPECT_EQ(listDir(dir_.path()).count("p.zip"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Builder, BadSigningKey,
    ::testing::Values(BadKeyCase{"PublicKey", "@pub", "holds no PEM private key"},
                      BadKeyCase{"Garbage", "not a key at all\n", "holds no PEM private key"},
                      BadKeyCase{"NotEd25519", "@ed448", "is no Ed25519 private key"}),
    [](const ::testing::TestParamInfo<BadKeyCase>& info) { return info.param.name; });

}  // namespace
