// "--thumbnail SIZE INPUT OUTPUT", what the desktops' thumbnail services
// run: one PNG of at most SIZE pixels a side, the icon's pixels kept sharp.
#ifndef GALLIVOX_THUMBNAIL_H
#define GALLIVOX_THUMBNAIL_H

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
// EXIT_DONE, or the status after saying why not.
int WritePicture(const Job* job, OpenedInput* opened, unsigned size, OutputMode mode);

// Runs "--thumbnail SIZE INPUT OUTPUT" (argv[1] is "--thumbnail"): the
// large icon enlarged by the largest whole factor that fits, or below the
// large icon's side the small icon as it is. An input without a picture
// gets the one-argument form's messages and statuses, and nothing is
// written. Encrypted files are opened with `keys`. Returns the exit status.
int RunThumbnail(int argc, char** argv, KeyRing* keys);

#endif
