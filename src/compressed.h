// A Z3DS (compressed) file as a step of the walk: a decompressing layer
// stacked over it, and the file inside walked as it would be uncompressed.
#ifndef GALLIVOX_COMPRESSED_H
#define GALLIVOX_COMPRESSED_H

#include "walk.h"

// The SMDH of the Z3DS file whose head the walk has read: the metadata's
// `smdh` item when it has one, else the file inside, walked by `walk_inside`
// (which tells its format) over the layer that decompresses it. Damage to
// the compressed structure is WALK_DAMAGED.
WalkStatus LocateInZ3ds(WalkInput* input, SmdhLocation* location, WalkStep walk_inside);

#endif
