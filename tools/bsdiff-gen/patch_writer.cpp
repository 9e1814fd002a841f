#include "patch_writer.h"

#include "bzip2_stream.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace bsdiff_gen {

namespace {

constexpr size_t kChunk = 64 * 1024;

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

// Writes one stream, whose bytes `emit` feeds, at each of `levels` in turn
// and keeps the smallest (the earliest on a tie). Past the first, a level
// at which the stream is one block is skipped: one block makes the same
// stream at any level but for the level digit of its header.
bool compressSmallest(const std::function<bool(Bzip2Stream&)>& emit,
                      const std::vector<int>& levels, std::vector<uint8_t>* out) {
    const size_t start = out->size();
    size_t fed = 0;
    std::vector<uint8_t> trial;
    for (size_t i = 0; i < levels.size(); ++i) {
        if (i > 0 && Bzip2Stream::oneBlockAt(fed, levels[i])) {
            continue;
        }
        trial.clear();
        Bzip2Stream stream(i == 0 ? out : &trial, levels[i]);
        if (!emit(stream) || !stream.finish()) {
            return false;
        }
        if (i == 0) {
            fed = stream.bytesFed();
        } else if (trial.size() < out->size() - start) {
            out->resize(start);
            out->insert(out->end(), trial.begin(), trial.end());
        }
    }
    return true;
}

bool feedControls(const std::vector<Control_T>& controls, Bzip2Stream& block) {
    std::vector<uint8_t> triple;
    for (const Control_T& control : controls) {
        triple.clear();
        appendOfftout(control.diffLength, &triple);
        appendOfftout(control.extraLength, &triple);
        appendOfftout(control.seek, &triple);
        if (!block.feed(triple.data(), triple.size())) return false;
    }
    return true;
}

// The diff bytes are made here from the two parts rather than kept from the
// planning: holding them would cost another part's worth of memory per job.
bool feedDiff(const std::vector<Control_T>& controls, Bytes_T old, Bytes_T next,
              Bzip2Stream& block) {
    std::vector<uint8_t> chunk(kChunk);
    bool fed = true;
    forEachTriple(controls, [&](int64_t newPos, int64_t oldPos, const Control_T& control) {
        for (int64_t done = 0; done < control.diffLength;) {
            const int64_t count = std::min<int64_t>(control.diffLength - done, kChunk);
            const uint8_t* newBytes = next.data + newPos + done;
            const uint8_t* oldBytes = old.data + oldPos + done;
            for (int64_t i = 0; i < count; ++i) {
                chunk[static_cast<size_t>(i)] = static_cast<uint8_t>(newBytes[i] - oldBytes[i]);
            }
            fed = block.feed(chunk.data(), static_cast<size_t>(count)) && fed;
            done += count;
        }
    });
    return fed;
}

bool feedExtra(const std::vector<Control_T>& controls, Bytes_T next, Bzip2Stream& block) {
    bool fed = true;
    forEachTriple(controls, [&](int64_t newPos, int64_t, const Control_T& control) {
        fed = block.feed(next.data + newPos + control.diffLength,
                         static_cast<size_t>(control.extraLength)) &&
              fed;
    });
    return fed;
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
                       std::vector<uint8_t>* patch, const std::vector<int>& levels) {
    if (levels.empty()) {
        return "no block size to write the patch with";
    }
    patch->assign(32, 0);
    std::memcpy(patch->data(), "BSDIFF40", 8);
    const size_t controlStart = patch->size();
    if (!compressSmallest([&](Bzip2Stream& block) { return feedControls(controls, block); },
                          levels, patch)) {
        return "bzip2 refused the control block";
    }
    const size_t diffStart = patch->size();
    if (!compressSmallest([&](Bzip2Stream& block) { return feedDiff(controls, old, next, block); },
                          levels, patch)) {
        return "bzip2 refused the diff block";
    }
    const size_t extraStart = patch->size();
    if (!compressSmallest([&](Bzip2Stream& block) { return feedExtra(controls, next, block); },
                          levels, patch)) {
        return "bzip2 refused the extra block";
    }
    putOfftout(static_cast<int64_t>(diffStart - controlStart), patch->data() + 8);
    putOfftout(static_cast<int64_t>(extraStart - diffStart), patch->data() + 16);
    putOfftout(next.size, patch->data() + 24);
    return std::string();
}

}  // namespace bsdiff_gen
