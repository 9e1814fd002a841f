#include "bzip2_stream.h"

#include <divsufsort.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace bsdiff_gen {

namespace {

constexpr int kMaxGroups = 6;
constexpr int kMinGroups = 2;  // readers refuse fewer
constexpr int kGroupSize = 50;
constexpr int kMaxAlpha = 258;
// Readers accept up to 20 bits; 17 is what every writer has kept to.
constexpr int kMaxCodeLength = 17;
static_assert(kGroupSize * kMaxCodeLength < 1024, "a group's bits fit ten bits");
constexpr int kRunA = 0;
constexpr int kRunB = 1;
// Blocks of up to this many symbols get lengths fitted to their bits
// (fittedLengths); in larger ones the tables' descriptions are too small a
// share to be worth the time.
constexpr size_t kFitUpTo = 50000;
// Rounds of table choice with fitted lengths after the first fit.
constexpr int kFitRounds = 2;
// Rounds of table choice per table count: the bits rarely move after four.
constexpr int kRounds = 6;

struct CrcTable_T {
    uint32_t entry[256];
    CrcTable_T() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i << 24;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
            }
            entry[i] = crc;
        }
    }
};

const CrcTable_T& crcTable() {
    static const CrcTable_T table;
    return table;
}

inline uint32_t crcStep(uint32_t crc, uint8_t byte) {
    return (crc << 8) ^ crcTable().entry[(crc >> 24) ^ byte];
}

using Lengths_T = std::array<uint8_t, kMaxAlpha>;

// Huffman code lengths of `weight[0, alphaSize)`, none over kMaxCodeLength:
// while the tree is too deep the weights are flattened and it is built
// again. Leaves are taken in order of weight, then symbol, and a leaf goes
// before an inner node of equal weight, so the result is fixed.
void huffmanLengths(const uint32_t* weight, int alphaSize, Lengths_T* lengths) {
    uint64_t w[kMaxAlpha];
    for (int i = 0; i < alphaSize; ++i) {
        w[i] = weight[i];
    }
    int leaves[kMaxAlpha];
    uint64_t inner[kMaxAlpha];
    int parent[2 * kMaxAlpha];  // leaves 0.., inner nodes kMaxAlpha..
    while (true) {
        for (int i = 0; i < alphaSize; ++i) {
            leaves[i] = i;
        }
        std::stable_sort(leaves, leaves + alphaSize, [&w](int a, int b) { return w[a] < w[b]; });
        // Two queues: the sorted leaves, and inner nodes, made in order of
        // weight.
        int leafAt = 0;
        int innerAt = 0;
        int innerCount = 0;
        const auto take = [&]() {
            if (leafAt < alphaSize &&
                (innerAt == innerCount || w[leaves[leafAt]] <= inner[innerAt])) {
                const int leaf = leaves[leafAt++];
                return std::pair<uint64_t, int>(w[leaf], leaf);
            }
            const int node = innerAt++;
            return std::pair<uint64_t, int>(inner[node], kMaxAlpha + node);
        };
        for (int made = 0; made < alphaSize - 1; ++made) {
            const auto a = take();
            const auto b = take();
            inner[innerCount] = a.first + b.first;
            parent[a.second] = kMaxAlpha + innerCount;
            parent[b.second] = kMaxAlpha + innerCount;
            ++innerCount;
        }
        // Depths from the root down: an inner node is made after its
        // children, so walking them backwards meets each parent first.
        uint8_t depth[kMaxAlpha];
        depth[innerCount - 1] = 0;
        for (int node = innerCount - 2; node >= 0; --node) {
            depth[node] = static_cast<uint8_t>(depth[parent[kMaxAlpha + node] - kMaxAlpha] + 1);
        }
        int deepest = 0;
        for (int i = 0; i < alphaSize; ++i) {
            const int length = depth[parent[i] - kMaxAlpha] + 1;
            (*lengths)[static_cast<size_t>(i)] = static_cast<uint8_t>(length);
            deepest = std::max(deepest, length);
        }
        if (deepest <= kMaxCodeLength) {
            return;
        }
        for (int i = 0; i < alphaSize; ++i) {
            w[i] = 1 + w[i] / 2;
        }
    }
}

// Bits that describe one table: a 5-bit first length, then per symbol two
// bits per step of one up or down and a closing bit.
int64_t tableBits(const Lengths_T& lengths, int alphaSize) {
    int64_t bits = 5;
    int current = lengths[0];
    for (int i = 0; i < alphaSize; ++i) {
        const int length = lengths[static_cast<size_t>(i)];
        bits += 2 * std::abs(length - current) + 1;
        current = length;
    }
    return bits;
}

// Symbols no group of a table uses cost nothing in the data, only in the
// table's description. Lengthening them never breaks the prefix code, so
// each stretch of them between used symbols is lengthened to lie between
// its neighbours' lengths where it can, which makes its steps cost nothing.
void smoothUnused(const uint32_t* frequency, int alphaSize, Lengths_T* lengths) {
    int i = 0;
    while (i < alphaSize) {
        if (frequency[i] != 0) {
            ++i;
            continue;
        }
        int end = i;
        int deepest = 0;
        while (end < alphaSize && frequency[end] == 0) {
            deepest = std::max<int>(deepest, (*lengths)[static_cast<size_t>(end)]);
            ++end;
        }
        const int left = i > 0 ? (*lengths)[static_cast<size_t>(i - 1)] : -1;
        const int right = end < alphaSize ? (*lengths)[static_cast<size_t>(end)] : -1;
        int target = deepest;
        const int high = std::max(left, right);
        if (high > deepest) {
            // Anywhere in [max(low, deepest), high] costs only the step
            // from one neighbour to the other.
            const int low = left < 0 ? right : (right < 0 ? left : std::min(left, right));
            target = std::max(low, deepest);
        }
        for (int k = i; k < end; ++k) {
            (*lengths)[static_cast<size_t>(k)] = static_cast<uint8_t>(target);
        }
        i = end;
    }
}

// Bits the selectors take: each is coded by its place in a move-to-front
// list of the tables, in unary.
int64_t selectorBits(const std::vector<uint8_t>& selectors, int groups) {
    uint8_t order[kMaxGroups];
    for (int i = 0; i < groups; ++i) {
        order[i] = static_cast<uint8_t>(i);
    }
    int64_t bits = 0;
    for (const uint8_t selector : selectors) {
        int at = 0;
        while (order[at] != selector) {
            ++at;
        }
        bits += at + 1;
        for (; at > 0; --at) {
            order[at] = order[at - 1];
        }
        order[0] = selector;
    }
    return bits;
}

int64_t dataBits(const uint32_t* frequency, const Lengths_T& lengths, int alphaSize) {
    int64_t bits = 0;
    for (int i = 0; i < alphaSize; ++i) {
        bits += static_cast<int64_t>(frequency[i]) * lengths[static_cast<size_t>(i)];
    }
    return bits;
}

// The lengths that cost fewest bits, data and description together, among
// those whose code fits (Kraft sum at most one): a walk along the symbols
// whose state is the current length, with the Kraft sum priced in, and the
// smallest price at which the code fits found by halving. All in integers,
// so every machine makes the same choice. On a block of a few thousand
// symbols the descriptions are a large share, and this beats a Huffman
// code with its unused symbols smoothed.
bool fittedLengths(const uint32_t* frequency, int alphaSize, Lengths_T* lengths) {
    constexpr int kStates = kMaxCodeLength;  // lengths 1..17
    constexpr int kBitShift = 20;            // a bit is 2^20 cost units
    std::vector<uint8_t> from(static_cast<size_t>(alphaSize) * kStates);
    int64_t cost[kStates];
    int64_t reach[kStates];
    const auto solve = [&](int64_t price, Lengths_T* out) {
        for (int i = 0; i < alphaSize; ++i) {
            // Cheapest way to arrive at each length from the previous
            // symbol's, two bits per step: one sweep each way.
            int source[kStates];
            for (int l = 0; l < kStates; ++l) {
                reach[l] = i == 0 ? 0 : cost[l];
                source[l] = l;
            }
            if (i > 0) {
                constexpr int64_t kStep = int64_t{2} << kBitShift;
                for (int l = 1; l < kStates; ++l) {
                    if (reach[l - 1] + kStep < reach[l]) {
                        reach[l] = reach[l - 1] + kStep;
                        source[l] = source[l - 1];
                    }
                }
                for (int l = kStates - 2; l >= 0; --l) {
                    if (reach[l + 1] + kStep < reach[l]) {
                        reach[l] = reach[l + 1] + kStep;
                        source[l] = source[l + 1];
                    }
                }
            }
            for (int l = 0; l < kStates; ++l) {
                const int length = l + 1;
                cost[l] = reach[l] + ((1 + static_cast<int64_t>(frequency[i]) * length) << kBitShift) +
                          price * (int64_t{1} << (kMaxCodeLength - length));
                from[static_cast<size_t>(i) * kStates + static_cast<size_t>(l)] =
                    static_cast<uint8_t>(source[l]);
            }
        }
        int state = 0;
        for (int l = 1; l < kStates; ++l) {
            if (cost[l] < cost[state]) {
                state = l;
            }
        }
        for (int i = alphaSize - 1; i >= 0; --i) {
            (*out)[static_cast<size_t>(i)] = static_cast<uint8_t>(state + 1);
            state = from[static_cast<size_t>(i) * kStates + static_cast<size_t>(state)];
        }
        uint64_t kraft = 0;
        for (int i = 0; i < alphaSize; ++i) {
            kraft += uint64_t{1} << (kMaxCodeLength - (*out)[static_cast<size_t>(i)]);
        }
        return kraft <= (uint64_t{1} << kMaxCodeLength);
    };
    // The price of a unit of the Kraft sum (2^-17 of the code) in cost
    // units: at zero every length is one and nothing fits; at 2^40 a whole
    // code's worth costs 2^37 bits, more than any block can save. First the
    // power of two at which the code starts to fit, then 1/256 of it.
    Lengths_T trial;
    int lowShift = -1;
    int highShift = 40;
    if (!solve(int64_t{1} << highShift, lengths)) {
        return false;
    }
    while (highShift - lowShift > 1) {
        const int middle = (lowShift + highShift) / 2;
        if (solve(int64_t{1} << middle, &trial)) {
            highShift = middle;
            *lengths = trial;
        } else {
            lowShift = middle;
        }
    }
    int64_t low = lowShift < 0 ? 0 : int64_t{1} << lowShift;
    int64_t high = int64_t{1} << highShift;
    const int64_t precision = std::max<int64_t>(1, high / 256);
    while (high - low > precision) {
        const int64_t middle = low + (high - low) / 2;
        if (solve(middle, &trial)) {
            high = middle;
            *lengths = trial;
        } else {
            low = middle;
        }
    }
    return true;
}

// Each unused symbol still needs a code, and where its length sits against
// its neighbours' costs description bits: weighed lightly it gets a long
// code, far from the used symbols' lengths; weighed more it takes code
// space from them. A few weights are tried, and with `fit` the fitted
// lengths too, and the lengths that cost fewest bits, description and data
// together, kept.
void bestLengths(const uint32_t* frequency, int alphaSize, bool fit, Lengths_T* lengths) {
    static constexpr uint32_t kUnusedWeights[] = {1, 16, 64, 256, 1024};
    int64_t best = INT64_MAX;
    uint32_t weight[kMaxAlpha];
    Lengths_T trial;
    for (const uint32_t unused : kUnusedWeights) {
        for (int i = 0; i < alphaSize; ++i) {
            weight[i] = frequency[i] == 0 ? unused : frequency[i] << 8;
        }
        huffmanLengths(weight, alphaSize, &trial);
        smoothUnused(frequency, alphaSize, &trial);
        const int64_t bits = tableBits(trial, alphaSize) + dataBits(frequency, trial, alphaSize);
        if (bits < best) {
            best = bits;
            *lengths = trial;
        }
    }
    if (fit && fittedLengths(frequency, alphaSize, &trial)) {
        const int64_t bits = tableBits(trial, alphaSize) + dataBits(frequency, trial, alphaSize);
        if (bits < best) {
            best = bits;
            *lengths = trial;
        }
    }
}

struct Tables_T {
    int groups = 0;
    std::vector<uint8_t> selectors;
    Lengths_T lengths[kMaxGroups];
    int64_t bits = INT64_MAX;  // selectors, tables and data together
};

// The tables for `groups` tables: start from a split of the alphabet by
// frequency, then alternate between giving each 50-symbol group the table
// that codes it in fewest bits (a change of table priced at a few selector
// bits) and rebuilding each table from the groups it was given. The
// cheapest round in exact bits is kept.
Tables_T chooseTables(const std::vector<uint16_t>& symbols, int alphaSize, int groups) {
    const size_t count = symbols.size();
    const size_t selectorCount = (count + kGroupSize - 1) / kGroupSize;
    Tables_T best;
    Tables_T trial;
    trial.groups = groups;
    trial.selectors.assign(selectorCount, 0);

    // Cost of each symbol under each table, as a starting point: the
    // alphabet cut into `groups` ranges of about equal frequency, a range's
    // own symbols cheap in its table.
    std::vector<uint32_t> total(static_cast<size_t>(alphaSize), 0);
    for (const uint16_t symbol : symbols) {
        ++total[symbol];
    }
    int64_t remaining = static_cast<int64_t>(count);
    int start = 0;
    for (int table = 0; table < groups; ++table) {
        const int64_t target = remaining / (groups - table);
        int end = start;
        int64_t taken = 0;
        while (end < alphaSize && (taken < target || end == start)) {
            taken += total[static_cast<size_t>(end)];
            ++end;
        }
        if (table == groups - 1) {
            end = alphaSize;
        }
        for (int i = 0; i < alphaSize; ++i) {
            trial.lengths[table][static_cast<size_t>(i)] = (i >= start && i < end) ? 1 : 15;
        }
        remaining -= taken;
        start = end;
    }

    std::vector<int64_t> pathCost(static_cast<size_t>(groups));
    std::vector<uint8_t> from(selectorCount * static_cast<size_t>(groups));
    std::vector<uint32_t> frequency(static_cast<size_t>(groups * kMaxAlpha));
    // Rebuilds each table of `tables` from the groups given to it; returns
    // the block's bits for selectors, tables and data.
    const auto rebuild = [&](Tables_T* tables, bool fit) {
        std::fill(frequency.begin(), frequency.end(), 0);
        for (size_t k = 0; k < count; ++k) {
            ++frequency[static_cast<size_t>(tables->selectors[k / kGroupSize]) * kMaxAlpha +
                        symbols[k]];
        }
        int64_t bits = selectorBits(tables->selectors, groups);
        for (int t = 0; t < groups; ++t) {
            const uint32_t* used = &frequency[static_cast<size_t>(t) * kMaxAlpha];
            bool any = false;
            for (int i = 0; i < alphaSize; ++i) {
                any = any || used[i] != 0;
            }
            Lengths_T& lengths = tables->lengths[t];
            if (!any) {
                // A table no group uses: one flat length, described in
                // about a bit per symbol.
                int flat = 1;
                while ((1 << flat) < alphaSize) {
                    ++flat;
                }
                lengths.fill(static_cast<uint8_t>(flat));
            } else {
                bestLengths(used, alphaSize, fit, &lengths);
            }
            bits += tableBits(lengths, alphaSize) + dataBits(used, lengths, alphaSize);
        }
        return bits;
    };
    // Gives each group its table by the tables' current lengths.
    const auto assign = [&](Tables_T* tables) {
        // Give each group its table: the cheapest path through the groups
        // where staying on a table costs one selector bit and moving costs
        // three, about what a move-to-front code charges.
        std::fill(pathCost.begin(), pathCost.end(), 0);
        // All tables' lengths of a symbol side by side in one word, ten
        // bits each: a group of 50 sums to at most 850 per table, so the
        // sum of the words gives every table's bits at once.
        uint64_t packed[kMaxAlpha];
        for (int i = 0; i < alphaSize; ++i) {
            packed[i] = 0;
            for (int t = 0; t < groups; ++t) {
                packed[i] |= static_cast<uint64_t>(tables->lengths[t][static_cast<size_t>(i)]) << (10 * t);
            }
        }
        for (size_t g = 0; g < selectorCount; ++g) {
            const size_t begin = g * kGroupSize;
            const size_t end = std::min(count, begin + kGroupSize);
            int64_t cheapest = INT64_MAX;
            int cheapestTable = 0;
            for (int t = 0; t < groups; ++t) {
                if (pathCost[static_cast<size_t>(t)] < cheapest) {
                    cheapest = pathCost[static_cast<size_t>(t)];
                    cheapestTable = t;
                }
            }
            uint64_t sums = 0;
            for (size_t k = begin; k < end; ++k) {
                sums += packed[symbols[k]];
            }
            for (int t = 0; t < groups; ++t) {
                const int64_t bits = static_cast<int64_t>((sums >> (10 * t)) & 1023);
                int64_t stay = pathCost[static_cast<size_t>(t)] + 1;
                uint8_t came = static_cast<uint8_t>(t);
                if (cheapest + 3 < stay) {
                    stay = cheapest + 3;
                    came = static_cast<uint8_t>(cheapestTable);
                }
                pathCost[static_cast<size_t>(t)] = stay + bits;
                from[g * static_cast<size_t>(groups) + static_cast<size_t>(t)] = came;
            }
        }
        int table = 0;
        for (int t = 1; t < groups; ++t) {
            if (pathCost[static_cast<size_t>(t)] < pathCost[static_cast<size_t>(table)]) {
                table = t;
            }
        }
        for (size_t g = selectorCount; g-- > 0;) {
            tables->selectors[g] = static_cast<uint8_t>(table);
            table = from[g * static_cast<size_t>(groups) + static_cast<size_t>(table)];
        }
    };
    for (int round = 0; round < kRounds; ++round) {
        assign(&trial);

        trial.bits = rebuild(&trial, false);
        if (trial.bits < best.bits) {
            best = trial;
        }
    }
    // The fitted lengths cost a search each, so only the best round's
    // tables get them, in small blocks, where they matter; then the groups
    // are given tables again by those lengths, and the tables fitted anew.
    if (count <= kFitUpTo) {
        trial = best;
        trial.bits = rebuild(&trial, true);
        for (int round = 0; round < kFitRounds; ++round) {
            if (trial.bits < best.bits) {
                best = trial;
            }
            assign(&trial);
            trial.bits = rebuild(&trial, true);
        }
        if (trial.bits < best.bits) {
            best = trial;
        }
    }
    return best;
}

}  // namespace

struct Bzip2Stream::Bits_T {
    std::vector<uint8_t>* out;
    uint64_t held = 0;
    int count = 0;

    void put(int width, uint32_t value) {
        held = (held << width) | (value & ((1ull << width) - 1));
        count += width;
        while (count >= 8) {
            count -= 8;
            out->push_back(static_cast<uint8_t>(held >> count));
        }
    }
    void flush() {
        if (count > 0) {
            out->push_back(static_cast<uint8_t>(held << (8 - count)));
            count = 0;
        }
        held = 0;
    }
};

uint32_t bzip2Crc(const uint8_t* data, size_t size) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < size; ++i) {
        crc = crcStep(crc, data[i]);
    }
    return ~crc;
}

size_t Bzip2Stream::blockLimit(int level) {
    // As readers size their buffers: a run written at the limit adds at
    // most five bytes, and the block still fits.
    return static_cast<size_t>(std::clamp(level, 1, 9)) * 100000 - 19;
}

Bzip2Stream::Bzip2Stream(std::vector<uint8_t>* out, int level)
    : out_(out), bits_(new Bits_T{out}) {
    level = std::clamp(level, 1, 9);
    blockLimit_ = blockLimit(level);
    bits_->put(8, 'B');
    bits_->put(8, 'Z');
    bits_->put(8, 'h');
    bits_->put(8, static_cast<uint32_t>('0' + level));
}

Bzip2Stream::~Bzip2Stream() { delete bits_; }

void Bzip2Stream::feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        addByte(data[i]);
    }
}

void Bzip2Stream::addByte(uint8_t byte) {
    if (byte == runByte_ && runLength_ < 255) {
        ++runLength_;
        return;
    }
    flushRun();
    runByte_ = byte;
    runLength_ = 1;
}

// The first stage: four equal bytes and then a count of up to 251 more.
// A run never straddles two blocks, as a reader starts each afresh.
void Bzip2Stream::flushRun() {
    if (runLength_ == 0) {
        return;
    }
    const uint8_t byte = static_cast<uint8_t>(runByte_);
    for (int i = 0; i < runLength_; ++i) {
        blockCrc_ = crcStep(blockCrc_, byte);
    }
    for (int i = 0; i < std::min(runLength_, 4); ++i) {
        block_.push_back(byte);
    }
    if (runLength_ >= 4) {
        block_.push_back(static_cast<uint8_t>(runLength_ - 4));
    }
    runLengthBytes_ += static_cast<size_t>(std::min(runLength_, 4) + (runLength_ >= 4 ? 1 : 0));
    runLength_ = 0;
    runByte_ = -1;
    if (block_.size() >= blockLimit_) {
        writeBlock();
    }
}

void Bzip2Stream::writeBlock() {
    if (block_.empty()) {
        return;
    }
    const uint32_t crc = ~blockCrc_;
    blockCrc_ = 0xffffffffu;
    streamCrc_ = ((streamCrc_ << 1) | (streamCrc_ >> 31)) ^ crc;
    const int32_t n = static_cast<int32_t>(block_.size());

    // The block's rotations in sorted order are the suffixes of the block
    // written twice that start in its first copy: the first n bytes of
    // each decide, and rotations that tie are equal, so their order does
    // not matter to a reader.
    std::vector<uint16_t> symbols;
    int32_t origin = 0;
    bool inUse[256] = {};
    for (const uint8_t byte : block_) {
        inUse[byte] = true;
    }
    uint8_t toSequence[256] = {};
    int inUseCount = 0;
    for (int i = 0; i < 256; ++i) {
        if (inUse[i]) {
            toSequence[i] = static_cast<uint8_t>(inUseCount++);
        }
    }
    const int alphaSize = inUseCount + 2;
    const uint16_t endOfBlock = static_cast<uint16_t>(inUseCount + 1);
    {
        std::vector<uint8_t> twice(static_cast<size_t>(2 * n));
        std::copy(block_.begin(), block_.end(), twice.begin());
        std::copy(block_.begin(), block_.end(), twice.begin() + n);
        std::vector<int32_t> order(static_cast<size_t>(2 * n));
        divsufsort(twice.data(), order.data(), 2 * n);

        // Move to front, and runs of the front symbol as bijective base-2
        // numbers in RUNA and RUNB.
        uint8_t front[256];
        for (int i = 0; i < inUseCount; ++i) {
            front[i] = static_cast<uint8_t>(i);
        }
        symbols.reserve(static_cast<size_t>(n) / 4 + 16);
        uint32_t zeros = 0;
        const auto flushZeros = [&]() {
            if (zeros == 0) {
                return;
            }
            --zeros;
            while (true) {
                symbols.push_back((zeros & 1) != 0 ? kRunB : kRunA);
                if (zeros < 2) {
                    break;
                }
                zeros = (zeros - 2) / 2;
            }
            zeros = 0;
        };
        int32_t rank = 0;
        for (const int32_t start : order) {
            if (start >= n) {
                continue;
            }
            if (start == 0) {
                origin = rank;
            }
            ++rank;
            const uint8_t value = toSequence[block_[static_cast<size_t>(start == 0 ? n - 1 : start - 1)]];
            if (front[0] == value) {
                ++zeros;
                continue;
            }
            flushZeros();
            int at = 1;
            while (front[at] != value) {
                ++at;
            }
            std::memmove(front + 1, front, static_cast<size_t>(at));
            front[0] = value;
            symbols.push_back(static_cast<uint16_t>(at + 1));
        }
        flushZeros();
        symbols.push_back(endOfBlock);
    }
    block_.clear();

    Tables_T tables;
    for (int groups = kMinGroups; groups <= kMaxGroups; ++groups) {
        Tables_T trial = chooseTables(symbols, alphaSize, groups);
        if (trial.bits < tables.bits) {
            tables = std::move(trial);
        }
    }

    Bits_T& bits = *bits_;
    bits.put(24, 0x314159);
    bits.put(24, 0x265359);
    bits.put(32, crc);
    bits.put(1, 0);  // not randomised
    bits.put(24, static_cast<uint32_t>(origin));
    uint32_t ranges = 0;
    for (int i = 0; i < 16; ++i) {
        for (int j = 0; j < 16; ++j) {
            if (inUse[i * 16 + j]) {
                ranges |= 1u << (15 - i);
            }
        }
    }
    bits.put(16, ranges);
    for (int i = 0; i < 16; ++i) {
        if ((ranges & (1u << (15 - i))) == 0) {
            continue;
        }
        uint32_t map = 0;
        for (int j = 0; j < 16; ++j) {
            map |= inUse[i * 16 + j] ? 1u << (15 - j) : 0;
        }
        bits.put(16, map);
    }
    bits.put(3, static_cast<uint32_t>(tables.groups));
    bits.put(15, static_cast<uint32_t>(tables.selectors.size()));
    uint8_t order[kMaxGroups];
    for (int i = 0; i < tables.groups; ++i) {
        order[i] = static_cast<uint8_t>(i);
    }
    for (const uint8_t selector : tables.selectors) {
        int at = 0;
        while (order[at] != selector) {
            ++at;
        }
        for (int i = 0; i < at; ++i) {
            bits.put(1, 1);
        }
        bits.put(1, 0);
        for (; at > 0; --at) {
            order[at] = order[at - 1];
        }
        order[0] = selector;
    }
    uint32_t codes[kMaxGroups][kMaxAlpha];
    for (int t = 0; t < tables.groups; ++t) {
        const Lengths_T& lengths = tables.lengths[t];
        int current = lengths[0];
        bits.put(5, static_cast<uint32_t>(current));
        for (int i = 0; i < alphaSize; ++i) {
            const int length = lengths[static_cast<size_t>(i)];
            for (; current < length; ++current) {
                bits.put(2, 2);
            }
            for (; current > length; --current) {
                bits.put(2, 3);
            }
            bits.put(1, 0);
        }
        // Canonical codes: by length, then by symbol, as readers rebuild them.
        uint32_t code = 0;
        for (int length = 1; length <= kMaxCodeLength; ++length) {
            for (int i = 0; i < alphaSize; ++i) {
                if (lengths[static_cast<size_t>(i)] == length) {
                    codes[t][i] = code++;
                }
            }
            code <<= 1;
        }
    }
    for (size_t k = 0; k < symbols.size(); ++k) {
        const int t = tables.selectors[k / kGroupSize];
        const uint16_t symbol = symbols[k];
        bits.put(tables.lengths[t][symbol], codes[t][symbol]);
    }
}

void Bzip2Stream::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    flushRun();
    writeBlock();
    bits_->put(24, 0x177245);
    bits_->put(24, 0x385090);
    bits_->put(32, streamCrc_);
    bits_->flush();
}

}  // namespace bsdiff_gen
