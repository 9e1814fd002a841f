// Old and new parts of the kinds a set's partitions hold, made on this
// machine: the diff benchmark measures on them and the patch maker's tests
// prove patches on smaller ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace diff_corpus {

using Bytes = std::vector<uint8_t>;

struct PartPair_T {
    std::string label;
    Bytes oldPart;
    Bytes newPart;
};

// Deterministic bytes from a seed (xorshift): the same corpus on every run.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9e3779b97f4a7c15ull + 1) {}
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    uint64_t below(uint64_t bound) { return bound == 0 ? 0 : next() % bound; }

private:
    uint64_t state_;
};

Bytes randomBytes(size_t size, uint64_t seed);

// Random old part; the new one has `edits` scattered edits: bytes changed,
// short runs inserted or removed, then cut or padded back to the same size.
PartPair_T scatteredEdits(size_t size, int edits, uint64_t seed);

// All zeros but for a few 4 KiB blocks of data, which differ between the two.
PartPair_T zerosButBlocks(size_t size, uint64_t seed);

// The new part is the old one moved by `shift` bytes, new bytes in front.
PartPair_T shiftedBy(size_t size, size_t shift, uint64_t seed);

// Tables of 256-byte records that differ only in a counter and a few
// fields, with some records changed: the shape of an inode table.
PartPair_T repeatedRecords(size_t size, uint64_t seed);

// Two ext4 images of `imageSize` bytes made with mkfs.ext4 -d from a copy
// of `sourceDir` (at most `budget` bytes of its files, in path order), the
// new one with about `changedPercent` % of the files edited. Fixed time,
// UUID and hash seed, so the same inputs give the same images. Works in
// `workDir`; the images are left there as old.img and new.img. Empty
// string on success, else why not.
std::string makeExt4Pair(const std::string& sourceDir, const std::string& workDir, size_t imageSize,
                         size_t budget, int changedPercent, uint64_t seed);

Bytes readFile(const std::string& path);
bool writeFile(const std::string& path, const Bytes& bytes);

}  // namespace diff_corpus
