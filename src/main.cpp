#include "main.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <lodepng.h>

#include "decode_bmp.h"
#include "platform.h"
#include "utils.h"

// Exit statuses of the process.
enum ExitStatus {
    EXIT_DONE = 0,          // every requested icon was written
    EXIT_USAGE = 1,         // usage error, or the input is not an ICN file
    EXIT_CANNOT_OPEN = 2,   // the input file cannot be opened
    EXIT_ICON_FAILED = 3,   // one or more requested icons were not written
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
        for (ptrdiff_t group = 0; group < n / 4; group++) {
            // Each group is one half of a tile: two 4×4 quadrants side by side.
            for (int half = 0; half < 2; half++) {
                uint8_t* cursor = bmp + (n - 1 - cursor_y) * row_bytes + 3 * cursor_x;
#pragma GCC unroll 16
                for (int i = 0; i < 16; i++) {
                    BGR24 colour = RGB565toRGB24bit(*next++);
                    uint8_t* pixel = cursor + block_offset[i];
                    pixel[0] = colour.blue;
                    pixel[1] = colour.green;
                    pixel[2] = colour.red;
                }
                cursor_x += 4;
            }
            if (group % 2 == 0) {
                cursor_x -= 8;  // down to the lower half of the same tile
                cursor_y += 4;
            } else {
                cursor_y -= 4;  // up to the upper half of the next tile
            }
        }
    }
}

static unsigned system_error(unsigned base)
{
    return base + static_cast<unsigned>(errno != 0 ? errno : EIO);
}

const char* IconStatusText(unsigned status)
{
    if (status >= ICON_WRITE_ERROR) {
        return strerror(static_cast<int>(status - ICON_WRITE_ERROR));
    }
    if (status >= ICON_READ_ERROR) {
        return strerror(static_cast<int>(status - ICON_READ_ERROR));
    }
    if (status == ICON_TRUNCATED) {
        return "the file ends inside the icon";
    }
    if (status == ICON_BAD_SIDE) {
        return "unsupported icon side";
    }
    return lodepng_error_text(status);
}

// Reads side² little-endian RGB565 pixels at `offset` into `raw`.
static unsigned read_raw_pixels(FILE* input, int32_t offset, uint16_t* raw, size_t pixels)
{
    uint8_t* bytes = reinterpret_cast<uint8_t*>(raw);
    errno = 0;
    if (fseek(input, offset, SEEK_SET) != 0) {
        return system_error(ICON_READ_ERROR);
    }
    if (fread(bytes, 2, pixels, input) != pixels) {
        return ferror(input) ? system_error(ICON_READ_ERROR) : ICON_TRUNCATED;
    }
    // In place: pixel i is built from bytes 2i and 2i+1, which it then covers.
    for (size_t i = 0; i < pixels; i++) {
        raw[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return ICON_OK;
}

static unsigned encode_and_write(const char* path, const uint8_t* image, unsigned side)
{
    unsigned char* png = nullptr;
    size_t png_size = 0;
    unsigned status = lodepng_encode32(&png, &png_size, image, side, side);
    if (status == ICON_OK) {
        int error = platform_replace_file(path, png, png_size);
        if (error != 0) {
            status = ICON_WRITE_ERROR + static_cast<unsigned>(error);
        }
    }
    free(png);
    return status;
}

unsigned ConvertIcon(FILE* input, const char* output_path, int32_t offset, int32_t side)
{
    if (!icon_side_supported(side)) {
        return ICON_BAD_SIDE;
    }
    const size_t pixels = static_cast<size_t>(side) * static_cast<size_t>(side);
    uint16_t* raw = static_cast<uint16_t*>(malloc(pixels * 2));
    uint8_t* bmp = static_cast<uint8_t*>(malloc(pixels * 3));
    uint8_t* image = static_cast<uint8_t*>(malloc(pixels * 4));
    unsigned status = 83;  // LodePNG's code for a failed allocation
    if (raw != nullptr && bmp != nullptr && image != nullptr) {
        status = read_raw_pixels(input, offset, raw, pixels);
    }
    if (status == ICON_OK) {
        CTPKtoBMP(raw, bmp, side);
        free(raw);
        raw = nullptr;
        DecodeBMPData(bmp, image, static_cast<uint16_t>(side));
        free(bmp);
        bmp = nullptr;
        status = encode_and_write(output_path, image, static_cast<unsigned>(side));
    }
    free(raw);
    free(bmp);
    free(image);
    return status;
}

#ifndef GALLIVOX_NO_MAIN

// The paths of one run; each points into the argument vector or the
// derived-name buffer.
struct RunPaths {
    const char* input;
    const char* large;
    const char* small;
};

// Scans options from index 1 up to argc - 2: the last argument is only ever
// a value. An option whose value begins with "-" is ignored.
static void parse_options(int argc, char** argv, RunPaths* paths)
{
    for (int i = 1; i < argc - 1; i++) {
        const char* value = argv[i + 1];
        if (value[0] == '-') {
            continue;
        }
        if (strcmp(argv[i], "-i") == 0) {
            paths->input = value;
        } else if (strcmp(argv[i], "-l") == 0) {
            paths->large = value;
        } else if (strcmp(argv[i], "-s") == 0) {
            paths->small = value;
        }
    }
}

// How much of an ICN file is ever read: up to the end of the large icon block.
const size_t ICN_READ_SIZE = LARGE_ICON_OFFSET + 2 * LARGE_ICON_SIDE * LARGE_ICON_SIDE;

// Returns a stream of the input that can seek: `input` itself when it can,
// otherwise (a pipe, a FIFO) a temporary copy of its first ICN_READ_SIZE
// bytes, never more, so that endless input ends too. Returns null after
// printing why the input could not be read.
static FILE* seekable_input(FILE* input, const char* input_path)
{
    if (fseek(input, 0, SEEK_SET) == 0) {
        return input;
    }
    unsigned char* bytes = static_cast<unsigned char*>(malloc(ICN_READ_SIZE));
    errno = 0;
    FILE* copy = bytes != nullptr ? tmpfile() : nullptr;
    size_t got = copy != nullptr ? fread(bytes, 1, ICN_READ_SIZE, input) : 0;
    int copied = copy != nullptr && !ferror(input) && fwrite(bytes, 1, got, copy) == got &&
                 fflush(copy) == 0 && fseek(copy, 0, SEEK_SET) == 0;
    int reason = errno != 0 ? errno : EIO;
    free(bytes);
    if (!copied) {
        fprintf(stderr, "Could not read %s: %s\n", input_path, strerror(reason));
        if (copy != nullptr) {
            fclose(copy);
        }
        return nullptr;
    }
    return copy;
}

// Returns EXIT_DONE when the stream begins with "SMDH", otherwise the status
// to stop with after printing its message, ended by `line_end`.
static int check_magic(FILE* input, const char* input_path, const char* line_end)
{
    unsigned char magic[4];
    size_t got = 0;
    if (fseek(input, 0, SEEK_SET) == 0) {
        got = fread(magic, 1, sizeof magic, input);
    }
    if (ferror(input)) {
        // A directory opens but cannot be read: as good as not opened.
        printf("Could not open %s.\n", input_path);
        return EXIT_CANNOT_OPEN;
    }
    if (got != sizeof magic || memcmp(magic, "SMDH", sizeof magic) != 0) {
        fprintf(stderr, "%s is not an ICN file%s", input_path, line_end);
        return EXIT_USAGE;
    }
    return EXIT_DONE;
}

// Returns EXIT_DONE unless an output would overwrite the input file.
static int check_outputs_spare_input(FILE* input, const RunPaths* paths)
{
    const char* outputs[2] = {paths->small, paths->large};
    for (const char* output : outputs) {
        if (output != nullptr && platform_same_file(input, output)) {
            fprintf(stderr, "Refusing to overwrite the input file %s.\n", output);
            return EXIT_USAGE;
        }
    }
    return EXIT_DONE;
}

// Extracts one slot; returns 1 when it was written, 0 after reporting why not.
static int extract_icon(FILE* input, const RunPaths* paths, const char* output, int32_t offset,
                        int32_t side, const char* slot_name)
{
    unsigned status = ConvertIcon(input, output, offset, side);
    if (status == ICON_OK) {
        return 1;
    }
    if (status == ICON_TRUNCATED) {
        fprintf(stderr, "%s is too short for the %s icon.\n", paths->input, slot_name);
    } else if (status >= ICON_READ_ERROR && status < ICON_WRITE_ERROR) {
        fprintf(stderr, "Could not read %s: %s\n", paths->input, IconStatusText(status));
    } else {
        fprintf(stderr, "Could not write %s: %s\n", output, IconStatusText(status));
    }
    return 0;
}

// `data` holds the input's bytes; `input` is the file as opened, whose
// identity the outputs are checked against.
static int convert_icons(FILE* data, FILE* input, const RunPaths* paths, const char* line_end)
{
    int status = check_magic(data, paths->input, line_end);
    if (status == EXIT_DONE) {
        status = check_outputs_spare_input(input, paths);
    }
    if (status != EXIT_DONE) {
        return status;
    }
    int all_written = 1;
    if (paths->small != nullptr) {
        all_written &= extract_icon(data, paths, paths->small, SMALL_ICON_OFFSET,
                                    SMALL_ICON_SIDE, "small");
    }
    if (paths->large != nullptr) {
        all_written &= extract_icon(data, paths, paths->large, LARGE_ICON_OFFSET,
                                    LARGE_ICON_SIDE, "large");
    }
    return all_written ? EXIT_DONE : EXIT_ICON_FAILED;
}

// Opens the input and writes the icons that `paths` asks for; returns the
// exit status. `line_end` ends the one message that has no line end of its own.
static int convert_file(const RunPaths* paths, const char* line_end)
{
    FILE* input = fopen(paths->input, "rb");
    if (input == nullptr) {
        printf("Could not open %s.\n", paths->input);
        return EXIT_CANNOT_OPEN;
    }
    FILE* data = seekable_input(input, paths->input);
    int status = EXIT_CANNOT_OPEN;
    if (data != nullptr) {
        status = convert_icons(data, input, paths, line_end);
        if (data != input) {
            fclose(data);
        }
    }
    fclose(input);
    return status;
}

// The one-argument form: the large icon of `input_path`, beside it as NAME.png.
static int convert_beside(const char* input_path, const char* line_end)
{
    char derived_name[DERIVED_NAME_SIZE] = {0};
    if (append_filextention(derived_name, DERIVED_NAME_SIZE, input_path, ".png") != 0) {
        return EXIT_USAGE;
    }
    RunPaths paths = {input_path, derived_name, nullptr};
    return convert_file(&paths, line_end);
}

// "--batch FILE...": each file as by the one-argument form, every message a
// line of its own, whatever came before. Returns the highest status of all.
static int convert_batch(int argc, char** argv)
{
    int worst = EXIT_DONE;
    for (int i = 2; i < argc; i++) {
        int status = convert_beside(argv[i], "\n");
        if (status > worst) {
            worst = status;
        }
    }
    return worst;
}

int main(int argc, char** argv)
{
    if (argc <= 1) {
        puts("Gallivox v0.4 by Orrimand");
        printf("Usage: %s -i <ICN File> -l <Large Icon> -s <Small Icon>\n",
               argc == 1 ? argv[0] : "gallivox");
        return EXIT_USAGE;
    }
    if (argc == 2) {
        return convert_beside(argv[1], "");
    }
    RunPaths paths = {nullptr, nullptr, nullptr};
    parse_options(argc, argv, &paths);
    if (paths.input == nullptr && strcmp(argv[1], "--batch") == 0) {
        // Only where the options name no input, which was an error before.
        return convert_batch(argc, argv);
    }
    if (paths.input == nullptr) {
        fputs("No input ICN data specified.", stderr);
        return EXIT_USAGE;
    }
    if (paths.large == nullptr && paths.small == nullptr) {
        fputs("Nothing to do.", stderr);
        return EXIT_USAGE;
    }
    return convert_file(&paths, "");
}

#endif
