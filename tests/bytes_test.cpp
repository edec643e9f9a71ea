// Byte order, flag expansion, hexadecimal text and alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "utils.h"

using Bytes = std::vector<uint8_t>;

TEST(FixedWidth, ReadsInEitherOrderAndZeroForOtherSelectors)
{
    const uint8_t b[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    EXPECT_EQ(0x1234u, u8_to_u16(b, 0));
    EXPECT_EQ(0x3412u, u8_to_u16(b, 1));
    EXPECT_EQ(0x12345678u, u8_to_u32(b, 0));
    EXPECT_EQ(0x78563412u, u8_to_u32(b, 1));
    EXPECT_EQ(0x123456789ABCDEF0ull, u8_to_u64(b, 0));
    EXPECT_EQ(0xF0DEBC9A78563412ull, u8_to_u64(b, 1));
    for (uint8_t other : {2, 255}) {
        EXPECT_EQ(0u, u8_to_u16(b, other));
        EXPECT_EQ(0u, u8_to_u32(b, other));
        EXPECT_EQ(0u, u8_to_u64(b, other));
    }
    // Any address will do: every access is a single byte.
    EXPECT_EQ(0x3456789Au, u8_to_u32(b + 1, 0));
}

TEST(FixedWidth, WritesInEitherOrderAndNothingForOtherSelectors)
{
    Bytes b(8, 0xEE);
    EXPECT_EQ(0, u64_to_u8(b.data(), 0x0102030405060708ull, 0));
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 8}), b);
    EXPECT_EQ(0, u64_to_u8(b.data(), 0x0102030405060708ull, 1));
    EXPECT_EQ((Bytes{8, 7, 6, 5, 4, 3, 2, 1}), b);
    EXPECT_EQ(0, u64_to_u8(b.data(), 0x1111111111111111ull, 2));
    EXPECT_EQ((Bytes{8, 7, 6, 5, 4, 3, 2, 1}), b);

    Bytes narrow(6, 0xEE);
    u16_to_u8(narrow.data() + 1, 0xA1B2, 0);
    u32_to_u8(narrow.data() + 1, 0xC3D4E5F6, 3);  // ignored
    EXPECT_EQ((Bytes{0xEE, 0xA1, 0xB2, 0xEE, 0xEE, 0xEE}), narrow);
    u32_to_u8(narrow.data() + 1, 0xC3D4E5F6, 1);
    EXPECT_EQ((Bytes{0xEE, 0xF6, 0xE5, 0xD4, 0xC3, 0xEE}), narrow);
}

TEST(FixedWidth, RoundTripsEveryWidthAndOrder)
{
    const uint64_t values[] = {0, 1, 0x80, 0xFF00, 0x8000000000000001ull, UINT64_MAX, 0x0123456789ABCDEFull};
    for (uint8_t order : {0, 1}) {
        for (uint64_t v : values) {
            uint8_t b[8];
            u16_to_u8(b, static_cast<uint16_t>(v), order);
            EXPECT_EQ(static_cast<uint16_t>(v), u8_to_u16(b, order));
            u32_to_u8(b, static_cast<uint32_t>(v), order);
            EXPECT_EQ(static_cast<uint32_t>(v), u8_to_u32(b, order));
            u64_to_u8(b, v, order);
            EXPECT_EQ(v, u8_to_u64(b, order));
        }
    }
}

TEST(EndianMemcpy, CopiesInOrderReversedOrNotAtAll)
{
    const uint8_t source[5] = {1, 2, 3, 4, 5};
    // A table, laid out by hand.
    // clang-format off
    struct Case {
        int order;
        uint32_t length;
        Bytes expected;
    } cases[] = {
        {0, 5, {1, 2, 3, 4, 5, 9}}, {1, 5, {5, 4, 3, 2, 1, 9}}, {1, 2, {2, 1, 9, 9, 9, 9}},
        {2, 5, {9, 9, 9, 9, 9, 9}}, {-1, 5, {9, 9, 9, 9, 9, 9}}, {0, 0, {9, 9, 9, 9, 9, 9}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes destination(6, 9);
        endian_memcpy(destination.data(), source, c.length, c.order);
        EXPECT_EQ(c.expected, destination) << "order " << c.order << " length " << c.length;
    }
}

TEST(CharToIntArray, ReadsEachTwoCharacterGroupOnItsOwn)
{
    // A table, laid out by hand.
    // clang-format off
    struct Case {
        const char* text;
        int count;
        int order;
        int base;
        Bytes expected;  // the destination is 4 bytes, first filled with 0x77
    } cases[] = {
        {"0aFF10", 3, 0, 16, {0x0A, 0xFF, 0x10, 0x77}},
        {"0aFF10", 3, 1, 16, {0x10, 0xFF, 0x0A, 0x77}},
        {"0aFF10", 3, 2, 16, {0x00, 0x00, 0x00, 0x77}},
        {"0Aff10", 3, 0, 16, {0x0A, 0xFF, 0x10, 0x77}},
        {"1234", 2, 0, 10, {12, 34, 0x77, 0x77}},
        {"-1+5", 2, 0, 16, {0xFF, 0x05, 0x77, 0x77}},   // signs
        {" 7 f", 2, 0, 16, {0x07, 0x0F, 0x77, 0x77}},   // leading blanks
        {"4zzz1g", 3, 0, 16, {0x04, 0x00, 0x01, 0x77}}, // no digit, digit then junk
        {"ab7", 2, 0, 16, {0xAB, 0x07, 0x77, 0x77}},    // last group one character
        {"", 1, 0, 16, {0x00, 0x77, 0x77, 0x77}},       // group at the terminator
        {"ff", 0, 0, 16, {0x77, 0x77, 0x77, 0x77}},
        {"ff", -3, 0, 16, {0x77, 0x77, 0x77, 0x77}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes destination(4, 0x77);
        char_to_int_array(destination.data(), c.text, c.count, c.order, c.base);
        EXPECT_EQ(c.expected, destination) << '"' << c.text << "\" count " << c.count << " order " << c.order;
    }
}

TEST(ResolveFlag, OneEntryPerBitLowestFirst)
{
    Bytes flags(8, 9);
    resolve_flag(0xA5, flags.data());
    EXPECT_EQ((Bytes{1, 0, 1, 0, 0, 1, 0, 1}), flags);
    resolve_flag(0, flags.data());
    EXPECT_EQ(Bytes(8, 0), flags);

    Bytes words(17, 9);
    resolve_flag_u16(0x8001, words.data());
    Bytes expected(17, 0);
    expected[0] = 1;
    expected[15] = 1;
    expected[16] = 9;  // past the array: untouched
    EXPECT_EQ(expected, words);
    resolve_flag_u16(0, words.data());
    expected[0] = expected[15] = 0;
    EXPECT_EQ(expected, words);
}

TEST(AlignValue, RoundsUpToAnyAlignment)
{
    // A table, laid out by hand.
    // clang-format off
    struct Case {
        uint32_t value, alignment, expected;
    } cases[] = {
        {0, 16, 16},           {1, 16, 16},  {16, 16, 16},       {17, 16, 32},
        {10, 3, 12},           {9, 3, 9},    {5, 1, 5},          {0, 1, 1},
        {4294967281u, 16, 0},  {4294967295u, 2, 0}, {4294967280u, 16, 4294967280u},
        {7, 0, 7},             {0, 0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, align_value(c.value, c.alignment)) << c.value << " to " << c.alignment;
    }
}
