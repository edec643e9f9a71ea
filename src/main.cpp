#include "main.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <lodepng.h>

#include "batch.h"
#include "decode_bmp.h"
#include "ds_banner.h"
#include "info.h"
#include "job.h"
#include "platform.h"
#include "png_writer.h"
#include "thumbnail.h"
#include "utils.h"

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
    if (status >= ICON_KEPT_DIFFERENT && status <= ICON_KEPT_UNREADABLE) {
        return ICON_FAILED_KEPT;
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
    case ICON_FAILED_KEPT:
        return status == ICON_KEPT_DIFFERENT  ? "it holds something else"
               : status == ICON_KEPT_LINK     ? "it is a symbolic link"
               : status == ICON_KEPT_NOT_FILE ? "it is not a regular file"
                                              : "it cannot be read";
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

unsigned SmdhIconImage(FILE* input, const uint8_t* smdh, size_t size, int32_t offset, int32_t side, uint8_t* image)
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
                             int32_t side, unsigned mode)
{
    if (!icon_side_supported(side)) {
        return ICON_BAD_SIDE;
    }
    uint8_t* image = static_cast<uint8_t*>(malloc(4 * static_cast<size_t>(side) * static_cast<size_t>(side)));
    unsigned status = image == nullptr ? ICON_OUT_OF_MEMORY : SmdhIconImage(input, smdh, size, offset, side, image);
    if (status == ICON_OK) {
        status = WritePng(output_path, image, static_cast<unsigned>(side), mode);
    }
    free(image);
    return status;
}

unsigned ConvertDsIcon(const uint8_t* banner, const char* output_path, unsigned mode)
{
    uint8_t image[DS_ICON_SIDE * DS_ICON_SIDE * 4];
    DsIconToRgba(banner, image);
    return WritePng(output_path, image, DS_ICON_SIDE, mode);
}

unsigned ConvertIcon(FILE* input, const char* output_path, int32_t offset, int32_t side)
{
    return convert_icon(input, nullptr, 0, output_path, offset, side, OUTPUT_REPLACE);
}

unsigned ConvertIconBytes(const uint8_t* smdh, size_t size, const char* output_path, int32_t offset, int32_t side,
                          unsigned mode)
{
    return convert_icon(nullptr, smdh, size, output_path, offset, side, mode);
}

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

// The one-argument form: the large icon of `input`, beside it as NAME.png.
static int run_beside(const char* input, KeyRing* keys)
{
    char derived_name[DERIVED_NAME_SIZE] = {0};
    if (append_filextention(derived_name, DERIVED_NAME_SIZE, input, ".png") != 0) {
        return EXIT_USAGE;
    }
    Job job = {input, {nullptr, derived_name}, "", stdout, nullptr, keys, 0, OUTPUT_REPLACE, 0};
    return RunJob(&job);
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
          ".zcxi, .z3dsx), the emulator's bundles of them (.bcci, .bcxi, .bcia: the\n"
          "application's icon), and the DS banner of DS ROM images (.nds, .dsi, .srl),\n"
          "raw banners (banner.bin, .bnr) and CIAs of DS titles: its 32x32 icon is the\n"
          "large icon (-s: none), transparent where the palette says. Formats are told\n"
          "apart by their first bytes; pipes work too. Encrypted files open with your own\n"
          "keys: the key file GALLIVOX_KEYS names, or keys.txt in your configuration\n"
          "folder for gallivox (see README).\n"
          "\n"
          "Usage:\n"
          "  gallivox -i FILE -l LARGE.png -s SMALL.png\n"
          "                            the 48x48 and 24x24 icons (-l, -s or both)\n"
          "  gallivox FILE             the large icon, beside FILE as NAME.png\n"
          "  gallivox --batch [OPTION]... [--] FILE-OR-FOLDER...\n"
          "                            each FILE as by the form above, in one process; a\n"
          "                            folder stands for its files. A file already at a\n"
          "                            PNG's name is left as it is: done where it holds the\n"
          "                            same picture, else kept (one line counts them).\n"
          "                            Options, anywhere before --:\n"
          "      --into DIR            the PNGs in DIR (made as needed), each folder named\n"
          "                            mirrored below it\n"
          "      --retroarch           with --into: every PNG straight in DIR, named as\n"
          "                            RetroArch looks for it (&*/:`<>?\\| become _)\n"
          "      --size N              the picture of --thumbnail N\n"
          "      --force               replace the existing files that differ\n"
          "      --verbose             name each existing file kept, and why\n"
          "  gallivox --info FILE-OR-FOLDER...\n"
          "                            titles, ratings, regions and flags, as JSON\n"
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
          "  4  with --batch: existing files that differ were kept; all else was done\n"
          "  With --batch and --info, the gravest status of all the files, in the order\n"
          "  2, 3, 1, 4, 0.\n"
          "\n"
          "See the manual page, gallivox(1), for every message, and the guide,\n" GALLIVOX_GUIDE
          ", for examples and recipes.\n",
          stdout);
}

int GallivoxMain(int argc, char** argv)
{
    platform_ignore_file_size_signal();
    // The user's key file, read only when an encrypted file is met.
    KeyRing keys;
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
        return run_beside(argv[1], &keys);
    }
    Job job = {nullptr, {nullptr, nullptr}, "", stdout, nullptr, &keys, 0, OUTPUT_REPLACE, 0};
    parse_options(argc, argv, &job);
    // Only where the options name no input, which was an error before.
    if (job.input == nullptr && strcmp(argv[1], "--batch") == 0) {
        return RunBatch(argc, argv, &keys);
    }
    if (job.input == nullptr && strcmp(argv[1], "--info") == 0) {
        return RunInfo(argc, argv, &keys);
    }
    if (job.input == nullptr && strcmp(argv[1], "--thumbnail") == 0) {
        return RunThumbnail(argc, argv, &keys);
    }
    if (job.input == nullptr) {
        fputs("No input ICN data specified.", stderr);
        return EXIT_USAGE;
    }
    if (job.outputs[SLOT_LARGE] == nullptr && job.outputs[SLOT_SMALL] == nullptr) {
        fputs("Nothing to do.", stderr);
        return EXIT_USAGE;
    }
    return RunJob(&job);
}
