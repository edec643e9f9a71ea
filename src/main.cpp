#include "main.h"

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <lodepng.h>

#include "container.h"
#include "decode_bmp.h"
#include "ds_banner.h"
#include "metadata.h"
#include "platform.h"
#include "utils.h"

// Exit statuses of the process.
enum ExitStatus {
    EXIT_DONE = 0,         // every requested icon was written
    EXIT_USAGE = 1,        // usage error, or no icon to read in the input
    EXIT_CANNOT_OPEN = 2,  // the input file cannot be opened
    EXIT_ICON_FAILED = 3,  // one or more requested icons were not written
};

const size_t DERIVED_NAME_SIZE = 1024;

BGR24 RGB565toRGB24bit(uint16_t pixel)
{
    BGR24 colour;
    // Each field moved to the top of its byte, zero bits shifted in below:
    // red5 << 3, green6 << 2 and blue5 << 3, in two operations each.
    colour.red = static_cast<uint8_t>((pixel >> 8) & 0xF8);
    colour.green = static_cast<uint8_t>((pixel >> 3) & 0xFC);
    colour.blue = static_cast<uint8_t>(pixel << 3);
    return colour;
}

static int icon_side_supported(int32_t side)
{
    return side >= 8 && side <= MAX_ICON_SIDE && side % 8 == 0;
}

void CTPKtoBMP(const uint16_t* raw, uint8_t* bmp, int32_t side)
{
    if (!icon_side_supported(side)) {
        return;
    }
    // Offsets (dx, dy) of a 4×4 block in Z order, dy counted downward.
    static const uint8_t block_x[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
    static const uint8_t block_y[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
    const ptrdiff_t n = side;
    const ptrdiff_t row_bytes = 3 * n;
    // The same offsets in bitmap bytes: its rows run bottom up, so a step
    // down the image is a step back by one row.
    ptrdiff_t block_offset[16];
    for (int i = 0; i < 16; i++) {
        block_offset[i] = 3 * block_x[i] - row_bytes * block_y[i];
    }
    const uint16_t* next = raw;
    for (ptrdiff_t tile_row = 0; tile_row < n / 8; tile_row++) {
        ptrdiff_t cursor_x = 0;
        ptrdiff_t cursor_y = 8 * tile_row;
        // Along the row, each tile as its upper half, then its lower half.
        for (ptrdiff_t tile_half = 0; tile_half < n / 4; tile_half++) {
            // A half is two 4×4 quadrants side by side: left, then right.
            for (int quadrant = 0; quadrant < 2; quadrant++) {
                uint8_t* cursor = bmp + (n - 1 - cursor_y) * row_bytes + 3 * cursor_x;
#pragma GCC unroll 16
                for (int in_block = 0; in_block < 16; in_block++) {
                    BGR24 colour = RGB565toRGB24bit(*next++);
                    uint8_t* pixel = cursor + block_offset[in_block];
                    pixel[0] = colour.blue;
                    pixel[1] = colour.green;
                    pixel[2] = colour.red;
                }
                cursor_x += 4;
            }
            if (tile_half % 2 == 0) {
                cursor_x -= 8;  // down to the lower half of the same tile
                cursor_y += 4;
            } else {
                cursor_y -= 4;  // up to the upper half of the next tile
            }
        }
    }
}

static int errno_or_eio()
{
    return errno != 0 ? errno : EIO;
}

static unsigned system_error(unsigned base)
{
    return base + static_cast<unsigned>(errno_or_eio());
}

IconFailure IconFailureKind(unsigned status)
{
    if (status == ICON_OK) {
        return ICON_FAILED_NOT;
    }
    if (status >= ICON_WRITE_ERROR) {
        return ICON_FAILED_WRITE;
    }
    if (status >= ICON_READ_ERROR) {
        return ICON_FAILED_READ;
    }
    return status == ICON_TRUNCATED ? ICON_FAILED_TRUNCATED : ICON_FAILED_ENCODING;
}

const char* IconStatusText(unsigned status)
{
    switch (IconFailureKind(status)) {
    case ICON_FAILED_WRITE:
        return strerror(static_cast<int>(status - ICON_WRITE_ERROR));
    case ICON_FAILED_READ:
        return strerror(static_cast<int>(status - ICON_READ_ERROR));
    case ICON_FAILED_TRUNCATED:
        return "the file ends inside the icon";
    case ICON_FAILED_ENCODING:
    case ICON_FAILED_NOT:
        break;
    }
    return status == ICON_BAD_SIDE ? "unsupported icon side" : lodepng_error_text(status);
}

// Reads the `pixels` little-endian RGB565 pixels at `offset` of `input`
// into `raw`, as bytes.
static unsigned read_raw_pixels(FILE* input, int32_t offset, uint16_t* raw, size_t pixels)
{
    errno = 0;
    if (fseek(input, offset, SEEK_SET) != 0) {
        return system_error(ICON_READ_ERROR);
    }
    if (fread(raw, 2, pixels, input) != pixels) {
        return ferror(input) ? system_error(ICON_READ_ERROR) : ICON_TRUNCATED;
    }
    return ICON_OK;
}

// How a PNG reaches its file: replaced in one step, or, where the file
// exists and is empty (a thumbnail service made it and reads it back through
// its own descriptor), written into it.
enum OutputMode { OUTPUT_REPLACE, OUTPUT_FILL_EMPTY };

// The one place that encodes and writes every output: the side×side RGBA
// `image` as a PNG file with LodePNG's default settings.
static unsigned encode_and_write(const char* path, const uint8_t* image, unsigned side, OutputMode mode)
{
    unsigned char* png = nullptr;
    size_t png_size = 0;
    unsigned status = lodepng_encode32(&png, &png_size, image, side, side);
    if (status == ICON_OK) {
        int error = mode == OUTPUT_FILL_EMPTY ? platform_fill_empty_file(path, png, png_size) : -1;
        if (error == -1) {
            error = platform_replace_file(path, png, png_size);
        }
        if (error != 0) {
            status = ICON_WRITE_ERROR + static_cast<unsigned>(error);
        }
    }
    free(png);
    return status;
}

// The one pixel path of the SMDH's icons: the side×side block at `offset`,
// from the stream `input` or else from the `size` bytes of `smdh`, decoded
// into `image` (side² RGBA pixels).
static unsigned smdh_icon_image(FILE* input, const uint8_t* smdh, size_t size, int32_t offset, int32_t side,
                                uint8_t* image)
{
    if (!icon_side_supported(side)) {
        return ICON_BAD_SIDE;
    }
    const size_t pixels = static_cast<size_t>(side) * static_cast<size_t>(side);
    uint16_t* raw = static_cast<uint16_t*>(malloc(pixels * 2));
    uint8_t* bmp = static_cast<uint8_t*>(malloc(pixels * 3));
    unsigned status = ICON_OUT_OF_MEMORY;
    if (raw != nullptr && bmp != nullptr && input != nullptr) {
        status = read_raw_pixels(input, offset, raw, pixels);
    } else if (raw != nullptr && bmp != nullptr) {
        status = offset < 0 || size < static_cast<size_t>(offset) || size - static_cast<size_t>(offset) < 2 * pixels
                     ? ICON_TRUNCATED
                     : ICON_OK;
        if (status == ICON_OK) {
            memcpy(raw, smdh + offset, 2 * pixels);
        }
    }
    if (status == ICON_OK) {
        // In place: pixel i is built from bytes 2i and 2i+1, which it then covers.
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(raw);
        for (size_t i = 0; i < pixels; i++) {
            raw[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        CTPKtoBMP(raw, bmp, side);
        DecodeBMPData(bmp, image, static_cast<uint16_t>(side));
    }
    free(raw);
    free(bmp);
    return status;
}

static unsigned convert_icon(FILE* input, const uint8_t* smdh, size_t size, const char* output_path, int32_t offset,
                             int32_t side)
{
    if (!icon_side_supported(side)) {
        return ICON_BAD_SIDE;
    }
    uint8_t* image = static_cast<uint8_t*>(malloc(4 * static_cast<size_t>(side) * static_cast<size_t>(side)));
    unsigned status = image == nullptr ? ICON_OUT_OF_MEMORY : smdh_icon_image(input, smdh, size, offset, side, image);
    if (status == ICON_OK) {
        status = encode_and_write(output_path, image, static_cast<unsigned>(side), OUTPUT_REPLACE);
    }
    free(image);
    return status;
}

// A DS banner's icon, decoded and written as a PNG file by the same writer.
static unsigned convert_ds_icon(const uint8_t* banner, const char* output_path)
{
    uint8_t image[DS_ICON_SIDE * DS_ICON_SIDE * 4];
    DsIconToRgba(banner, image);
    return encode_and_write(output_path, image, DS_ICON_SIDE, OUTPUT_REPLACE);
}

unsigned ConvertIcon(FILE* input, const char* output_path, int32_t offset, int32_t side)
{
    return convert_icon(input, nullptr, 0, output_path, offset, side);
}

unsigned ConvertIconBytes(const uint8_t* smdh, size_t size, const char* output_path, int32_t offset, int32_t side)
{
    return convert_icon(nullptr, smdh, size, output_path, offset, side);
}

// The two icon slots, in the order they are written.
enum Slot { SLOT_SMALL, SLOT_LARGE, SLOT_COUNT };

struct IconSlot {
    const char* name;
    int32_t offset;  // of the icon block from the start of the SMDH
    int32_t side;
};

static const IconSlot SLOTS[SLOT_COUNT] = {
    {"small", SMALL_ICON_OFFSET, SMALL_ICON_SIDE},
    {"large", LARGE_ICON_OFFSET, LARGE_ICON_SIDE},
};

// Where a slot's icon block ends, from the start of the SMDH.
static size_t slot_end(Slot slot)
{
    return static_cast<size_t>(SLOTS[slot].offset) + 2 * static_cast<size_t>(SLOTS[slot].side * SLOTS[slot].side);
}

// One input and what to write from it. The paths point into the argument
// vector or a derived-name buffer. `line_end` ends the one message that has
// no line end of its own ("is not an ICN file"): empty on a single run,
// a newline in a batch. "Could not open" goes to `open_failures`: standard
// output, as it always has, but standard error where standard output
// carries JSON.
struct Job {
    const char* input;
    const char* outputs[SLOT_COUNT];  // null where the slot is not wanted
    const char* line_end;
    FILE* open_failures;
    std::vector<struct Message>* messages;  // null: each message goes straight out
};

// A job's message, kept for its turn where several workers run a batch.
struct Message {
    FILE* stream;
    std::string text;
};

// Prints a job's message on `stream`, or keeps it for its turn.
__attribute__((format(printf, 3, 4))) static void say(const Job* job, FILE* stream, const char* format, ...)
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
    TitleIdentity* identity;  // set by the caller: where the walk stores it, or null
};

// Scans options from index 1 up to argc - 2: the last argument is only ever
// a value. An option whose value begins with "-" is ignored.
static void parse_options(int argc, char** argv, Job* job)
{
    for (int i = 1; i < argc - 1; i++) {
        const char* value = argv[i + 1];
        if (value[0] == '-') {
            continue;
        }
        if (strcmp(argv[i], "-i") == 0) {
            job->input = value;
        } else if (strcmp(argv[i], "-l") == 0) {
            job->outputs[SLOT_LARGE] = value;
        } else if (strcmp(argv[i], "-s") == 0) {
            job->outputs[SLOT_SMALL] = value;
        }
    }
}

// Prints why the walk found no SMDH; returns the status to stop with.
static int report_walk_failure(const Job* job, WalkStatus status, const SmdhLocation* location)
{
    switch (status) {
    case WALK_NOT_ICN:
        say(job, stderr, "%s is not an ICN file%s", job->input, job->line_end);
        return EXIT_USAGE;
    case WALK_NO_ICON:
        say(job, stderr, "%s holds no icon.\n", job->input);
        return EXIT_USAGE;
    case WALK_ENCRYPTED:
        say(job, stderr, "%s is encrypted; its icon cannot be read.\n", job->input);
        return EXIT_USAGE;
    case WALK_DAMAGED:
        say(job, stderr, "%s is damaged: %s.\n", job->input, location->damage);
        return EXIT_USAGE;
    case WALK_UNREADABLE:
    case WALK_FOUND:
        break;
    }
    say(job, stderr, "Could not read %s: %s\n", job->input, strerror(location->error));
    return EXIT_CANNOT_OPEN;
}

// Follows the begun walk to the SMDH and reads it, unless it is a bare one
// that can be read where it is.
static int walk_to_smdh(const Job* job, WalkInput* walk, OpenedInput* opened)
{
    SmdhLocation* location = &opened->location;
    WalkStatus status = LocateSmdh(walk, location);
    if (status == WALK_FOUND && location->format == FORMAT_SMDH && location->compression == nullptr &&
        walk->file->seekable) {
        return EXIT_DONE;
    }
    if (status == WALK_FOUND) {
        status = ReadSmdh(walk, location, opened->smdh, &opened->smdh_size);
    }
    if (status != WALK_FOUND) {
        return report_walk_failure(job, status, location);
    }
    opened->in_memory = 1;
    return EXIT_DONE;
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
        say(job, job->open_failures, "Could not open %s.\n", job->input);
    } else if (error != 0) {
        say(job, stderr, "Could not read %s: %s\n", job->input, strerror(error));
    } else {
        walk.identity = opened->identity;
        status = walk_to_smdh(job, &walk, opened);
    }
    EndWalk(&walk);
    return status;
}

// Opens the job's input and finds its SMDH. Returns EXIT_DONE with `opened`
// to be closed by close_input, or the status to stop with after printing why.
static int open_input(const Job* job, OpenedInput* opened)
{
    opened->file = fopen(job->input, "rb");
    opened->in_memory = 0;
    opened->smdh_size = 0;
    if (opened->file == nullptr) {
        say(job, job->open_failures, "Could not open %s.\n", job->input);
        return EXIT_CANNOT_OPEN;
    }
    int status = find_smdh(job, opened);
    if (status != EXIT_DONE) {
        fclose(opened->file);
    }
    return status;
}

static void close_input(OpenedInput* opened)
{
    fclose(opened->file);
}

// Returns EXIT_DONE unless an output would overwrite the input file.
static int check_outputs_spare_input(FILE* input, const Job* job)
{
    for (const char* output : job->outputs) {
        if (output != nullptr && platform_same_file(input, output)) {
            say(job, stderr, "Refusing to overwrite the input file %s.\n", output);
            return EXIT_USAGE;
        }
    }
    return EXIT_DONE;
}

// Reports a failed icon of `slot` written to `output`; returns 1 when
// `status` is success, else 0.
static int report_icon_status(const Job* job, Slot slot, const char* output, unsigned status)
{
    switch (IconFailureKind(status)) {
    case ICON_FAILED_NOT:
        return 1;
    case ICON_FAILED_TRUNCATED:
        say(job, stderr, "%s is too short for the %s icon.\n", job->input, SLOTS[slot].name);
        break;
    case ICON_FAILED_READ:
        say(job, stderr, "Could not read %s: %s\n", job->input, IconStatusText(status));
        break;
    case ICON_FAILED_WRITE:
    case ICON_FAILED_ENCODING:
        say(job, stderr, "Could not write %s: %s\n", output, IconStatusText(status));
        break;
    }
    return 0;
}

// Writes one slot's icon from the SMDH, or a DS banner's as the large one
// (it has no small icon); returns 1 when it was written, 0 after reporting
// why not.
static int write_slot(const OpenedInput* opened, const Job* job, Slot slot)
{
    const char* output = job->outputs[slot];
    const IconSlot* place = &SLOTS[slot];
    if (opened->location.banner && slot == SLOT_SMALL) {
        say(job, stderr, "%s has no small icon.\n", job->input);
        return 0;
    }
    unsigned status = opened->location.banner ? convert_ds_icon(opened->smdh, output)
                      : opened->in_memory
                          ? ConvertIconBytes(opened->smdh, opened->smdh_size, output, place->offset, place->side)
                          : ConvertIcon(opened->file, output, place->offset, place->side);
    return report_icon_status(job, slot, output, status);
}

// Runs one job from opening its input to its last PNG; returns its status.
static int run_job(const Job* job)
{
    OpenedInput opened;
    opened.identity = nullptr;
    int status = open_input(job, &opened);
    if (status != EXIT_DONE) {
        return status;
    }
    status = check_outputs_spare_input(opened.file, job);
    if (status == EXIT_DONE) {
        int all_written = 1;
        for (int slot = 0; slot < SLOT_COUNT; slot++) {
            if (job->outputs[slot] != nullptr) {
                all_written &= write_slot(&opened, job, static_cast<Slot>(slot));
            }
        }
        status = all_written ? EXIT_DONE : EXIT_ICON_FAILED;
    }
    close_input(&opened);
    return status;
}

// The one-argument form: the large icon of `input`, beside it as NAME.png.
static int run_beside(const char* input)
{
    char derived_name[DERIVED_NAME_SIZE] = {0};
    if (append_filextention(derived_name, DERIVED_NAME_SIZE, input, ".png") != 0) {
        return EXIT_USAGE;
    }
    Job job = {input, {nullptr, derived_name}, "", stdout, nullptr};
    return run_job(&job);
}

// "--batch FILE...", one file after another: each as by the one-argument
// form, every message a line of its own, whatever came before. A PNG that an
// earlier file of the run wrote is not replaced: game.3dsx and game.cia both
// derive game.png. Returns the highest status of all.
static int run_batch_in_order(int argc, char** argv)
{
    std::unordered_map<std::string, const char*> written;  // PNG name -> its input
    int worst = EXIT_DONE;
    for (int i = 2; i < argc; i++) {
        char derived_name[DERIVED_NAME_SIZE] = {0};
        int status = EXIT_USAGE;
        if (append_filextention(derived_name, DERIVED_NAME_SIZE, argv[i], ".png") == 0) {
            auto earlier = written.find(derived_name);
            if (earlier != written.end()) {
                fprintf(stderr, "Not replacing %s: written from %s in this run.\n", derived_name, earlier->second);
                status = EXIT_ICON_FAILED;
            } else {
                Job job = {argv[i], {nullptr, derived_name}, "\n", stdout, nullptr};
                status = run_job(&job);
                if (status == EXIT_DONE) {
                    written.emplace(derived_name, argv[i]);
                }
            }
        }
        if (status > worst) {
            worst = status;
        }
    }
    return worst;
}

// One file of a batch run by several workers.
struct BatchItem {
    const char* input;
    std::string png;     // its PNG's name; empty when the name does not fit
    long earlier;        // the last earlier item of the same PNG name, or -1
    const char* writer;  // once done: the input that wrote that PNG in this run, or null
    int done;
    int status;
    std::vector<Message> messages;
};

// A batch shared by its workers and its printer, under `lock`. Workers take
// the items in argument order, never more than `window` ahead of the
// printing, so memory stays bounded by the number of workers.
struct Batch {
    std::vector<BatchItem> items;
    std::mutex lock;
    std::condition_variable changed;
    size_t next;
    size_t printed;
    size_t window;
};

// Converts item `i`, or says why not. An earlier item of the same PNG name
// is waited for: the collision rule goes by argument order, as in one run.
static void convert_batch_item(Batch* batch, size_t i)
{
    BatchItem* item = &batch->items[i];
    const char* writer = nullptr;
    if (item->earlier >= 0) {
        std::unique_lock<std::mutex> hold(batch->lock);
        const BatchItem* earlier = &batch->items[static_cast<size_t>(item->earlier)];
        batch->changed.wait(hold, [earlier] { return earlier->done != 0; });
        writer = earlier->writer;
    }
    Job job = {item->input, {nullptr, item->png.c_str()}, "\n", stdout, &item->messages};
    int status = EXIT_ICON_FAILED;
    if (writer != nullptr) {
        say(&job, stderr, "Not replacing %s: written from %s in this run.\n", item->png.c_str(), writer);
    } else {
        status = run_job(&job);
        writer = status == EXIT_DONE ? item->input : nullptr;
    }
    std::lock_guard<std::mutex> hold(batch->lock);
    item->status = status;
    item->writer = writer;
    item->done = 1;
    batch->changed.notify_all();
}

static void batch_worker(Batch* batch)
{
    for (;;) {
        size_t i = 0;
        {
            std::unique_lock<std::mutex> hold(batch->lock);
            batch->changed.wait(hold, [batch] {
                return batch->next == batch->items.size() || batch->next < batch->printed + batch->window;
            });
            if (batch->next == batch->items.size()) {
                return;
            }
            i = batch->next++;
        }
        if (!batch->items[i].done) {
            convert_batch_item(batch, i);
        }
    }
}

// The items of the batch's files: each PNG's name and the last earlier item
// of the same name. A name that does not fit is said at its turn.
static void prepare_batch(int argc, char** argv, Batch* batch)
{
    std::unordered_map<std::string, long> last;  // PNG name -> its last item
    batch->items.resize(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; i++) {
        BatchItem* item = &batch->items[static_cast<size_t>(i - 2)];
        item->input = argv[i];
        item->earlier = -1;
        item->writer = nullptr;
        item->done = 0;
        item->status = EXIT_USAGE;
        char derived_name[DERIVED_NAME_SIZE] = {0};
        if (!derived_name_fits(DERIVED_NAME_SIZE, argv[i], ".png") ||
            append_filextention(derived_name, DERIVED_NAME_SIZE, argv[i], ".png") != 0) {
            item->done = 1;
            continue;
        }
        item->png = derived_name;
        auto found = last.find(item->png);
        if (found != last.end()) {
            item->earlier = found->second;
        }
        last[item->png] = i - 2;
    }
}

// "--batch FILE..." on `workers` threads: the same messages, statuses and
// PNGs as one file after another, the messages printed in argument order.
static int run_batch_on_workers(int argc, char** argv, unsigned workers)
{
    Batch batch;
    prepare_batch(argc, argv, &batch);
    batch.next = 0;
    batch.printed = 0;
    batch.window = 4 * size_t(workers);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; w++) {
        threads.emplace_back(batch_worker, &batch);
    }
    int worst = EXIT_DONE;
    for (size_t i = 0; i < batch.items.size(); i++) {
        BatchItem* item = &batch.items[i];
        std::vector<Message> messages;
        {
            std::unique_lock<std::mutex> hold(batch.lock);
            batch.changed.wait(hold, [item] { return item->done != 0; });
            messages.swap(item->messages);
        }
        if (item->png.empty()) {
            char derived_name[DERIVED_NAME_SIZE];
            append_filextention(derived_name, DERIVED_NAME_SIZE, item->input, ".png");  // says why
        }
        for (const Message& message : messages) {
            fputs(message.text.c_str(), message.stream);
        }
        worst = item->status > worst ? item->status : worst;
        std::lock_guard<std::mutex> hold(batch.lock);
        batch.printed = i + 1;
        batch.changed.notify_all();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return worst;
}

// The number of batch workers: GALLIVOX_JOBS when set (1 to 256), else one
// per online core; 0 after saying why the setting is wrong.
const unsigned MAX_WORKERS = 256;
static unsigned batch_workers()
{
    const char* setting = getenv("GALLIVOX_JOBS");
    if (setting == nullptr) {
        unsigned cores = std::thread::hardware_concurrency();
        return cores == 0 ? 1 : cores < MAX_WORKERS ? cores : MAX_WORKERS;
    }
    char* end = nullptr;
    unsigned long workers = strtoul(setting, &end, 10);
    if (setting[0] < '1' || setting[0] > '9' || *end != 0 || workers > MAX_WORKERS) {
        fprintf(stderr, "Invalid GALLIVOX_JOBS %s: give a number of workers from 1 to %u.\n", setting, MAX_WORKERS);
        return 0;
    }
    return static_cast<unsigned>(workers);
}

// "--batch FILE...": on one worker, one file after another; on several,
// the same outputs, messages and statuses, sooner.
static int run_batch(int argc, char** argv)
{
    unsigned workers = batch_workers();
    if (workers == 0) {
        return EXIT_USAGE;
    }
    if (static_cast<unsigned>(argc - 2) < workers) {
        workers = static_cast<unsigned>(argc - 2);
    }
    return workers <= 1 ? run_batch_in_order(argc, argv) : run_batch_on_workers(argc, argv, workers);
}

// Brings a bare SMDH file's bytes into memory, as every other SMDH already
// is. Returns EXIT_DONE, or the status to stop with after printing why.
static int load_smdh(const Job* job, OpenedInput* opened)
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
        say(job, stderr, "Could not read %s: %s\n", job->input, strerror(errno_or_eio()));
        return EXIT_CANNOT_OPEN;
    }
    opened->in_memory = 1;
    return EXIT_DONE;
}

// Describes the SMDH of an opened input as the next element of the JSON
// array (`first` for the first). Returns EXIT_DONE, or the status to stop
// with after printing why its titles cannot be read.
static int describe_smdh(const Job* job, OpenedInput* opened, int first)
{
    int loaded = load_smdh(job, opened);
    if (loaded != EXIT_DONE) {
        return loaded;
    }
    const uint8_t* bytes = opened->smdh;
    size_t size = opened->smdh_size;
    const SmdhLocation* location = &opened->location;
    if (size < SMDH_METADATA_SIZE && !location->banner) {
        say(job, stderr, "%s is too short for its titles.\n", job->input);
        return EXIT_ICON_FAILED;
    }
    // About 15 KiB together: on the stack, with no allocation that can fail.
    SmdhMetadata metadata;
    DsAnimation animation;
    if (location->banner) {
        ParseDsBanner(bytes, size, &metadata, &animation);
    } else {
        ParseSmdhMetadata(bytes, &metadata);
    }
    SmdhFileFacts facts = {job->input,
                           SmdhFormatName(location->format),
                           location->compression,
                           location->banner,
                           !location->in_item,
                           location->offset,
                           !location->banner && size >= slot_end(SLOT_SMALL),
                           location->banner || size >= slot_end(SLOT_LARGE),
                           opened->identity,
                           location->banner ? &animation : nullptr};
    fputs(first ? "\n" : ",\n", stdout);
    WriteSmdhJson(stdout, &facts, &metadata);
    return EXIT_DONE;
}

// "--info FILE...": one JSON array on standard output, an object for each
// file whose titles can be read, in argument order; the others get their
// messages on standard error. Returns the highest status of all.
static int run_info(int argc, char** argv)
{
    int worst = EXIT_DONE;
    int described = 0;
    fputc('[', stdout);
    for (int i = 2; i < argc; i++) {
        Job job = {argv[i], {nullptr, nullptr}, "\n", stderr, nullptr};
        OpenedInput opened;
        TitleIdentity identity;
        opened.identity = &identity;
        int status = open_input(&job, &opened);
        if (status == EXIT_DONE) {
            status = describe_smdh(&job, &opened, described == 0);
            close_input(&opened);
        }
        described += status == EXIT_DONE;
        if (status > worst) {
            worst = status;
        }
    }
    fputs(described > 0 ? "\n]\n" : "]\n", stdout);
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "Could not write standard output: %s\n", strerror(errno_or_eio()));
        return EXIT_ICON_FAILED;
    }
    return worst;
}

// The longest side a thumbnail may ask for.
const unsigned MAX_THUMBNAIL_SIZE = 4096;

// A thumbnail size: digits only, no leading zero, 1 to MAX_THUMBNAIL_SIZE;
// 0 for anything else.
static unsigned thumbnail_size(const char* text)
{
    unsigned size = 0;
    for (const char* c = text; *c != 0; c++) {
        if (*c < '0' || *c > '9' || (c == text && *c == '0') || size > MAX_THUMBNAIL_SIZE) {
            return 0;
        }
        size = 10 * size + static_cast<unsigned>(*c - '0');
    }
    return size <= MAX_THUMBNAIL_SIZE ? size : 0;
}

// `image` (side×side RGBA) enlarged by `k`: each pixel a k×k block, so pixel
// art stays sharp. A heap buffer, or null when out of memory.
static uint8_t* enlarge(const uint8_t* image, unsigned side, unsigned k)
{
    size_t big = size_t(side) * k;
    uint8_t* out = static_cast<uint8_t*>(malloc(4 * big * big));
    for (size_t y = 0; out != nullptr && y < big; y++) {
        for (size_t x = 0; x < big; x++) {
            memcpy(out + 4 * (y * big + x), image + 4 * ((y / k) * side + x / k), 4);
        }
    }
    return out;
}

// The picture of a thumbnail of `size`: the large icon enlarged as far as
// it fits, or below the large icon's side the small icon as it is (a DS file
// has none: its large one); where the large icon is cut short, the small one
// enlarged. Stores the icon's side, the factor and the decoded icon (a heap
// buffer) and returns ICON_OK, or the status of the large icon that is not
// there.
static unsigned thumbnail_icon(const OpenedInput* opened, unsigned size, unsigned* side, unsigned* k, uint8_t** image)
{
    const unsigned large = opened->location.banner ? DS_ICON_SIDE : LARGE_ICON_SIDE;
    int small_whole = !opened->location.banner && opened->smdh_size >= slot_end(SLOT_SMALL);
    int large_whole = opened->location.banner || opened->smdh_size >= slot_end(SLOT_LARGE);
    Slot slot = size >= large && large_whole ? SLOT_LARGE : small_whole ? SLOT_SMALL : SLOT_LARGE;
    if (slot == SLOT_LARGE && !large_whole) {
        return ICON_TRUNCATED;
    }
    // Below the large side the small icon's factor is 1 by this rule too.
    *side = slot == SLOT_LARGE ? large : SMALL_ICON_SIDE;
    *k = size >= *side ? size / *side : 1;
    *image = static_cast<uint8_t*>(malloc(4 * size_t(*side) * *side));
    if (*image == nullptr) {
        return ICON_OUT_OF_MEMORY;
    }
    if (opened->location.banner) {
        DsIconToRgba(opened->smdh, *image);
        return ICON_OK;
    }
    return smdh_icon_image(nullptr, opened->smdh, opened->smdh_size, SLOTS[slot].offset, SLOTS[slot].side, *image);
}

// Writes the thumbnail of the opened input to the job's output.
static int write_thumbnail(const Job* job, OpenedInput* opened, unsigned size)
{
    int status = load_smdh(job, opened);
    if (status != EXIT_DONE) {
        return status;
    }
    const char* output = job->outputs[SLOT_LARGE];
    unsigned side = 0;
    unsigned k = 1;
    uint8_t* icon = nullptr;
    unsigned result = thumbnail_icon(opened, size, &side, &k, &icon);
    uint8_t* picture = result == ICON_OK ? enlarge(icon, side, k) : nullptr;
    if (result == ICON_OK && picture == nullptr) {
        result = ICON_OUT_OF_MEMORY;
    }
    if (result == ICON_OK) {
        result = encode_and_write(output, picture, side * k, OUTPUT_FILL_EMPTY);
    }
    free(icon);
    free(picture);
    return report_icon_status(job, SLOT_LARGE, output, result) ? EXIT_DONE : EXIT_ICON_FAILED;
}

// "--thumbnail SIZE INPUT OUTPUT", for the desktops' thumbnail services:
// a picture whose longest side is at most SIZE where it can be, the icon's
// pixels kept sharp. An input that gives no picture gets the messages and
// statuses of the one-argument form; nothing is written then.
static int run_thumbnail(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "Usage: %s --thumbnail SIZE INPUT OUTPUT\n", argv[0]);
        return EXIT_USAGE;
    }
    unsigned size = thumbnail_size(argv[2]);
    if (size == 0) {
        fprintf(stderr, "Invalid thumbnail size %s.\n", argv[2]);
        return EXIT_USAGE;
    }
    Job job = {argv[3], {nullptr, argv[4]}, "", stdout, nullptr};
    OpenedInput opened;
    opened.identity = nullptr;
    int status = open_input(&job, &opened);
    if (status != EXIT_DONE) {
        return status;
    }
    status = check_outputs_spare_input(opened.file, &job);
    if (status == EXIT_DONE) {
        status = write_thumbnail(&job, &opened, size);
    }
    close_input(&opened);
    return status;
}

// Returns 1 when `path` names no file at all, so that a lone "--help" can
// mean the option, yet a file of that name is still converted.
static int names_no_file(const char* path)
{
    errno = 0;
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
        fclose(file);
        return 0;
    }
    return errno == ENOENT;
}

static void print_help()
{
    fputs("Gallivox v0.4 by Orrimand\n"
          "Writes the icons of ICN (SMDH) icon files as PNG images, and of the files that\n"
          "carry one: 3DSX executables, CIA archives, NCSD card images (.3ds, .cci) and\n"
          "NCCH images (.cxi, .cfa, .app), each also compressed (Z3DS: .zcia, .zcci,\n"
          ".zcxi, .z3dsx), and the DS banner of DS ROM images (.nds, .dsi, .srl), raw\n"
          "banners (banner.bin, .bnr) and CIAs of DS titles: its 32x32 icon is the large\n"
          "icon (-s: none), transparent where the palette says. Formats are told apart\n"
          "by their first bytes; pipes work too.\n"
          "\n"
          "Usage:\n"
          "  gallivox -i FILE -l LARGE.png -s SMALL.png\n"
          "                            the 48x48 and 24x24 icons (-l, -s or both)\n"
          "  gallivox FILE             the large icon, beside FILE as NAME.png\n"
          "  gallivox --batch FILE...  each FILE as by the form above, in one process\n"
          "  gallivox --info FILE...   titles, ratings, regions and flags, as JSON\n"
          "  gallivox --thumbnail SIZE FILE OUTPUT\n"
          "                            a thumbnail of at most SIZE pixels a side (1 to 4096):\n"
          "                            the icon enlarged, pixels kept sharp\n"
          "  gallivox --help | --version\n"
          "\n"
          "Exit status:\n"
          "  0  every icon was written (or every file described)\n"
          "  1  usage error, or no icon to read: not an ICN file, no icon, encrypted,\n"
          "     damaged\n"
          "  2  an input cannot be opened or read\n"
          "  3  an icon was not written, or a file's titles cannot be read\n"
          "  With --batch and --info, the highest status of all the files.\n"
          "\n"
          "See the manual page, gallivox(1), for every message and example.\n",
          stdout);
}

int GallivoxMain(int argc, char** argv)
{
    if (argc <= 1) {
        puts("Gallivox v0.4 by Orrimand");
        printf("Usage: %s -i <ICN File> -l <Large Icon> -s <Small Icon>\n", argc == 1 ? argv[0] : "gallivox");
        return EXIT_USAGE;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0 && names_no_file(argv[1])) {
        puts("Gallivox v0.4 by Orrimand");
        return EXIT_DONE;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0 && names_no_file(argv[1])) {
        print_help();
        return EXIT_DONE;
    }
    if (argc == 2) {
        return run_beside(argv[1]);
    }
    Job job = {nullptr, {nullptr, nullptr}, "", stdout, nullptr};
    parse_options(argc, argv, &job);
    // Only where the options name no input, which was an error before.
    if (job.input == nullptr && strcmp(argv[1], "--batch") == 0) {
        return run_batch(argc, argv);
    }
    if (job.input == nullptr && strcmp(argv[1], "--info") == 0) {
        return run_info(argc, argv);
    }
    if (job.input == nullptr && strcmp(argv[1], "--thumbnail") == 0) {
        return run_thumbnail(argc, argv);
    }
    if (job.input == nullptr) {
        fputs("No input ICN data specified.", stderr);
        return EXIT_USAGE;
    }
    if (job.outputs[SLOT_LARGE] == nullptr && job.outputs[SLOT_SMALL] == nullptr) {
        fputs("Nothing to do.", stderr);
        return EXIT_USAGE;
    }
    return run_job(&job);
}
