// The icon path: the two icons of an SMDH (RGB565 pixels in Morton-ordered
// 8×8 tiles) and the icon of a DS banner, decoded into RGBA images and
// handed to the writer as PNG files.
#ifndef GALLIVOX_ICON_H
#define GALLIVOX_ICON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "icon_status.h"
#include "png_encoder.h"

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

// The two icon slots, in the order they are written.
enum Slot { SLOT_SMALL, SLOT_LARGE, SLOT_COUNT };

struct IconSlot {
    const char* name;
    int32_t offset;  // of the icon block from the start of the SMDH
    int32_t side;
};

extern const IconSlot SLOTS[SLOT_COUNT];

// Where a slot's icon block ends, from the start of the SMDH.
size_t SlotEnd(Slot slot);

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

// The frames of the DSi animation of the DS banner at `banner` (its state
// DS_ANIMATION_OK): a 32×32 frame a token, drawn as the token says and
// shown for its ticks (1/60 second each). A token of 0 ticks is left out,
// and a token that shows the same picture as the frame before adds its
// ticks to that frame. The frames point into `pictures`.
void DsAnimationFrames(const uint8_t* banner, std::vector<uint8_t>* pictures, std::vector<PngFrame>* frames);

// Writes the DSi animation of the DS banner at `banner` (its state
// DS_ANIMATION_OK) as an animated PNG under `output_path`, as `mode` says:
// the icon as its default image, then the frames of DsAnimationFrames,
// looping for ever. Returns ICON_OK or a failure of WriteAnimatedPng.
unsigned ConvertDsAnimation(const uint8_t* banner, const char* output_path, unsigned mode);

// Stores the n×n raw RGB565 pixels of `raw` (tiled order: 8×8 tiles left to
// right, top to bottom, Z order inside each) into `bmp`, 3·n² bytes of
// BGR24 rows from the bottom up. n must be a multiple of 8 from 8 to 128;
// for any other side nothing is read or written.
void CTPKtoBMP(const uint16_t* raw, uint8_t* bmp, int32_t side);

// Expands an RGB565 pixel to 8 bits a channel by shifting in zero bits, so
// full intensity is 248 for red and blue and 252 for green.
BGR24 RGB565toRGB24bit(uint16_t pixel);

#endif
