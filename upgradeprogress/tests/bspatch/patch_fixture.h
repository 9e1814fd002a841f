// Helpers for the patch applier's tests: a scratch directory, whole-file
// reads and writes, patches made by the system's bsdiff tool, and patches
// written by hand (for what bsdiff cannot make: an empty old file, hostile
// headers and control values).
#pragma once

#include "testing/files.h"

#include <bzlib.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace bspatch_test {

using Bytes = std::vector<uint8_t>;

// The shared scratch directory: under $TMPDIR (or /tmp), removed with its
// contents.
using ScratchDir = ota_test::ScratchDir;

// The shared file helpers, for patch bytes.
inline bool writeFile(const std::string& path, const Bytes& bytes) {
    return ota_test::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

inline Bytes readFile(const std::string& path) {
    std::string bytes;
    if (!ota_test::readFile(path, &bytes)) {
        return Bytes();
    }
    return Bytes(bytes.begin(), bytes.end());
}

inline bool fileExists(const std::string& path) {
    return ota_test::pathExists(path);
}

// Runs the system's bsdiff as a child process; true when it exited with 0.
inline bool runBsdiff(const std::string& oldPath, const std::string& newPath,
                      const std::string& patchPath) {
    const char* argv[] = {"bsdiff", oldPath.c_str(), newPath.c_str(), patchPath.c_str(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/usr/bin/bsdiff", nullptr, nullptr, const_cast<char* const*>(argv),
                    environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline Bytes bzip2(const Bytes& plain) {
    // libbz2's documented worst case: 1% larger plus 600 bytes.
    unsigned int size = static_cast<unsigned int>(plain.size() + plain.size() / 100 + 600);
    Bytes packed(size);
    const int rc =
        BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &size,
                                 const_cast<char*>(reinterpret_cast<const char*>(plain.data())),
                                 static_cast<unsigned int>(plain.size()), 9, 0, 0);
    packed.resize(rc == BZ_OK ? size : 0);
    return packed;
}

inline Bytes bunzip2(const Bytes& packed) {
    for (size_t size = packed.size() * 8 + 1024;; size *= 4) {
        Bytes plain(size);
        unsigned int got = static_cast<unsigned int>(size);
        const int rc = BZ2_bzBuffToBuffDecompress(
            reinterpret_cast<char*>(plain.data()), &got,
            const_cast<char*>(reinterpret_cast<const char*>(packed.data())),
            static_cast<unsigned int>(packed.size()), 0, 0);
        if (rc == BZ_OUTBUFF_FULL) {
            continue;
        }
        plain.resize(rc == BZ_OK ? got : 0);
        return plain;
    }
}

// One patch integer as written: sign and 63-bit magnitude, little-endian.
using PatchInt = std::array<uint8_t, 8>;

inline PatchInt patchInt(int64_t value) {
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    PatchInt bytes{};
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(magnitude >> (8 * i));
    }
    if (value < 0) {
        bytes[7] |= 0x80;
    }
    return bytes;
}

inline PatchInt negativeZero() {
    PatchInt bytes{};
    bytes[7] = 0x80;
    return bytes;
}

inline int64_t readPatchInt(const uint8_t* bytes) {
    uint64_t magnitude = 0;
    for (int i = 7; i >= 0; --i) {
        magnitude = magnitude << 8 | bytes[i];
    }
    magnitude &= ~(uint64_t{1} << 63);
    return (bytes[7] & 0x80) != 0 ? -static_cast<int64_t>(magnitude)
                                  : static_cast<int64_t>(magnitude);
}

struct Triple {
    PatchInt x, y, z;
};

inline Triple triple(int64_t x, int64_t y, int64_t z) {
    return {patchInt(x), patchInt(y), patchInt(z)};
}

inline Bytes controlBlock(const std::vector<Triple>& triples) {
    Bytes plain;
    for (const Triple& t : triples) {
        for (const PatchInt* field : {&t.x, &t.y, &t.z}) {
            plain.insert(plain.end(), field->begin(), field->end());
        }
    }
    return plain;
}

// A patch written by hand from its three uncompressed blocks. The header's
// block lengths default to the true compressed lengths; a test sets them to
// make the header lie.
struct HandPatch {
    std::string magic = "BSDIFF40";
    Bytes control;
    Bytes diff;
    Bytes extra;
    PatchInt newSize{};
    std::optional<PatchInt> controlLength;
    std::optional<PatchInt> diffLength;

    Bytes build() const {
        const Bytes controlPacked = bzip2(control);
        const Bytes diffPacked = bzip2(diff);
        const Bytes extraPacked = bzip2(extra);
        const PatchInt x =
            controlLength.value_or(patchInt(static_cast<int64_t>(controlPacked.size())));
        const PatchInt y = diffLength.value_or(patchInt(static_cast<int64_t>(diffPacked.size())));
        Bytes patch(magic.begin(), magic.end());
        for (const PatchInt* field : {&x, &y, &newSize}) {
            patch.insert(patch.end(), field->begin(), field->end());
        }
        for (const Bytes* block : {&controlPacked, &diffPacked, &extraPacked}) {
            patch.insert(patch.end(), block->begin(), block->end());
        }
        return patch;
    }
};

// The control triples of a patch file, for checking what a bsdiff patch
// actually asks of the applier.
inline std::vector<std::array<int64_t, 3>> decodeControl(const Bytes& patch) {
    std::vector<std::array<int64_t, 3>> triples;
    if (patch.size() < 32) {
        return triples;
    }
    const int64_t x = readPatchInt(patch.data() + 8);
    if (x < 0 || static_cast<uint64_t>(x) > patch.size() - 32) {
        return triples;
    }
    const Bytes packed(patch.begin() + 32, patch.begin() + 32 + x);
    const Bytes plain = bunzip2(packed);
    for (size_t at = 0; at + 24 <= plain.size(); at += 24) {
        triples.push_back({readPatchInt(&plain[at]), readPatchInt(&plain[at + 8]),
                           readPatchInt(&plain[at + 16])});
    }
    return triples;
}

// Reproducible data: a small generator, so a failing case reruns the same.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    void fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            out[i] = static_cast<uint8_t>(next() >> 32);
        }
    }
    Bytes bytes(size_t n) {
        Bytes out(n);
        fill(out.data(), n);
        return out;
    }

private:
    uint64_t state_;
};

}  // namespace bspatch_test
