// The two decoding passes: channel expansion, tile walk, flip and bounds.
#include <gtest/gtest.h>

#include <vector>

#include "decode_bmp.h"
#include "icn_writer.h"
#include "main.h"

namespace {

const uint8_t GUARD = 0xA5;
const size_t GUARD_BYTES = 64;

// A buffer with guard bytes on both sides of `size` usable bytes.
struct Guarded {
    std::vector<uint8_t> bytes;
    explicit Guarded(size_t size, uint8_t fill = 0) : bytes(size + 2 * GUARD_BYTES, GUARD)
    {
        std::fill(data(), data() + size, fill);
    }
    uint8_t* data() { return bytes.data() + GUARD_BYTES; }
    bool guards_intact() const
    {
        for (size_t i = 0; i < GUARD_BYTES; i++) {
            if (bytes[i] != GUARD || bytes[bytes.size() - 1 - i] != GUARD) {
                return false;
            }
        }
        return true;
    }
};

// Raw pixel k holds the value k, which the expansion keeps recognisable:
// it only shifts each field, so the BGR bytes give k back.
std::vector<uint16_t> numbered_pixels(size_t side)
{
    std::vector<uint16_t> raw(side * side);
    for (size_t k = 0; k < raw.size(); k++) {
        raw[k] = static_cast<uint16_t>(k);
    }
    return raw;
}

uint16_t pixel_at(const uint8_t* bmp, size_t side, size_t x, size_t y)
{
    const uint8_t* p = bmp + 3 * ((side - 1 - y) * side + x);
    return static_cast<uint16_t>(((p[2] >> 3) << 11) | ((p[1] >> 2) << 5) | (p[0] >> 3));
}

struct Landing {
    int side;
    size_t k;
    size_t x;
    size_t y;
};

}  // namespace

TEST(RGB565toRGB24bit, ExpandsEachFieldWithZeroLowBits)
{
    // A table, laid out by hand.
    // clang-format off
    struct Case {
        uint16_t pixel;
        uint8_t red, green, blue;
    } cases[] = {
        {0x0000, 0, 0, 0},     {0xFFFF, 248, 252, 248}, {0xF800, 248, 0, 0},
        {0x07E0, 0, 252, 0},   {0x001F, 0, 0, 248},     {0x8000, 128, 0, 0},
        {0x0820, 8, 4, 0},     {0x0001, 0, 0, 8},       {0x0020, 0, 4, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        BGR24 colour = RGB565toRGB24bit(c.pixel);
        EXPECT_EQ(c.red, colour.red) << std::hex << c.pixel;
        EXPECT_EQ(c.green, colour.green) << std::hex << c.pixel;
        EXPECT_EQ(c.blue, colour.blue) << std::hex << c.pixel;
    }
}

TEST(CTPKtoBMP, RawPixelsLandWhereTheTiledOrderPutsThem)
{
    // A table, laid out by hand.
    // clang-format off
    const Landing landings[] = {
        {8, 0, 0, 0},     {8, 1, 1, 0},     {8, 2, 0, 1},     {8, 3, 1, 1},
        {8, 4, 2, 0},     {8, 16, 4, 0},    {8, 32, 0, 4},    {8, 63, 7, 7},
        {24, 64, 8, 0},   {24, 127, 15, 7}, {24, 191, 23, 7}, {24, 192, 0, 8},
        {24, 575, 23, 23}, {48, 383, 47, 7}, {48, 384, 0, 8}, {48, 2303, 47, 47},
    };
    // clang-format on
    for (const Landing& l : landings) {
        std::vector<uint16_t> raw = numbered_pixels(l.side);
        std::vector<uint8_t> bmp(3 * l.side * l.side);
        CTPKtoBMP(raw.data(), bmp.data(), l.side);
        EXPECT_EQ(l.k, pixel_at(bmp.data(), l.side, l.x, l.y))
            << "side " << l.side << " pixel (" << l.x << "," << l.y << ")";
    }
}

TEST(CTPKtoBMP, EveryPixelFollowsTheMortonRuleAtEverySide)
{
    for (int side = 8; side <= 128; side += 8) {
        std::vector<uint16_t> raw = numbered_pixels(side);
        Guarded bmp(3 * side * side);
        CTPKtoBMP(raw.data(), bmp.data(), side);
        for (size_t k = 0; k < raw.size(); k++) {
            size_t x = 0;
            size_t y = 0;
            TiledPosition(k, side, &x, &y);
            ASSERT_EQ(k, pixel_at(bmp.data(), side, x, y)) << "side " << side;
        }
        EXPECT_TRUE(bmp.guards_intact()) << "side " << side;
    }
}

TEST(CTPKtoBMP, RawPixelZeroIsTheFirstPixelOfTheLastBitmapRow)
{
    const int side = 24;
    std::vector<uint16_t> raw(side * side, 0x0000);
    raw[0] = 0xF81F;  // red and blue, no green
    std::vector<uint8_t> bmp(3 * side * side);
    CTPKtoBMP(raw.data(), bmp.data(), side);
    const uint8_t* first = &bmp[3 * (side - 1) * side];
    EXPECT_EQ(248, first[0]);
    EXPECT_EQ(0, first[1]);
    EXPECT_EQ(248, first[2]);
}

TEST(CTPKtoBMP, UnsupportedSidesReadAndWriteNothing)
{
    for (int side : {-8, -1, 0, 1, 3, 4, 7, 9, 12, 20, 47, 136, 256}) {
        Guarded bmp(0, 0);
        // A null raw array proves nothing is read; the guards that nothing is written.
        CTPKtoBMP(nullptr, bmp.data(), side);
        EXPECT_TRUE(bmp.guards_intact()) << "side " << side;
    }
}

TEST(CTPKtoBMP, WritesEveryBitmapByteAtTheSidesInUse)
{
    for (int side : {24, 48}) {
        std::vector<uint16_t> raw = numbered_pixels(side);
        Guarded first(3 * side * side, 0x00);
        Guarded second(3 * side * side, 0xFF);
        CTPKtoBMP(raw.data(), first.data(), side);
        CTPKtoBMP(raw.data(), second.data(), side);
        EXPECT_EQ(first.bytes, second.bytes) << "side " << side;
        EXPECT_TRUE(first.guards_intact() && second.guards_intact());
    }
}

TEST(DecodeBMPData, FlipsRowsReversesChannelsAndAddsOpaqueAlpha)
{
    for (uint16_t side : {1, 2, 3, 24, 48, 128}) {
        Guarded bmp(3 * side * side);
        for (size_t i = 0; i < 3u * side * side; i++) {
            bmp.data()[i] = static_cast<uint8_t>(i * 7 + i / 251);
        }
        Guarded image(4 * side * side, 0x00);
        DecodeBMPData(bmp.data(), image.data(), side);
        for (size_t y = 0; y < side; y++) {
            for (size_t x = 0; x < side; x++) {
                // Bitmap rows run bottom up; the image rows top down.
                const uint8_t* s = bmp.data() + 3 * ((side - 1 - y) * side + x);
                const uint8_t* d = image.data() + 4 * (y * side + x);
                ASSERT_EQ(s[2], d[0]);
                ASSERT_EQ(s[1], d[1]);
                ASSERT_EQ(s[0], d[2]);
                ASSERT_EQ(0xFF, d[3]);
            }
        }
        EXPECT_TRUE(image.guards_intact()) << "side " << side;
    }
}

TEST(DecodeBMPData, BottomLeftBitmapPixelBecomesFirstPixelOfLastImageRow)
{
    const uint16_t side = 24;
    std::vector<uint8_t> bmp(3 * side * side, 0);
    bmp[0] = 1;  // blue
    bmp[1] = 2;  // green
    bmp[2] = 3;  // red
    std::vector<uint8_t> image(4 * side * side);
    DecodeBMPData(bmp.data(), image.data(), side);
    const uint8_t* pixel = &image[4 * (side - 1) * side];
    EXPECT_EQ((std::vector<uint8_t>{3, 2, 1, 0xFF}), std::vector<uint8_t>(pixel, pixel + 4));
}

TEST(DecodeBMPData, SideZeroOrAbove128WritesNothing)
{
    for (uint16_t side : {0, 129, 256, 65535}) {
        Guarded image(0);
        DecodeBMPData(nullptr, image.data(), side);
        EXPECT_TRUE(image.guards_intact()) << "side " << side;
    }
}
