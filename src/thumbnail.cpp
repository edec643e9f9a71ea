#include "thumbnail.h"

#include <cstdio>

#include "job.h"
#include "picture.h"

int RunThumbnail(int argc, char** argv, KeyRing* keys)
{
    if (argc != 5) {
        fprintf(stderr, "Usage: %s --thumbnail SIZE INPUT OUTPUT\n", argv[0]);
        return EXIT_USAGE;
    }
    unsigned size = ThumbnailSize(argv[2]);
    if (size == 0) {
        fprintf(stderr, "Invalid thumbnail size %s.\n", argv[2]);
        return EXIT_USAGE;
    }
    Job job = {argv[3], {nullptr, argv[4]}, nullptr, "", stdout, nullptr, keys, 0, OUTPUT_FILL_EMPTY, 0, 0};
    OpenedInput opened;
    opened.identity = nullptr;
    int status = OpenInput(&job, &opened);
    if (status != EXIT_DONE) {
        return status;
    }
    status = CheckOutputsSpareInput(opened.file, &job);
    if (status == EXIT_DONE) {
        status = WritePicture(&job, &opened, size, job.mode);
    }
    CloseInput(&opened);
    return status;
}
