#include "bzip2_stream.h"

namespace bsdiff_gen {

namespace {

constexpr size_t kOutChunk = 64 * 1024;

}  // namespace

Bzip2Stream::Bzip2Stream(std::vector<uint8_t>* out, int level) : out_(out) {
    initialized_ = BZ2_bzCompressInit(&stream_, level, 0, 0) == BZ_OK;
    ok_ = initialized_;
}

Bzip2Stream::~Bzip2Stream() {
    if (initialized_) {
        BZ2_bzCompressEnd(&stream_);
    }
}

bool Bzip2Stream::drain(int action) {
    for (;;) {
        const size_t before = out_->size();
        out_->resize(before + kOutChunk);
        stream_.next_out = reinterpret_cast<char*>(out_->data() + before);
        stream_.avail_out = static_cast<unsigned int>(kOutChunk);
        const int status = BZ2_bzCompress(&stream_, action);
        out_->resize(before + kOutChunk - stream_.avail_out);
        if (action == BZ_RUN) {
            if (status != BZ_RUN_OK) return false;
            if (stream_.avail_in == 0) return true;
        } else {
            if (status == BZ_STREAM_END) return true;
            if (status != BZ_FINISH_OK) return false;
        }
    }
}

bool Bzip2Stream::feed(const uint8_t* data, size_t size) {
    if (!ok_ || finished_) return false;
    // The library counts input in unsigned int: hand it over in pieces.
    while (size > 0) {
        const size_t piece = size < (1u << 30) ? size : (1u << 30);
        stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
        stream_.avail_in = static_cast<unsigned int>(piece);
        if (!drain(BZ_RUN)) {
            ok_ = false;
            return false;
        }
        data += piece;
        size -= piece;
        bytesFed_ += piece;
    }
    return true;
}

bool Bzip2Stream::finish() {
    if (!ok_ || finished_) return false;
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    ok_ = drain(BZ_FINISH);
    finished_ = true;
    return ok_;
}

bool Bzip2Stream::oneBlockAt(size_t bytes, int level) {
    // The first stage turns a run of four equal bytes into five, so input
    // grows by at most a quarter before it is cut into blocks; the library
    // fills a block to 19 bytes short of its size.
    return bytes + bytes / 4 + 19 < static_cast<size_t>(level) * 100000;
}

}  // namespace bsdiff_gen
