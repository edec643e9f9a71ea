#include "seek_table.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "utils.h"

const uint8_t LITTLE = 1;

// The table: a skippable frame (magic, frame size) holding the entries and
// a footer (frame count u32, descriptor u8, magic u32).
const uint32_t TABLE_MAGIC = 0x184D2A5E;
const uint32_t FOOTER_MAGIC = 0x8F92EAB1;
const size_t TABLE_HEADER_SIZE = 8;
const size_t FOOTER_SIZE = 9;
const uint8_t CHECKSUM_FLAG = 0x80;
const uint8_t RESERVED_BITS = 0x7C;  // bits 1 and 0 are unused, and a writer sets bit 0
const size_t ENTRY_SIZE = 8;
const size_t ENTRY_WITH_CHECKSUM_SIZE = 12;
// The most frames a real file has, with room to spare: cards are at most
// 8 GiB, and the smallest frames any writer makes are the emulator's 256 KiB
// (others write 1 MiB, and CIAs 32 MiB): 32,768 frames; twice that is
// allowed. A table that claims more is damage, so checking the largest one
// accepted reads 768 KiB, never the 1.5 GiB a u32 count could claim.
const uint64_t MAX_FRAMES = 0x10000;
const uint64_t MAX_FRAME_SIZE = uint64_t(1) << 30;
// Checkpoints kept of the table: 4096 × 24 bytes at most.
const uint64_t MAX_CHECKPOINTS = 4096;
// Entries read in one block while the table is checked.
const size_t ENTRIES_PER_BLOCK = 1024;

static const char CUT_SHORT[] = "its seek table is cut short";

// An entry's field, little-endian: written out here so that the checks of
// 65,536 entries make no call per field.
static inline uint32_t entry_field(const uint8_t* entry, size_t at)
{
    return uint32_t(entry[at]) | uint32_t(entry[at + 1]) << 8 | uint32_t(entry[at + 2]) << 16 |
           uint32_t(entry[at + 3]) << 24;
}

// Reads `size` bytes of the table at `offset`: a file that ends first is damage.
static LayerStatus read_table(ByteLayer* owner, ByteLayer* file, uint64_t offset, uint8_t* out, size_t size)
{
    size_t got = 0;
    LayerStatus status = LayerRead(file, offset, out, size, &got);
    if (status == LAYER_SHORT) {
        return LayerDamaged(owner, CUT_SHORT);
    }
    return status == LAYER_OK ? LAYER_OK : LayerBrokenBelow(owner, file);
}

// Reads entries `first` to `first + count - 1` (at most ENTRIES_PER_BLOCK)
// into `block`.
static LayerStatus read_entries(const SeekTable* table, ByteLayer* owner, ByteLayer* file, uint64_t first, size_t count,
                                uint8_t* block)
{
    return read_table(owner, file, table->entries + first * table->entry_size, block, count * table->entry_size);
}

// Walks every entry once, a block at a time: the frames' sizes must add up
// to the bytes between `data_start` and the table, and to `inner_size`.
// Keeps a checkpoint every few frames on the way.
static LayerStatus check_frames(SeekTable* table, ByteLayer* owner, ByteLayer* file, uint64_t data_start,
                                uint64_t table_start, uint64_t inner_size)
{
    uint64_t count = table->frame_count;
    uint64_t step = count > MAX_CHECKPOINTS ? (count + MAX_CHECKPOINTS - 1) / MAX_CHECKPOINTS : 1;
    if (count != 0) {
        table->checkpoints = static_cast<SeekCheckpoint*>(malloc((count + step - 1) / step * sizeof(SeekCheckpoint)));
        if (table->checkpoints == nullptr) {
            return LayerFailed(owner, ENOMEM);
        }
    }
    uint8_t block[ENTRIES_PER_BLOCK * ENTRY_WITH_CHECKSUM_SIZE];
    SeekCheckpoint next = {0, data_start, 0};
    SeekCheckpoint* checkpoint = table->checkpoints;
    uint64_t to_checkpoint = 0;  // frames until the next checkpoint
    while (next.frame < count) {
        size_t in_block =
            count - next.frame < ENTRIES_PER_BLOCK ? static_cast<size_t>(count - next.frame) : ENTRIES_PER_BLOCK;
        LayerStatus status = read_entries(table, owner, file, next.frame, in_block, block);
        if (status != LAYER_OK) {
            return status;
        }
        // Sums at most 2^16 × 2^32: no overflow; a frame's size is checked
        // once for the whole block, as the largest of them.
        uint32_t largest = 0;
        const uint8_t* entry = block;
        for (size_t i = 0; i < in_block; i++, entry += table->entry_size) {
            if (to_checkpoint-- == 0) {
                next.frame += i;
                *checkpoint++ = next;
                next.frame -= i;
                to_checkpoint = step - 1;
            }
            uint32_t uncompressed = entry_field(entry, 4);
            largest = uncompressed > largest ? uncompressed : largest;
            next.compressed += entry_field(entry, 0);
            next.uncompressed += uncompressed;
        }
        if (largest > MAX_FRAME_SIZE) {
            return LayerDamaged(owner, "a frame is larger than 1 GiB");
        }
        next.frame += in_block;
    }
    if (next.compressed != table_start) {
        return LayerDamaged(owner, "its frames' compressed sizes do not add up");
    }
    if (next.uncompressed != inner_size) {
        return LayerDamaged(owner, "its frames' sizes do not add up to its uncompressed size");
    }
    table->checkpoint_count = (count + step - 1) / step;
    table->checkpoint_step = step;
    return LAYER_OK;
}

LayerStatus SeekTableRead(SeekTable* table, ByteLayer* owner, ByteLayer* file, uint64_t data_start, uint64_t data_end,
                          uint64_t inner_size)
{
    memset(table, 0, sizeof *table);
    uint64_t compressed = data_end - data_start;
    if (compressed < TABLE_HEADER_SIZE + FOOTER_SIZE) {
        return LayerDamaged(owner, CUT_SHORT);
    }
    uint8_t footer[FOOTER_SIZE];
    LayerStatus status = read_table(owner, file, data_end - FOOTER_SIZE, footer, FOOTER_SIZE);
    if (status != LAYER_OK) {
        return status;
    }
    if (u8_to_u32(footer + 5, LITTLE) != FOOTER_MAGIC) {
        return LayerDamaged(owner, "its seek table does not end in its magic");
    }
    if (footer[4] & RESERVED_BITS) {
        return LayerDamaged(owner, "its seek table sets a reserved bit");
    }
    table->entry_size = footer[4] & CHECKSUM_FLAG ? ENTRY_WITH_CHECKSUM_SIZE : ENTRY_SIZE;
    table->frame_count = u8_to_u32(footer, LITTLE);
    if (table->frame_count > MAX_FRAMES) {
        return LayerDamaged(owner, "its seek table lists more than 0x10000 frames");
    }
    uint64_t frame_size = table->frame_count * table->entry_size + FOOTER_SIZE;
    if (frame_size > compressed - TABLE_HEADER_SIZE) {
        return LayerDamaged(owner, "its seek table does not fit in the file");
    }
    uint64_t table_start = data_end - TABLE_HEADER_SIZE - frame_size;
    uint8_t header[TABLE_HEADER_SIZE];
    status = read_table(owner, file, table_start, header, TABLE_HEADER_SIZE);
    if (status != LAYER_OK) {
        return status;
    }
    if (u8_to_u32(header, LITTLE) != TABLE_MAGIC || u8_to_u32(header + 4, LITTLE) != frame_size) {
        return LayerDamaged(owner, "its seek table's header disagrees with its footer");
    }
    table->entries = table_start + TABLE_HEADER_SIZE;
    return check_frames(table, owner, file, data_start, table_start, inner_size);
}

LayerStatus SeekTableFind(const SeekTable* table, ByteLayer* owner, ByteLayer* file, uint64_t offset, SeekFrame* frame)
{
    uint64_t low = 0;
    uint64_t high = table->checkpoint_count;
    while (high - low > 1) {
        uint64_t middle = low + (high - low) / 2;
        if (table->checkpoints[middle].uncompressed <= offset) {
            low = middle;
        } else {
            high = middle;
        }
    }
    // The frame lies among the step's entries from the checkpoint: one read.
    SeekCheckpoint at = table->checkpoints[low];
    uint64_t left = table->frame_count - at.frame;
    size_t in_block = static_cast<size_t>(left < table->checkpoint_step ? left : table->checkpoint_step);
    uint8_t block[ENTRIES_PER_BLOCK * ENTRY_WITH_CHECKSUM_SIZE];
    static_assert(MAX_FRAMES / MAX_CHECKPOINTS <= ENTRIES_PER_BLOCK, "a step's entries fit in one block");
    LayerStatus status = read_entries(table, owner, file, at.frame, in_block, block);
    if (status != LAYER_OK) {
        return status;
    }
    for (size_t i = 0; i < in_block; i++) {
        const uint8_t* entry = block + i * table->entry_size;
        uint64_t compressed = entry_field(entry, 0);
        uint64_t uncompressed = entry_field(entry, 4);
        if (offset - at.uncompressed < uncompressed) {
            *frame = SeekFrame{at.compressed, compressed, at.uncompressed, uncompressed};
            return LAYER_OK;
        }
        at.compressed += compressed;
        at.uncompressed += uncompressed;
    }
    return LayerDamaged(owner, "its frames' sizes do not add up to its uncompressed size");
}

void SeekTableFree(SeekTable* table)
{
    free(table->checkpoints);
    table->checkpoints = nullptr;
}
