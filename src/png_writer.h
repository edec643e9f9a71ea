// The one place that encodes and writes every PNG the tool makes: icons
// beside their files, icons named on the command line, thumbnails.
#ifndef GALLIVOX_PNG_WRITER_H
#define GALLIVOX_PNG_WRITER_H

#include <cstdint>

// How a PNG reaches its file: replaced in one step, or, where the file
// exists and is empty (a thumbnail service made it and reads it back through
// its own descriptor), written into it.
enum OutputMode { OUTPUT_REPLACE, OUTPUT_FILL_EMPTY };

// Encodes the side×side RGBA `image` (4·side² bytes, rows top down) with
// LodePNG's default settings and writes it to `path` as `mode` says (see
// platform_replace_file and platform_fill_empty_file). Returns ICON_OK,
// ICON_WRITE_ERROR plus the errno value of a failed write (the old file
// then stays as it was), or LodePNG's error code.
unsigned WritePng(const char* path, const uint8_t* image, unsigned side, OutputMode mode);

#endif
