// Reading the file inside a Z3DS file (.zcia, .zcci, .zcxi, .z3dsx): a
// header, metadata, independent zstd frames and a seek table at the end.
// A layer of bytes: the file inside is read as plain bytes, decompressing
// only what is asked for: where the layer below can seek, the seek table
// leads straight to the frame that holds a byte; on a pipe, the frames are
// one zstd stream read from the start. Nothing here knows what the inner
// bytes mean.
#ifndef GALLIVOX_Z3DS_H
#define GALLIVOX_Z3DS_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"

// Bytes of a Z3DS header; the first bytes of the file that the caller has
// already read (a pipe's cannot be read again) are at most this many.
const size_t Z3DS_HEADER_SIZE = 0x20;
const size_t Z3DS_PREFIX_SIZE = 0x840;
// How much of the metadata's `smdh` item is kept: a whole SMDH.
const size_t Z3DS_SMDH_ITEM_SIZE = 0x36C0;

// Opens the Z3DS file that `below` holds as `layer`, whose bytes are the
// file inside it. The caller has read the file's first `prefix_size` bytes
// (at most Z3DS_PREFIX_SIZE are kept) into `prefix`, and `below` is past
// them: a pipe's cannot be read again. Checks the header and reads the
// metadata; where `below` can seek, also checks the whole seek table (a
// pipe's lies out of reach, past the frames, and goes unchecked). Returns
// LAYER_OK, or the layer's damage or failure (`layer->broken`, which every
// read then returns). Reads of `layer` go forward where `below` cannot
// seek; on a file that can, any offset works, at the cost of restarting a
// frame. Close the layer with LayerClose in every case.
LayerStatus Z3dsLayerOpen(ByteLayer* layer, ByteLayer* below, const uint8_t* prefix, size_t prefix_size);

// The metadata's `smdh` item of an open Z3DS layer, which begins with
// "SMDH" (the reader checked): its first Z3DS_SMDH_ITEM_SIZE bytes at most,
// their count in `size`; null when the file has none.
const uint8_t* Z3dsSmdhItem(const ByteLayer* layer, size_t* size);

#endif
