#include "icn_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

static size_t bit(size_t value, unsigned index)
{
    return (value >> index) & 1u;
}

void TiledPosition(size_t k, size_t side, size_t* x, size_t* y)
{
    size_t tile = k / 64;
    size_t m = k % 64;
    size_t tiles_per_row = side / 8;
    *x = 8 * (tile % tiles_per_row) + bit(m, 0) + 2 * bit(m, 2) + 4 * bit(m, 4);
    *y = 8 * (tile / tiles_per_row) + bit(m, 1) + 2 * bit(m, 3) + 4 * bit(m, 5);
}

void EncodeIconBlock(const uint16_t* pixels, size_t side, uint8_t* block)
{
    for (size_t k = 0; k < side * side; k++) {
        size_t x = 0;
        size_t y = 0;
        TiledPosition(k, side, &x, &y);
        uint16_t value = pixels[y * side + x];
        block[2 * k] = static_cast<uint8_t>(value & 0xFF);
        block[2 * k + 1] = static_cast<uint8_t>(value >> 8);
    }
}

void BuildIcnFile(const uint16_t* small, const uint16_t* large, uint8_t* file)
{
    memset(file, 0, ICN_FILE_SIZE);
    memcpy(file, "SMDH", 4);
    EncodeIconBlock(small, 24, file + ICN_SMALL_OFFSET);
    EncodeIconBlock(large, 48, file + ICN_LARGE_OFFSET);
}

int WriteWholeFile(const char* path, const uint8_t* data, size_t size)
{
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        fprintf(stderr, "Could not create %s: %s\n", path, strerror(errno));
        return 1;
    }
    int failed = fwrite(data, 1, size, file) != size;
    failed |= fclose(file) != 0;
    if (failed) {
        fprintf(stderr, "Could not write %s: %s\n", path, strerror(errno));
        remove(path);
    }
    return failed;
}

uint16_t PackRGB565(unsigned red, unsigned green, unsigned blue)
{
    return static_cast<uint16_t>(((red >> 3) << 11) | ((green >> 2) << 5) | (blue >> 3));
}
