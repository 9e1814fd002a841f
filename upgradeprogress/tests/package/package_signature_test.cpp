// The package signature check on real ZIP packages signed with real keys made
// by the openssl command: every region of the file guarded, hostile block
// fields, the key directory, and a package changed between its check and its
// extraction. Host-side: every path is a private temporary one.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive.h"
#include "package.h"
#include "package/signature_keys.h"
#include "package_signing.h"

namespace {

using namespace ota_test;
using namespace ota_signature;

class Signature : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys_ = new ScopedTempDir();
        ASSERT_TRUE(makeKeyPair(keys_->path(), "a"));
        ASSERT_TRUE(makeKeyPair(keys_->path(), "b"));
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }

    static std::string keyFile(const std::string& name) { return (*keys_) / name; }

    static PublicKey_T publicKey(const std::string& name) {
        PublicKey_T key;
        std::string why;
        EXPECT_TRUE(loadPublicKey(keyFile(name + ".pub.pem"), &key, &why)) << why;
        return key;
    }

    // A sample package at `path`, signed by `signer` ("" leaves it unsigned).
    static void makePackage(const std::string& path, const std::string& signer, unsigned seed = 1) {
        ASSERT_TRUE(writeSamplePackage(path, seed));
        if (signer.empty()) {
            return;
        }
        mpp::SigningKey_T key;
        ASSERT_EQ(mpp::loadSigningKey(keyFile(signer + ".pem"), &key), "");
        ASSERT_EQ(mpp::signPackageFile(path, key), "");
    }

    static std::string check(const std::string& path, const std::vector<PublicKey_T>& keys) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return "test could not open " + path;
        }
        const std::string why = checkPackageSignature(fd, keys);
        close(fd);
        return why;
    }

    static void flipByte(const std::string& path, size_t at) {
        std::string bytes = readFile(path);
        ASSERT_LT(at, bytes.size());
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        ASSERT_TRUE(writeFile(path, bytes));
    }

    ScopedTempDir dir_;
    static ScopedTempDir* keys_;
};

ScopedTempDir* Signature::keys_ = nullptr;

uint32_t little32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// ---- A byte changed in each region of the file ------------------------------

enum class Region {
    kLocalHeader,
    kEntryData,
    kCentralDirectory,
    kEndRecord,
    kKeyId,
    kSignatureBytes,
    kVersion,
    kLength,
    kMagic
};

struct FlipCase {
    const char* name;
    Region region;
    const char* reason;  // part of the refusal
};

// Where `region` lies in a signed package of the sample layout.
size_t offsetOf(Region region, const std::string& bytes) {
    const size_t size = bytes.size();
    const size_t block = size - kBlockSize;
    const size_t end = block - kEndRecordSize;
    const size_t nameLength = static_cast<unsigned char>(bytes[26]) | bytes[27] << 8;
    switch (region) {
        case Region::kLocalHeader:
            return 14;  // the first entry's CRC
        case Region::kEntryData:
            return 30 + nameLength + 3;
        case Region::kCentralDirectory:
            return little32(bytes, end + 16) + 20;  // first entry's compressed size
        case Region::kEndRecord:
            return end + 12;  // central directory size
        case Region::kKeyId:
            return block + 3;
        case Region::kSignatureBytes:
            return block + kKeyIdSize + 40;
        case Region::kVersion:
            return size - kTrailerSize;
        case Region::kLength:
            return size - kTrailerSize + 2;
        case Region::kMagic:
            return size - 1;
    }
    return 0;
}

class FlippedByte : public Signature, public ::testing::WithParamInterface<FlipCase> {};

TEST_P(FlippedByte, IsRefusedWithItsReason) {
    const std::string package = dir_ / "signed.zip";
    makePackage(package, "a");
    ASSERT_EQ(check(package, {publicKey("a")}), "");

    flipByte(package, offsetOf(GetParam().region, readFile(package)));
    EXPECT_NE(check(package, {publicKey("a"), publicKey("b")}).find(GetParam().reason),
              std::string::npos)
        << check(package, {publicKey("a")});
}

INSTANTIATE_TEST_SUITE_P(
    EveryRegion, FlippedByte,
    ::testing::Values(FlipCase{"LocalHeader", Region::kLocalHeader, "does not match"},
                      FlipCase{"EntryData", Region::kEntryData, "does not match"},
                      FlipCase{"CentralDirectory", Region::kCentralDirectory, "does not match"},
                      FlipCase{"EndRecord", Region::kEndRecord, "does not match"},
                      FlipCase{"KeyIdInComment", Region::kKeyId, "unknown key"},
                      FlipCase{"Signature", Region::kSignatureBytes, "does not match"},
                      FlipCase{"Version", Region::kVersion, "unsupported signature version"},
                      FlipCase{"Length", Region::kLength, "malformed signature block"},
                      FlipCase{"Magic", Region::kMagic, "no signature"}),
    [](const ::testing::TestParamInfo<FlipCase>& info) { return info.param.name; });

// ---- Keys -------------------------------------------------------------------

TEST_F(Signature, AnotherKeysSignatureIsRefused) {
    const std::string package = dir_ / "signed.zip";
    makePackage(package, "b");
    EXPECT_EQ(check(package, {publicKey("a")}), "signed by an unknown key");
}

class EitherKey : public Signature, public ::testing::WithParamInterface<const char*> {};

TEST_P(EitherKey, VerifiesWhenBothAreInstalled) {
    const std::string package = dir_ / "signed.zip";
    makePackage(package, GetParam());
    EXPECT_EQ(check(package, {publicKey("a"), publicKey("b")}), "");
    EXPECT_EQ(check(package, {publicKey("b"), publicKey("a")}), "");
}

INSTANTIATE_TEST_SUITE_P(TwoKeys, EitherKey, ::testing::Values("a", "b"));

TEST_F(Signature, UnsignedPackageHasNoSignature) {
    const std::string package = dir_ / "unsigned.zip";
    makePackage(package, "");
    EXPECT_EQ(check(package, {publicKey("a")}), "no signature");
}

class AppendedBytes : public Signature, public ::testing::WithParamInterface<size_t> {};

// Whatever is appended, the block is no longer where the signed end record
// says it is; a copy of the block itself included.
TEST_P(AppendedBytes, AreRefused) {
    const std::string package = dir_ / "signed.zip";
    makePackage(package, "a");
    std::string bytes = readFile(package);
    const std::string block = bytes.substr(bytes.size() - kBlockSize);
    bytes += GetParam() == 0 ? block : std::string(GetParam(), 'x');
    ASSERT_TRUE(writeFile(package, bytes));
    EXPECT_NE(check(package, {publicKey("a")}), "");
}

INSTANTIATE_TEST_SUITE_P(OneByteToABlock, AppendedBytes,
                         ::testing::Values(0, 1, kTrailerSize, kBlockSize + 1));

TEST_F(Signature, SignatureBuiltByHandFromTheDescribedFormatVerifies) {
    // The block and message put together with the openssl command alone, as
    // the README describes them: the format does not depend on the builder.
    const std::string package = dir_ / "by-hand.zip";
    makePackage(package, "");
    std::string bytes = readFile(package);
    bytes[bytes.size() - 2] = static_cast<char>(kBlockSize);
    bytes[bytes.size() - 1] = 0;
    ASSERT_TRUE(writeFile(package, bytes));

    const std::string der = dir_ / "a.der";
    ASSERT_EQ(system(("openssl pkey -pubin -in '" + keyFile("a.pub.pem") + "' -outform DER -out '" +
                      der + "'")
                         .c_str()),
              0);
    const std::string raw = readFile(der).substr(readFile(der).size() - kPublicKeySize);
    const std::string rawFile = dir_ / "a.raw";
    ASSERT_TRUE(writeFile(rawFile, raw));
    auto sha256 = [&](const std::string& file) {
        const std::string out = dir_ / "digest";
        EXPECT_EQ(
            system(("openssl dgst -sha256 -binary -out '" + out + "' '" + file + "'").c_str()), 0);
        return readFile(out);
    };
    const std::string keyId = sha256(rawFile).substr(0, kKeyIdSize);
    std::string message = "OTAPKSIG";
    message += std::string("\x01\x00", 2) + keyId;
    uint64_t length = bytes.size();
    for (int i = 0; i < 8; ++i, length >>= 8) {
        message += static_cast<char>(length & 0xff);
    }
    message += sha256(package);
    const std::string messageFile = dir_ / "message";
    const std::string signatureFile = dir_ / "signature";
    ASSERT_TRUE(writeFile(messageFile, message));
    ASSERT_EQ(system(("openssl pkeyutl -sign -rawin -inkey '" + keyFile("a.pem") + "' -in '" +
                      messageFile + "' -out '" + signatureFile + "'")
                         .c_str()),
              0);
    const std::string signature = readFile(signatureFile);
    ASSERT_EQ(signature.size(), kSignatureSize);
    bytes += keyId + signature + std::string("\x01\x00", 2) +
             std::string(1, static_cast<char>(kBlockSize)) + std::string(1, '\0') + "OTAPKSIG";
    ASSERT_TRUE(writeFile(package, bytes));

    EXPECT_EQ(check(package, {publicKey("a")}), "");
}

// ---- Hostile length fields and blocks ---------------------------------------

struct HostileCase {
    const char* name;
    // Turns a signed package into the hostile one (empty: a file of its own).
    std::string (*make)(const std::string& signedBytes);
    const char* reason;
};

std::string trailer(unsigned version, unsigned length) {
    std::string t;
    t += static_cast<char>(version & 0xff);
    t += static_cast<char>(version >> 8);
    t += static_cast<char>(length & 0xff);
    t += static_cast<char>(length >> 8);
    return t + "OTAPKSIG";
}

std::string withTrailer(const std::string& bytes, unsigned version, unsigned length) {
    return bytes.substr(0, bytes.size() - kTrailerSize) + trailer(version, length);
}

std::string withCommentLength(const std::string& bytes, unsigned length) {
    std::string out = bytes;
    const size_t at = bytes.size() - kBlockSize - 2;
    out[at] = static_cast<char>(length & 0xff);
    out[at + 1] = static_cast<char>(length >> 8);
    return out;
}

const HostileCase kHostile[] = {
    {"EmptyFile", [](const std::string&) { return std::string(); }, "no signature"},
    {"ShorterThanATrailer", [](const std::string&) { return std::string("OTAPKSIG"); },
     "no signature"},
    {"TrailerAlone", [](const std::string&) { return trailer(1, kBlockSize); }, "no signature"},
    {"BlockWithoutEndRecord",
     [](const std::string& b) { return b.substr(b.size() - kBlockSize - 10); }, "too short"},
    {"LengthZero", [](const std::string& b) { return withTrailer(b, 1, 0); }, "claims 0 bytes"},
    {"LengthShort", [](const std::string& b) { return withTrailer(b, 1, kBlockSize - 1); },
     "malformed"},
    {"LengthLong", [](const std::string& b) { return withTrailer(b, 1, kBlockSize + 1); },
     "malformed"},
    {"LengthMax", [](const std::string& b) { return withTrailer(b, 1, 0xffff); }, "malformed"},
    {"VersionZero", [](const std::string& b) { return withTrailer(b, 0, kBlockSize); },
     "unsupported signature version 0"},
    {"VersionMax", [](const std::string& b) { return withTrailer(b, 0xffff, kBlockSize); },
     "unsupported signature version 65535"},
    {"CommentLengthZero", [](const std::string& b) { return withCommentLength(b, 0); },
     "comment is 0 bytes"},
    {"CommentLengthOneShort",
     [](const std::string& b) { return withCommentLength(b, kBlockSize - 1); }, "comment is 83"},
    {"CommentLengthMax", [](const std::string& b) { return withCommentLength(b, 0xffff); },
     "comment is 65535"},
    {"NoEndRecordBeforeBlock",
     [](const std::string& b) {
         std::string out = b;
         out[b.size() - kBlockSize - kEndRecordSize] = 'Q';
         return out;
     },
     "no ZIP end record"},
    {"SecondEndRecordInsideBlock",
     [](const std::string& b) {
         std::string out = b;
         out.replace(b.size() - kBlockSize + 2, 4, "PK\x05\x06");
         return out;
     },
     "second end record"},
    {"SecondEndRecordInsideEndRecord",
     [](const std::string& b) {
         std::string out = b;
         out.replace(b.size() - kBlockSize - kEndRecordSize + 12, 4, "PK\x05\x06");
         return out;
     },
     "second end record"},
};

class HostileBlock : public Signature, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileBlock, IsRefusedWithoutReadingOutside) {
    const std::string package = dir_ / "hostile.zip";
    makePackage(package, "a");
    ASSERT_TRUE(writeFile(package, GetParam().make(readFile(package))));
    const std::string why = check(package, {publicKey("a")});
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(Fields, HostileBlock, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return info.param.name;
                         });

// ---- The key directory --------------------------------------------------------

TEST_F(Signature, KeyDirectoryLoadsEd25519PublicKeysOnly) {
    const std::string keys = dir_ / "keys";
    ASSERT_EQ(mkdir(keys.c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(keys + "/a.pem", readFile(keyFile("a.pub.pem"))));
    ASSERT_TRUE(writeFile(keys + "/garbage.pem", "-----BEGIN PUBLIC KEY-----\nnot a key\n"));
    ASSERT_TRUE(writeFile(keys + "/private.pem", readFile(keyFile("b.pem"))));
    ASSERT_TRUE(makeKeyPair(dir_.path(), "other", "ed448"));
    ASSERT_TRUE(writeFile(keys + "/ed448.pem", readFile(dir_ / "other.pub.pem")));
    ASSERT_TRUE(writeFile(keys + "/huge.pem", std::string(100000, 'A')));
    ASSERT_TRUE(writeFile(keys + "/b.pub", readFile(keyFile("b.pub.pem"))));  // not *.pem

    const std::vector<PublicKey_T> loaded = loadKeyDirectory(keys.c_str());
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(memcmp(loaded[0].raw, publicKey("a").raw, kPublicKeySize), 0);
}

// openCheckedPackage with a key directory made of `files` (name, content);
// nullptr: no key directory at all.
class CheckedOpen : public Signature {
protected:
    int openWith(const std::vector<std::pair<std::string, std::string>>* files, void** handle) {
        std::string keys = dir_ / "no-such-keys";
        if (files != nullptr) {
            keys = dir_ / "keys";
            mkdir(keys.c_str(), 0755);
            for (const auto& file : *files) {
                EXPECT_TRUE(writeFile(keys + "/" + file.first, file.second));
            }
        }
        return openCheckedPackage(package_.c_str(), keys.c_str(), handle);
    }

    // Extracts the sample part into the test directory: the archive's result,
    // and what the output file then holds ("<none>" when there is none).
    int extractPart(void* handle, std::string* content) {
        const std::string out = dir_ / "out";
        mkdir(out.c_str(), 0755);
        const int result =
            extractOneFile(handle, "patch_package/usrfs.img", (out + "/").c_str(), 0);
        *content = pathExists(out + "/usrfs.img") ? readFile(out + "/usrfs.img") : "<none>";
        return result;
    }

    std::string package_ = dir_ / "patch_package.zip";
};

TEST_F(CheckedOpen, SignedPackageWithoutKeysOpensAsBefore) {
    makePackage(package_, "a");
    void* handle = nullptr;
    ASSERT_EQ(openWith(nullptr, &handle), 0);
    std::string content;
    EXPECT_EQ(extractPart(handle, &content), kArchiveOk);
    EXPECT_TRUE(content == patternBytes(200000, 1));
    closeArchive(handle);
}

TEST_F(CheckedOpen, SignedPackageWithItsKeyOpens) {
    makePackage(package_, "a");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"garbage.pem", "junk"}, {"a.pem", readFile(keyFile("a.pub.pem"))}};
    void* handle = nullptr;
    ASSERT_EQ(openWith(&files, &handle), 0);
    std::string content;
    EXPECT_EQ(extractPart(handle, &content), kArchiveOk);
    EXPECT_TRUE(content == patternBytes(200000, 1));
    closeArchive(handle);
}

struct RefusalCase {
    const char* name;
    const char* signer;
    std::vector<std::pair<std::string, std::string>> files;  // {name, key file} in keys
};

class CheckedOpenRefuses : public CheckedOpen, public ::testing::WithParamInterface<RefusalCase> {};

// Fail closed: a key directory that holds no usable key refuses everything.
TEST_P(CheckedOpenRefuses, AndLeavesNoHandle) {
    makePackage(package_, GetParam().signer);
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& file : GetParam().files) {
        files.emplace_back(file.first, readFile(keyFile(file.second)));
        if (file.second.empty()) {
            files.back().second = "-----BEGIN PUBLIC KEY-----\ngarbage\n-----END PUBLIC KEY-----\n";
        }
    }
    void* handle = reinterpret_cast<void*>(1);
    EXPECT_NE(openWith(&files, &handle), 0);
    EXPECT_EQ(handle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, CheckedOpenRefuses,
    ::testing::Values(RefusalCase{"Unsigned", "", {{"a.pem", "a.pub.pem"}}},
                      RefusalCase{"OtherKey", "b", {{"a.pem", "a.pub.pem"}}},
                      RefusalCase{"OnlyGarbageKey", "a", {{"a.pem", ""}}},
                      RefusalCase{"EmptyKeyDirectory", "a", {}},
                      RefusalCase{"OnlyPrivateKeyInstalled", "a", {{"a.pem", "a.pem"}}}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST_F(CheckedOpen, KeyPathThatIsAFileRefusesEverything) {
    makePackage(package_, "a");
    const std::string keys = dir_ / "keys-file";
    ASSERT_TRUE(writeFile(keys, readFile(keyFile("a.pub.pem"))));
    void* handle = nullptr;
    EXPECT_NE(openCheckedPackage(package_.c_str(), keys.c_str(), &handle), 0);
}

// ---- Changed between the check and the extraction --------------------------------

// Renaming another file over the package leaves the checked file's bytes as
// they were, but moves its change time with its link count: indistinguishable
// from a write, so the extraction refuses rather than guess.
TEST_F(CheckedOpen, PackageRenamedOverAfterTheCheckIsNeverRead) {
    makePackage(package_, "a");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.pem", readFile(keyFile("a.pub.pem"))}};
    void* handle = nullptr;
    ASSERT_EQ(openWith(&files, &handle), 0);

    // Another package, unsigned, put in its place the way a downloader would.
    const std::string other = dir_ / "other.zip";
    makePackage(other, "", 7);
    ASSERT_EQ(rename(other.c_str(), package_.c_str()), 0);

    std::string content;
    EXPECT_EQ(extractPart(handle, &content), kArchiveExtractFailed);
    EXPECT_EQ(content, "<none>");
    closeArchive(handle);
}

TEST_F(CheckedOpen, PackageWrittenInPlaceAfterTheCheckFailsEveryExtraction) {
    makePackage(package_, "a");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.pem", readFile(keyFile("a.pub.pem"))}};
    void* handle = nullptr;
    ASSERT_EQ(openWith(&files, &handle), 0);

    // Same inode, same size, same modification time: only the bytes differ.
    struct stat before;
    ASSERT_EQ(stat(package_.c_str(), &before), 0);
    const std::string swapped = patternBytes(1000, 9);
    const int fd = open(package_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, swapped.data(), swapped.size(), 200), 1000);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);

    std::string content;
    EXPECT_EQ(extractPart(handle, &content), kArchiveExtractFailed);
    EXPECT_EQ(content, "<none>");
    closeArchive(handle);
}

TEST_F(CheckedOpen, PackageWrittenInPlaceBeforeTheArchiveOpensIsRefused) {
    // The identity is pinned before the bytes are hashed: a write between
    // the check and the archive's own open shows at that open.
    makePackage(package_, "a");
    const int fd = open(package_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    FileIdentity_T identity;
    ASSERT_TRUE(readFileIdentity(fd, &identity));
    usleep(20000);  // past the coarse clock's tick
    flipByte(package_, 40);
    void* handle = nullptr;
    EXPECT_EQ(openArchiveFd(fd, package_.c_str(), &identity, &handle), kArchiveOpenFailed);
    EXPECT_EQ(handle, nullptr);
}

}  // namespace
