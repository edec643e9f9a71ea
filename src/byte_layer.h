// Layers of bytes: what the walk reads, whatever lies beneath it. A layer
// gives the bytes at an offset of its file; each one above the input (a
// decompressor, later an archive member or a cipher) reads the layer below
// it the same way, so a stack of them needs no special case anywhere.
#ifndef GALLIVOX_BYTE_LAYER_H
#define GALLIVOX_BYTE_LAYER_H

#include <cstddef>
#include <cstdint>

enum LayerStatus {
    LAYER_OK = 0,   // every byte asked for was read
    LAYER_SHORT,    // the layer's bytes end first (or lie beyond any place the system can reach)
    LAYER_DAMAGED,  // the layer's own structure is impossible; `damage` says how
    LAYER_FAILED,   // a read or an allocation failed; `error` holds the errno value
};

// One layer: its functions, its state, and the failure that ended it. A
// layer that cannot seek reads forward only: no read may begin behind the
// end of its furthest read. A damage or a failure stays: every later read
// returns it again.
struct ByteLayer {
    // Reads `size` bytes at `offset` into `out`, the count read in `*got`
    // (set by the caller to 0 first); returns a LayerStatus. Called through
    // LayerRead only, never on a broken layer.
    LayerStatus (*read)(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got);
    // Stores the layer's length in bytes in `*size`; LAYER_OK, or why not.
    LayerStatus (*length)(ByteLayer* layer, uint64_t* size);
    // Releases what the layer allocated; null when it allocated nothing.
    void (*close)(ByteLayer* layer);
    void* state;
    int seekable;
    LayerStatus broken;  // LAYER_OK, or LAYER_DAMAGED or LAYER_FAILED for good
    const char* damage;  // LAYER_DAMAGED: a short clause, such as "a frame fails to decompress"
    int error;           // LAYER_FAILED: the errno value (never 0)
};

// Reads `size` bytes at `offset` of `layer` into `out` and stores the count
// in `got`. Returns LAYER_OK, LAYER_SHORT when the layer ends first, or the
// layer's damage or failure (which every later read returns too).
LayerStatus LayerRead(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got);

// Stores the length of `layer` in `size`. Returns LAYER_OK, or the status
// of the failure (LAYER_FAILED with the errno value in `error`).
LayerStatus LayerLength(ByteLayer* layer, uint64_t* size);

// Marks `layer` damaged for good, for the reason `why`; returns LAYER_DAMAGED.
LayerStatus LayerDamaged(ByteLayer* layer, const char* why);

// Marks `layer` failed for good with the errno value `error` (EIO for 0);
// returns LAYER_FAILED.
LayerStatus LayerFailed(ByteLayer* layer, int error);

// Marks `layer` broken as `below`, a layer it reads, is; returns that status.
LayerStatus LayerBrokenBelow(ByteLayer* layer, const ByteLayer* below);

// Releases what the layer holds; a layer may be closed more than once.
void LayerClose(ByteLayer* layer);

#endif
