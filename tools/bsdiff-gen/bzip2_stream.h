// One bzip2 stream of a patch, written by libbz2 at a chosen block size.
// The patch writer writes each of its three streams at a few block sizes
// and keeps the smallest: a stream whose statistics change along it often
// does better in smaller blocks, and every size decodes with any reader.
#pragma once

#include <bzlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bsdiff_gen {

class Bzip2Stream {
public:
    // The stream is appended to `out`; `level` (1..9) is the block size in
    // 100 000 bytes.
    explicit Bzip2Stream(std::vector<uint8_t>* out, int level = 9);
    ~Bzip2Stream();
    Bzip2Stream(const Bzip2Stream&) = delete;
    Bzip2Stream& operator=(const Bzip2Stream&) = delete;

    // False once the library has refused anything: the stream is then
    // unusable and the patch must not be written.
    bool feed(const uint8_t* data, size_t size);
    // Writes the last block and the stream's end; nothing may be fed after.
    bool finish();

    size_t bytesFed() const { return bytesFed_; }
    // Whether `bytes` of input always fit one block at `level`: then every
    // larger level gives the same stream but for its header's level digit.
    static bool oneBlockAt(size_t bytes, int level);

private:
    bool drain(int action);

    std::vector<uint8_t>* out_;
    bz_stream stream_{};
    bool initialized_ = false;
    bool ok_ = false;
    bool finished_ = false;
    size_t bytesFed_ = 0;
};

}  // namespace bsdiff_gen
