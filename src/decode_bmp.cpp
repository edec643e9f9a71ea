#include "decode_bmp.h"

#include <cstddef>

void DecodeBMPData(const uint8_t* bmp, uint8_t* image, uint16_t side)
{
    if (side == 0 || side > MAX_ICON_SIDE) {
        return;
    }
    const size_t n = side;
    for (size_t y = 0; y < n; y++) {
        const uint8_t* source_row = bmp + 3 * (n - 1 - y) * n;
        uint8_t* image_row = image + 4 * y * n;
#pragma GCC unroll 4
        for (size_t x = 0; x < n; x++) {
            const uint8_t* s = source_row + 3 * x;
            uint8_t* d = image_row + 4 * x;
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            d[3] = 0xFF;
        }
    }
}
