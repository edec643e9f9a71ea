// "--info FILE...": what each file says about itself (titles, ratings,
// regions, flags, identity), as one JSON array on standard output.
#ifndef GALLIVOX_INFO_H
#define GALLIVOX_INFO_H

#include "keys.h"

// Runs "--info FILE..." (argv[1] is "--info"): an object for each file whose
// format is recognised, in argument order, a folder standing for its files
// as in "--batch"; a file whose titles cannot be read has "titles": null and
// its message on standard error, as has every file without an object.
// Returns the gravest status of all the files (see GraverStatus), or
// EXIT_ICON_FAILED when standard output cannot be written. Encrypted files
// are opened with `keys`.
int RunInfo(int argc, char** argv, KeyRing* keys);

#endif
