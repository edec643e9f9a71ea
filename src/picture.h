// The pictures of thumbnails: an icon enlarged by a whole factor, its pixels
// kept sharp, from an SMDH or a DS banner in memory or from a file's layer
// of bytes walked to its icon.
#ifndef GALLIVOX_PICTURE_H
#define GALLIVOX_PICTURE_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"
#include "keys.h"

// A thumbnail size: digits only, no leading zero, 1 to 4096; 0 for anything else.
unsigned ThumbnailSize(const char* text);

// The picture of a thumbnail of `size` of an SMDH (or, with `banner`, a DS
// banner) of `smdh_size` bytes at `smdh`, as WritePicture says: a heap
// buffer of side² RGBA pixels, rows top down, in `picture`, its side in
// `side`. Returns ICON_OK, ICON_TRUNCATED or ICON_OUT_OF_MEMORY.
unsigned ThumbnailPicture(const uint8_t* smdh, size_t smdh_size, int banner, unsigned size, uint8_t** picture,
                          unsigned* side);

// A thumbnail's result where the file gives no picture: it is not an ICN
// file, holds no icon, is encrypted or damaged.
const unsigned THUMBNAIL_NO_ICON = 1002;

// The picture of a thumbnail of `size` of the file that the layer `source`
// gives (a shell's stream), walked and read with `keys` (null: no key file),
// as ThumbnailPicture makes it. Returns ICON_OK, THUMBNAIL_NO_ICON,
// ICON_READ_ERROR plus the errno value of a failed read, or the picture's
// failure.
unsigned ThumbnailOfLayer(ByteLayer* source, KeyRing* keys, unsigned size, uint8_t** picture, unsigned* side);

#endif
