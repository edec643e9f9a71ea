// Writes COUNT ICN files, DIR/icon-0000.icn onward, of mixed content as a
// collection has it: drawn-looking gradients with a disc, flat colours with
// a square, and one file in ten of pure noise, whose PNGs are the heaviest.
// With "ds" after COUNT, DS ROM images (DIR/icon-0000.nds onward) instead,
// their 16-colour icons drawn alike.
#include <cstdio>
#include <cstdlib>
#include <string>
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

// A DS ROM image whose icon is a disc over a square, in 16 colours of its
// own, index 0 (transparent) in the corners; one in ten of noise.
static std::vector<uint8_t> draw_ds_rom(unsigned index)
{
    DsBannerFields fields;
    uint32_t state = index * 2654435761u + 32;
    for (uint16_t& colour : fields.palette) {
        colour = static_cast<uint16_t>(next_random(&state) & 0x7fff);
    }
    for (size_t y = 0; y < 32; y++) {
        for (size_t x = 0; x < 32; x++) {
            long dx = static_cast<long>(2 * x) - 32, dy = static_cast<long>(2 * y) - 32;
            bool in_disc = dx * dx + dy * dy < 512;
            bool in_square = x > 4 && x < 28 && y > 4 && y < 28;
            uint8_t value = in_disc ? static_cast<uint8_t>(1 + (x + y) / 8) : in_square ? 9 : 0;
            fields.pixels[y * 32 + x] = index % 10 == 9 ? static_cast<uint8_t>(next_random(&state) % 16) : value;
        }
    }
    fields.titles = {u"Bench", u"Bench"};
    return MakeDsRom(MakeDsBanner(fields));
}

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && std::string(argv[3]) == "ds")) {
        fprintf(stderr, "Usage: %s <directory> <count> [ds]\n", argc > 0 ? argv[0] : "make_icn_set");
        return 1;
    }
    unsigned count = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
    bool ds = argc == 4;
    std::vector<uint8_t> file(ICN_FILE_SIZE);
    for (unsigned i = 0; i < count; i++) {
        char path[4096];
        snprintf(path, sizeof path, "%s/icon-%04u.%s", argv[1], i, ds ? "nds" : "icn");
        if (ds) {
            file = draw_ds_rom(i);
        } else {
            BuildIcnFile(draw(24, i).data(), draw(48, i).data(), file.data());
        }
        if (WriteWholeFile(path, file.data(), file.size()) != 0) {
            return 1;
        }
    }
    return 0;
}
