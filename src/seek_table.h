// The seek table at the end of a Z3DS file (zstd's seekable format): one
// entry per frame, its compressed and uncompressed sizes, read from the
// end of the file and checked whole before any frame is used.
#ifndef GALLIVOX_SEEK_TABLE_H
#define GALLIVOX_SEEK_TABLE_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"

// One place in the table: frame `frame` starts at `compressed` in the file
// and holds the inner bytes from `uncompressed`.
struct SeekCheckpoint {
    uint64_t frame;
    uint64_t compressed;
    uint64_t uncompressed;
};

// A checked table: where its entries lie, and a checkpoint every
// `checkpoint_step` frames, so that finding a frame reads at most that many
// entries and memory stays bounded however many frames there are.
struct SeekTable {
    uint64_t entries;  // the file offset of the first entry
    uint64_t frame_count;
    size_t entry_size;
    SeekCheckpoint* checkpoints;
    uint64_t checkpoint_count;
    uint64_t checkpoint_step;
};

// One frame: its compressed bytes in the file, and the inner bytes it holds.
struct SeekFrame {
    uint64_t compressed;
    uint64_t compressed_size;
    uint64_t uncompressed;
    uint64_t uncompressed_size;
};

// Reads the table that ends at `data_end` of `file` (a layer that can seek)
// and checks it: the frames' compressed sizes must fill the bytes from
// `data_start` to the table exactly, and their sizes add up to
// `inner_size`. A damage or a failure is recorded on `owner`, the layer the
// table serves. Returns LAYER_OK or that status; call SeekTableFree in
// every case.
LayerStatus SeekTableRead(SeekTable* table, ByteLayer* owner, ByteLayer* file, uint64_t data_start, uint64_t data_end,
                          uint64_t inner_size);

// Finds the frame of a checked table that holds inner byte `offset` (below
// the inner size) into `frame`. Returns LAYER_OK, or the damage or failure
// (recorded on `owner`) of reading its entries again.
LayerStatus SeekTableFind(const SeekTable* table, ByteLayer* owner, ByteLayer* file, uint64_t offset, SeekFrame* frame);

// Releases the table's checkpoints; the table may be freed more than once.
void SeekTableFree(SeekTable* table);

#endif
