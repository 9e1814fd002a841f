#include "patch_writer.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace bsdiff_gen {

namespace {

constexpr size_t kChunk = 64 * 1024;

// Feeds bytes to one bzip2 stream whose output is appended to a buffer.
class BlockCompressor {
public:
    explicit BlockCompressor(std::vector<uint8_t>* out) : out_(out) {
        std::memset(&stream_, 0, sizeof(stream_));
        // Block size 900 k, as every bsdiff patch has; default work factor.
        ok_ = BZ2_bzCompressInit(&stream_, 9, 0, 0) == BZ_OK;
        open_ = ok_;
    }
    ~BlockCompressor() {
        if (open_) {
            BZ2_bzCompressEnd(&stream_);
        }
    }
    BlockCompressor(const BlockCompressor&) = delete;
    BlockCompressor& operator=(const BlockCompressor&) = delete;

    void feed(const uint8_t* data, size_t size) {
        while (ok_ && size > 0) {
            // bzip2 counts input in unsigned int.
            const size_t piece = std::min<size_t>(size, 1u << 30);
            stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
            stream_.avail_in = static_cast<unsigned>(piece);
            while (ok_ && stream_.avail_in > 0) {
                ok_ = step(BZ_RUN) == BZ_RUN_OK;
            }
            data += piece;
            size -= piece;
        }
    }

    // Ends the stream; false if any step failed.
    bool finish() {
        int status = BZ_FINISH_OK;
        while (ok_ && status == BZ_FINISH_OK) {
            status = step(BZ_FINISH);
            ok_ = status == BZ_FINISH_OK || status == BZ_STREAM_END;
        }
        if (open_) {
            BZ2_bzCompressEnd(&stream_);
            open_ = false;
        }
        return ok_;
    }

private:
    int step(int action) {
        const size_t before = out_->size();
        out_->resize(before + kChunk);
        stream_.next_out = reinterpret_cast<char*>(out_->data() + before);
        stream_.avail_out = static_cast<unsigned>(kChunk);
        const int status = BZ2_bzCompress(&stream_, action);
        out_->resize(before + (kChunk - stream_.avail_out));
        return status;
    }

    std::vector<uint8_t>* out_;
    bz_stream stream_;
    bool ok_ = false;
    bool open_ = false;
};

// Calls `run(newPos, oldPos, control)` for each triple, with the positions
// at which its diff run starts.
void forEachTriple(const std::vector<Control_T>& controls,
                   const std::function<void(int64_t, int64_t, const Control_T&)>& run) {
    int64_t newPos = 0;
    int64_t oldPos = 0;
    for (const Control_T& control : controls) {
        run(newPos, oldPos, control);
        newPos += control.diffLength + control.extraLength;
        oldPos += control.diffLength + control.seek;
    }
}

bool compressControls(const std::vector<Control_T>& controls, std::vector<uint8_t>* out) {
    BlockCompressor block(out);
    std::vector<uint8_t> triple;
    for (const Control_T& control : controls) {
        triple.clear();
        appendOfftout(control.diffLength, &triple);
        appendOfftout(control.extraLength, &triple);
        appendOfftout(control.seek, &triple);
        block.feed(triple.data(), triple.size());
    }
    return block.finish();
}

// The diff bytes are made here from the two parts rather than kept from the
// planning: holding them would cost another part's worth of memory per job.
bool compressDiff(const std::vector<Control_T>& controls, Bytes_T old, Bytes_T next,
                  std::vector<uint8_t>* out) {
    BlockCompressor block(out);
    std::vector<uint8_t> chunk(kChunk);
    forEachTriple(controls, [&](int64_t newPos, int64_t oldPos, const Control_T& control) {
        for (int64_t done = 0; done < control.diffLength;) {
            const int64_t count = std::min<int64_t>(control.diffLength - done, kChunk);
            const uint8_t* newBytes = next.data + newPos + done;
            const uint8_t* oldBytes = old.data + oldPos + done;
            for (int64_t i = 0; i < count; ++i) {
                chunk[static_cast<size_t>(i)] = static_cast<uint8_t>(newBytes[i] - oldBytes[i]);
            }
            block.feed(chunk.data(), static_cast<size_t>(count));
            done += count;
        }
    });
    return block.finish();
}

bool compressExtra(const std::vector<Control_T>& controls, Bytes_T next,
                   std::vector<uint8_t>* out) {
    BlockCompressor block(out);
    forEachTriple(controls, [&](int64_t newPos, int64_t, const Control_T& control) {
        block.feed(next.data + newPos + control.diffLength,
                   static_cast<size_t>(control.extraLength));
    });
    return block.finish();
}

void putOfftout(int64_t value, uint8_t* at) {
    std::vector<uint8_t> bytes;
    appendOfftout(value, &bytes);
    std::copy(bytes.begin(), bytes.end(), at);
}

}  // namespace

void appendOfftout(int64_t value, std::vector<uint8_t>* out) {
    // Magnitude in the low 63 bits, least significant byte first; the sign
    // in the top bit of the last byte.
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        magnitude = 0 - magnitude;
    }
    for (int i = 0; i < 8; ++i) {
        uint8_t byte = static_cast<uint8_t>(magnitude & 0xff);
        if (i == 7 && value < 0) {
            byte |= 0x80;
        }
        out->push_back(byte);
        magnitude >>= 8;
    }
}

std::string writePatch(const std::vector<Control_T>& controls, Bytes_T old, Bytes_T next,
                       std::vector<uint8_t>* patch) {
    patch->assign(32, 0);
    std::memcpy(patch->data(), "BSDIFF40", 8);
    const size_t controlStart = patch->size();
    if (!compressControls(controls, patch)) {
        return "bzip2 failed on the control block";
    }
    const size_t diffStart = patch->size();
    if (!compressDiff(controls, old, next, patch)) {
        return "bzip2 failed on the diff block";
    }
    const size_t extraStart = patch->size();
    if (!compressExtra(controls, next, patch)) {
        return "bzip2 failed on the extra block";
    }
    putOfftout(static_cast<int64_t>(diffStart - controlStart), patch->data() + 8);
    putOfftout(static_cast<int64_t>(extraStart - diffStart), patch->data() + 16);
    putOfftout(next.size, patch->data() + 24);
    return std::string();
}

}  // namespace bsdiff_gen
