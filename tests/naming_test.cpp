// Deriving the PNG's name from the input's name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch_inputs.h"
#include "job.h"
#include "utils.h"

namespace {

struct Derived {
    int32_t result;
    std::string name;
    std::string printed;
    bool buffer_all_zero;
};

Derived derive(const char* input, uint16_t size = 1024, const char* extension = ".png")
{
    std::vector<char> buffer(size + 1u, 'x');  // one extra byte that must stay 'x'
    testing::internal::CaptureStdout();
    int32_t result = append_filextention(buffer.data(), size, input, extension);
    Derived d{result, "", testing::internal::GetCapturedStdout(), true};
    EXPECT_EQ('x', buffer[size]) << "wrote past the buffer for " << input;
    for (uint16_t i = 0; i < size; i++) {
        d.buffer_all_zero = d.buffer_all_zero && buffer[i] == 0;
    }
    if (result == 0) {
        d.name = buffer.data();
    }
    return d;
}

}  // namespace

TEST(AppendFilextention, ReplacesTheTextFromTheLastDotOfTheFileName)
{
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"icon.icn", "icon.png"},
        {"archive.tar.icn", "archive.tar.png"},
        {"icon", "icon.png"},
        {".icn", ".icn.png"},
        {"my.dir/icon", "my.dir/icon.png"},
        {"dir.x/a.icn", "dir.x/a.png"},
        {"dir/.icn", "dir/.icn.png"},
        {"../icon", "../icon.png"},
        {"my.dir\\icon", "my.dir\\icon.png"},
        {"icon.", "icon.png"},
        {"dir/icon", "dir/icon.png"},
        {"", ".png"},
        {"a", "a.png"},
        {"..", "..png"},
    };
    for (const Case& c : cases) {
        Derived d = derive(c.input);
        EXPECT_EQ(0, d.result) << c.input;
        EXPECT_EQ(c.expected, d.name) << c.input;
        EXPECT_EQ("", d.printed) << c.input;
    }
}

TEST(AppendFilextention, FitsWhileTheKeptLengthPlusExtensionIsBelowTheSize)
{
    // Without a dot the kept length counts the terminator: L + 1 + 4 < 1024.
    std::string longest(1018, 'a');
    Derived fits = derive(longest.c_str());
    EXPECT_EQ(0, fits.result);
    EXPECT_EQ(longest + ".png", fits.name);

    Derived too_long = derive((longest + "a").c_str());
    EXPECT_EQ(1, too_long.result);
    EXPECT_EQ("[!] Input File Name Too Large for Output buffer\n", too_long.printed);
    EXPECT_TRUE(too_long.buffer_all_zero);

    // With a dot at index K the test is K + 4 < 1024, whatever follows it.
    std::string dotted = std::string(1019, 'b') + ".icn";
    Derived dot_fits = derive(dotted.c_str());
    EXPECT_EQ(0, dot_fits.result);
    EXPECT_EQ(std::string(1019, 'b') + ".png", dot_fits.name);
    Derived dot_too_long = derive(("b" + dotted).c_str());
    EXPECT_EQ(1, dot_too_long.result);
    EXPECT_TRUE(dot_too_long.buffer_all_zero);
}

TEST(AppendFilextention, SmallBuffersAreRespected)
{
    EXPECT_EQ("ab.png", derive("ab.icn", 7).name);
    Derived one_short = derive("ab.icn", 6);
    EXPECT_EQ(1, one_short.result);
    EXPECT_TRUE(one_short.buffer_all_zero);
    EXPECT_EQ(1, derive("ab", 0).result);
}

TEST(AppendFilextention, NullPointersAreAMemoryErrorAndLeaveTheBufferAlone)
{
    char buffer[8] = {'k', 'e', 'e', 'p', 0, 0, 0, 0};
    const char* inputs[][2] = {{nullptr, ".png"}, {"icon.icn", nullptr}};
    for (const auto& args : inputs) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, append_filextention(buffer, sizeof buffer, args[0], args[1]));
        EXPECT_EQ("[!] Memory Error\n", testing::internal::GetCapturedStdout());
        EXPECT_STREQ("keep", buffer);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, append_filextention(nullptr, 8, "icon.icn", ".png"));
    EXPECT_EQ("[!] Memory Error\n", testing::internal::GetCapturedStdout());
}

// The PNG names of a batch under --into: mirrored, or by RetroArch's rule;
// and the names that a Windows file system cannot hold, refused with
// status 3 rather than written under another name.
TEST(BatchPngName, MirrorsRetroArchAndWindowsRules)
{
    struct Row {
        const char* below;
        int retroarch;
        int windows_names;
        int status;
        const char* png;
    };
    const Row rows[] = {
        {"Homebrew/Timer.3ds", 0, 0, 0, "OUT/Homebrew/Timer.png"},
        {"Timer", 0, 0, 0, "OUT/Timer.png"},
        {"Homebrew/Mario & Luigi: <x>?.v2.3ds", 1, 0, 0, "OUT/Mario _ Luigi_ _x__.v2.png"},
        {"a`b*c|d\\e.cia", 1, 1, 0, "OUT/a_b_c_d_e.png"},
        {"Demos./Timer.3ds", 0, 0, 0, "OUT/Demos./Timer.png"},
        {"Demos./Timer.3ds", 0, 1, 3, ""},
        {"Demos /Timer.3ds", 0, 1, 3, ""},
        {"say \"hi\".3ds", 1, 1, 3, ""},
        {"a:b.3ds", 0, 1, 3, ""},
        {"tab\there.3ds", 0, 1, 3, ""},
        {"con.3ds", 0, 1, 3, ""},
        {"sub/LPT1.x.3ds", 0, 1, 3, ""},
        {"COM10.3ds", 0, 1, 0, "OUT/COM10.png"},
        {"CONSOLE.3ds", 0, 1, 0, "OUT/CONSOLE.png"},
        {"Demos/Timer.3ds", 0, 1, 0, "OUT/Demos/Timer.png"},
    };
    for (const Row& row : rows) {
        BatchOptions options = {"OUT", 0, 0, 0, row.retroarch, row.windows_names, 0};
        BatchInput input = {std::string("ROMS/") + row.below, row.below, 0};
        char png[DERIVED_NAME_SIZE] = {0};
        testing::internal::CaptureStderr();
        int status = BatchPngName(&options, &input, png, 0);
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.status, status) << row.below;
        if (status == 0) {
            EXPECT_EQ(row.png, std::string(png)) << row.below;
        } else {
            EXPECT_EQ(0u, said.find(std::string("Could not write ") + png + ": ")) << said;
        }
    }
}
