// The least that converting many ICN files in one process takes: for each
// file named on the command line, read it, place the large icon's pixels by
// the Morton rule, encode them with LodePNG's defaults and write NAME.png.
// No checks beyond what keeps it from crashing; the floor --batch is held to.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <lodepng.h>

#include "icn_writer.h"

const size_t SIDE = 48;

static void place_pixels(const uint8_t* block, uint8_t* rgba)
{
    for (size_t k = 0; k < SIDE * SIDE; k++) {
        size_t x = 0;
        size_t y = 0;
        TiledPosition(k, SIDE, &x, &y);
        unsigned pixel = block[2 * k] | (block[2 * k + 1] << 8);
        uint8_t* out = rgba + 4 * (y * SIDE + x);
        out[0] = static_cast<uint8_t>((pixel >> 8) & 0xF8);
        out[1] = static_cast<uint8_t>((pixel >> 3) & 0xFC);
        out[2] = static_cast<uint8_t>(pixel << 3);
        out[3] = 0xFF;
    }
}

int main(int argc, char** argv)
{
    static uint8_t file[ICN_FILE_SIZE];
    static uint8_t rgba[4 * SIDE * SIDE];
    for (int i = 1; i < argc; i++) {
        FILE* in = fopen(argv[i], "rb");
        if (in == nullptr || fread(file, 1, ICN_FILE_SIZE, in) != ICN_FILE_SIZE) {
            return 1;
        }
        fclose(in);
        place_pixels(file + ICN_LARGE_OFFSET, rgba);
        unsigned char* png = nullptr;
        size_t png_size = 0;
        if (lodepng_encode32(&png, &png_size, rgba, SIDE, SIDE) != 0) {
            return 1;
        }
        std::string name = argv[i];
        name = name.substr(0, name.rfind('.')) + ".png";
        FILE* out = fopen(name.c_str(), "wb");
        if (out == nullptr || fwrite(png, 1, png_size, out) != png_size || fclose(out) != 0) {
            return 1;
        }
        free(png);
    }
    return 0;
}
