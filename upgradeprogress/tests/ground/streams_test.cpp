// The one stream routine and the sealed images that stand on it: what it
// hashes is exactly what it hands on, a stream that ends early is never
// handed on as if it were whole, and a sealed image cannot be changed by
// anyone once it has been hashed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ground.h"
#include "partition/test_files.h"
#include "testing/files.h"

namespace {

using ota_test::md5sumOf;
using ota_test::patternBytes;  // NOLINT
using ota_test::readFile;
using ota_test::writeFile;

class Streams : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "streams.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { removeTree(root_.c_str()); }

    // A file of `bytes`, opened for reading.
    int fileOf(const std::string& name, const std::string& bytes) {
        const std::string path = root_ + "/" + name;
        EXPECT_TRUE(writeFile(path, bytes));
        return open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    std::string path(const std::string& name) const { return root_ + "/" + name; }

    std::string root_;
};

// Sizes around the chunk: the chunks handed on put the stream back together
// and its MD5 is md5sum's, whole or over a prefix.
TEST_F(Streams, ChunksRebuildTheStreamAndItsHashIsMd5sums) {
    for (const size_t size : {size_t{0}, size_t{1}, kStreamChunk - 1, kStreamChunk,
                              kStreamChunk + 1, 3 * kStreamChunk + 4097}) {
        SCOPED_TRACE(size);
        const std::string bytes = patternBytes(size, 3);
        const int fd = fileOf("data", bytes);
        ASSERT_GE(fd, 0);
        std::string rebuilt;
        StreamResult_T result;
        ASSERT_TRUE(streamChunks(
            fd, 0, kWholeStream, StreamHash::Md5,
            [&](const unsigned char* data, size_t n) {
                EXPECT_LE(n, kStreamChunk);
                rebuilt.append(reinterpret_cast<const char*>(data), n);
                return true;
            },
            &result));
        EXPECT_TRUE(rebuilt == bytes);
        EXPECT_EQ(result.bytes, size);
        EXPECT_EQ(hexDigest(result.digest), md5sumOf("cat " + path("data")));

        if (size > 1) {
            const uint64_t prefix = size / 2 + 1;
            ASSERT_TRUE(streamChunks(fd, 0, prefix, StreamHash::Md5, nullptr, &result));
            EXPECT_EQ(hexDigest(result.digest),
                      md5sumOf("head -c " + std::to_string(prefix) + " " + path("data")));
        }
        close(fd);
    }
}

// Asked for more than the stream holds: the call fails, and the last,
// partial chunk is hashed but never handed on, so a copy made from the
// chunks never takes a short image for a whole one.
TEST_F(Streams, AShortStreamFailsAndItsPartialChunkIsNotHandedOn) {
    const std::string bytes = patternBytes(kStreamChunk + 100, 4);
    const int fd = fileOf("short", bytes);
    ASSERT_GE(fd, 0);
    size_t handed = 0;
    StreamResult_T result;
    EXPECT_FALSE(streamChunks(
        fd, 0, 2 * kStreamChunk, StreamHash::Md5,
        [&](const unsigned char*, size_t n) {
            handed += n;
            return true;
        },
        &result));
    EXPECT_EQ(handed, kStreamChunk);
    EXPECT_EQ(result.bytes, bytes.size());
    EXPECT_EQ(hexDigest(result.digest), md5sumOf("cat " + path("short")));
    close(fd);
}

// A sink that refuses a chunk stops the stream at once.
TEST_F(Streams, ARefusedChunkStopsTheStream) {
    const int fd = fileOf("data", patternBytes(3 * kStreamChunk, 5));
    ASSERT_GE(fd, 0);
    int calls = 0;
    EXPECT_FALSE(streamChunks(
        fd, 0, kWholeStream, StreamHash::None,
        [&](const unsigned char*, size_t) { return ++calls < 2; }, nullptr));
    EXPECT_EQ(calls, 2);
    close(fd);
}

// SHA-256 of "abc", the standard's own example.
TEST_F(Streams, Sha256OfAKnownText) {
    const int fd = fileOf("abc", "abc");
    StreamResult_T result;
    ASSERT_TRUE(streamChunks(fd, 0, kWholeStream, StreamHash::Sha256, nullptr, &result));
    EXPECT_EQ(hexDigest(result.digest),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    close(fd);
}

// The image holds the file as it was read: the file changed afterwards, in
// place, changes nothing in it, and no write reaches the image, not even
// through another descriptor opened on it by its /proc name.
TEST_F(Streams, AHeldImageKeepsWhatWasReadAndRefusesEveryChange) {
    const std::string bytes = patternBytes(2 * kStreamChunk + 7, 6);
    const int source = fileOf("result", bytes);
    ASSERT_GE(source, 0);
    HeldImage_T image;
    ASSERT_TRUE(holdImageFrom(source, "result", &image));
    close(source);
    EXPECT_EQ(image.size, bytes.size());
    EXPECT_EQ(image.md5, md5sumOf("cat " + path("result")));

    ASSERT_TRUE(writeFile(path("result"), patternBytes(bytes.size(), 7)));

    EXPECT_EQ(write(image.fd, "x", 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(ftruncate(image.fd, 1), -1);
    const std::string byName = "/proc/self/fd/" + std::to_string(image.fd);
    const int again = open(byName.c_str(), O_WRONLY | O_CLOEXEC);
    if (again >= 0) {
        EXPECT_EQ(pwrite(again, "x", 1, 0), -1);
        close(again);
    }
    EXPECT_EQ(mmap(nullptr, 4096, PROT_WRITE, MAP_SHARED, image.fd, 0), MAP_FAILED);

    std::string held;
    ASSERT_TRUE(streamChunks(
        image.fd, 0, kWholeStream, StreamHash::None,
        [&](const unsigned char* data, size_t n) {
            held.append(reinterpret_cast<const char*>(data), n);
            return true;
        },
        nullptr));
    EXPECT_TRUE(held == bytes);
}

// An image filled by someone else (an extraction) is sealed before it is
// hashed: its hash is of what it holds from then on.
TEST_F(Streams, AnImageIsHashedOnlyOnceSealed) {
    const int fd = newImageFd("extracted");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    HeldImage_T image;
    ASSERT_TRUE(sealImage(fd, &image));
    EXPECT_EQ(image.md5, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(image.size, 3u);
    EXPECT_EQ(write(image.fd, "d", 1), -1);
}

}  // namespace
