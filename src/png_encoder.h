// A PNG encoder that writes exactly the bytes LodePNG 20220618's
// lodepng_encode32 writes at its default settings: the same colour type, bit
// depth, palette order and transparency key, the same filter for each row,
// the same zlib stream, the same chunks.
#ifndef GALLIVOX_PNG_ENCODER_H
#define GALLIVOX_PNG_ENCODER_H

#include <cstdint>
#include <vector>

// The LodePNG whose output this encoder reproduces.
extern const char* const PNG_ENCODER_LODEPNG_VERSION;

// Encodes the width×height RGBA image (4·width·height bytes, rows top down;
// both at least 1, at most 65535) into `png`, replacing its content. Returns
// 0, or LodePNG's code 83 when memory runs out.
unsigned EncodePngLikeLodePng(const uint8_t* rgba, unsigned width, unsigned height, std::vector<uint8_t>* png);

#endif
