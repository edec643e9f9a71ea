// "--batch FILE...": the large icon of every file beside it, in one
// process, on as many worker threads as GALLIVOX_JOBS or the cores allow.
#ifndef GALLIVOX_BATCH_H
#define GALLIVOX_BATCH_H

#include "keys.h"

// Runs "--batch [--into DIR] [--size N] [--] FILE-OR-FOLDER..." (argv[1] is
// "--batch"): each file as by the one-argument form (a folder stands for the
// files in it), its PNG beside it or in DIR, the icon or with --size the
// picture of --thumbnail N; each message a line of its own and in order,
// the same PNGs and statuses on one worker or on several; a PNG that an
// earlier file of the run wrote is not replaced. Returns the highest status
// of all the files, or EXIT_USAGE for a wrong GALLIVOX_JOBS. Encrypted files
// are opened with `keys`, which the workers share.
int RunBatch(int argc, char** argv, KeyRing* keys);

#endif
