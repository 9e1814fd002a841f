// Rebuilds a new part from a staged old part and a BSDIFF40 patch.
//
// A patch is a 32-byte header (magic, the compressed lengths X and Y of the
// control and diff blocks, the new size N) followed by three bzip2 streams:
// control triples (x, y, z), the diff bytes and the extra bytes. Each stream
// is read through its own stdio stream and bzip2 reader, so the three advance
// independently.
//
// The patch comes from a downloaded package and is not trusted: every length
// is checked against the buffers before a byte moves, and positions are kept
// in 64 bits so that no sequence of seeks can wrap. A patch that fails any
// check ends the process; the caller's MD5 check is the second line of
// defence against a patch that is well formed but made for another old part.
#include "bspatch.h"
#include "ground.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// Block offsets reach 32 + 2 * (2^31 - 1); a 32-bit off_t would cut them.
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace {

constexpr size_t kHeaderSize = 32;
constexpr size_t kPatchIntSize = 8;
constexpr char kMagic[] = "BSDIFF40";

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t[], FreeDeleter>;

[[noreturn]] void corruptPatch() {
    bspatchFail(false, "Corrupt patch\n");
}

// One patch integer: 8 bytes, little-endian magnitude in the low 63 bits,
// bit 7 of byte 7 the sign. No part of the set comes near 2 GiB, so a
// magnitude of 2^31 or more can only come from a damaged or hostile patch
// and is refused outright instead of being cut to its low bytes. A set sign
// bit on a zero magnitude is just zero.
int64_t patchInt(const uint8_t* bytes) {
    if ((bytes[7] & 0x7f) != 0 || bytes[6] != 0 || bytes[5] != 0 || bytes[4] != 0 ||
        (bytes[3] & 0x80) != 0) {
        corruptPatch();
    }
    const int64_t magnitude = static_cast<int64_t>(bytes[0]) | static_cast<int64_t>(bytes[1]) << 8 |
                              static_cast<int64_t>(bytes[2]) << 16 |
                              static_cast<int64_t>(bytes[3]) << 24;
    return (bytes[7] & 0x80) != 0 ? -magnitude : magnitude;
}

int64_t checkedSum(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        corruptPatch();
    }
    return sum;
}

// One block of the patch: its own stream positioned at the block, and its
// own bzip2 reader on that stream. The normal way out closes both explicitly
// and checks the close; the destructor only releases what a failure left
// open, for a bspatchFail that throws instead of ending the process.
struct BlockReader {
    FILE* stream = nullptr;
    BZFILE* reader = nullptr;

    BlockReader() = default;
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;
    BlockReader(BlockReader&& other) noexcept : stream(other.stream), reader(other.reader) {
        other.stream = nullptr;
        other.reader = nullptr;
    }
    ~BlockReader() {
        if (reader != nullptr) {
            int bz2err = BZ_OK;
            BZ2_bzReadClose(&bz2err, reader);
        }
        if (stream != nullptr) {
            fclose(stream);
        }
    }
};

BlockReader openBlock(const char* patchPath, off_t offset) {
    BlockReader block;
    block.stream = fopenReadable(patchPath);
    if (block.stream == nullptr) {
        bspatchFail(true, "fopen(%s)", patchPath);
    }
    if (fseeko(block.stream, offset, SEEK_SET) != 0) {
        bspatchFail(true, "fseeko(%s, %lld)", patchPath, static_cast<long long>(offset));
    }
    int bz2err = BZ_OK;
    block.reader = BZ2_bzReadOpen(&bz2err, block.stream, 0, 0, nullptr, 0);
    if (block.reader == nullptr) {
        bspatchFail(false, "BZ2_bzReadOpen, bz2err = %d", bz2err);
    }
    return block;
}

// Reads exactly `length` bytes (0 <= length < 2^31) or ends the process:
// a short block is a corrupt patch, whatever the reader says.
void readBlock(BlockReader& block, uint8_t* destination, int64_t length) {
    int bz2err = BZ_OK;
    const int got = BZ2_bzRead(&bz2err, block.reader, destination, static_cast<int>(length));
    if ((bz2err != BZ_OK && bz2err != BZ_STREAM_END) || got != length) {
        corruptPatch();
    }
}

// Reads one diff or extra run into the new buffer at `newPos`. The bound is
// checked here, in front of the only calls that write the new buffer: the
// decompressor stores wherever it is pointed, and no sanitizer watches it.
void readRun(BlockReader& block, uint8_t* newData, int64_t newSize, int64_t newPos,
             int64_t length) {
    if (length < 0 || length > newSize - newPos) {
        corruptPatch();
    }
    readBlock(block, newData + newPos, length);
}

void closeBlockReader(BlockReader& block) {
    int bz2err = BZ_OK;
    BZ2_bzReadClose(&bz2err, block.reader);
    block.reader = nullptr;
}

void closeBlockStream(BlockReader& block, const char* patchPath) {
    FILE* stream = block.stream;
    block.stream = nullptr;  // fclose releases the stream even when it fails
    if (fclose(stream) != 0) {
        bspatchFail(true, "fclose(%s)", patchPath);
    }
}

// A descriptor that a throwing bspatchFail must not leak; `release` hands it
// back for the close whose result counts.
struct Descriptor {
    int fd;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    int release() {
        const int owned = fd;
        fd = -1;
        return owned;
    }
};

struct Header {
    int64_t controlLength;  // X
    int64_t diffLength;     // Y
    int64_t newSize;        // N
};

Header readHeader(const char* patchPath) {
    FileOwner stream(fopenReadable(patchPath));
    if (!stream) {
        bspatchFail(true, "fopen(%s)", patchPath);
    }
    uint8_t bytes[kHeaderSize];
    if (fread(bytes, 1, kHeaderSize, stream.get()) < kHeaderSize) {
        if (feof(stream.get())) {
            corruptPatch();
        }
        bspatchFail(true, "fread(%s)", patchPath);
    }
    if (memcmp(bytes, kMagic, kPatchIntSize) != 0) {
        corruptPatch();
    }
    const Header header{patchInt(bytes + 8), patchInt(bytes + 16), patchInt(bytes + 24)};
    if (header.controlLength < 0 || header.diffLength < 0 || header.newSize < 0) {
        corruptPatch();
    }
    if (fclose(stream.release()) != 0) {
        bspatchFail(true, "fclose(%s)", patchPath);
    }
    return header;
}

struct OldFile {
    Buffer data;
    int64_t size = 0;
};

// The old part is read whole before the new one is created, which is what
// lets the caller name the same file for both.
OldFile readOldFile(const char* oldPath) {
    Descriptor file(openReadable(oldPath));
    if (file.fd < 0) {
        bspatchFail(true, "%s", oldPath);
    }
    const int fd = file.fd;
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) {
        bspatchFail(true, "%s", oldPath);
    }
    if (static_cast<uint64_t>(size) >= PTRDIFF_MAX) {
        errno = EFBIG;
        bspatchFail(true, "%s", oldPath);
    }
    OldFile old;
    old.size = size;
    old.data.reset(static_cast<uint8_t*>(malloc(static_cast<size_t>(size) + 1)));
    if (old.data == nullptr || lseek(fd, 0, SEEK_SET) != 0) {
        bspatchFail(true, "%s", oldPath);
    }
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
        const ssize_t got = read(fd, old.data.get() + done, static_cast<size_t>(size) - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            bspatchFail(true, "%s", oldPath);  // a read error, or the file shrank under us
        }
        done += static_cast<size_t>(got);
    }
    if (close(file.release()) != 0) {
        bspatchFail(true, "%s", oldPath);
    }
    return old;
}

// Adds the old bytes under [oldPos, oldPos + length) to the diff bytes at
// `destination`, modulo 256. Only the overlap with the old file takes part;
// diff bytes outside it stay as they came.
void addOldBytes(uint8_t* destination, int64_t length, const OldFile& old, int64_t oldPos) {
    const int64_t oldEnd = checkedSum(oldPos, length);
    const int64_t first = oldPos > 0 ? oldPos : 0;
    const int64_t last = oldEnd < old.size ? oldEnd : old.size;
    if (first >= last) {
        return;
    }
    uint8_t* out = destination + (first - oldPos);
    const uint8_t* in = old.data.get() + first;
    const size_t count = static_cast<size_t>(last - first);
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(out[i] + in[i]);
    }
}

void writeNewFile(const char* newPath, const uint8_t* data, int64_t size) {
    Descriptor file(openFreshFile(newPath, 0666));
    if (file.fd < 0) {
        bspatchFail(true, "%s", newPath);
    }
    const int fd = file.fd;
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
        const ssize_t put = write(fd, data + done, static_cast<size_t>(size) - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            bspatchFail(true, "%s", newPath);
        }
        done += static_cast<size_t>(put);
    }
    if (close(file.release()) != 0) {
        bspatchFail(true, "%s", newPath);
    }
}

}  // namespace

int bspatch(const char* oldPath, const char* newPath, const char* patchPath) {
    if (oldPath == nullptr || newPath == nullptr || patchPath == nullptr) {
        bspatchFail(true, "invalid param!");
    }

    const Header header = readHeader(patchPath);
    const off_t controlStart = kHeaderSize;
    const off_t diffStart = controlStart + header.controlLength;
    const off_t extraStart = diffStart + header.diffLength;
    BlockReader control = openBlock(patchPath, controlStart);
    BlockReader diff = openBlock(patchPath, diffStart);
    BlockReader extra = openBlock(patchPath, extraStart);

    const OldFile old = readOldFile(oldPath);

    const int64_t newSize = header.newSize;
    Buffer newData(static_cast<uint8_t*>(malloc(static_cast<size_t>(newSize) + 1)));
    if (newData == nullptr) {
        bspatchFail(true, nullptr);
    }

    // Both positions stay in 64 bits: the new one never passes N (< 2^31),
    // and the old one moves by at most 2^32 per triple, with every step
    // checked, so no run of seeks can wrap it back into the old buffer.
    int64_t oldPos = 0;
    int64_t newPos = 0;
    while (newPos < newSize) {
        uint8_t triple[3 * kPatchIntSize];
        readBlock(control, triple, sizeof triple);
        const int64_t x = patchInt(triple);
        const int64_t y = patchInt(triple + kPatchIntSize);
        const int64_t z = patchInt(triple + 2 * kPatchIntSize);

        readRun(diff, newData.get(), newSize, newPos, x);
        addOldBytes(newData.get() + newPos, x, old, oldPos);
        newPos += x;
        oldPos = checkedSum(oldPos, x);

        readRun(extra, newData.get(), newSize, newPos, y);
        newPos += y;
        oldPos = checkedSum(oldPos, z);
    }

    closeBlockReader(control);
    closeBlockReader(diff);
    closeBlockReader(extra);
    closeBlockStream(control, patchPath);
    closeBlockStream(diff, patchPath);
    closeBlockStream(extra, patchPath);

    writeNewFile(newPath, newData.get(), newSize);
    return 0;
}
