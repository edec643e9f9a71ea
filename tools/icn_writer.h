// Writing ICN icon files from plain row-order RGB565 pixels: the inverse of
// the decoder, for the bundled sample and for the tests.
#ifndef GALLIVOX_ICN_WRITER_H
#define GALLIVOX_ICN_WRITER_H

#include <cstddef>
#include <cstdint>

const size_t ICN_FILE_SIZE = 14016;
const size_t ICN_SMALL_OFFSET = 0x2040;
const size_t ICN_LARGE_OFFSET = 0x24C0;

// Image position of raw pixel k of an icon of `side` pixels, by the Morton
// rule: tiles in row order, the even bits of k mod 64 give x, the odd ones y.
void TiledPosition(size_t k, size_t side, size_t* x, size_t* y);

// Stores the side×side pixels of `pixels` (row order, top row first) into
// `block` (2·side² bytes) in tiled order, each pixel low byte first.
void EncodeIconBlock(const uint16_t* pixels, size_t side, uint8_t* block);

// Fills `file` (ICN_FILE_SIZE bytes) with a whole ICN file: the magic, zeros,
// and the 24×24 `small` and 48×48 `large` icons in their blocks.
void BuildIcnFile(const uint16_t* small, const uint16_t* large, uint8_t* file);

// Writes the first `size` bytes of `data` to `path`; returns 0 on success,
// 1 after printing the reason on standard error.
int WriteWholeFile(const char* path, const uint8_t* data, size_t size);

// RGB565 value of an 8-bit-per-channel colour (the low bits are dropped).
uint16_t PackRGB565(unsigned red, unsigned green, unsigned blue);

#endif
