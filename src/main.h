// The command-line driver and the extraction of one ICN icon into a PNG file.
#ifndef GALLIVOX_MAIN_H
#define GALLIVOX_MAIN_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The two icon slots of an ICN file: byte offset of the block and side.
const int32_t SMALL_ICON_OFFSET = 0x2040;
const int32_t SMALL_ICON_SIDE = 24;
const int32_t LARGE_ICON_OFFSET = 0x24C0;
const int32_t LARGE_ICON_SIDE = 48;

// One 8-bit-per-channel colour in bitmap byte order.
struct BGR24 {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
};

// Results of ConvertIcon. Values from 1 below ICON_TRUNCATED are LodePNG's
// own error codes; the two system error bases carry the errno value added.
enum IconStatus : unsigned {
    ICON_OK = 0,
    ICON_OUT_OF_MEMORY = 83,  // LodePNG's own code, for our buffers too
    ICON_TRUNCATED = 1000,    // the file ends inside the icon block
    ICON_BAD_SIDE = 1001,     // side not a multiple of 8 from 8 to 128
    // An output that was there already, left as it is where a batch keeps
    // what it did not make (see OUTPUT_KEEP):
    ICON_KEPT_DIFFERENT = 1010,   // a file that holds another picture, or no PNG
    ICON_KEPT_LINK = 1011,        // a symbolic link
    ICON_KEPT_NOT_FILE = 1012,    // a folder, a FIFO, a device
    ICON_KEPT_UNREADABLE = 1013,  // something that cannot be read
    ICON_READ_ERROR = 0x10000,    // + errno: the icon block could not be read
    ICON_WRITE_ERROR = 0x20000,   // + errno: the PNG file could not be written
};

// The whole tool: the command line `argv` (of `argc` entries, the program's
// name first) run as the process would run it. Returns the exit status.
int GallivoxMain(int argc, char** argv);

// Reads the side×side icon block at `offset` of the ICN file `input`,
// decodes it and writes it as a PNG file under `output_path`. Returns
// ICON_OK, or one of the IconStatus failures. An existing output is replaced
// in one step (platform_replace_file): a failure leaves it as it was.
unsigned ConvertIcon(FILE* input, const char* output_path, int32_t offset, int32_t side);

// The same from an SMDH in memory: the block at `offset` of the `size`
// bytes at `smdh`, ICON_TRUNCATED when they end inside it; the PNG written
// as `mode` (OutputMode flags) says.
unsigned ConvertIconBytes(const uint8_t* smdh, size_t size, const char* output_path, int32_t offset, int32_t side,
                          unsigned mode);

// The one pixel path of the SMDH's icons: the side×side icon block at
// `offset`, read from `input` where it is not null, else from the `size`
// bytes at `smdh`, decoded into `image` (side² RGBA pixels, rows top down).
// Returns ICON_OK or an IconStatus failure.
unsigned SmdhIconImage(FILE* input, const uint8_t* smdh, size_t size, int32_t offset, int32_t side, uint8_t* image);

// Decodes the icon of the DS banner at `banner` (its version and CRCs
// checked) and writes it as a 32×32 RGBA PNG file under `output_path`, as
// `mode` (OutputMode flags) says. Returns ICON_OK or an IconStatus failure.
unsigned ConvertDsIcon(const uint8_t* banner, const char* output_path, unsigned mode);

// What a ConvertIcon result is: success, the file cut short inside the
// icon, a failed read, a failed write, the encoder's refusal (LodePNG's
// codes, an unsupported side), or an existing output kept.
enum IconFailure {
    ICON_FAILED_NOT,
    ICON_FAILED_TRUNCATED,
    ICON_FAILED_READ,
    ICON_FAILED_WRITE,
    ICON_FAILED_ENCODING,
    ICON_FAILED_KEPT,
};
IconFailure IconFailureKind(unsigned status);

// The reason for a failed ConvertIcon result, as one short text.
const char* IconStatusText(unsigned status);

// Stores the n×n raw RGB565 pixels of `raw` (tiled order: 8×8 tiles left to
// right, top to bottom, Z order inside each) into `bmp`, 3·n² bytes of
// BGR24 rows from the bottom up. n must be a multiple of 8 from 8 to 128;
// for any other side nothing is read or written.
void CTPKtoBMP(const uint16_t* raw, uint8_t* bmp, int32_t side);

// Expands an RGB565 pixel to 8 bits a channel by shifting in zero bits, so
// full intensity is 248 for red and blue and 252 for green.
BGR24 RGB565toRGB24bit(uint16_t pixel);

#endif
