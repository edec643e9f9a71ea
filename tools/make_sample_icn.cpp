// Draws the bundled sample ICN file: on each icon a white letter F over a
// gradient whose red grows to the right and whose blue grows downward, with
// pure red, green and blue squares along the bottom edge. A flip, a mirror,
// a channel swap or a scrambled tile is plain to see in the extracted PNGs.
// With a second name, also a DSi banner whose animated icon is a ring of
// eight dots with a bright one going round, shaped as real ones are: eight
// bitmaps, palette 0 for all, a first frame of 160 ticks, then 8 each.
#include <cmath>
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

// The ring with dot `bright` lit (index 2) and the one before it fading
// (3), the others dim (1), on a transparent ground (0).
static std::vector<uint8_t> draw_ring(int bright)
{
    const double pi = 3.14159265358979323846;
    std::vector<uint8_t> pixels(32 * 32, 0);
    for (int dot = 0; dot < 8; dot++) {
        double cx = 15.5 + 11 * std::sin(dot * pi / 4);
        double cy = 15.5 - 11 * std::cos(dot * pi / 4);
        uint8_t index = dot == bright ? 2 : dot == (bright + 7) % 8 ? 3 : 1;
        for (int y = 0; y < 32; y++) {
            for (int x = 0; x < 32; x++) {
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= 3.2 * 3.2) {
                    pixels[size_t(32 * y + x)] = index;
                }
            }
        }
    }
    return pixels;
}

static std::vector<uint8_t> draw_dsi_banner()
{
    DsBannerFields fields;
    fields.version = 0x0103;
    fields.pixels = draw_ring(0);
    // 15-bit colours: a slate grey, an orange and a darker orange.
    fields.palette = {0, 10 | 12 << 5 | 16 << 10, 31 | 20 << 5, 22 | 12 << 5};
    fields.palette.resize(16);
    fields.titles = {u"", u"Gallivox\nRing\nOrrimand"};
    for (int b = 0; b < 8; b++) {
        fields.bitmaps.push_back(draw_ring(b));
        fields.tokens.push_back(static_cast<uint16_t>(b << 8 | (b == 0 ? 160 : 8)));
    }
    fields.palettes = {fields.palette};
    return MakeDsBanner(fields);
}

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "Usage: %s <output ICN file> [<output DSi banner>]\n", argc > 0 ? argv[0] : "make_sample_icn");
        return 1;
    }
    std::vector<uint8_t> file(ICN_FILE_SIZE);
    BuildIcnFile(draw_icon(24).data(), draw_icon(48).data(), file.data());
    int status = WriteWholeFile(argv[1], file.data(), file.size());
    if (status == 0 && argc == 3) {
        const std::vector<uint8_t> banner = draw_dsi_banner();
        status = WriteWholeFile(argv[2], banner.data(), banner.size());
    }
    return status;
}
