#include "job.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "ds_banner.h"
#include "picture.h"
#include "platform.h"
#include "utils.h"

int GraverStatus(int a, int b)
{
    // Each status's rank, by its value: 0 1 2 3 4.
    static const int rank[] = {0, 2, 4, 3, 1};
    int rank_a = a >= 0 && a <= EXIT_KEPT ? rank[a] : 5;
    int rank_b = b >= 0 && b <= EXIT_KEPT ? rank[b] : 5;
    return rank_b > rank_a ? b : a;
}

void Say(const Job* job, FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (job->messages == nullptr) {
        vfprintf(stream, format, args);
    } else {
        va_list again;
        va_copy(again, args);
        int length = vsnprintf(nullptr, 0, format, args);
        Message message = {stream, std::string(length > 0 ? static_cast<size_t>(length) : 0, '\0')};
        vsnprintf(&message.text[0], message.text.size() + 1, format, again);
        va_end(again);
        job->messages->push_back(std::move(message));
    }
    va_end(args);
}

// Prints why the user's keys do not open an encrypted input: the key file
// and the key it lacks, or why it cannot be used; never a key's value.
static void report_key_failure(const Job* job, WalkStatus status, const SmdhLocation* location)
{
    if (status == WALK_KEYS_WRONG) {
        Say(job, stderr, "%s is encrypted, and the keys do not open it.\n", job->input);
        return;
    }
    const KeySet* keys = KeyRingSet(job->keys);  // only a key file makes the other two
    const char* path = keys->path.c_str();
    if (status == WALK_KEY_FILE_BAD) {
        Say(job, stderr, "%s is encrypted; the key file %s cannot be used: %s.\n", job->input, path,
            keys->problem.c_str());
    } else if (location->missing_key == KEY_CONSTANT && !keys->ini) {
        Say(job, stderr,
            "%s is encrypted; the key file %s has no generatorConstant (an older emulator's file lacks it: "
            "add its line, see README).\n",
            job->input, path);
    } else {
        Say(job, stderr, "%s is encrypted; the key file %s has no %s.\n", job->input, path,
            KeyFileName(keys, location->missing_key).c_str());
    }
}

// Prints why the walk found no SMDH; returns the status to stop with.
static int report_walk_failure(const Job* job, WalkStatus status, const SmdhLocation* location)
{
    switch (status) {
    case WALK_NOT_ICN:
        Say(job, stderr, "%s is not an ICN file%s", job->input, job->line_end);
        return EXIT_USAGE;
    case WALK_NO_ICON:
        Say(job, stderr, "%s holds no icon.\n", job->input);
        return EXIT_USAGE;
    case WALK_ENCRYPTED:
        Say(job, stderr, "%s is encrypted; its icon cannot be read.\n", job->input);
        return EXIT_USAGE;
    case WALK_DAMAGED:
        Say(job, stderr, "%s is damaged: %s.\n", job->input, location->damage);
        return EXIT_USAGE;
    case WALK_KEY_MISSING:
    case WALK_KEYS_WRONG:
    case WALK_KEY_FILE_BAD:
        report_key_failure(job, status, location);
        return EXIT_USAGE;
    case WALK_UNREADABLE:
    case WALK_FOUND:
        break;
    }
    Say(job, stderr, "Could not read %s: %s\n", job->input, strerror(location->error));
    return EXIT_CANNOT_OPEN;
}

// Follows the begun walk to the SMDH and reads it, unless it is a bare one
// that can be read where it is.
static int walk_to_smdh(const Job* job, WalkInput* walk, OpenedInput* opened)
{
    WalkStatus status = WalkToSmdh(walk, &opened->location, opened->smdh, &opened->smdh_size, 1, &opened->in_memory);
    opened->walk = status;
    return status == WALK_FOUND ? EXIT_DONE : report_walk_failure(job, status, &opened->location);
}

// Finds the SMDH of the open input (see OpenedInput).
static int find_smdh(const Job* job, OpenedInput* opened)
{
    WalkInput walk;
    int seekable = fseek(opened->file, 0, SEEK_SET) == 0;
    int error = BeginWalk(&walk, opened->file, seekable);
    int status = EXIT_CANNOT_OPEN;
    if (error != 0 && seekable) {
        // A directory opens but cannot be read: as good as not opened.
        Say(job, job->open_failures, "Could not open %s.\n", job->input);
    } else if (error != 0) {
        Say(job, stderr, "Could not read %s: %s\n", job->input, strerror(error));
    } else {
        walk.identity = opened->identity;
        walk.keys = job->keys;
        status = walk_to_smdh(job, &walk, opened);
        // The member's name lives in the walk: kept beyond its end.
        opened->in_bundle = opened->location.member != nullptr;
        opened->member = opened->in_bundle ? opened->location.member : "";
        opened->location.member = nullptr;
    }
    EndWalk(&walk);
    return status;
}

int OpenInput(const Job* job, OpenedInput* opened)
{
    opened->file = fopen(job->input, "rb");
    opened->in_memory = 0;
    opened->smdh_size = 0;
    opened->walk = WALK_UNREADABLE;
    opened->location = SmdhLocation{};
    opened->in_bundle = 0;
    if (opened->file == nullptr) {
        Say(job, job->open_failures, "Could not open %s.\n", job->input);
        return EXIT_CANNOT_OPEN;
    }
    int status = find_smdh(job, opened);
    if (status != EXIT_DONE) {
        fclose(opened->file);
    }
    return status;
}

void CloseInput(OpenedInput* opened)
{
    fclose(opened->file);
}

int CheckOutputsSpareInput(FILE* input, const Job* job)
{
    for (const char* output : {job->outputs[SLOT_SMALL], job->outputs[SLOT_LARGE], job->animated}) {
        if (output != nullptr && platform_same_file(input, output)) {
            Say(job, stderr, "Refusing to overwrite the input file %s.\n", output);
            return EXIT_USAGE;
        }
    }
    return EXIT_DONE;
}

int ReportIconStatus(const Job* job, Slot slot, const char* output, unsigned status)
{
    switch (IconFailureKind(status)) {
    case ICON_FAILED_NOT:
        return EXIT_DONE;
    case ICON_FAILED_KEPT:
        if (job->verbose) {
            Say(job, stderr, "Kept %s: %s.\n", output, IconStatusText(status));
        }
        return EXIT_KEPT;
    case ICON_FAILED_TRUNCATED:
        Say(job, stderr, "%s is too short for the %s icon.\n", job->input, SLOTS[slot].name);
        break;
    case ICON_FAILED_READ:
        Say(job, stderr, "Could not read %s: %s\n", job->input, IconStatusText(status));
        break;
    case ICON_FAILED_WRITE:
    case ICON_FAILED_ENCODING:
        Say(job, stderr, "Could not write %s: %s\n", output, IconStatusText(status));
        break;
    }
    return EXIT_ICON_FAILED;
}

// Writes one slot's icon from the SMDH, or a DS banner's as the large one
// (it has no small icon); returns its status, after reporting why it was not
// written.
static int write_slot(const OpenedInput* opened, const Job* job, Slot slot)
{
    const char* output = job->outputs[slot];
    const IconSlot* place = &SLOTS[slot];
    if (opened->location.banner && slot == SLOT_SMALL) {
        Say(job, stderr, "%s has no small icon.\n", job->input);
        return EXIT_ICON_FAILED;
    }
    unsigned status = opened->location.banner ? ConvertDsIcon(opened->smdh, output, job->mode)
                      : opened->in_memory     ? ConvertIconBytes(opened->smdh, opened->smdh_size, output, place->offset,
                                                                 place->side, job->mode)
                                              : ConvertIcon(opened->file, output, place->offset, place->side);
    return ReportIconStatus(job, slot, output, status);
}

// Writes the DSi animated icon of a DS banner; returns its status, after
// saying why it was not written. A file with none gives 3, or, where the
// job says it is optional, 0 and no word.
static int write_animated(const OpenedInput* opened, const Job* job)
{
    DsAnimationState state =
        opened->location.banner ? DsAnimationStateOf(opened->smdh, opened->smdh_size) : DS_ANIMATION_NONE;
    switch (state) {
    case DS_ANIMATION_NONE:
        if (job->animation_optional) {
            return EXIT_DONE;
        }
        Say(job, stderr, "%s has no animated icon.\n", job->input);
        return EXIT_ICON_FAILED;
    case DS_ANIMATION_CUT:
        Say(job, stderr, "%s is damaged: its animated icon is cut short.\n", job->input);
        return EXIT_ICON_FAILED;
    case DS_ANIMATION_BAD_CRC:
        Say(job, stderr, "%s is damaged: its animated icon fails its CRC.\n", job->input);
        return EXIT_ICON_FAILED;
    case DS_ANIMATION_OK:
        break;
    }
    unsigned status = ConvertDsAnimation(opened->smdh, job->animated, job->mode);
    return ReportIconStatus(job, SLOT_LARGE, job->animated, status);
}

int WritePicture(const Job* job, OpenedInput* opened, unsigned size, unsigned mode)
{
    int status = LoadSmdh(job, opened);
    if (status != EXIT_DONE) {
        return status;
    }
    const char* output = job->outputs[SLOT_LARGE];
    unsigned side = 0;
    uint8_t* picture = nullptr;
    unsigned result = ThumbnailPicture(opened->smdh, opened->smdh_size, opened->location.banner, size, &picture, &side);
    if (result == ICON_OK) {
        result = WritePng(output, picture, side, mode);
    }
    free(picture);
    return ReportIconStatus(job, SLOT_LARGE, output, result);
}

int RunJob(const Job* job)
{
    OpenedInput opened;
    opened.identity = nullptr;
    int status = OpenInput(job, &opened);
    if (status != EXIT_DONE) {
        return status;
    }
    status = CheckOutputsSpareInput(opened.file, job);
    // A bare SMDH file is read where it is, but for a mode other than the
    // plain one, which the in-memory path carries.
    if (status == EXIT_DONE && job->mode != OUTPUT_REPLACE) {
        status = LoadSmdh(job, &opened);
    }
    if (status == EXIT_DONE && job->size != 0) {
        status = WritePicture(job, &opened, job->size, job->mode);
    } else if (status == EXIT_DONE) {
        for (int slot = 0; slot < SLOT_COUNT; slot++) {
            if (job->outputs[slot] != nullptr) {
                status = GraverStatus(status, write_slot(&opened, job, static_cast<Slot>(slot)));
            }
        }
    }
    // The animated icon follows the others, whatever became of them.
    if (job->animated != nullptr && status != EXIT_USAGE && status != EXIT_CANNOT_OPEN) {
        status = GraverStatus(status, write_animated(&opened, job));
    }
    CloseInput(&opened);
    return status;
}

int LoadSmdh(const Job* job, OpenedInput* opened)
{
    if (opened->in_memory) {
        return EXIT_DONE;
    }
    errno = 0;
    int unreadable = fseek(opened->file, 0, SEEK_SET) != 0;
    if (!unreadable) {
        opened->smdh_size = fread(opened->smdh, 1, sizeof opened->smdh, opened->file);
        unreadable = ferror(opened->file);
    }
    if (unreadable) {
        Say(job, stderr, "Could not read %s: %s\n", job->input, strerror(errno_or_eio()));
        return EXIT_CANNOT_OPEN;
    }
    opened->in_memory = 1;
    return EXIT_DONE;
}
