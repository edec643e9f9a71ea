// Our PNG encoder against LodePNG's own: the same bytes for every kind of
// image LodePNG tells apart, and for every icon and thumbnail the tool makes.
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lodepng.h>

#include "deflate.h"
#include "main.h"
#include "picture.h"
#include "png_encoder.h"
#include "support.h"

namespace {

// Compares the two encoders on one image; LodePNG's IHDR must show the
// colour type and depth the case is meant to reach.
void ExpectSameBytes(const std::vector<uint8_t>& rgba, unsigned width, unsigned height, int colour_type, int depth)
{
    std::vector<uint8_t> expected = EncodePng(rgba, width, height);
    ASSERT_GT(expected.size(), 26u);
    if (colour_type >= 0) {
        EXPECT_EQ(expected[25], colour_type);
        EXPECT_EQ(expected[24], depth);
    }
    std::vector<uint8_t> ours;
    ASSERT_EQ(EncodePngLikeLodePng(rgba.data(), width, height, &ours), 0u);
    EXPECT_TRUE(ours == expected) << "sizes " << ours.size() << " and " << expected.size();
}

uint32_t Next(uint32_t* state)
{
    *state = *state * 1103515245u + 12345u;
    return *state >> 8;
}

using Pixel = std::function<uint32_t(unsigned x, unsigned y, uint32_t random)>;  // 0xRRGGBBAA

std::vector<uint8_t> Draw(unsigned width, unsigned height, const Pixel& pixel)
{
    std::vector<uint8_t> rgba;
    uint32_t state = width * 7919u + height;
    for (unsigned y = 0; y != height; ++y) {
        for (unsigned x = 0; x != width; ++x) {
            uint32_t value = pixel(x, y, Next(&state));
            rgba.insert(rgba.end(), {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
        }
    }
    return rgba;
}

uint32_t Grey(unsigned value, unsigned alpha = 255)
{
    return value * 0x01010100u | alpha;
}

// Colour number n of a set: distinct, and not grey.
uint32_t Colour(unsigned n, unsigned alpha = 255)
{
    return (n * 0x00350101u + 0x00800000u) << 8 | alpha;
}

struct Case {
    const char* name;
    unsigned width, height;
    Pixel pixel;
    int colour_type, depth;  // what LodePNG makes of it
};

TEST(Encoder, SameBytesAsLodePng)
{
    const Case CASES[] = {
        {"RGBA noise", 48, 48, [](unsigned, unsigned, uint32_t r) { return r * 2654435761u; }, 6, 8},
        {"opaque noise", 48, 48, [](unsigned, unsigned, uint32_t r) { return r << 8 | 255; }, 2, 8},
        {"gradient", 96, 96,
         [](unsigned x, unsigned y, uint32_t) { return (x * 2 << 24 | y * 2 << 16 | (x + y) << 8) | 255u; }, 2, 8},
        {"200 colours, some translucent", 48, 48,
         [](unsigned, unsigned, uint32_t r) { return Colour(r % 200, r % 200 % 3 ? 255 : 128); }, 3, 8},
        {"exactly 256 colours", 48, 48, [](unsigned x, unsigned y, uint32_t) { return Colour((y * 48 + x) % 256); }, 3,
         8},
        {"257 colours", 48, 48, [](unsigned x, unsigned y, uint32_t) { return Colour((y * 48 + x) % 257); }, 2, 8},
        {"over 256 colours, red of two values", 48, 48,
         [](unsigned x, unsigned y, uint32_t) { return (x % 2 * 248u) << 24 | (y * 5 + x) % 256 << 16 | 255u; }, 2, 8},
        {"two colours", 24, 24, [](unsigned x, unsigned y, uint32_t) { return Colour((x ^ y) & 1); }, 3, 1},
        {"four colours", 24, 24, [](unsigned x, unsigned y, uint32_t) { return Colour((x + y) % 4); }, 3, 2},
        {"sixteen colours, a translucent one", 32, 32,
         [](unsigned, unsigned, uint32_t r) { return Colour(r % 16, r % 16 == 5 ? 7 : 255); }, 3, 4},
        {"black and white", 48, 48, [](unsigned x, unsigned y, uint32_t) { return Grey((x * y) % 3 ? 255 : 0); }, 0, 1},
        {"four greys", 48, 48, [](unsigned, unsigned, uint32_t r) { return Grey(85 * (r % 4)); }, 0, 2},
        {"sixteen greys", 48, 48, [](unsigned, unsigned, uint32_t r) { return Grey(17 * (r % 16)); }, 0, 4},
        {"many greys", 48, 48, [](unsigned, unsigned, uint32_t r) { return Grey(r % 256); }, 0, 8},
        {"grey with alpha", 48, 48, [](unsigned, unsigned, uint32_t r) { return Grey(r % 256, (r >> 8) % 256); }, 4, 8},
        {"greys with a transparent key", 48, 48,
         [](unsigned x, unsigned, uint32_t r) { return x < 4 ? Grey(7, 0) : Grey(8 + r % 240); }, 0, 8},
        {"white with a transparent black key", 24, 24,
         [](unsigned x, unsigned, uint32_t) { return x < 12 ? 0u : 0xffffffffu; }, 0, 1},
        {"transparent everywhere", 256, 256, [](unsigned, unsigned, uint32_t) { return 0u; }, 0, 1},
        {"colours with a transparent key", 48, 48,
         [](unsigned x, unsigned, uint32_t r) { return x == 47 ? 0x01020300u : r << 8 | 255; }, 2, 8},
        {"key colour also opaque, before", 48, 48,
         [](unsigned x, unsigned y, uint32_t r) {
             return x == 47 ? 0x01020300u : x + y == 0 ? 0x010203ffu : r << 8 | 255;
         },
         6, 8},
        {"key colour also opaque, after", 48, 48,
         [](unsigned x, unsigned y, uint32_t r) {
             return x == 0 ? 0x01020300u : x + y == 90 ? 0x010203ffu : r << 8 | 255;
         },
         6, 8},
        {"many colours, then a translucent one", 48, 48,
         [](unsigned x, unsigned y, uint32_t r) { return x + y == 90 ? 0x01020380u : r << 8 | 255; }, 6, 8},
        {"many colours, then a transparent key", 48, 48,
         [](unsigned x, unsigned y, uint32_t r) { return x + y == 94 ? 0x01020300u : r << 8 | 255; }, 2, 8},
        {"two transparent colours", 48, 48,
         [](unsigned x, unsigned, uint32_t r) { return x == 0   ? 0x01020300u
                                                       : x == 1 ? 0x04050600u
                                                                : r << 8 | 255; }, 6,
         8},
        {"too few pixels for a key", 4, 4,
         [](unsigned x, unsigned y, uint32_t) { return x == 0 ? 0u : Colour(x * 4 + y); }, 6, 8},
        {"wide and short", 300, 3, [](unsigned x, unsigned, uint32_t) { return Colour(x % 300) & ~0xffu; }, 6, 8},
        {"sparse dots on a transparent key, 512", 512, 512,
         [](unsigned, unsigned, uint32_t r) { return r % 97 == 0 ? Colour(r % 300) : 0u; }, 2, 8},
        {"runs and noise, 256", 256, 256,
         [](unsigned x, unsigned y, uint32_t r) { return (x / 16 + y / 16) % 3 ? Colour(y % 64) : r * 2654435761u; }, 6,
         8},
    };
    for (const Case& row : CASES) {
        SCOPED_TRACE(row.name);
        ExpectSameBytes(Draw(row.width, row.height, row.pixel), row.width, row.height, row.colour_type, row.depth);
    }
}

// The pictures the tool writes: icons and thumbnails of the bundled sample,
// of the tests' patterns, and of a DS banner.
TEST(Encoder, SameBytesForTheToolsPictures)
{
    std::vector<uint8_t> sample = ReadFileBytes(SAMPLE_ICN);
    std::vector<std::vector<uint8_t>> icns = {sample, MakeIcn(PatternPixels(24, 1), PatternPixels(48, 2)),
                                              MakeIcn(PatternPixels(24, 3), PatternPixels(48, 4))};
    for (const std::vector<uint8_t>& icn : icns) {
        for (int32_t side : {24, 48}) {
            std::vector<uint8_t> rgba(side * side * 4);
            int32_t offset = side == 24 ? SMALL_ICON_OFFSET : LARGE_ICON_OFFSET;
            ASSERT_EQ(SmdhIconImage(nullptr, icn.data(), icn.size(), offset, side, rgba.data()), ICON_OK);
            ExpectSameBytes(rgba, side, side, -1, 0);
        }
        for (unsigned size : {96u, 256u}) {
            uint8_t* picture = nullptr;
            unsigned side = 0;
            ASSERT_EQ(ThumbnailPicture(icn.data(), icn.size(), 0, size, &picture, &side), ICON_OK);
            ExpectSameBytes(std::vector<uint8_t>(picture, picture + side * side * 4), side, side, -1, 0);
            free(picture);
        }
    }
    for (uint16_t version : {1, 3}) {
        std::vector<uint8_t> ds = ExpectedDsImage(DsTestBanner(version));
        ExpectSameBytes(ds, 32, 32, -1, 0);
    }
}

// The zlib stream alone, against LodePNG's, on streams made of runs of
// zeros: where the match finder's walk through them is cut short, every
// length of run matters, and where a run meets the end of a deflate block.
TEST(Encoder, SameZlibStreamAsLodePng)
{
    struct Stream {
        const char* name;
        size_t size;
        std::function<unsigned(uint32_t random, size_t at)> run;  // zeros before the next other byte
    };
    const Stream STREAMS[] = {
        {"runs near 128 and 258", 30000, [](uint32_t r, size_t) { return (r % 2 ? 128 : 258) + r % 5 - 2; }},
        {"long runs over blocks", 300000, [](uint32_t r, size_t) { return r % 7 ? r % 40 : 2000 + r % 3000; }},
        // Blocks of 64 KiB: runs that a block's end cuts short.
        {"runs across blocks' ends", 200000,
         [](uint32_t r, size_t at) { return (at + 60) % 65536 < 40 ? 60 + r % 60 : r % 50; }},
    };
    for (const Stream& row : STREAMS) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> data;
        uint32_t state = 7;
        while (data.size() < row.size) {
            data.insert(data.end(), row.run(Next(&state), data.size()), 0);
            // Now and then bytes whose hash is that of zeros.
            uint32_t r = Next(&state);
            if (r % 13 == 0) {
                data.insert(data.end(), {0x10, 0x01});
            } else {
                data.push_back(static_cast<uint8_t>(1 + r % 3));
            }
        }
        unsigned char* expected = nullptr;
        size_t expected_size = 0;
        ASSERT_EQ(lodepng_zlib_compress(&expected, &expected_size, data.data(), data.size(),
                                        &lodepng_default_compress_settings),
                  0u);
        std::vector<uint8_t> ours;
        unsigned error = ZlibCompressLikeLodePng(data.data(), data.size(), &ours);
        bool same = error == 0 && ours == std::vector<uint8_t>(expected, expected + expected_size);
        free(expected);
        EXPECT_TRUE(same);
    }
}

// The code lengths, against LodePNG's own routine: pictures seldom make a
// code reach its limit, so frequencies that force 15 and 7 bits are here.
TEST(Encoder, SameCodeLengthsAsLodePng)
{
    uint32_t state = 1;
    for (unsigned round = 0; round != 3000; ++round) {
        unsigned max_bits = round % 3 == 0 ? 7 : 15;
        unsigned count = max_bits == 7 ? 2 + Next(&state) % 18 : 2 + Next(&state) % 285;
        std::vector<unsigned> frequencies(count);
        for (unsigned i = 0; i != count; ++i) {
            unsigned r = Next(&state);
            switch (round % 4) {
            case 0:
                frequencies[i] = r % 3 ? r % 1000 : 0;
                break;  // sparse
            case 1:
                frequencies[i] = r % 2 ? 1 + r % 3 : 0;
                break;  // many ties
            case 2:
                frequencies[i] = 1u << (r % 20);
                break;  // skewed
            default:    // Fibonacci: past the limit
                unsigned a = 1, b = 1;
                for (unsigned k = (i * 7 + r % 40) % 30; k != 0; --k) {
                    b += a;
                    a = b - a;
                }
                frequencies[i] = a;
            }
        }
        std::vector<unsigned> ours(count), expected(count);
        CodeLengthsLikeLodePng(ours.data(), frequencies.data(), count, max_bits);
        ASSERT_EQ(lodepng_huffman_code_lengths(expected.data(), frequencies.data(), count, max_bits), 0u);
        ASSERT_EQ(ours, expected) << "round " << round;
    }
}

}  // namespace
