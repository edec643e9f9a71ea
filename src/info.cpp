#include "info.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "batch_inputs.h"
#include "details.h"
#include "ds_banner.h"
#include "job.h"
#include "metadata.h"
#include "utils.h"

// Whether an input whose walk ended as `opened->walk` says is still one to
// describe: its format is known, and only its icon cannot be shown (none,
// encrypted, or damaged past its headers). A file of no known format, or one
// that cannot be read, is not.
static int describable_without_icon(const OpenedInput* opened)
{
    switch (opened->walk) {
    case WALK_NO_ICON:
    case WALK_ENCRYPTED:
    case WALK_DAMAGED:
    case WALK_KEY_MISSING:
    case WALK_KEYS_WRONG:
    case WALK_KEY_FILE_BAD:
        return opened->location.recognised;
    case WALK_FOUND:
    case WALK_NOT_ICN:
    case WALK_UNREADABLE:
        break;
    }
    return 0;
}

// Writes the element of the JSON array (`first` for the first) of an input
// walked: with its titles from `metadata` and `animation`, or, where
// `metadata` is null, with what its headers say alone.
static void write_element(const Job* job, const OpenedInput* opened, const SmdhMetadata* metadata,
                          const DsAnimation* animation, int first)
{
    const SmdhLocation* location = &opened->location;
    const int found = opened->walk == WALK_FOUND;  // its SMDH or banner, read
    SmdhFileFacts facts = {job->input,
                           SmdhFormatName(location->format),
                           location->compression,
                           opened->in_bundle ? opened->member.c_str() : nullptr,
                           location->encrypted,
                           found && location->banner,
                           found && !location->in_item,
                           location->offset,
                           found && !location->banner && opened->smdh_size >= SlotEnd(SLOT_SMALL),
                           found && (location->banner || opened->smdh_size >= SlotEnd(SLOT_LARGE)),
                           opened->identity,
                           location->banner ? animation : nullptr};
    fputs(first ? "\n" : ",\n", stdout);
    WriteSmdhJson(stdout, &facts, metadata);
}

// Describes the SMDH of an opened input as the next element of the JSON
// array (`first` for the first). Returns EXIT_DONE, or the status after
// printing why its titles cannot be read (its element then says what its
// headers say).
static int describe_smdh(const Job* job, OpenedInput* opened, int first)
{
    int loaded = LoadSmdh(job, opened);
    if (loaded != EXIT_DONE) {
        return loaded;
    }
    // About 15 KiB together: on the stack, with no allocation that can fail.
    SmdhMetadata metadata;
    DsAnimation animation;
    if (!ParseTitles(opened->smdh, opened->smdh_size, opened->location.banner, &metadata, &animation)) {
        Say(job, stderr, "%s is too short for its titles.\n", job->input);
        write_element(job, opened, nullptr, nullptr, first);
        return EXIT_ICON_FAILED;
    }
    write_element(job, opened, &metadata, &animation, first);
    return EXIT_DONE;
}

int RunInfo(int argc, char** argv, KeyRing* keys)
{
    std::vector<BatchInput> inputs;
    ExpandBatchInputs(std::vector<const char*>(argv + 2, argv + argc), &inputs);
    int worst = EXIT_DONE;
    int described = 0;
    fputc('[', stdout);
    for (const BatchInput& input : inputs) {
        Job job = {
            input.path.c_str(), {nullptr, nullptr}, nullptr, "\n", stderr, nullptr, keys, 0, OUTPUT_REPLACE, 0, 0};
        OpenedInput opened;
        TitleIdentity identity;
        opened.identity = &identity;
        opened.walk = WALK_UNREADABLE;  // an unreadable folder is never walked
        int status = EXIT_CANNOT_OPEN;
        if (input.unreadable_folder) {
            Say(&job, job.open_failures, "Could not open %s.\n", job.input);
        } else {
            status = OpenInput(&job, &opened);
        }
        int element = 0;
        if (status == EXIT_DONE) {
            status = describe_smdh(&job, &opened, described == 0);
            element = status == EXIT_DONE || status == EXIT_ICON_FAILED;
            CloseInput(&opened);
        } else if (describable_without_icon(&opened)) {
            write_element(&job, &opened, nullptr, nullptr, described == 0);
            element = 1;
        }
        described += element;
        worst = GraverStatus(worst, status);
    }
    fputs(described > 0 ? "\n]\n" : "]\n", stdout);
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "Could not write standard output: %s\n", strerror(errno_or_eio()));
        return EXIT_ICON_FAILED;
    }
    return worst;
}
