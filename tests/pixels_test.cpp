// Pixels end to end: ICN files with known pixels through the tool, the PNGs
// decoded again and compared with the expansion of the source pixels.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ds_banner.h"
#include "icn_writer.h"
#include "support.h"

namespace {

using Painter = std::function<uint16_t(size_t x, size_t y, size_t side)>;

std::vector<uint16_t> paint(size_t side, const Painter& painter)
{
    std::vector<uint16_t> pixels(side * side);
    for (size_t y = 0; y < side; y++) {
        for (size_t x = 0; x < side; x++) {
            pixels[y * side + x] = painter(x, y, side);
        }
    }
    return pixels;
}

struct Picture {
    const char* name;
    Painter painter;
};

}  // namespace

TEST(Pixels, EveryPixelOfBothIconsSurvivesTheRoundTrip)
{
    const Picture pictures[] = {
        // Position coded into the colour: a flip, mirror or swapped tile shows.
        {"coordinates", [](size_t x, size_t y, size_t) { return PackRGB565(x * 5, y * 5, 255 - x * 5); }},
        {"one colour", [](size_t, size_t, size_t) { return PackRGB565(200, 100, 50); }},
        {"grey ramp",
         [](size_t x, size_t y, size_t side) {
             return PackRGB565((x + y) * 255 / (2 * side), (x + y) * 255 / (2 * side), (x + y) * 255 / (2 * side));
         }},
        {"extremes", [](size_t x, size_t y, size_t) { return static_cast<uint16_t>((x + y) % 2 ? 0xFFFF : 0x8000); }},
        {"tile numbers",
         [](size_t x, size_t y, size_t side) { return static_cast<uint16_t>((y / 8) * (side / 8) + x / 8 + 1); }},
        {"noise", [](size_t x, size_t y, size_t side) { return PatternPixels(side, 7)[y * side + x]; }},
    };
    std::string dir = MakeScratchDir();
    for (const Picture& picture : pictures) {
        std::vector<uint16_t> small = paint(24, picture.painter);
        std::vector<uint16_t> large = paint(48, picture.painter);
        WriteFileBytes(dir + "/in.icn", MakeIcn(small, large));
        ProcessResult r = RunProcess({GALLIVOX_BINARY, "-i", "in.icn", "-s", "s.png", "-l", "l.png"}, dir);
        ASSERT_EQ(0, r.status) << picture.name << ": " << r.err;
        EXPECT_EQ("", r.out + r.err);
        struct {
            const char* file;
            unsigned side;
            const std::vector<uint16_t>& pixels;
        } icons[] = {{"s.png", 24, small}, {"l.png", 48, large}};
        for (const auto& icon : icons) {
            std::string path = dir + "/" + icon.file;
            DecodedPng png = DecodePngFile(path);
            ASSERT_EQ(0u, png.error) << picture.name;
            EXPECT_EQ(icon.side, png.width) << picture.name;
            EXPECT_EQ(icon.side, png.height) << picture.name;
            std::vector<uint8_t> expected = ExpectedImage(icon.pixels);
            EXPECT_EQ(expected, png.rgba) << picture.name << " " << icon.file;
            EXPECT_EQ(EncodePng(expected, icon.side, icon.side), ReadFileBytes(path))
                << picture.name << " " << icon.file;
        }
    }
    RemoveTree(dir);
}

TEST(Pixels, BundledSampleDecodesToItsDrawing)
{
    // The sample's corners: white F strokes stay clear of them, the gradient
    // puts red at the right, blue at the bottom, and the swatches along the
    // bottom edge run red, green, blue from left to right.
    std::string dir = MakeScratchDir();
    ProcessResult r = RunProcess({GALLIVOX_BINARY, "-i", SAMPLE_ICN, "-l", "l.png"}, dir);
    ASSERT_EQ(0, r.status) << r.err;
    DecodedPng png = DecodePngFile(dir + "/l.png");
    ASSERT_EQ(0u, png.error);
    auto at = [&](size_t x, size_t y) {
        return std::vector<uint8_t>(&png.rgba[4 * (y * 48 + x)], &png.rgba[4 * (y * 48 + x) + 4]);
    };
    EXPECT_EQ((std::vector<uint8_t>{0, 48, 0, 255}), at(0, 0));
    EXPECT_EQ((std::vector<uint8_t>{248, 48, 0, 255}), at(47, 0));
    EXPECT_EQ((std::vector<uint8_t>{248, 0, 0, 255}), at(0, 47));
    EXPECT_EQ((std::vector<uint8_t>{0, 252, 0, 255}), at(24, 47));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 248, 255}), at(47, 47));
    EXPECT_EQ((std::vector<uint8_t>{248, 252, 248, 255}), at(14, 8));  // on the F's stem
    RemoveTree(dir);
}

// The golden PNGs beside the samples (the README shows them) are what the
// tool writes, byte for byte, on every platform: the icons of the ICN file,
// and the animated icon of the DSi banner.
TEST(Pixels, BundledSampleGivesItsGoldenPngs)
{
    std::string dir = MakeScratchDir();
    ProcessResult r = RunProcess({GALLIVOX_BINARY, "-i", SAMPLE_ICN, "-s", "s.png", "-l", "l.png"}, dir);
    ASSERT_EQ(0, r.status) << r.err;
    const std::string golden = std::string(SAMPLE_ICN).substr(0, std::string(SAMPLE_ICN).size() - 4);
    EXPECT_EQ(ReadFileBytes(golden + "_small.png"), ReadFileBytes(dir + "/s.png"));
    EXPECT_EQ(ReadFileBytes(golden + "_large.png"), ReadFileBytes(dir + "/l.png"));
    r = RunProcess({GALLIVOX_BINARY, "-i", golden + "_dsi.bnr", "-a", "a.png"}, dir);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ReadFileBytes(golden + "_animated.png"), ReadFileBytes(dir + "/a.png"));
    RemoveTree(dir);
}

// A DS icon written over a buffer that held other bytes: every pixel is set,
// the transparent ones to 0, 0, 0, 0 too.
TEST(Pixels, DsIconSetsEveryPixelWhateverTheBufferHeld)
{
    const DsBannerFields fields = DsTestBanner(1);
    const std::vector<uint8_t> banner = MakeDsBanner(fields);
    std::vector<uint8_t> rgba(DS_ICON_SIDE * DS_ICON_SIDE * 4, 0xFF);
    DsIconToRgba(banner.data(), rgba.data());
    EXPECT_EQ(ExpectedDsImage(fields), rgba);
}

#ifndef _WIN32
// Animated icons as a decoder this project did not write reads them (Pillow,
// through tests/read_apng.py, which also checks the chunks from the bytes):
// the default image is the still icon; each frame is the bitmap and the
// palette its token names, flipped as it says, for its ticks; a frame of 0
// ticks is never seen, and frames that show the same picture are one.
TEST(Pixels, AnimatedIconsAsPillowReadsThem)
{
    struct Shown {
        uint16_t token;  // what the frame shows (its ticks aside)
        unsigned ticks;
    };
    std::vector<uint16_t> long_run;
    std::vector<Shown> long_shown;
    for (uint16_t i = 0; i < 64; i++) {
        long_run.push_back(static_cast<uint16_t>((i % 2) << 8 | (i + 1)));
        long_shown.push_back({long_run.back(), i + 1u});
    }
    const struct {
        const char* name;
        std::vector<uint16_t> tokens;
        std::vector<Shown> frames;
    } rows[] = {
        {"as real banners are",
         {0x00A0, 0x0108, 0x0206, 0x030C, 0x0408, 0x0508, 0x0608, 0x0708, 0x0008, 0},
         {{0x00A0, 160},
          {0x0108, 8},
          {0x0206, 6},
          {0x030C, 12},
          {0x0408, 8},
          {0x0508, 8},
          {0x0608, 8},
          {0x0708, 8},
          {0x0008, 8}}},
        {"flips", {0x4105, 0x8105, 0xC105, 0x0105}, {{0x4105, 5}, {0x8105, 5}, {0xC105, 5}, {0x0105, 5}}},
        {"another palette", {0x1A07, 0x2A07}, {{0x1A07, 7}, {0x2A07, 7}}},
        {"64 tokens, no ending 0", long_run, long_shown},
        {"durations 1 and 255", {0x0101, 0x02FF}, {{0x0101, 1}, {0x02FF, 255}}},
        {"the same twice", {0x0105, 0x0105, 0x0203, 0x0203, 0x0203, 0x0105}, {{0x0105, 10}, {0x0203, 9}, {0x0105, 5}}},
        {"a frame of 0 ticks", {0x0105, 0x0300, 0x0105, 0x0402}, {{0x0105, 10}, {0x0402, 2}}},
        {"bitmap 7, palette 7", {0x3F09, 0x0001}, {{0x3F09, 9}, {0x0001, 1}}},
    };
    const std::string dir = MakeScratchDir();
    auto hex = [](const std::vector<uint8_t>& bytes) { return HexText(bytes.data(), bytes.size()); };
    for (const auto& row : rows) {
        const DsBannerFields fields = DsAnimatedTestBanner(row.tokens);
        WriteFileBytes(dir + "/a.bnr", MakeDsBanner(fields));
        ProcessResult r = RunProcess({GALLIVOX_BINARY, "-i", "a.bnr", "-a", "a.png"}, dir);
        ASSERT_EQ(0, r.status) << row.name << ": " << r.err;
        std::string expected = "default " + hex(ExpectedDsImage(fields)) + "\n";
        for (const Shown& shown : row.frames) {
            expected +=
                "frame " + std::to_string(shown.ticks) + "/60 " + hex(ExpectedDsFrame(fields, shown.token)) + "\n";
        }
        expected += "plays 0\n";
        ProcessResult read = RunProcess({"/usr/bin/python3", READ_APNG, "a.png"}, dir);
        EXPECT_EQ(0, read.status) << row.name << ": " << read.err;
        EXPECT_EQ(expected, read.out) << row.name;
    }
    RemoveTree(dir);
}
#endif
