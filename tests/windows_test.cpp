// What only Windows does: the runtime's wildcard expansion at start-up,
// backslash paths, files that another handle holds open, the code page and
// the version resource that the executables carry.
#include <gtest/gtest.h>

#include <direct.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"
#include "utils.h"

namespace {

class Windows : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeScratchDir();
        icn = MakeIcn(PatternPixels(24, 3), PatternPixels(48, 4));
        MakeDir(dir + "\\sub");
    }
    void TearDown() override { RemoveTree(dir); }

    ProcessResult run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {GALLIVOX_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, dir);
    }

    std::string dir;
    std::vector<uint8_t> icn;
};

}  // namespace

TEST_F(Windows, WildcardsAreExpandedBeforeMainSeesThem)
{
    WriteFileBytes(dir + "\\one.icn", icn);
    ProcessResult one = run({"*.icn"});
    EXPECT_EQ(0, one.status) << one.out << one.err;
    EXPECT_EQ(48u, DecodePngFile(dir + "\\one.png").width);

    // Two matches make two arguments: the option form, without -i.
    WriteFileBytes(dir + "\\two.icn", icn);
    ProcessResult two = run({"*.icn"});
    EXPECT_EQ(1, two.status);
    EXPECT_EQ("", two.out);
    EXPECT_EQ("No input ICN data specified.", two.err);
    EXPECT_FALSE(PathExists(dir + "\\two.png"));

    // No match: the pattern is passed on as it stands.
    ProcessResult none = run({"z*.icn"});
    EXPECT_EQ(2, none.status);
    EXPECT_EQ("Could not open z*.icn.\r\n", none.out);

    // --batch takes every match; a pattern without one stays an input.
    RemoveTree(dir + "\\one.png");
    ProcessResult batch = run({"--batch", "*.icn", "z*.icn"});
    EXPECT_EQ(2, batch.status);
    EXPECT_EQ("Could not open z*.icn.\r\n", batch.out);
    EXPECT_EQ("", batch.err);
    EXPECT_EQ(48u, DecodePngFile(dir + "\\one.png").width);
    EXPECT_EQ(48u, DecodePngFile(dir + "\\two.png").width);
}

TEST_F(Windows, BackslashPaths)
{
    WriteFileBytes(dir + "\\sub\\a.icn", icn);
    ProcessResult options = run({"-i", "sub\\a.icn", "-s", "sub\\s.png", "-l", "sub\\l.png"});
    EXPECT_EQ(0, options.status) << options.err;
    EXPECT_EQ(24u, DecodePngFile(dir + "\\sub\\s.png").width);
    EXPECT_EQ(48u, DecodePngFile(dir + "\\sub\\l.png").width);

    ProcessResult derived = run({"sub\\a.icn"});
    EXPECT_EQ(0, derived.status) << derived.err;
    EXPECT_EQ(48u, DecodePngFile(dir + "\\sub\\a.png").width);

    // The other separator names the same file: refused, input intact.
    ProcessResult refused = run({"-i", "sub\\a.icn", "-l", "sub/a.icn"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("Refusing to overwrite the input file sub/a.icn.\r\n", refused.err);
    EXPECT_EQ(icn, ReadFileBytes(dir + "\\sub\\a.icn"));
}

TEST_F(Windows, TruncateRefusesAFileThatAnotherHandleHoldsOpen)
{
    const std::string file = dir + "\\held.bin";
    WriteFileBytes(file, {1, 2, 3, 4});
    FILE* held = fopen(file.c_str(), "r+b");
    ASSERT_NE(nullptr, held);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, TruncateFile_u64(file.c_str(), 2));
    EXPECT_EQ("[!] Invalid File handle\n", testing::internal::GetCapturedStdout());
    fclose(held);
    EXPECT_EQ(0, TruncateFile_u64(file.c_str(), 2));
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), ReadFileBytes(file));
}

// The manifest makes UTF-8 the process's code page whatever the locale's
// own is; CTest runs this suite under a Western and a Japanese one.
TEST(WindowsCodePage, IsUtf8UnderTheLocaleCTestChose)
{
    EXPECT_EQ(static_cast<UINT>(CP_UTF8), GetACP());
    const char* expected = getenv("GALLIVOX_LOCALE_CODE_PAGE");
    if (expected == nullptr) {
        GTEST_SKIP() << "run outside CTest: no locale chosen";
    }
    char locale_code_page[8] = {0};
    ASSERT_NE(0, GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, locale_code_page,
                                sizeof locale_code_page));
    EXPECT_STREQ(expected, locale_code_page);
}

TEST(WindowsVersion, ResourceNamesProductVersionAndCopyright)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(GALLIVOX_BINARY, &ignored);
    ASSERT_NE(0u, size);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(GALLIVOX_BINARY, 0, size, info.data()));
    auto value = [&](const char* name) {
        char* text = nullptr;
        UINT length = 0;
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        return VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length) && text != nullptr
                   ? std::string(text)
                   : std::string("(none)");
    };
    EXPECT_EQ("Gallivox", value("ProductName"));
    EXPECT_EQ("0.4", value("ProductVersion"));
    EXPECT_EQ("0.4", value("FileVersion"));
    EXPECT_EQ("Copyright (c) 2026 The Gallivox developers", value("LegalCopyright"));
    EXPECT_NE("(none)", value("FileDescription"));
}

// The file helpers' ANSI calls (_open, CreateFileA, _mkdir, _getcwd) with
// names in three scripts.
TEST_F(Windows, FileHelpersTakeUtf8Names)
{
    for (const char* name : {"アイコン", "é", "☃"}) {
        const std::string folder = dir + "\\" + name;
        ASSERT_EQ(0, makedir(folder.c_str())) << name;
        const std::string file = folder + "\\" + name + ".bin";
        WriteFileBytes(file, {1, 2, 3, 4, 5});
        EXPECT_EQ(5u, GetFileSize_u64(file.c_str())) << name;
        EXPECT_EQ(0, TruncateFile_u64(file.c_str(), 2)) << name;
        EXPECT_EQ((std::vector<uint8_t>{1, 2}), ReadFileBytes(file)) << name;
        char saved[4096];
        char inside[4096];
        ASSERT_NE(nullptr, getcwdir(saved, sizeof saved));
        ASSERT_EQ(0, _chdir(folder.c_str())) << name;
        EXPECT_NE(nullptr, getcwdir(inside, sizeof inside));
        ASSERT_EQ(0, _chdir(saved));
        EXPECT_EQ(folder, std::string(inside)) << name;
    }
}
