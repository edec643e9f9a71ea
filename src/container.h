// Finding the SMDH in the files that carry one: a bare SMDH file, a 3DSX
// executable, a CIA archive, an NCSD card image or an NCCH image, each also
// inside a Z3DS (compressed) file or a bundle; or the DS banner that takes
// its place in DS ROM images, raw banner files and CIAs of DS titles. The
// dispatcher: it tells a file's format by its first bytes and hands it to
// that format's module, each of which walks its headers with the walk's
// primitives (walk.h). Nothing here knows of pixels or PNGs.
#ifndef GALLIVOX_CONTAINER_H
#define GALLIVOX_CONTAINER_H

#include <cstddef>
#include <cstdint>

#include "walk.h"

// Releases the layers the walk stacked (a Z3DS file's decoder) and what a
// bundle's walk allocated.
void EndWalk(WalkInput* input);

// Recognises the input's format from its first bytes and follows its headers
// to the SMDH. Fills `location` and returns WALK_FOUND, or the reason there
// is none (WALK_NOT_ICN to WALK_UNREADABLE), with `damage` or `error` set
// for the last two. Every offset is checked before it is used, in 64 bits.
// A field of the identity that cannot be read is left absent, never an error.
WalkStatus LocateSmdh(WalkInput* input, SmdhLocation* location);

// The name of a format, as "3DSX".
const char* SmdhFormatName(SmdhFormat format);

// Walks the begun `input` to its SMDH or banner and reads it into `bytes`
// (SMDH_SIZE bytes; see LocateSmdh and ReadSmdh), storing its count in
// `size` and 1 in `in_memory`; but where `read_in_place` allows and the
// input is a bare SMDH file that can seek, reads nothing and stores 0 in
// `in_memory`: its caller reads it where it is. The one walk of every
// caller. Returns WALK_FOUND, or why there is none.
WalkStatus WalkToSmdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size, int read_in_place,
                      int* in_memory);

// WalkToSmdh over the layer `source` (a shell's stream) from its first byte,
// from the start of the walk to its end: `keys` open an encrypted file (null:
// none), the identity goes to `identity` (null: none is read), and the SMDH
// or banner is read into `bytes`. A first read that fails is WALK_UNREADABLE
// with `location->error` set, as any other.
WalkStatus WalkLayerToSmdh(ByteLayer* source, KeyRing* keys, TitleIdentity* identity, SmdhLocation* location,
                           uint8_t* bytes, size_t* size);

#endif
