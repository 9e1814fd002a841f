// A bzip2 compressor of our own, for the three blocks of a patch. Its
// streams decode with any bzip2 reader; what it adds over the library's
// compressor is the choice of Huffman tables: how many (2 to 6), which
// 50-symbol group uses which, and their code lengths are chosen for the
// fewest bits in all, table descriptions and selectors included. On the
// small, mostly-zero diff blocks of a part patched in place those
// descriptions are a tenth of the block or more, and fewer, cheaper tables
// win.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bsdiff_gen {

class Bzip2Stream {
public:
    // The stream is appended to `out`; `level` (1..9) is the block size in
    // 100 000 bytes, written into the stream's header.
    explicit Bzip2Stream(std::vector<uint8_t>* out, int level = 9);
    ~Bzip2Stream();
    Bzip2Stream(const Bzip2Stream&) = delete;
    Bzip2Stream& operator=(const Bzip2Stream&) = delete;

    void feed(const uint8_t* data, size_t size);
    // Writes the last block and the stream's end; nothing may be fed after.
    void finish();

    // What the first run-length stage made of the bytes fed so far: the
    // stream is one block at every level whose blockLimit holds it.
    size_t runLengthBytes() const { return runLengthBytes_; }
    // Bytes of the first stage in one block at `level`, as readers size it.
    static size_t blockLimit(int level);

private:
    struct Bits_T;
    void addByte(uint8_t byte);
    void flushRun();
    void writeBlock();

    std::vector<uint8_t>* out_;
    Bits_T* bits_;
    size_t blockLimit_;
    size_t runLengthBytes_ = 0;
    std::vector<uint8_t> block_;  // after the first run-length stage
    uint32_t blockCrc_ = 0xffffffffu;
    uint32_t streamCrc_ = 0;
    int runByte_ = -1;
    int runLength_ = 0;
    bool finished_ = false;
};

// The CRC of bzip2 (most significant bit first, polynomial 0x04c11db7)
// over `data`, as a block's is checked.
uint32_t bzip2Crc(const uint8_t* data, size_t size);

}  // namespace bsdiff_gen
