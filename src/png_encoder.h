// A PNG encoder that writes exactly the bytes LodePNG 20220618's
// lodepng_encode32 writes at its default settings: the same colour type, bit
// depth, palette order and transparency key, the same filter for each row,
// the same zlib stream, the same chunks.
#ifndef GALLIVOX_PNG_ENCODER_H
#define GALLIVOX_PNG_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

// The LodePNG whose output this encoder reproduces.
extern const char* const PNG_ENCODER_LODEPNG_VERSION;

// Encodes the width×height RGBA image (4·width·height bytes, rows top down;
// both at least 1, at most 65535) into `png`, replacing its content. Returns
// 0, or LodePNG's code 83 when memory runs out.
unsigned EncodePngLikeLodePng(const uint8_t* rgba, unsigned width, unsigned height, std::vector<uint8_t>* png);

// A frame of an animated PNG: a picture of the image's size (RGBA, rows top
// down), shown for delay_numerator / delay_denominator seconds.
struct PngFrame {
    const uint8_t* rgba;
    uint16_t delay_numerator;
    uint16_t delay_denominator;
};

// Encodes an animated PNG (APNG) into `png`, replacing its content: the
// width×height RGBA `still` as the default image, which viewers without
// animation show and which is not a frame of it, then the `count` frames
// (at least 1), each over the whole image, played without end. One colour
// type and depth for all, as LodePNG's choice for all the pictures side by
// side; each picture's rows filtered and compressed as EncodePngLikeLodePng
// does. Returns 0, or 83 when memory runs out.
unsigned EncodeAnimatedPng(const uint8_t* still, const PngFrame* frames, size_t count, unsigned width, unsigned height,
                           std::vector<uint8_t>* png);

#endif
