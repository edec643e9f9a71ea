// "--batch FILE...": the large icon of every file beside it, in one
// process, on as many worker threads as GALLIVOX_JOBS or the cores allow.
#ifndef GALLIVOX_BATCH_H
#define GALLIVOX_BATCH_H

#include "keys.h"

// Runs "--batch [OPTION]... [--] FILE-OR-FOLDER..." (argv[1] is "--batch";
// see ParseBatchOptions): each file as by the one-argument form (a folder
// stands for the files in it), its PNG beside it or in the --into folder,
// the icon or with --size the picture of --thumbnail N; each message a line
// of its own and in order, the same PNGs and statuses on one worker or on
// several. A file already at a PNG's name is left as it is: where it holds
// the same picture, as done; else kept (unless --force), and counted in one
// line at the end. A PNG that an earlier file of the run wrote is not
// replaced by another picture. Returns the gravest status of all the files
// (see GraverStatus), or EXIT_USAGE for a wrong option or GALLIVOX_JOBS.
// Encrypted files are opened with `keys`, which the workers share.
int RunBatch(int argc, char** argv, KeyRing* keys);

#endif
