// "--thumbnail SIZE INPUT OUTPUT", what the desktops' thumbnail services
// run: one PNG of at most SIZE pixels a side, the icon's pixels kept sharp.
#ifndef GALLIVOX_THUMBNAIL_H
#define GALLIVOX_THUMBNAIL_H

#include "keys.h"

// Runs "--thumbnail SIZE INPUT OUTPUT" (argv[1] is "--thumbnail"): the
// large icon enlarged by the largest whole factor that fits, or below the
// large icon's side the small icon as it is. An input without a picture
// gets the one-argument form's messages and statuses, and nothing is
// written. Encrypted files are opened with `keys`. Returns the exit status.
int RunThumbnail(int argc, char** argv, KeyRing* keys);

#endif
