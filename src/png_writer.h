// The one place that encodes and writes every PNG the tool makes: icons
// beside their files, icons named on the command line, thumbnails.
#ifndef GALLIVOX_PNG_WRITER_H
#define GALLIVOX_PNG_WRITER_H

#include <cstddef>
#include <cstdint>

#include "png_encoder.h"

// How a PNG reaches its file, as flags: replaced in one step; or where the
// file exists and is empty (a thumbnail service made it and reads it back
// through its own descriptor), written into it; or, in a batch, never in
// place of what is there. Each may first make the output's missing folders.
enum OutputMode : unsigned {
    OUTPUT_REPLACE = 0,
    OUTPUT_FILL_EMPTY = 1,
    // An existing regular file that holds the same picture (the same pixels,
    // whatever the PNG's encoding) is left as it is: ICON_OK. Anything else
    // there (another picture, no PNG, a link, a FIFO) is kept: ICON_KEPT_*.
    OUTPUT_KEEP = 2,
    OUTPUT_MAKE_FOLDERS = 4,
};

// Encodes the side×side RGBA `image` (4·side² bytes, rows top down) with
// LodePNG's default settings and writes it to `path` as `mode` (OutputMode
// flags) says (see platform_replace_file, platform_fill_empty_file and
// platform_create_file). Returns ICON_OK, ICON_WRITE_ERROR plus the errno
// value of a failed write (the old file then stays as it was), one of the
// ICON_KEPT_* results, or LodePNG's error code.
unsigned WritePng(const char* path, const uint8_t* image, unsigned side, unsigned mode);

// Encodes the animation of `count` side×side frames with the `still`
// picture as its default image (EncodeAnimatedPng) and writes it as
// WritePng does. Under OUTPUT_KEEP an existing file holds it only where it
// has exactly its bytes. Returns as WritePng.
unsigned WriteAnimatedPng(const char* path, const uint8_t* still, const PngFrame* frames, size_t count, unsigned side,
                          unsigned mode);

#endif
