// The layer at the bottom of a walk in the Windows shell: the IStream that
// Explorer hands a thumbnail provider. Windows only.
#ifndef GALLIVOX_ISTREAM_LAYER_H
#define GALLIVOX_ISTREAM_LAYER_H

#include <cstdint>

#include <objidl.h>

#include "byte_layer.h"

// The state of an IStream layer, kept by its caller: nothing is allocated.
struct IStreamLayerState {
    IStream* stream;
    uint64_t position;  // the stream's position, where the layer knows it
};

// Makes `layer` read `stream` (not AddRef'd: the caller keeps it) through
// `state`. A stream that cannot seek is read forward only, as a pipe: the
// bytes up to each offset read and dropped, a read behind its position
// failing with ESPIPE. A stream that gives fewer bytes than asked is read on
// until they are there; only its end makes a read short.
void IStreamLayerOpen(ByteLayer* layer, IStreamLayerState* state, IStream* stream);

#endif
