// Draws the bundled sample ICN file: on each icon a white letter F over a
// gradient whose red grows to the right and whose blue grows downward, with
// pure red, green and blue squares along the bottom edge. A flip, a mirror,
// a channel swap or a scrambled tile is plain to see in the extracted PNGs.
#include <cstdio>
#include <vector>

#include "icn_writer.h"

static bool inside(double u, double v, double left, double top, double right, double bottom)
{
    return u >= left && u < right && v >= top && v < bottom;
}

static bool on_letter_f(double u, double v)
{
    return inside(u, v, 0.25, 0.12, 0.42, 0.80)      // stem
           || inside(u, v, 0.25, 0.12, 0.78, 0.27)   // top bar
           || inside(u, v, 0.25, 0.40, 0.65, 0.53);  // middle bar
}

static uint16_t swatch_colour(double u)
{
    if (u < 1.0 / 3) {
        return PackRGB565(255, 0, 0);
    }
    return u < 2.0 / 3 ? PackRGB565(0, 255, 0) : PackRGB565(0, 0, 255);
}

static std::vector<uint16_t> draw_icon(size_t side)
{
    std::vector<uint16_t> pixels(side * side);
    for (size_t y = 0; y < side; y++) {
        for (size_t x = 0; x < side; x++) {
            double u = (x + 0.5) / side;
            double v = (y + 0.5) / side;
            uint16_t colour = PackRGB565(255 * x / (side - 1), 48, 255 * y / (side - 1));
            if (on_letter_f(u, v)) {
                colour = 0xFFFF;
            } else if (v >= 0.875) {
                colour = swatch_colour(u);
            }
            pixels[y * side + x] = colour;
        }
    }
    return pixels;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "Usage: %s <output ICN file>\n", argc > 0 ? argv[0] : "make_sample_icn");
        return 1;
    }
    std::vector<uint8_t> file(ICN_FILE_SIZE);
    BuildIcnFile(draw_icon(24).data(), draw_icon(48).data(), file.data());
    return WriteWholeFile(argv[1], file.data(), file.size());
}
