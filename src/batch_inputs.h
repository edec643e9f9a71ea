// What "--batch" is given: its options, its inputs (each folder among them
// standing for the files it holds), and the name of each input's PNG.
#ifndef GALLIVOX_BATCH_INPUTS_H
#define GALLIVOX_BATCH_INPUTS_H

#include <string>
#include <vector>

struct BatchOptions {
    const char* into;   // the folder the PNGs go to; null: each beside its input
    unsigned size;      // --size: the pictures of --thumbnail SIZE; 0: the icons as they are
    int force;          // --force: an existing file at an output is replaced
    int verbose;        // --verbose: each existing file kept is named
    int retroarch;      // --retroarch: every PNG straight in `into`, named by RetroArch's rule
    int windows_names;  // the names made in `into` must keep Windows' rules
    int animated;       // --animated: each DSi animated icon beside its PNG (AnimatedPngName)
};

// An input of the batch: a file, or a folder that could not be read (its
// message is said at its turn, status 2).
struct BatchInput {
    std::string path;
    std::string below;  // its path below the folder named (a file named: its own name)
    int unreadable_folder;
};

// Parses the arguments that follow "--batch" in `argv`: the options, anywhere
// up to "--" (--into DIR, --size N, --force, --verbose, --retroarch,
// --animated; each
// given twice takes its later value), and every other argument, and all
// after "--", as an input, in order, into `arguments`. Returns 0, or the exit
// status after saying why an option is wrong.
int ParseBatchOptions(int argc, char** argv, BatchOptions* options, std::vector<const char*>* arguments);

// Makes the folder of --into with any missing parents, and learns whether
// names in it keep Windows' rules. Returns 0, or the exit status after
// saying why it cannot be used: 1 for something that is not a folder, 2 for
// a folder that cannot be made.
int PrepareBatchFolder(BatchOptions* options);

// Stores in `inputs` the inputs that `arguments` name, in order: a file as it
// is named (whatever its name), a folder as the files in it and in its
// subfolders whose extension gallivox reads, names sorted bytewise and a
// folder's files before its subfolders'; links to folders within are passed
// over.
void ExpandBatchInputs(const std::vector<const char*>& arguments, std::vector<BatchInput>* inputs);

// Stores in `png` (DERIVED_NAME_SIZE bytes) the PNG that `input` gives:
// beside it; or under --into by its path below the folder named (a file
// named: by its own name), each subfolder mirrored; or with --retroarch
// straight in the --into folder, by RetroArch's rule. Returns 0; 1 when the
// name does not fit; 3 when a name under --into breaks Windows' rules where
// they hold: each after printing why, unless `quiet`.
int BatchPngName(const BatchOptions* options, const BatchInput* input, char* png, int quiet);

// The name of the animated icon that goes with the PNG `png`: its ending
// ".png" made ".animated.png" (game.png: game.animated.png).
std::string AnimatedPngName(const char* png);

#endif
