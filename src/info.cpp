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

// Describes the SMDH of an opened input as the next element of the JSON
// array (`first` for the first). Returns EXIT_DONE, or the status to stop
// with after printing why its titles cannot be read.
static int describe_smdh(const Job* job, OpenedInput* opened, int first)
{
    int loaded = LoadSmdh(job, opened);
    if (loaded != EXIT_DONE) {
        return loaded;
    }
    const uint8_t* bytes = opened->smdh;
    size_t size = opened->smdh_size;
    const SmdhLocation* location = &opened->location;
    // About 15 KiB together: on the stack, with no allocation that can fail.
    SmdhMetadata metadata;
    DsAnimation animation;
    if (!ParseTitles(bytes, size, location->banner, &metadata, &animation)) {
        Say(job, stderr, "%s is too short for its titles.\n", job->input);
        return EXIT_ICON_FAILED;
    }
    SmdhFileFacts facts = {job->input,
                           SmdhFormatName(location->format),
                           location->compression,
                           opened->in_bundle ? opened->member.c_str() : nullptr,
                           location->encrypted,
                           location->banner,
                           !location->in_item,
                           location->offset,
                           !location->banner && size >= SlotEnd(SLOT_SMALL),
                           location->banner || size >= SlotEnd(SLOT_LARGE),
                           opened->identity,
                           location->banner ? &animation : nullptr};
    fputs(first ? "\n" : ",\n", stdout);
    WriteSmdhJson(stdout, &facts, &metadata);
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
        int status = EXIT_CANNOT_OPEN;
        if (input.unreadable_folder) {
            Say(&job, job.open_failures, "Could not open %s.\n", job.input);
        } else {
            status = OpenInput(&job, &opened);
        }
        if (status == EXIT_DONE) {
            status = describe_smdh(&job, &opened, described == 0);
            CloseInput(&opened);
        }
        described += status == EXIT_DONE;
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
