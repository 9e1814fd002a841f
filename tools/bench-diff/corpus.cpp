#include "corpus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "run_child.h"

namespace diff_corpus {

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlock = 4096;

void fillRandom(Rng& rng, uint8_t* at, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        at[i] = static_cast<uint8_t>(rng.next() >> 24);
    }
}

void fitTo(Bytes* bytes, size_t size, Rng& rng) {
    const size_t had = bytes->size();
    bytes->resize(size);
    if (size > had) {
        fillRandom(rng, bytes->data() + had, size - had);
    }
}

// One 256-byte record: fixed fields, a counter, a few varying words.
void putRecord(uint8_t* at, uint32_t number, Rng& rng) {
    std::fill(at, at + 256, 0);
    at[0] = 0xa4;
    at[1] = 0x81;
    at[4] = static_cast<uint8_t>(rng.below(64));
    for (int i = 0; i < 4; ++i) {
        at[8 + i] = static_cast<uint8_t>(number >> (8 * i));  // its block
        at[12 + i] = 0x65;                                    // a fixed time
    }
    at[40] = 0x0a;
    at[41] = 0xf3;
    at[42] = 1;
    at[60] = static_cast<uint8_t>(number * 8);
    at[61] = static_cast<uint8_t>((number * 8) >> 8);
}

// Fixed access and modification times, so images made from two copies of
// a tree differ only where the files do.
void fixTimes(const fs::path& path) {
    const struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string copyBudget(const fs::path& source, const fs::path& target, size_t budget) {
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::recursive_directory_iterator it(source, fs::directory_options::skip_permission_denied,
                                             error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) {
        return "cannot list " + source.string() + ": " + error.message();
    }
    std::sort(entries.begin(), entries.end());
    fs::create_directories(target, error);
    size_t used = 0;
    for (const fs::path& entry : entries) {
        const fs::path to = target / entry.lexically_relative(source);
        const fs::file_status status = fs::symlink_status(entry, error);
        if (fs::is_directory(status)) {
            fs::create_directories(to, error);
        } else if (fs::is_symlink(status)) {
            fs::create_directories(to.parent_path(), error);
            fs::copy_symlink(entry, to, error);
        } else if (fs::is_regular_file(status)) {
            const size_t size = static_cast<size_t>(fs::file_size(entry, error));
            if (error || used + size > budget) {
                error.clear();
                continue;
            }
            fs::create_directories(to.parent_path(), error);
            fs::copy_file(entry, to, error);
            used += size;
        }
        error.clear();
    }
    return std::string();
}

// NEW shares every file of OLD as a hard link, so both images carry the
// same inode times; an edited file gets an inode of its own, as it would
// in a real new build.
std::string editedTree(const fs::path& oldTree, const fs::path& newTree, int changedPercent,
                       Rng& rng) {
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::recursive_directory_iterator it(oldTree), end; it != end; ++it) {
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    fs::create_directories(newTree, error);
    for (const fs::path& entry : entries) {
        const fs::path to = newTree / entry.lexically_relative(oldTree);
        const fs::file_status status = fs::symlink_status(entry);
        if (fs::is_directory(status)) {
            fs::create_directories(to);
        } else if (fs::is_symlink(status)) {
            fs::copy_symlink(entry, to);
        } else if (fs::is_regular_file(status)) {
            if (static_cast<int>(rng.below(100)) >= changedPercent) {
                fs::create_hard_link(entry, to);
                continue;
            }
            Bytes content = readFile(entry.string());
            if (!content.empty()) {
                const size_t at = rng.below(content.size());
                const size_t count = std::min<size_t>(1 + rng.below(32), content.size() - at);
                fillRandom(rng, content.data() + at, count);
            }
            if (rng.below(4) == 0) {
                Bytes more(1 + rng.below(2000));
                fillRandom(rng, more.data(), more.size());
                content.insert(content.end(), more.begin(), more.end());
            }
            if (!writeFile(to.string(), content)) {
                return "cannot write " + to.string();
            }
            fixTimes(to);
        }
    }
    for (const fs::path& entry : entries) {
        fixTimes(entry);
        fixTimes(newTree / entry.lexically_relative(oldTree));
    }
    return std::string();
}

std::string makeImage(const fs::path& tree, const fs::path& image, size_t imageSize) {
    host::ChildOptions options;
    options.environment = {"E2FSPROGS_FAKE_TIME=1700000000"};
    const host::ChildResult made = host::runChild(
        {"mkfs.ext4", "-q", "-F", "-b", "4096", "-i", "8192", "-U",
         "3b5c1f2e-8d4a-4c61-9a7e-0f1d2c3b4a59", "-E",
         "hash_seed=7e2d9c4b-1a3f-4e58-b6c7-d8e9f0a1b2c3,lazy_itable_init=0,nodiscard", "-d",
         tree.string(), image.string(), std::to_string(imageSize / 1024) + "k"},
        options);
    if (!made.succeeded()) {
        return "mkfs.ext4 failed on " + tree.string() + ": " +
               (made.started ? made.output : made.error);
    }
    return std::string();
}

}  // namespace

Bytes randomBytes(size_t size, uint64_t seed) {
    Rng rng(seed);
    Bytes bytes(size);
    fillRandom(rng, bytes.data(), size);
    return bytes;
}

PartPair_T scatteredEdits(size_t size, int edits, uint64_t seed) {
    Rng rng(seed);
    PartPair_T pair{"random, scattered edits", randomBytes(size, seed + 1), {}};
    Bytes next = pair.oldPart;
    for (int i = 0; i < edits && !next.empty(); ++i) {
        const size_t at = rng.below(next.size());
        const size_t count = 1 + rng.below(64);
        switch (rng.below(3)) {
            case 0:
                fillRandom(rng, next.data() + at, std::min(count, next.size() - at));
                break;
            case 1: {
                Bytes inserted(count);
                fillRandom(rng, inserted.data(), count);
                next.insert(next.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(),
                            inserted.end());
                break;
            }
            default:
                const size_t end = std::min(at + count, next.size());
                next.erase(next.begin() + static_cast<std::ptrdiff_t>(at),
                           next.begin() + static_cast<std::ptrdiff_t>(end));
                break;
        }
    }
    fitTo(&next, size, rng);
    pair.newPart = std::move(next);
    return pair;
}

PartPair_T zerosButBlocks(size_t size, uint64_t seed) {
    Rng rng(seed);
    PartPair_T pair{"zeros but a few blocks", Bytes(size, 0), Bytes(size, 0)};
    const size_t blocks = size / kBlock;
    for (int i = 0; i < 6 && blocks > 0; ++i) {
        const size_t oldAt = rng.below(blocks) * kBlock;
        const size_t newAt = rng.below(blocks) * kBlock;
        fillRandom(rng, pair.oldPart.data() + oldAt, std::min(kBlock, size - oldAt));
        fillRandom(rng, pair.newPart.data() + newAt, std::min(kBlock, size - newAt));
    }
    return pair;
}

PartPair_T shiftedBy(size_t size, size_t shift, uint64_t seed) {
    Rng rng(seed);
    PartPair_T pair{"shifted by " + std::to_string(shift) + " bytes", randomBytes(size, seed + 1),
                    Bytes(shift)};
    fillRandom(rng, pair.newPart.data(), shift);
    pair.newPart.insert(pair.newPart.end(), pair.oldPart.begin(), pair.oldPart.end());
    pair.newPart.resize(size);
    return pair;
}

PartPair_T repeatedRecords(size_t size, uint64_t seed) {
    Rng rng(seed);
    PartPair_T pair{"repeated 256-byte records", Bytes(size), {}};
    for (size_t at = 0; at + 256 <= size; at += 256) {
        putRecord(pair.oldPart.data() + at, static_cast<uint32_t>(at / 256), rng);
    }
    pair.newPart = pair.oldPart;
    for (int i = 0; i < 40 && size >= 256; ++i) {
        const size_t record = rng.below(size / 256) * 256;
        putRecord(pair.newPart.data() + record, static_cast<uint32_t>(rng.next()), rng);
    }
    return pair;
}

std::string makeExt4Pair(const std::string& sourceDir, const std::string& workDir, size_t imageSize,
                         size_t budget, int changedPercent, uint64_t seed) {
    Rng rng(seed);
    const fs::path work(workDir);
    std::error_code ignored;
    fs::remove_all(work / "old-tree", ignored);
    fs::remove_all(work / "new-tree", ignored);
    std::string error = copyBudget(sourceDir, work / "old-tree", budget);
    if (error.empty()) {
        try {
            error = editedTree(work / "old-tree", work / "new-tree", changedPercent, rng);
        } catch (const fs::filesystem_error& fault) {
            error = fault.what();
        }
    }
    if (error.empty()) {
        error = makeImage(work / "old-tree", work / "old.img", imageSize);
    }
    if (error.empty()) {
        error = makeImage(work / "new-tree", work / "new.img", imageSize);
    }
    fs::remove_all(work / "old-tree", ignored);
    fs::remove_all(work / "new-tree", ignored);
    return error;
}

Bytes readFile(const std::string& path) {
    Bytes bytes;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return bytes;
    }
    bytes.resize(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) {
        bytes.clear();
    }
    return bytes;
}

bool writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

}  // namespace diff_corpus
