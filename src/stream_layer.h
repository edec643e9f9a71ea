// The layer at the bottom of a walk on the command line: a C stream, a file
// that can seek or a pipe that reads forward only.
#ifndef GALLIVOX_STREAM_LAYER_H
#define GALLIVOX_STREAM_LAYER_H

#include <cstdint>
#include <cstdio>

#include "byte_layer.h"

// The state of a stream layer, kept by its caller: nothing is allocated.
struct StreamLayerState {
    FILE* stream;
    uint64_t position;  // the stream's position in its file, where the layer knows it
};

// Makes `layer` read `stream`, which must be at its first byte, through
// `state`; with `seekable` 0 it reads forward only, dropping the bytes up to
// each offset, and a read behind its position fails with ESPIPE. Reads keep
// the errno value of a failed read. The stream stays the caller's to close.
void StreamLayerOpen(ByteLayer* layer, StreamLayerState* state, FILE* stream, int seekable);

#endif
