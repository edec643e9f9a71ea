// Reading the file inside a Z3DS file (.zcia, .zcci, .zcxi, .z3dsx): a
// header, metadata, independent zstd frames and a seek table at the end.
// The inner file is read as plain bytes, forward, decompressing only what is
// asked for: on a file that can seek, the seek table leads straight to the
// frame that holds a byte; on a pipe, the frames are one zstd stream read
// from the start. Nothing here knows what the inner bytes mean.
#ifndef GALLIVOX_Z3DS_H
#define GALLIVOX_Z3DS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ZSTD_DCtx_s;

// Bytes of a Z3DS header; the first bytes of the file that the caller has
// already read (a pipe's cannot be read again) are at most this many.
const size_t Z3DS_HEADER_SIZE = 0x20;
const size_t Z3DS_PREFIX_SIZE = 0x840;
// How much of the metadata's `smdh` item is kept: a whole SMDH.
const size_t Z3DS_SMDH_ITEM_SIZE = 0x36C0;

enum Z3dsStatus {
    Z3DS_OK = 0,   // every byte asked for was read
    Z3DS_SHORT,    // the inner file ends first
    Z3DS_DAMAGED,  // the file's structure is impossible; `damage` says how
    Z3DS_FAILED,   // a read or an allocation failed; `error` holds the errno value
};

// One place in the seek table: frame `frame` starts at `compressed` in the
// file and holds the inner bytes from `uncompressed`.
struct Z3dsCheckpoint {
    uint64_t frame;
    uint64_t compressed;
    uint64_t uncompressed;
};

// The open file and where its decompression stands. Set up by Z3dsOpen,
// released by Z3dsClose; the fields are the module's own.
struct Z3dsReader {
    FILE* stream;
    int seekable;
    uint8_t prefix[Z3DS_PREFIX_SIZE];  // the file's first bytes, read before
    size_t prefix_size;
    uint64_t outer_position;  // the stream's position in the file
    uint64_t data_start;      // the first byte after the metadata
    uint64_t data_end;        // the end of the frames and the seek table
    uint64_t inner_size;      // the header's uncompressed size
    // The seek table (files that can seek): its entries, and a checkpoint
    // every `checkpoint_step` frames, so that finding a frame reads at most
    // that many entries and memory stays bounded however many there are.
    uint64_t table_entries;  // where the first entry lies
    uint64_t frame_count;
    size_t entry_size;
    Z3dsCheckpoint* checkpoints;
    uint64_t checkpoint_count;
    uint64_t checkpoint_step;
    // Decompression: the inner bytes from `inner_position` come next; the
    // compressed input runs to `input_end` (the frame's end, or for a pipe
    // the data's end).
    ZSTD_DCtx_s* context;
    uint8_t* input;
    size_t input_capacity;
    size_t input_size;
    size_t input_used;
    uint64_t input_next;  // the file offset of the next compressed byte to load
    uint64_t input_end;
    int decoding;             // a frame (seekable) or the stream (pipe) is under way
    uint64_t frame_end;       // seekable: where the current frame's inner bytes end
    uint64_t inner_position;  // the next inner byte the decoder gives
    int frame_open;           // the decoder is inside a zstd frame
    int frame_done;           // the decoder has finished a frame (a pipe goes on to the next)
    uint8_t* scratch;         // where bytes ahead of a read are discarded
    size_t scratch_capacity;
    // The metadata's `smdh` item, when it has one.
    int has_smdh_item;
    uint8_t smdh_item[Z3DS_SMDH_ITEM_SIZE];
    size_t smdh_item_size;  // its first Z3DS_SMDH_ITEM_SIZE bytes at most
    Z3dsStatus broken;      // Z3DS_OK, or the damage or failure that ended reading
    const char* damage;     // Z3DS_DAMAGED: a short clause, such as "a frame fails to decompress"
    int error;              // Z3DS_FAILED: the errno value (never 0)
};

// Opens the Z3DS file on `stream`, whose first `prefix_size` bytes (at most
// Z3DS_PREFIX_SIZE) the caller has read into `prefix` and the stream is past
// them. Checks the header and reads the metadata; on a file that can seek,
// also checks the whole seek table (a pipe's lies out of reach, past the
// frames, and goes unchecked). Returns Z3DS_OK, Z3DS_DAMAGED or
// Z3DS_FAILED; call Z3dsClose in every case.
Z3dsStatus Z3dsOpen(Z3dsReader* reader, FILE* stream, int seekable, const uint8_t* prefix, size_t prefix_size);

// Reads `size` inner bytes at `offset` into `out`, storing the count in
// `got`. Reads must go forward: `offset` at or past the end of the last read
// (on a file that can seek, any offset works, at the cost of restarting a
// frame). Returns Z3DS_OK, Z3DS_SHORT when the inner file ends first, or
// Z3DS_DAMAGED or Z3DS_FAILED, which stay for every later read.
Z3dsStatus Z3dsRead(Z3dsReader* reader, uint64_t offset, uint8_t* out, size_t size, size_t* got);

// Releases what Z3dsOpen allocated; the reader may be closed more than once.
void Z3dsClose(Z3dsReader* reader);

#endif
