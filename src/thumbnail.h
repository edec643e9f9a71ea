// "--thumbnail SIZE INPUT OUTPUT", what the desktops' thumbnail services
// run: one PNG of at most SIZE pixels a side, the icon's pixels kept sharp.
#ifndef GALLIVOX_THUMBNAIL_H
#define GALLIVOX_THUMBNAIL_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"
#include "keys.h"
#include "png_writer.h"

struct Job;
struct OpenedInput;

// A thumbnail size: digits only, no leading zero, 1 to 4096; 0 for anything else.
unsigned ThumbnailSize(const char* text);

// Writes the picture of a thumbnail of `size` of the opened input to the
// job's large output, as `mode` says: the large icon enlarged by the largest
// whole factor that fits, or below the large icon's side the small icon as
// it is; where the large icon is cut short, the small one enlarged. Returns
// EXIT_DONE, or the status after saying why not (see ReportIconStatus).
int WritePicture(const Job* job, OpenedInput* opened, unsigned size, unsigned mode);

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

// Runs "--thumbnail SIZE INPUT OUTPUT" (argv[1] is "--thumbnail"): the
// large icon enlarged by the largest whole factor that fits, or below the
// large icon's side the small icon as it is. An input without a picture
// gets the one-argument form's messages and statuses, and nothing is
// written. Encrypted files are opened with `keys`. Returns the exit status.
int RunThumbnail(int argc, char** argv, KeyRing* keys);

#endif
