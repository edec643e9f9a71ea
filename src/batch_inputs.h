// What "--batch" is given: its options, before the first input, and its
// inputs, each folder among them standing for the files it holds.
#ifndef GALLIVOX_BATCH_INPUTS_H
#define GALLIVOX_BATCH_INPUTS_H

#include <string>
#include <vector>

struct BatchOptions {
    const char* into;  // the folder every PNG goes to; null: beside its input
    unsigned size;     // --size: the pictures of --thumbnail SIZE; 0: the icons as they are
};

// An input of the batch: a file, or a folder that could not be read (its
// message is said at its turn, status 2).
struct BatchInput {
    std::string path;
    int unreadable_folder;
};

// Parses the options that follow "--batch" in `argv` (--into DIR, --size N,
// each twice taking its later value; -- ends them) and stores the index of
// the first input in `first`. Returns 0, or the exit status after saying why
// a value is wrong.
int ParseBatchOptions(int argc, char** argv, BatchOptions* options, int* first);

// Makes the folder of --into where it does not exist yet (its parent must).
// Returns 0, or the exit status after saying why it cannot be used: 1 for
// something that is not a folder, 2 for a folder that cannot be made.
int PrepareBatchFolder(const char* into);

// Stores in `inputs` the batch's inputs from argv[first] on, in order: a
// file as it is named (whatever its name), a folder as the files in it and
// in its subfolders whose extension gallivox reads, names sorted bytewise
// and a folder's files before its subfolders'; links to folders within are
// passed over.
void ExpandBatchInputs(int argc, char** argv, int first, std::vector<BatchInput>* inputs);

// Stores in `png` (DERIVED_NAME_SIZE bytes) the PNG that `input` gives: beside
// it, or in the --into folder under its own file name's. Returns 0; or 1
// after printing why it does not fit, unless `quiet`.
int BatchPngName(const BatchOptions* options, const char* input, char* png, int quiet);

#endif
