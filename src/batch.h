// "--batch FILE...": the large icon of every file beside it, in one
// process, on as many worker threads as GALLIVOX_JOBS or the cores allow.
#ifndef GALLIVOX_BATCH_H
#define GALLIVOX_BATCH_H

#include "keys.h"

// Runs "--batch FILE..." (argv[1] is "--batch"): each file as by the
// one-argument form, each message a line of its own and in argument order,
// the same PNGs and statuses on one worker or on several; a PNG that an
// earlier file of the run wrote is not replaced. Returns the highest status
// of all the files, or EXIT_USAGE for a wrong GALLIVOX_JOBS. Encrypted files
// are opened with `keys`, which the workers share.
int RunBatch(int argc, char** argv, KeyRing* keys);

#endif
