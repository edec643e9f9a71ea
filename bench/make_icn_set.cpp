// Writes COUNT ICN files, DIR/icon-0000.icn onward, of mixed content as a
// collection has it: drawn-looking gradients with a disc, flat colours with
// a square, and one file in ten of pure noise, whose PNGs are the heaviest.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "icn_writer.h"

static uint32_t next_random(uint32_t* state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

static std::vector<uint16_t> draw(size_t side, unsigned index)
{
    std::vector<uint16_t> pixels(side * side);
    uint32_t state = index * 2654435761u + static_cast<uint32_t>(side);
    uint16_t flat = static_cast<uint16_t>(next_random(&state));
    for (size_t y = 0; y < side; y++) {
        for (size_t x = 0; x < side; x++) {
            long dx = static_cast<long>(2 * x) - static_cast<long>(side);
            long dy = static_cast<long>(2 * y) - static_cast<long>(side);
            bool in_disc = dx * dx + dy * dy < static_cast<long>(side * side / 2);
            uint16_t colour;
            if (index % 10 == 9) {
                colour = static_cast<uint16_t>(next_random(&state));
            } else if (index % 3 == 0) {
                bool in_square = x > side / 4 && x < 3 * side / 4 && y > side / 4 && y < 3 * side / 4;
                colour = in_square ? static_cast<uint16_t>(~flat) : flat;
            } else {
                unsigned red = static_cast<unsigned>(255 * x / (side - 1));
                unsigned blue = static_cast<unsigned>(255 * y / (side - 1));
                colour = in_disc ? PackRGB565(255, 255 - red, index % 256) : PackRGB565(red, index % 200, blue);
            }
            pixels[y * side + x] = colour;
        }
    }
    return pixels;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "Usage: %s <directory> <count>\n", argc > 0 ? argv[0] : "make_icn_set");
        return 1;
    }
    unsigned count = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
    std::vector<uint8_t> file(ICN_FILE_SIZE);
    for (unsigned i = 0; i < count; i++) {
        char path[4096];
        snprintf(path, sizeof path, "%s/icon-%04u.icn", argv[1], i);
        BuildIcnFile(draw(24, i).data(), draw(48, i).data(), file.data());
        if (WriteWholeFile(path, file.data(), file.size()) != 0) {
            return 1;
        }
    }
    return 0;
}
