// Hexadecimal printing and labelled memory dumps.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "utils.h"

namespace {

std::string hex_printed(void (*printer)(const uint8_t*, int), const std::vector<uint8_t>& bytes, int length)
{
    testing::internal::CaptureStdout();
    printer(bytes.data(), length);
    return testing::internal::GetCapturedStdout();
}

std::string dumped(const char* label, const std::vector<uint8_t>& bytes)
{
    FILE* stream = tmpfile();
    EXPECT_NE(nullptr, stream);
    memdump(stream, label, bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::string text(static_cast<size_t>(ftell(stream)), '\0');
    rewind(stream);
    EXPECT_EQ(text.size(), fread(&text[0], 1, text.size(), stream));
    fclose(stream);
    return text;
}

std::vector<uint8_t> counting(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

// The digits of bytes first..last as memdump writes them.
std::string digits(size_t first, size_t last)
{
    std::string text;
    char pair[3];
    for (size_t i = first; i < last; i++) {
        snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(i));
        text += pair;
    }
    return text;
}

}  // namespace

TEST(HexPrint, BigAndLittleEndianOrder)
{
    const std::vector<uint8_t> bytes = {0x0A, 0xFF, 0x30};
    EXPECT_EQ("0aff", hex_printed(u8_hex_print_be, bytes, 2));
    EXPECT_EQ("ff0a", hex_printed(u8_hex_print_le, bytes, 2));
    EXPECT_EQ("0aff30", hex_printed(u8_hex_print_be, bytes, 3));
    EXPECT_EQ("30ff0a", hex_printed(u8_hex_print_le, bytes, 3));
    for (int length : {0, -1}) {
        EXPECT_EQ("", hex_printed(u8_hex_print_be, bytes, length));
        EXPECT_EQ("", hex_printed(u8_hex_print_le, bytes, length));
    }
}

TEST(Memdump, LinesOf32BytesUnderTheLabel)
{
    struct Case {
        const char* label;
        size_t size;
        std::string expected;
    } cases[] = {
        {"data: ", 0, ""},
        {"x", 2, "x0001\n"},
        {"label ", 32, "label " + digits(0, 32) + "\n"},
        {"label ", 33, "label " + digits(0, 32) + "\n      " + digits(32, 33) + "\n"},
        {"label ", 40, "label " + digits(0, 32) + "\n      " + digits(32, 40) + "\n"},
        {"", 64, digits(0, 32) + "\n" + digits(32, 64) + "\n"},
        {"100%s%n ", 33, "100%s%n " + digits(0, 32) + "\n        " + digits(32, 33) + "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, dumped(c.label, counting(c.size))) << '"' << c.label << "\" " << c.size;
    }
    EXPECT_EQ("0AFF\n", dumped("", {0x0A, 0xFF}));
}
