// The 64-bit file helpers on real temporary files, a sparse one past 4 GiB
// among them so that no offset or size is squeezed through 32 bits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"
#include "utils.h"

namespace {

const uint64_t GIB = 1024ull * 1024 * 1024;
const std::string WHENCE_MESSAGE = "[!] fseek_64, whence has been overided to SEEK_SET\n";

class FileHelpers : public testing::Test {
protected:
    void SetUp() override { dir = MakeScratchDir(); }
    void TearDown() override { RemoveTree(dir); }

    std::string path(const char* name) const { return dir + "/" + name; }

    std::string dir;
};

std::vector<uint8_t> text_bytes(const char* text)
{
    return std::vector<uint8_t>(text, text + strlen(text));
}

}  // namespace

TEST_F(FileHelpers, Fseek64AlwaysCountsFromTheStart)
{
    WriteFileBytes(path("f"), text_bytes("0123456789"));
    FILE* stream = fopen(path("f").c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    struct Case {
        uint64_t offset;
        int whence;
        bool succeeds;
        int64_t position;  // where the stream stands afterwards
        std::string printed;
    } cases[] = {
        {4, SEEK_SET, true, 4, ""},
        {2, SEEK_END, true, 2, WHENCE_MESSAGE},
        {3, SEEK_CUR, true, 3, WHENCE_MESSAGE},
        {5 * GIB, SEEK_SET, true, static_cast<int64_t>(5 * GIB), ""},
        {static_cast<uint64_t>(INT64_MAX) + 1, SEEK_SET, false, static_cast<int64_t>(5 * GIB), ""},
        {UINT64_MAX, SEEK_END, false, static_cast<int64_t>(5 * GIB), WHENCE_MESSAGE},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        int result = fseek_64(stream, c.offset, c.whence);
        EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout()) << c.offset;
        EXPECT_EQ(c.succeeds, result == 0) << c.offset;
        EXPECT_EQ(c.position, StreamPosition(stream)) << c.offset;
    }
    fclose(stream);
}

TEST_F(FileHelpers, BlockTransfersRoundTripAndReportShortOnes)
{
    FILE* stream = fopen(path("rw").c_str(), "w+b");
    ASSERT_NE(nullptr, stream);
    const std::vector<uint8_t> block = text_bytes("sixteen bytes!!!");
    EXPECT_EQ(1, WriteBuffer(block.data(), block.size(), 0, stream));
    std::vector<uint8_t> back(block.size(), 0);
    EXPECT_EQ(1, ReadFile_64(back.data(), back.size(), 0, stream));
    EXPECT_EQ(block, back);
    EXPECT_EQ(block.size(), GetFileSize_u32(stream));
    EXPECT_EQ(0, ftell(stream));

    EXPECT_EQ(0, WriteBuffer(block.data(), 0, 0, stream));
    EXPECT_EQ(0, ReadFile_64(back.data(), 0, 0, stream));
    // A block running past the end: short, with the bytes that were there.
    std::vector<uint8_t> tail(8, '.');
    EXPECT_EQ(0, ReadFile_64(tail.data(), tail.size(), 12, stream));
    EXPECT_EQ(text_bytes("s!!!...."), tail);
    fclose(stream);

    FILE* read_only = fopen(path("rw").c_str(), "rb");
    ASSERT_NE(nullptr, read_only);
    EXPECT_EQ(0, WriteBuffer(block.data(), block.size(), 0, read_only));
    fclose(read_only);
}

TEST_F(FileHelpers, FileSizesAreExact)
{
    for (size_t size : {0, 1, 7, 4096}) {
        WriteFileBytes(path("s"), std::vector<uint8_t>(size, 'a'));
        EXPECT_EQ(size, GetFileSize_u64(path("s").c_str()));
        FILE* stream = fopen(path("s").c_str(), "rb");
        ASSERT_NE(nullptr, stream);
        fseek(stream, 3, SEEK_SET);
        EXPECT_EQ(size, GetFileSize_u32(stream));
        EXPECT_EQ(0, ftell(stream));
        fclose(stream);
    }
    EXPECT_EQ(UINT64_MAX, GetFileSize_u64(path("missing").c_str()));
}

TEST_F(FileHelpers, TruncateSetsTheExactLengthOfAnExistingFile)
{
    const std::string file = path("t");
    WriteFileBytes(file, text_bytes("abcdef"));
    struct Case {
        uint64_t length;
        std::vector<uint8_t> expected;
    } cases[] = {
        {6, text_bytes("abcdef")},
        {3, text_bytes("abc")},
        {5, {'a', 'b', 'c', 0, 0}},
        {0, {}},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, TruncateFile_u64(file.c_str(), c.length));
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ(c.expected, ReadFileBytes(file)) << c.length;
    }
}

TEST_F(FileHelpers, TruncateFailuresCreateNothing)
{
    MakeDir(path("sub"));
    WriteFileBytes(path("t"), text_bytes("abc"));
    struct Case {
        std::string target;
        uint64_t length;
        std::string printed;
    } cases[] = {
        {path("missing"), 0, "[!] Invalid File handle\n"},
        {path("sub"), 0, "[!] Invalid File handle\n"},
        {path("t"), static_cast<uint64_t>(INT64_MAX) + 1, "[!] truncate failed\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, TruncateFile_u64(c.target.c_str(), c.length));
        EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout()) << c.target;
    }
    EXPECT_FALSE(PathExists(path("missing")));
    EXPECT_EQ(text_bytes("abc"), ReadFileBytes(path("t")));
}

TEST_F(FileHelpers, SparseFilePastFourGibibytes)
{
    const std::string file = path("big");
    const uint64_t size = 5 * GIB + 1;  // odd, and above every 32-bit count
    WriteFileBytes(file, {});
    ASSERT_EQ(0, TruncateFile_u64(file.c_str(), size));
    EXPECT_EQ(size, GetFileSize_u64(file.c_str()));

    FILE* stream = fopen(file.c_str(), "r+b");
    ASSERT_NE(nullptr, stream);
    const std::vector<uint8_t> block = text_bytes("far beyond 4 GiB");
    const uint64_t offset = 4 * GIB + 3;
    EXPECT_EQ(1, WriteBuffer(block.data(), block.size(), offset, stream));
    std::vector<uint8_t> back(block.size(), 0);
    EXPECT_EQ(1, ReadFile_64(back.data(), back.size(), offset, stream));
    EXPECT_EQ(block, back);
    // The same bytes 4 GiB lower are still the hole's zeros.
    EXPECT_EQ(1, ReadFile_64(back.data(), back.size(), offset - 4 * GIB, stream));
    EXPECT_EQ(std::vector<uint8_t>(block.size(), 0), back);
    EXPECT_EQ(UINT32_MAX, GetFileSize_u32(stream));  // does not fit in 32 bits
    fclose(stream);
    EXPECT_EQ(size, GetFileSize_u64(file.c_str()));
}

TEST_F(FileHelpers, MakedirCreatesOneDirectory)
{
    EXPECT_EQ(0, makedir(path("new").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(path("new")));
    EXPECT_EQ(-1, makedir(path("new").c_str()));
    EXPECT_EQ(-1, makedir(path("no/such").c_str()));
    EXPECT_FALSE(PathExists(path("no")));
}

TEST(Getcwdir, FitsExactlyOrGivesNull)
{
    const std::string expected = std::filesystem::current_path().string();
    const int needed = static_cast<int>(expected.size()) + 1;
    std::vector<char> buffer(needed + 8, 'x');
    EXPECT_EQ(buffer.data(), getcwdir(buffer.data(), needed));
    EXPECT_EQ(expected, buffer.data());
    EXPECT_EQ(nullptr, getcwdir(buffer.data(), needed - 1));
    EXPECT_EQ(nullptr, getcwdir(buffer.data(), -1));
}

TEST(Free, ReleasesBlocksAndNull)
{
    _free(malloc(64));
    _free(nullptr);
}
