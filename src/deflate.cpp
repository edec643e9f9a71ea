#include "deflate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <lodepng.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utils.h"

namespace {

// LodePNG's default settings, and the limits it derives from them.
const unsigned WINDOW = 2048;
const unsigned MAX_CHAIN = WINDOW / 8;
const unsigned MAX_LAZY_LENGTH = 64;
const unsigned NICE_LENGTH = 128;
const unsigned MIN_LENGTH = 3;
const unsigned MAX_LENGTH = 258;
const size_t HASH_VALUES = 65536;
const int16_t NO_SLOT = -1;
const uint8_t BIG = 0;

// Deflate's length and distance codes (RFC 1951, 3.2.5).
const unsigned LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const unsigned LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const unsigned DISTANCE_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const unsigned DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a block header lists the code length code lengths.
const unsigned CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

const unsigned END_OF_BLOCK = 256;
const unsigned FIRST_LENGTH_SYMBOL = 257;
const unsigned LITERAL_LENGTH_SYMBOLS = 286;
const unsigned DISTANCE_SYMBOLS = 30;
const unsigned CODE_LENGTH_SYMBOLS = 19;

// The hash chains of LodePNG's match finder, kept exactly as it keeps them
// (stale entries included), since which earlier position it tries, and in
// what order, decides the bytes. Slots are positions modulo the window.
// A link is kept as the position it was made to, not only its slot (which
// is all LodePNG keeps): a walk then knows a link has left the window from
// the link alone. Positions are counted in 32 bits, modulo 2^32.
struct Chains {
    uint64_t has_head[HASH_VALUES / 64];  // a bit per hash value: head holds a position
    uint32_t head[HASH_VALUES];           // hash value -> last position with it
    uint32_t value[WINDOW];               // slot -> its hash value
    uint32_t link[WINDOW];                // slot -> earlier position of the same hash
    uint16_t zeros[WINDOW];               // slot -> length of the run of zeros there
    int16_t zeros_head[MAX_LENGTH + 1];   // run length -> last slot with it
    uint16_t zeros_chain[WINDOW];         // slot -> earlier slot of the same run length
};

unsigned SlotOf(uint32_t position)
{
    return position & (WINDOW - 1);
}

void ResetChains(Chains* chains)
{
    std::memset(chains->has_head, 0, sizeof chains->has_head);
    std::memset(chains->zeros_head, 0xff, sizeof chains->zeros_head);
    for (unsigned slot = 0; slot != WINDOW; ++slot) {
        chains->value[slot] = UINT32_MAX;
        chains->link[slot] = slot - WINDOW;  // a slot linked to itself: no chain
        chains->zeros[slot] = 0;
        chains->zeros_chain[slot] = static_cast<uint16_t>(slot);
    }
}

// LodePNG's hash of the three bytes at `pos`; fewer near the block's `end`.
unsigned HashAt(const uint8_t* data, size_t end, size_t pos)
{
    if (pos + 2 < end) {
        return (data[pos] ^ (data[pos + 1] << 4) ^ (data[pos + 2] << 8)) & 0xffffu;
    }
    unsigned hash = 0;
    for (size_t i = 0; pos + i < end; ++i) {
        hash ^= static_cast<unsigned>(data[pos + i]) << (i * 8);
    }
    return hash & 0xffffu;
}

// The hashes of every position of data[start, end) into `hashes`, in one
// loop the compiler vectorises (each is below 2^16: no mask needed), where
// the walk would hash one position at a time.
void HashBlock(const uint8_t* data, size_t start, size_t end, uint16_t* hashes)
{
    size_t whole = end - start >= 2 ? end - start - 2 : 0;  // positions with three bytes ahead
    const uint8_t* at = data + start;
    for (size_t i = 0; i != whole; ++i) {
        hashes[i] = static_cast<uint16_t>(at[i] ^ (at[i + 1] << 4) ^ (at[i + 2] << 8));
    }
    for (size_t pos = start + whole; pos < end; ++pos) {
        hashes[pos - start] = static_cast<uint16_t>(HashAt(data, end, pos));
    }
}

// Number of bytes, at most `limit`, from which `a` and `b` agree.
unsigned CommonLength(const uint8_t* a, const uint8_t* b, unsigned limit)
{
    unsigned length = 0;
    while (length + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        if (x != y) {
            // The first byte in memory that differs: the lowest on a
            // little-endian machine, the highest on a big-endian one.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return length + static_cast<unsigned>(__builtin_clzll(x ^ y)) / 8;
#else
            return length + static_cast<unsigned>(__builtin_ctzll(x ^ y)) / 8;
#endif
        }
        length += 8;
    }
    while (length < limit && a[length] == b[length]) {
        ++length;
    }
    return length;
}

const uint8_t ZEROS[MAX_LENGTH] = {};

unsigned ZerosAt(const uint8_t* data, size_t end, size_t pos)
{
    return CommonLength(data + pos, ZEROS, static_cast<unsigned>(std::min<size_t>(MAX_LENGTH, end - pos)));
}

// The run of zeros at `pos` (at most a match long, within the block), as
// LodePNG tracks it where the hash is 0, from `previous`, the run one byte
// before; 0 where the hash is not 0.
unsigned ZerosFollowing(const uint8_t* data, size_t end, size_t pos, unsigned hash, unsigned previous)
{
    if (hash != 0) {
        return 0;
    }
    if (previous == 0) {
        return ZerosAt(data, end, pos);
    }
    if (pos + previous > end || data[pos + previous - 1] != 0) {
        return previous - 1;
    }
    return previous;
}

void ForgetHead(Chains* chains, unsigned hash)
{
    chains->has_head[hash / 64] &= ~(uint64_t{1} << (hash % 64));
}

// Records the run of zeros at `slot` and chains it to the last of its length.
void InsertRun(Chains* chains, unsigned slot, unsigned zeros)
{
    chains->zeros[slot] = static_cast<uint16_t>(zeros);
    if (chains->zeros_head[zeros] != NO_SLOT) {
        chains->zeros_chain[slot] = static_cast<uint16_t>(chains->zeros_head[zeros]);
    }
    chains->zeros_head[zeros] = static_cast<int16_t>(slot);
}

void Insert(Chains* chains, uint32_t position, unsigned hash, unsigned zeros)
{
    unsigned slot = SlotOf(position);
    chains->value[slot] = hash;
    uint64_t bit = uint64_t{1} << (hash % 64);
    if (chains->has_head[hash / 64] & bit) {
        chains->link[slot] = chains->head[hash];
    }
    chains->has_head[hash / 64] |= bit;
    chains->head[hash] = position;
    InsertRun(chains, slot, zeros);
}

struct Match {
    unsigned length;
    unsigned distance;
};

// Whether a match of `length` is as long as any can be: then no later
// candidate can replace it, and the walk may stop.
bool Unbeatable(unsigned length, unsigned limit)
{
    return length >= NICE_LENGTH || length == limit;
}

// Where the match at `here` with the earlier bytes `distance` back is longer
// than `best`, makes it the best; says whether it is as long as any can be.
// Both runs of zeros, `skip` bytes long, are known to be there. Inlined in
// each walk, as it runs for every candidate.
__attribute__((always_inline)) inline bool TryCandidate(const uint8_t* here, unsigned limit, unsigned distance,
                                                        unsigned skip, Match* best)
{
    const uint8_t* there = here - distance;
    // Only a match longer than the best counts: where the byte that would
    // make it longer differs, it cannot be.
    if (here[best->length] != there[best->length]) {
        return false;
    }
    unsigned length = skip + CommonLength(here + skip, there + skip, limit - skip);
    if (length <= best->length) {
        return false;
    }
    *best = {length, distance};
    return Unbeatable(length, limit);
}

// The longest match LodePNG's chain walk finds at `pos`, outside a run of
// zeros (the first found of the longest); its slot and hash are already
// inserted. LodePNG tries the position now in the slot its chain links to,
// whatever that position's hash, then follows the links back while each
// leads to a slot still holding the position of the same hash it was made
// to. That is so exactly while the position linked to is within the window:
// a slot leaves the chain only when a later position takes it, and the
// positions of one hash come in order.
Match LongestMatchElsewhere(const Chains& chains, const uint8_t* data, size_t end, size_t pos)
{
    const uint8_t* here = data + pos;
    const uint32_t position = static_cast<uint32_t>(pos);
    const unsigned slot = SlotOf(position);
    const unsigned limit = static_cast<unsigned>(std::min<size_t>(end - pos, MAX_LENGTH));
    uint32_t linked = chains.link[slot];
    unsigned distance = (slot - SlotOf(linked)) & (WINDOW - 1);
    if (distance == 0) {
        return {0, 0};  // linked to itself: no candidate
    }
    Match best = {0, 0};
    if (TryCandidate(here, limit, distance, 0, &best) || position - linked != distance) {
        return best;  // unbeatable, or the slot holds another position than the one linked to
    }
    for (unsigned tries = MAX_CHAIN - 1; tries != 0; --tries) {
        linked = chains.link[SlotOf(linked)];
        distance = position - linked;
        if (distance >= WINDOW || TryCandidate(here, limit, distance, 0, &best)) {
            break;
        }
    }
    return best;
}

// The largest count, at most `most`, of positions from `at` back for which
// `holds(count, run)` holds of the run of zeros recorded at the last of them:
// a test that, true of a count, is true of every smaller one.
template <typename Holds>
unsigned LongestStretch(const Chains& chains, size_t at, unsigned most, Holds holds)
{
    auto run_at = [&](unsigned count) { return chains.zeros[SlotOf(static_cast<uint32_t>(at - (count - 1)))]; };
    if (holds(most, run_at(most))) {
        return most;  // the usual case: the whole stretch
    }
    unsigned low = 1, high = most;  // holds(low), not holds(high)
    while (high - low > 1) {
        unsigned middle = low + (high - low) / 2;
        (holds(middle, run_at(middle)) ? low : high) = middle;
    }
    return low;
}

// In a run of `zeros` zeros (the run a match from `pos` starts with, shorter
// than the longest it may be), LodePNG's walk goes back through the earlier
// runs of zeros a position at a time, each position the next candidate (each
// hashes as zeros do), and compares each. What most of them give is known
// without comparing: a candidate whose run of zeros is shorter matches
// exactly its run, and one whose run is longer exactly `zeros`. The run
// recorded at a position is at most its run (less where a block or the
// longest match cut it short), so a position recorded with a run that reaches
// the candidate's is within one run with it, and with every position between.
// Returns how many candidates, from the one in `candidate`, at `distance`,
// back (at most `most`), give what is known, and makes `best` what it is
// after them; 0 where the next must be compared. The best match is at most
// `zeros` long before and after.
unsigned KnownCandidates(const Chains& chains, const uint8_t* data, size_t pos, unsigned zeros, unsigned candidate,
                         unsigned distance, unsigned most, Match* best)
{
    const size_t at = pos - distance;
    const unsigned run = chains.zeros[candidate];
    if (run < 3) {
        return 0;  // not within a run of zeros: its chain is another
    }
    if (run < zeros) {
        // Its run must end where recorded, and no candidate here may make
        // the best as long as any.
        if (data[at + run] == 0 || run >= NICE_LENGTH) {
            return 0;
        }
        most = std::min({most, zeros - run, NICE_LENGTH - run});
        unsigned count = LongestStretch(
            chains, at, most, [run](unsigned length, unsigned recorded) { return recorded == run + length - 1; });
        unsigned longest = run + count - 1;
        if (longest > best->length) {
            *best = {longest, distance + count - 1};
        }
        return count;
    }
    if (run > zeros) {
        if (best->length < zeros && zeros >= NICE_LENGTH) {
            return 0;  // the first makes the best as long as any: the walk ends there
        }
        unsigned count =
            LongestStretch(chains, at, most, [](unsigned length, unsigned recorded) { return recorded >= length - 1; });
        if (best->length < zeros) {
            *best = {zeros, distance};
        }
        return count;
    }
    return 0;
}

// The same in a run of zeros (3 or more): both runs are skipped, and once
// the best match is longer than the run, the walk follows the chain of
// equal runs instead. Here LodePNG's slots and checks are followed as they
// are, but for the candidates whose matches are known.
Match LongestMatchInZeros(const Chains& chains, const uint8_t* data, size_t end, size_t pos, unsigned hash,
                          unsigned zeros)
{
    const uint8_t* here = data + pos;
    const unsigned slot = SlotOf(static_cast<uint32_t>(pos));
    const unsigned limit = static_cast<unsigned>(std::min<size_t>(end - pos, MAX_LENGTH));
    Match best = {0, 0};
    unsigned candidate = SlotOf(chains.link[slot]);
    if (candidate == slot) {
        return best;  // the hash is new: no candidate
    }
    // Every candidate from here on is at a distance over 0, or the walk
    // stops as it goes round the window.
    unsigned previous_distance = 0;
    for (unsigned tries = MAX_CHAIN; tries != 0; --tries) {
        unsigned distance = (slot - candidate) & (WINDOW - 1);
        if (distance < previous_distance) {
            break;  // went round the whole window
        }
        // `zeros` under `limit` is the whole run: the byte after it is not 0.
        unsigned known = best.length <= zeros && zeros < limit
                             ? KnownCandidates(chains, data, pos, zeros, candidate, distance,
                                               std::min(tries, WINDOW - distance), &best)
                             : 0;
        if (known == 0) {
            unsigned skip = std::min<unsigned>(chains.zeros[candidate], zeros);
            if (TryCandidate(here, limit, distance, skip, &best)) {
                break;
            }
        } else {
            // Each of them one position further back: the walk goes on from the last.
            candidate = (candidate - (known - 1)) & (WINDOW - 1);
            distance += known - 1;
            tries -= known - 1;
        }
        previous_distance = distance;
        unsigned next = SlotOf(chains.link[candidate]);
        if (next == candidate) {
            break;
        }
        if (best.length > zeros) {
            candidate = chains.zeros_chain[candidate];
            if (chains.zeros[candidate] != zeros) {
                break;
            }
        } else {
            candidate = next;
            if (chains.value[candidate] != hash) {
                break;  // the chain ran into a slot reused for another hash
            }
        }
    }
    return best;
}

Match LongestMatch(const Chains& chains, const uint8_t* data, size_t end, size_t pos, unsigned hash, unsigned zeros)
{
    return zeros >= 3 ? LongestMatchInZeros(chains, data, end, pos, hash, zeros)
                      : LongestMatchElsewhere(chains, data, end, pos);
}

// One LZ77 step's output: a literal byte (distance 0) or a match.
struct Symbol {
    uint16_t literal_or_length;
    uint16_t distance;
};

struct SymbolRange {
    const Symbol* first;
    const Symbol* last;
    const Symbol* begin() const { return first; }
    const Symbol* end() const { return last; }
};

// Inserts the positions after `pos`, up to `last`, that go on the run of
// zeros `pos` starts (a run of `*zeros`, inserted), as Insert would: each
// hashes to 0 and links to the one before it. Returns the last inserted;
// `*zeros` becomes its run. `hashes` are those of the block from `start`.
size_t InsertWithinRun(Chains* chains, const uint8_t* data, size_t start, size_t end, const uint16_t* hashes,
                       size_t pos, size_t last, unsigned* zeros)
{
    unsigned run = *zeros;
    while (pos != last && hashes[pos + 1 - start] == 0 && run != 0) {
        ++pos;
        // A run shorter than a match can be is exact: one less at each step.
        run = run < MAX_LENGTH ? run - 1 : ZerosFollowing(data, end, pos, 0, run);
        unsigned slot = SlotOf(static_cast<uint32_t>(pos));
        chains->value[slot] = 0;
        chains->link[slot] = static_cast<uint32_t>(pos - 1);
        InsertRun(chains, slot, run);
    }
    chains->head[0] = static_cast<uint32_t>(pos);
    *zeros = run;
    return pos;
}

// LodePNG's LZ77 pass over data[start, end), with its lazy matching,
// writing to `symbols` (room for one a byte); `chains` carries over from
// the previous block, `hashes` has room for a hash a byte. Returns the
// number of symbols.
size_t FindSymbols(Chains* chains, const uint8_t* data, size_t start, size_t end, uint16_t* hashes, Symbol* symbols)
{
    HashBlock(data, start, end, hashes);
    Symbol* next_symbol = symbols;
    unsigned zeros = 0;
    bool lazy = false;
    Match deferred = {0, 0};
    for (size_t pos = start; pos < end; ++pos) {
        unsigned hash = hashes[pos - start];
        zeros = ZerosFollowing(data, end, pos, hash, zeros);
        Insert(chains, static_cast<uint32_t>(pos), hash, zeros);
        Match match = LongestMatch(*chains, data, end, pos, hash, zeros);
        if (!lazy && match.length >= MIN_LENGTH && match.length <= MAX_LAZY_LENGTH) {
            lazy = true;  // see whether the next byte starts a longer one
            deferred = match;
            continue;
        }
        if (lazy) {
            lazy = false;
            if (match.length > deferred.length + 1) {
                *next_symbol++ = {data[pos - 1], 0};
            } else {
                // The deferred match wins: this position is inserted again
                // below, and must not chain to itself.
                match = deferred;
                ForgetHead(chains, hash);
                chains->zeros_head[zeros] = NO_SLOT;
                --pos;
            }
        }
        if (match.length < MIN_LENGTH || (match.length == MIN_LENGTH && match.distance > 4096)) {
            *next_symbol++ = {data[pos], 0};
            continue;
        }
        *next_symbol++ = {static_cast<uint16_t>(match.length), static_cast<uint16_t>(match.distance)};
        const size_t last = pos + match.length - 1;
        while (pos != last) {
            ++pos;
            hash = hashes[pos - start];
            zeros = ZerosFollowing(data, end, pos, hash, zeros);
            Insert(chains, static_cast<uint32_t>(pos), hash, zeros);
            if (zeros != 0) {
                pos = InsertWithinRun(chains, data, start, end, hashes, pos, last, &zeros);
            }
        }
    }
    return static_cast<size_t>(next_symbol - symbols);
}

// The highest bit set in `value` (over 0).
unsigned TopBit(unsigned value)
{
    return 31 - static_cast<unsigned>(__builtin_clz(value));
}

// Past the first codes, each with a base of its own, deflate's codes come in
// fours (lengths) or twos (distances) per power of two, the bits after the
// highest telling which.
unsigned LengthCode(unsigned length)
{
    if (length == MAX_LENGTH) {
        return 28;
    }
    unsigned above_least = length - MIN_LENGTH;
    if (above_least < 8) {
        return above_least;
    }
    unsigned top = TopBit(above_least);
    return 4 * (top - 1) + ((above_least >> (top - 2)) & 3);
}

unsigned DistanceCode(unsigned distance)
{
    unsigned above_least = distance - 1;
    if (above_least < 4) {
        return above_least;
    }
    unsigned top = TopBit(above_least);
    return 2 * top + ((above_least >> (top - 1)) & 1);
}

// Bits go out least significant first, as deflate packs them, into `out`
// from `at`: `out` is made longer a kilobyte at a time, and cut to what was
// written once the stream is whole, where adding four bytes at a time would
// cost more than the bits.
struct BitWriter {
    std::vector<uint8_t>* out;
    size_t at;
    uint64_t bits;
    unsigned count;
};

void EmitWord(BitWriter* writer)
{
    if (writer->out->size() < writer->at + 4) {
        writer->out->resize(writer->at + 1024);
    }
    uint8_t* bytes = writer->out->data() + writer->at;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t word = static_cast<uint32_t>(writer->bits);
    std::memcpy(bytes, &word, 4);  // the lowest byte first, as on this machine
#else
    for (unsigned i = 0; i != 4; ++i) {
        bytes[i] = static_cast<uint8_t>(writer->bits >> (8 * i));
    }
#endif
    writer->at += 4;
    writer->bits >>= 32;
    writer->count -= 32;
}

inline void PutBits(BitWriter* writer, uint32_t value, unsigned count)
{
    writer->bits |= static_cast<uint64_t>(value) << writer->count;
    writer->count += count;
    if (writer->count >= 32) {
        EmitWord(writer);
    }
}

// Writes the bits left, and cuts `out` to the stream's end.
void FlushBits(BitWriter* writer)
{
    writer->out->resize(writer->at);
    while (writer->count > 0) {
        writer->out->push_back(static_cast<uint8_t>(writer->bits));
        writer->bits >>= 8;
        writer->count = writer->count > 8 ? writer->count - 8 : 0;
    }
}

// A Huffman code: each symbol's length, and its code bit-reversed so that it
// can be put least significant bit first.
struct Code {
    unsigned count;
    unsigned lengths[LITERAL_LENGTH_SYMBOLS];
    uint32_t reversed[LITERAL_LENGTH_SYMBOLS];
};

// LodePNG's length-limited code lengths come from the boundary package-merge
// of Katajainen, Moffat and Turpin: the package-merge of Larmore and
// Hirschberg, each list made only as far as the next needs it. Made here
// whole, list by list, they are the same lists, and cheaper: each list
// merges the used symbols (stably sorted by frequency, the leaves) with the
// packages of each two items of the list before it, a leaf first only where
// it weighs less than the package, and once a list is the list before it,
// every list after it is the same too.
struct MergeList {
    size_t size;
    unsigned* weight;  // each item's
    unsigned* leaves;  // of the items up to and with each
};

// The list after `below` (room for twice the leaves), from the `weights` of
// the `used` leaves.
void MergeWithPackages(const unsigned* weights, size_t used, const MergeList& below, MergeList* list)
{
    const size_t pairs = below.size / 2;
    size_t leaf = 0, pair = 0, size = 0;
    while (leaf != used && pair != pairs) {
        unsigned package = below.weight[2 * pair] + below.weight[2 * pair + 1];
        bool leaf_first = weights[leaf] < package;
        list->weight[size] = leaf_first ? weights[leaf] : package;
        leaf += leaf_first;
        pair += !leaf_first;
        list->leaves[size++] = static_cast<unsigned>(leaf);
    }
    for (; leaf != used; ++leaf, ++size) {
        list->weight[size] = weights[leaf];
        list->leaves[size] = static_cast<unsigned>(leaf + 1);
    }
    for (; pair != pairs; ++pair, ++size) {
        list->weight[size] = below.weight[2 * pair] + below.weight[2 * pair + 1];
        list->leaves[size] = static_cast<unsigned>(used);
    }
    list->size = size;
}

bool SameList(const MergeList& a, const MergeList& b)
{
    return a.size == b.size && std::equal(a.weight, a.weight + a.size, b.weight) &&
           std::equal(a.leaves, a.leaves + a.size, b.leaves);
}

}  // namespace

void CodeLengthsLikeLodePng(unsigned* lengths, const unsigned* frequencies, unsigned count, unsigned max_bits)
{
    std::vector<std::pair<unsigned, unsigned>> leaves;  // weight, symbol
    for (unsigned symbol = 0; symbol != count; ++symbol) {
        if (frequencies[symbol] > 0) {
            leaves.push_back({frequencies[symbol], symbol});
        }
    }
    std::fill(lengths, lengths + count, 0u);
    const size_t used = leaves.size();
    if (used < 2) {
        // Two codes of one bit at least: some decoders want two.
        unsigned only = used == 1 ? leaves[0].second : 0;
        lengths[only] = 1;
        lengths[only == 0 ? 1 : 0] = 1;
        return;
    }
    std::stable_sort(leaves.begin(), leaves.end(),
                     [](const std::pair<unsigned, unsigned>& a, const std::pair<unsigned, unsigned>& b) {
                         return a.first < b.first;
                     });
    std::vector<unsigned> weights(used);
    for (size_t leaf = 0; leaf != used; ++leaf) {
        weights[leaf] = leaves[leaf].first;
    }
    // The first list is the leaves alone; lists[k] the (k + 1)th. Each has
    // room for twice the leaves: its leaves and half the list before. Only
    // the last two lists' weights are kept (those of older lists are stale).
    const size_t room = 2 * used;
    std::unique_ptr<unsigned[]> weight_room(new unsigned[2 * room]);
    std::unique_ptr<unsigned[]> leaves_room(new unsigned[room * max_bits]);
    std::vector<MergeList> lists(1, MergeList{used, weights.data(), leaves_room.get()});
    for (size_t leaf = 0; leaf != used; ++leaf) {
        lists[0].leaves[leaf] = static_cast<unsigned>(leaf + 1);
    }
    while (lists.size() != max_bits) {
        size_t index = lists.size();
        MergeList next = {0, weight_room.get() + index % 2 * room, leaves_room.get() + index * room};
        MergeWithPackages(weights.data(), used, lists.back(), &next);
        if (SameList(next, lists.back())) {
            break;  // and so every list after it
        }
        lists.push_back(next);
    }
    // The last list's first 2·used − 2 items are the code: a leaf among a
    // list's items taken is a bit more for its symbol, and a package taken
    // takes two items of the list before.
    std::vector<unsigned> longer(used + 1);  // per leaf count: the lists that take that many
    size_t taken = 2 * used - 2;
    for (size_t list = max_bits; list != 0 && taken != 0; --list) {
        const MergeList& items = lists[std::min(list, lists.size()) - 1];
        taken = std::min(taken, items.size);
        unsigned taken_leaves = items.leaves[taken - 1];
        ++longer[taken_leaves];
        taken = 2 * (taken - taken_leaves);
    }
    unsigned bits = 0;
    for (size_t leaf = used; leaf != 0; --leaf) {
        bits += longer[leaf];
        lengths[leaves[leaf - 1].second] = bits;
    }
}

namespace {

// The code LodePNG builds for `frequencies` of `count` symbols, trimmed of
// unused symbols at the end down to `min_count`.
void MakeCode(Code* code, const unsigned* frequencies, unsigned min_count, unsigned count, unsigned max_bits)
{
    while (count > min_count && frequencies[count - 1] == 0) {
        --count;
    }
    code->count = count;
    CodeLengthsLikeLodePng(code->lengths, frequencies, count, max_bits);
    unsigned per_length[16] = {};
    for (unsigned symbol = 0; symbol != count; ++symbol) {
        ++per_length[code->lengths[symbol]];
    }
    per_length[0] = 0;
    unsigned next[16] = {};
    for (unsigned bits = 1; bits != 16; ++bits) {
        next[bits] = (next[bits - 1] + per_length[bits - 1]) << 1;
    }
    for (unsigned symbol = 0; symbol != count; ++symbol) {
        unsigned length = code->lengths[symbol];
        uint32_t code_bits = length != 0 ? next[length]++ : 0;
        // Its 16 bits reversed by swapping halves of ever smaller groups,
        // then moved down to its length.
        code_bits = ((code_bits & 0x5555u) << 1) | ((code_bits >> 1) & 0x5555u);
        code_bits = ((code_bits & 0x3333u) << 2) | ((code_bits >> 2) & 0x3333u);
        code_bits = ((code_bits & 0x0f0fu) << 4) | ((code_bits >> 4) & 0x0f0fu);
        code_bits = ((code_bits & 0x00ffu) << 8) | ((code_bits >> 8) & 0x00ffu);
        code->reversed[symbol] = code_bits >> (16 - length);
    }
}

void PutSymbol(BitWriter* writer, const Code& code, unsigned symbol)
{
    PutBits(writer, code.reversed[symbol], code.lengths[symbol]);
}

// The code lengths of both codes, run-length coded with symbols 16, 17 and
// 18 exactly as LodePNG does it; a repeat symbol is followed by its count.
std::vector<unsigned> RunLengths(const Code& literals, const Code& distances)
{
    std::vector<unsigned> lengths(literals.lengths, literals.lengths + literals.count);
    lengths.insert(lengths.end(), distances.lengths, distances.lengths + distances.count);
    std::vector<unsigned> coded;
    const size_t total = lengths.size();
    for (size_t i = 0; i != total; ++i) {
        unsigned repeats = 0;  // after the first
        while (i + repeats + 1 < total && lengths[i + repeats + 1] == lengths[i]) {
            ++repeats;
        }
        if (lengths[i] == 0 && repeats >= 2) {
            unsigned run = std::min(repeats + 1, 138u);
            if (run <= 10) {
                coded.insert(coded.end(), {17, run - 3});
            } else {
                coded.insert(coded.end(), {18, run - 11});
            }
            i += run - 1;
        } else if (repeats >= 3) {
            coded.push_back(lengths[i]);
            for (unsigned k = 0; k != repeats / 6; ++k) {
                coded.insert(coded.end(), {16, 3});
            }
            unsigned rest = repeats % 6;
            if (rest >= 3) {
                coded.insert(coded.end(), {16, rest - 3});
            } else {
                repeats -= rest;
            }
            i += repeats;
        } else {
            coded.push_back(lengths[i]);
        }
    }
    return coded;
}

// Writes the header of a dynamic block: its codes, described by `coded`.
void PutBlockHeader(BitWriter* writer, bool final, const Code& literals, const Code& distances,
                    const std::vector<unsigned>& coded)
{
    unsigned frequencies[CODE_LENGTH_SYMBOLS] = {};
    for (size_t i = 0; i < coded.size(); ++i) {
        ++frequencies[coded[i]];
        i += coded[i] >= 16 ? 1 : 0;
    }
    Code lengths_code;
    MakeCode(&lengths_code, frequencies, CODE_LENGTH_SYMBOLS, CODE_LENGTH_SYMBOLS, 7);
    unsigned listed = CODE_LENGTH_SYMBOLS;
    while (listed > 4 && lengths_code.lengths[CODE_LENGTH_ORDER[listed - 1]] == 0) {
        --listed;
    }
    PutBits(writer, final ? 1 : 0, 1);
    PutBits(writer, 2, 2);
    PutBits(writer, literals.count - FIRST_LENGTH_SYMBOL, 5);
    PutBits(writer, distances.count - 1, 5);
    PutBits(writer, listed - 4, 4);
    for (unsigned i = 0; i != listed; ++i) {
        PutBits(writer, lengths_code.lengths[CODE_LENGTH_ORDER[i]], 3);
    }
    const unsigned EXTRA_BITS[3] = {2, 3, 7};
    for (size_t i = 0; i < coded.size(); ++i) {
        PutSymbol(writer, lengths_code, coded[i]);
        if (coded[i] >= 16) {
            PutBits(writer, coded[i + 1], EXTRA_BITS[coded[i] - 16]);
            ++i;
        }
    }
}

void PutBlock(BitWriter* writer, bool final, const Symbol* symbols, size_t count)
{
    unsigned literal_frequencies[LITERAL_LENGTH_SYMBOLS] = {};
    unsigned distance_frequencies[DISTANCE_SYMBOLS] = {};
    for (const Symbol& symbol : SymbolRange{symbols, symbols + count}) {
        if (symbol.distance == 0) {
            ++literal_frequencies[symbol.literal_or_length];
        } else {
            ++literal_frequencies[FIRST_LENGTH_SYMBOL + LengthCode(symbol.literal_or_length)];
            ++distance_frequencies[DistanceCode(symbol.distance)];
        }
    }
    literal_frequencies[END_OF_BLOCK] = 1;
    Code literals, distances;
    MakeCode(&literals, literal_frequencies, FIRST_LENGTH_SYMBOL, LITERAL_LENGTH_SYMBOLS, 15);
    // At least two distance codes: some decoders want them.
    MakeCode(&distances, distance_frequencies, 2, DISTANCE_SYMBOLS, 15);
    PutBlockHeader(writer, final, literals, distances, RunLengths(literals, distances));
    for (const Symbol& symbol : SymbolRange{symbols, symbols + count}) {
        if (symbol.distance == 0) {
            PutSymbol(writer, literals, symbol.literal_or_length);
            continue;
        }
        unsigned length_code = LengthCode(symbol.literal_or_length);
        unsigned distance_code = DistanceCode(symbol.distance);
        PutSymbol(writer, literals, FIRST_LENGTH_SYMBOL + length_code);
        PutBits(writer, symbol.literal_or_length - LENGTH_BASE[length_code], LENGTH_EXTRA[length_code]);
        PutSymbol(writer, distances, distance_code);
        PutBits(writer, symbol.distance - DISTANCE_BASE[distance_code], DISTANCE_EXTRA[distance_code]);
    }
    PutSymbol(writer, literals, END_OF_BLOCK);
}

#if defined(__SSE2__)
uint32_t SumOfLanes(__m128i lanes)
{
    uint32_t each[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(each), lanes);
    return each[0] + each[1] + each[2] + each[3];
}

// The Adler-32 sums `low` and `high` over the first `count` 16-byte chunks
// of `data` (within a stretch that cannot overflow), in vectors: each
// chunk's bytes summed, and weighted by the number of sums that still
// include them; `high` gains 16 times `low` at each chunk's start, which is
// 16 times the sums of the chunks before it.
void AdlerChunks(const uint8_t* data, size_t count, uint32_t* low, uint32_t* high)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i first_weights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i last_weights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i sums = zero, sums_before = zero, weighted = zero;
    for (size_t chunk = 0; chunk != count; ++chunk) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * chunk));
        sums_before = _mm_add_epi32(sums_before, sums);
        sums = _mm_add_epi32(sums, _mm_sad_epu8(bytes, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(bytes, zero), first_weights));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(bytes, zero), last_weights));
    }
    *high += static_cast<uint32_t>(16 * count) * *low + 16 * SumOfLanes(sums_before) + SumOfLanes(weighted);
    *low += SumOfLanes(sums);
}
#endif

uint32_t Adler32(const uint8_t* data, size_t size)
{
    uint32_t low = 1, high = 0;
    while (size > 0) {
        size_t amount = std::min<size_t>(size, 5552);  // no overflow before the modulo
        size_t i = 0;
#if defined(__SSE2__)
        AdlerChunks(data, amount / 16, &low, &high);
        i = amount / 16 * 16;
#else
        // Sixteen bytes at a time: `high` gains 16 times `low` and each
        // byte weighted by the number of sums that still include it.
        for (; i + 16 <= amount; i += 16) {
            uint32_t bytes = 0, weighted = 0;
            for (unsigned k = 0; k != 16; ++k) {
                bytes += data[i + k];
                weighted += (16 - k) * data[i + k];
            }
            high += 16 * low + weighted;
            low += bytes;
        }
#endif
        for (; i != amount; ++i) {
            low += data[i];
            high += low;
        }
        low %= 65521;
        high %= 65521;
        data += amount;
        size -= amount;
    }
    return (high << 16) | low;
}

// Appends the Adler-32 of the data, most significant byte first.
void PutAdler32(const uint8_t* data, size_t size, std::vector<uint8_t>* out)
{
    uint8_t adler[4];
    u32_to_u8(adler, Adler32(data, size), BIG);
    out->insert(out->end(), adler, adler + 4);
}

void Deflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out)
{
    // LodePNG's block size: an eighth of the data, within 64 KiB and 256 KiB.
    size_t block_size = std::min<size_t>(std::max<size_t>(size / 8 + 8, 65536), 262144);
    size_t blocks = std::max<size_t>((size + block_size - 1) / block_size, 1);
    std::unique_ptr<Chains> chains(new Chains);
    ResetChains(chains.get());
    BitWriter writer = {out, out->size(), 0, 0};
    std::unique_ptr<Symbol[]> symbols(new Symbol[std::min(size, block_size)]);  // uninitialised: written first
    std::unique_ptr<uint16_t[]> hashes(new uint16_t[std::min(size, block_size)]);
    for (size_t block = 0; block != blocks; ++block) {
        size_t start = block * block_size;
        size_t end = std::min(start + block_size, size);
        size_t count = FindSymbols(chains.get(), data, start, end, hashes.get(), symbols.get());
        PutBlock(&writer, block + 1 == blocks, symbols.get(), count);
    }
    FlushBits(&writer);
}

// The most bytes our match finder takes: it counts positions in 32 bits,
// with a window's room to spare.
const size_t MOST_POSITIONS = 0xfffff000u;

// LodePNG's own zlib stream, appended to `out`; LodePNG's error code.
unsigned LodePngZlibCompress(const uint8_t* data, size_t size, std::vector<uint8_t>* out)
{
    unsigned char* stream = nullptr;
    size_t stream_size = 0;
    unsigned error = lodepng_zlib_compress(&stream, &stream_size, data, size, &lodepng_default_compress_settings);
    std::unique_ptr<unsigned char, void (*)(void*)> held(stream, free);
    try {
        if (error == 0) {
            out->insert(out->end(), stream, stream + stream_size);
        }
        return error;
    } catch (const std::bad_alloc&) {
        return 83;
    }
}

}  // namespace

unsigned ZlibCompressLikeLodePng(const uint8_t* data, size_t size, std::vector<uint8_t>* out)
{
    if (size > MOST_POSITIONS) {
        return LodePngZlibCompress(data, size, out);
    }
    try {
        out->insert(out->end(), {0x78, 0x01});  // deflate, 32 KiB window, no dictionary
        Deflate(data, size, out);
        PutAdler32(data, size, out);
        return 0;
    } catch (const std::bad_alloc&) {
        return 83;
    }
}
