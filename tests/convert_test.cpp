// Extracting single icons from an open ICN stream.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "main.h"
#include "support.h"

namespace {

class ConvertIconTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeScratchDir();
        small = PatternPixels(24, 1);
        large = PatternPixels(48, 2);
        icn = dir + "/icon.icn";
        WriteFileBytes(icn, MakeIcn(small, large));
    }
    void TearDown() override { RemoveTree(dir); }

    // Converts one slot of `path` to `output`, opening the input afresh.
    unsigned convert(const std::string& path, const std::string& output, int32_t offset, int32_t side)
    {
        FILE* input = fopen(path.c_str(), "rb");
        EXPECT_NE(nullptr, input);
        unsigned status = ConvertIcon(input, output.c_str(), offset, side);
        fclose(input);
        return status;
    }

    std::string dir;
    std::string icn;
    std::vector<uint16_t> small;
    std::vector<uint16_t> large;
};

}  // namespace

TEST_F(ConvertIconTest, BothSlotsFromOneStreamInEitherOrder)
{
    for (bool large_first : {false, true}) {
        FILE* input = fopen(icn.c_str(), "rb");
        ASSERT_NE(nullptr, input);
        std::string small_png = dir + "/s.png";
        std::string large_png = dir + "/l.png";
        if (large_first) {
            EXPECT_EQ(ICON_OK, ConvertIcon(input, large_png.c_str(), LARGE_ICON_OFFSET, 48));
        }
        EXPECT_EQ(ICON_OK, ConvertIcon(input, small_png.c_str(), SMALL_ICON_OFFSET, 24));
        if (!large_first) {
            EXPECT_EQ(ICON_OK, ConvertIcon(input, large_png.c_str(), LARGE_ICON_OFFSET, 48));
        }
        fclose(input);
        DecodedPng s = DecodePngFile(small_png);
        DecodedPng l = DecodePngFile(large_png);
        EXPECT_EQ(ExpectedImage(small), s.rgba) << "large first: " << large_first;
        EXPECT_EQ(ExpectedImage(large), l.rgba) << "large first: " << large_first;
    }
}

TEST_F(ConvertIconTest, ReplacesAnExistingFile)
{
    std::string output = dir + "/old.png";
    WriteFileBytes(output, std::vector<uint8_t>(100000, 'z'));
    EXPECT_EQ(ICON_OK, convert(icn, output, SMALL_ICON_OFFSET, 24));
    EXPECT_EQ(EncodePng(ExpectedImage(small), 24, 24), ReadFileBytes(output));
}

TEST_F(ConvertIconTest, FailuresLeaveNoFile)
{
    std::vector<uint8_t> whole = ReadFileBytes(icn);
    std::string cut = dir + "/cut.icn";
    WriteFileBytes(cut, std::vector<uint8_t>(whole.begin(), whole.end() - 1));
    MakeDir(dir + "/sub");

    struct Case {
        std::string input;
        std::string output;
        int32_t offset;
        int32_t side;
        unsigned expected;
    } cases[] = {
        {cut, dir + "/a.png", LARGE_ICON_OFFSET, 48, ICON_TRUNCATED},
        {icn, dir + "/b.png", static_cast<int32_t>(whole.size()), 8, ICON_TRUNCATED},
        {icn, dir + "/missing/c.png", SMALL_ICON_OFFSET, 24, ICON_WRITE_ERROR + ENOENT},
        {icn, dir + "/sub", SMALL_ICON_OFFSET, 24, ICON_WRITE_ERROR + DIRECTORY_WRITE_ERRNO},
        {icn, dir + "/d.png", -1, 24, ICON_READ_ERROR + EINVAL},
        {icn, dir + "/e.png", 0, 12, ICON_BAD_SIDE},
        {icn, dir + "/f.png", 0, 0, ICON_BAD_SIDE},
        {icn, dir + "/g.png", 0, -24, ICON_BAD_SIDE},
        {icn, dir + "/h.png", 0, 136, ICON_BAD_SIDE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, convert(c.input, c.output, c.offset, c.side)) << c.output;
        if (c.output != dir + "/sub") {
            EXPECT_FALSE(PathExists(c.output)) << c.output;
        }
    }
}

TEST_F(ConvertIconTest, OtherSidesUpTo128Convert)
{
    // The file holds 14016 bytes, enough for a 64×64 icon read from offset 0;
    // what matters is that the size and the pixel count follow the side.
    std::string output = dir + "/wide.png";
    ASSERT_EQ(ICON_OK, convert(icn, output, 0, 64));
    DecodedPng png = DecodePngFile(output);
    EXPECT_EQ(64u, png.width);
    EXPECT_EQ(64u, png.height);
}

TEST(IconStatusText, NamesEachKindOfFailure)
{
    EXPECT_STREQ(strerror(ENOSPC), IconStatusText(ICON_WRITE_ERROR + ENOSPC));
    EXPECT_STREQ(strerror(EIO), IconStatusText(ICON_READ_ERROR + EIO));
    EXPECT_STREQ("unsupported icon side", IconStatusText(ICON_BAD_SIDE));
    EXPECT_STREQ("the file ends inside the icon", IconStatusText(ICON_TRUNCATED));
    EXPECT_STRNE("", IconStatusText(83));
}
