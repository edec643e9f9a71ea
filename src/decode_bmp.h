// Turning a BGR24 bottom-up bitmap into a top-down RGBA8 image.
#ifndef GALLIVOX_DECODE_BMP_H
#define GALLIVOX_DECODE_BMP_H

#include <cstdint>

// Largest side that the decoding passes convert.
const int32_t MAX_ICON_SIDE = 128;

// Copies the n×n bitmap `bmp` (3·n² bytes, blue-green-red, bottom row first)
// into `image` (4·n² bytes, red-green-blue-alpha, top row first), each pixel
// opaque. Sides 1 to 128 only: given 0 or a larger side it writes nothing.
void DecodeBMPData(const uint8_t* bmp, uint8_t* image, uint16_t side);

#endif
