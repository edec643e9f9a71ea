// One input of a command: what to write from it, its messages, its opening
// and walk to the SMDH, and the writing of its icons, whatever command runs it.
#ifndef GALLIVOX_JOB_H
#define GALLIVOX_JOB_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "container.h"
#include "icon.h"
#include "keys.h"
#include "png_writer.h"

// Exit statuses of the process.
enum ExitStatus {
    EXIT_DONE = 0,         // every requested icon was written
    EXIT_USAGE = 1,        // usage error, or no icon to read in the input
    EXIT_CANNOT_OPEN = 2,  // the input file cannot be opened
    EXIT_ICON_FAILED = 3,  // one or more requested icons were not written
    EXIT_KEPT = 4,         // a batch kept existing files that differ; all else was done
};

// The status that a run of several inputs ends with, of `a` and `b`: the
// graver, in the order 2 (an input cannot be opened or read), 3, 1, 4, 0,
// so that nothing hides an input that could not be read.
int GraverStatus(int a, int b);

// Room for the name of a PNG derived from its input's.
const size_t DERIVED_NAME_SIZE = 1024;

// One input and what to write from it. The paths point into the argument
// vector or a derived-name buffer. `line_end` ends the one message that has
// no line end of its own ("is not an ICN file"): empty on a single run,
// a newline in a batch. "Could not open" goes to `open_failures`: standard
// output, as it always has, but standard error where standard output
// carries JSON.
struct Message;
struct Job {
    const char* input;
    const char* outputs[SLOT_COUNT];  // null where the slot is not wanted
    const char* animated;             // the DSi animated icon's output, or null
    const char* line_end;
    FILE* open_failures;
    std::vector<Message>* messages;  // null: each message goes straight out
    KeyRing* keys;                   // the key file for encrypted inputs; null: none
    unsigned size;                   // 0: each icon as it is; else the large output is the picture of
                                     // --thumbnail `size`
    unsigned mode;                   // how each output is written: OutputMode flags
    int verbose;                     // an output kept (OUTPUT_KEEP) is named, with why
    int animation_optional;          // a file without an animated icon is passed over in silence
};

// A job's message, kept for its turn where several workers run a batch.
struct Message {
    FILE* stream;
    std::string text;
};

// Prints a job's message on `stream`, or keeps it for its turn.
__attribute__((format(printf, 3, 4))) void Say(const Job* job, FILE* stream, const char* format, ...);

// An input opened and walked to its SMDH. A bare SMDH file that can seek is
// read where it is; any other SMDH (a container's, a pipe's) is read once
// into `smdh`, so a pipe or a container of gigabytes costs what a bare file
// does, and nothing but the PNGs is ever written.
struct OpenedInput {
    FILE* file;     // the input as opened; the outputs are checked against it
    int in_memory;  // the SMDH is in `smdh`; else it is `file` from its first byte
    uint8_t smdh[SMDH_SIZE];
    size_t smdh_size;
    SmdhLocation location;
    WalkStatus walk;          // how the walk ended; where it failed, `location` says how far it came
    TitleIdentity* identity;  // set by the caller: where the walk stores it, or null
    int in_bundle;            // the SMDH is in a bundle's member, named `member`
    std::string member;
};

// Opens the job's input and finds its SMDH. Returns EXIT_DONE with `opened`
// to be closed by CloseInput, or the status to stop with after saying why.
int OpenInput(const Job* job, OpenedInput* opened);

// Closes the input that OpenInput opened.
void CloseInput(OpenedInput* opened);

// Brings a bare SMDH file's bytes into memory, as every other SMDH already
// is. Returns EXIT_DONE, or the status to stop with after saying why.
int LoadSmdh(const Job* job, OpenedInput* opened);

// Returns EXIT_DONE unless an output of the job would overwrite the input
// file open on `input` (then after saying so).
int CheckOutputsSpareInput(FILE* input, const Job* job);

// Says why the icon of `slot` was not written to `output` (a kept output
// only where the job is verbose); returns the exit status it gives:
// EXIT_DONE, EXIT_KEPT or EXIT_ICON_FAILED.
int ReportIconStatus(const Job* job, Slot slot, const char* output, unsigned status);

// Writes the picture of a thumbnail of `size` of the opened input to the
// job's large output, as `mode` says: the large icon enlarged by the largest
// whole factor that fits, or below the large icon's side the small icon as
// it is; where the large icon is cut short, the small one enlarged. Returns
// EXIT_DONE, or the status after saying why not (see ReportIconStatus).
int WritePicture(const Job* job, OpenedInput* opened, unsigned size, unsigned mode);

// Runs the job from opening its input to its last PNG; returns its status
// (EXIT_KEPT where outputs were kept and nothing else failed).
int RunJob(const Job* job);

#endif
