// Layers of bytes stacked as the walk stacks them: each stack must give the
// bytes of the same file at the same offsets, a cipher layer its region's, and a failure beneath must
// reach the top with its errno value.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/ctr.h>

#include "cipher_layer.h"
#include "icn_writer.h"
#include "stream_layer.h"
#include "z3ds.h"

namespace {

// A pipe over bytes in memory, which fails with EIO once `fail_at` bytes
// have been read.
struct Pipe {
    const std::vector<uint8_t>* bytes;
    size_t next;
    size_t fail_at;
};

ssize_t pipe_read(void* cookie, char* out, size_t size)
{
    Pipe* pipe = static_cast<Pipe*>(cookie);
    if (pipe->next >= pipe->fail_at) {
        errno = EIO;
        return -1;
    }
    size_t left = std::min(pipe->bytes->size(), pipe->fail_at) - pipe->next;
    size_t n = std::min(size, left);
    memcpy(out, pipe->bytes->data() + pipe->next, n);
    pipe->next += n;
    return static_cast<ssize_t>(n);
}

// A stack of layers over `bytes`: a stream at the bottom (a file that can
// seek, or a pipe), a Z3DS layer above it where `compressed`.
struct Stack {
    std::vector<uint8_t> bytes;
    Pipe pipe;
    FILE* stream = nullptr;
    StreamLayerState state;
    ByteLayer bottom;
    ByteLayer z3ds = {};
    ByteLayer* top = nullptr;

    Stack(const std::vector<uint8_t>& file, bool seekable, bool compressed, size_t fail_at = SIZE_MAX)
        : bytes(file), pipe{&bytes, 0, fail_at}
    {
        cookie_io_functions_t functions = {pipe_read, nullptr, nullptr, nullptr};
        stream = seekable ? fmemopen(bytes.data(), bytes.size(), "rb") : fopencookie(&pipe, "rb", functions);
        StreamLayerOpen(&bottom, &state, stream, seekable);
        top = &bottom;
        if (compressed) {
            // The walk reads the head first and hands it on, as a pipe's cannot be read again.
            uint8_t prefix[Z3DS_PREFIX_SIZE];
            size_t got = 0;
            LayerRead(&bottom, 0, prefix, sizeof prefix, &got);
            Z3dsLayerOpen(&z3ds, &bottom, prefix, got);
            top = &z3ds;
        }
    }
    ~Stack()
    {
        LayerClose(&z3ds);
        fclose(stream);
    }
};

}  // namespace

TEST(Layers, EveryStackGivesTheSameBytesAtTheSameOffsets)
{
    // 200 KiB of noise, in 64 KiB frames: reads cross frame boundaries.
    const std::vector<uint8_t> inner = Scramble(std::vector<uint8_t>(200 * 1024), 0);
    const std::vector<uint8_t> compressed = WrapZ3ds(inner, {.frame_size = 64 * 1024});
    const struct {
        const char* name;
        const std::vector<uint8_t>* file;
        bool seekable;
        bool compressed;
    } rows[] = {
        {"a file", &inner, true, false},
        {"a pipe", &inner, false, false},
        {"a Z3DS file", &compressed, true, true},
        {"a Z3DS file through a pipe", &compressed, false, true},
    };
    // Forward reads, as the walk makes them: the first bytes, a read across
    // a frame's end, one far ahead, and one that runs past the end.
    const struct {
        uint64_t offset;
        size_t size;
    } reads[] = {{0, 0x840}, {0x840, 16}, {64 * 1024 - 5, 10}, {150 * 1024, 0x3000}, {inner.size() - 4, 16}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Stack stack(*row.file, row.seekable, row.compressed);
        ASSERT_EQ(LAYER_OK, stack.top->broken) << (stack.top->damage ? stack.top->damage : "");
        for (const auto& read : reads) {
            std::vector<uint8_t> out(read.size);
            size_t got = 0;
            LayerStatus status = LayerRead(stack.top, read.offset, out.data(), out.size(), &got);
            size_t expected = std::min<size_t>(read.size, inner.size() - read.offset);
            EXPECT_EQ(expected == read.size ? LAYER_OK : LAYER_SHORT, status) << read.offset;
            ASSERT_EQ(expected, got) << read.offset;
            EXPECT_EQ(0, memcmp(out.data(), inner.data() + read.offset, got)) << read.offset;
        }
        uint64_t length = 0;
        if (row.seekable) {
            ASSERT_EQ(LAYER_OK, LayerLength(stack.top, &length));
            EXPECT_EQ(inner.size(), length);
        }
    }
}

TEST(Layers, AReadErrorBeneathReachesTheTopAndStays)
{
    const std::vector<uint8_t> inner = Scramble(std::vector<uint8_t>(100 * 1024), 0);
    const std::vector<uint8_t> compressed = WrapZ3ds(inner, {.frame_size = 16 * 1024});
    const struct {
        const char* name;
        const std::vector<uint8_t>* file;
        bool compressed;
    } rows[] = {
        {"a pipe", &inner, false},
        {"a Z3DS file through a pipe", &compressed, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Stack stack(*row.file, false, row.compressed, row.file->size() / 2);
        std::vector<uint8_t> out(inner.size());
        size_t got = 0;
        EXPECT_EQ(LAYER_FAILED, LayerRead(stack.top, 0x840, out.data(), out.size() - 0x840, &got));
        EXPECT_EQ(EIO, stack.top->error);
        EXPECT_EQ(LAYER_FAILED, LayerRead(stack.top, inner.size() - 1, out.data(), 1, &got));
        EXPECT_EQ(0u, got);
    }
}

// A cipher layer over a file and over a pipe, in both modes: the bytes
// before the region as they are, the region decrypted whatever the reads'
// alignment (consecutive unaligned reads, a read across its start), and the
// layer's end where the region ends: the encrypted bytes past it are never
// handed up as plain.
TEST(Layers, ACipherLayerGivesItsRegionDecryptedAndEndsWithIt)
{
    const std::vector<uint8_t> plain = Scramble(std::vector<uint8_t>(0x9000), 0);
    const uint64_t start = 0x1200;
    const uint64_t length = 0x6000;
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint8_t iv[16] = {0xF0, 0xE0, 0xD0, 0xC0, 0xB0, 0xA0, 0x90, 0x80,
                            0x70, 0x60, 0x50, 0x40, 0x30, 0x20, 0x10, 0xFF};
    for (CipherMode mode : {CIPHER_CTR, CIPHER_CBC}) {
        std::vector<uint8_t> file = plain;
        aes128_ctx context;
        aes128_set_encrypt_key(&context, key);
        uint8_t chain[16];
        memcpy(chain, iv, sizeof chain);
        uint8_t* region = file.data() + start;
        if (mode == CIPHER_CTR) {
            ctr_crypt(&context, reinterpret_cast<nettle_cipher_func*>(aes128_encrypt), 16, chain, length, region,
                      region);
        } else {
            cbc_encrypt(&context, reinterpret_cast<nettle_cipher_func*>(aes128_encrypt), 16, chain, length, region,
                        region);
        }
        for (bool seekable : {true, false}) {
            SCOPED_TRACE(std::string(mode == CIPHER_CTR ? "CTR" : "CBC") + (seekable ? ", a file" : ", a pipe"));
            Stack stack(file, seekable, false);
            ByteLayer cipher;
            ASSERT_EQ(LAYER_OK, CipherLayerOpen(&cipher, stack.top, mode, start, length, key, iv));
            const struct {
                uint64_t offset;
                size_t size;
            } reads[] = {{0x11F0, 0x20},  {0x1213, 5},    {0x1218, 7}, {0x1231, 0x3F},
                         {0x2000, 0x400}, {0x71F8, 0x20}, {0x8000, 16}};
            for (const auto& read : reads) {
                std::vector<uint8_t> out(read.size);
                size_t got = 0;
                LayerStatus status = LayerRead(&cipher, read.offset, out.data(), out.size(), &got);
                size_t expected =
                    read.offset >= start + length ? 0 : std::min<size_t>(read.size, start + length - read.offset);
                EXPECT_EQ(expected == read.size ? LAYER_OK : LAYER_SHORT, status) << read.offset;
                ASSERT_EQ(expected, got) << read.offset;
                EXPECT_EQ(0, memcmp(out.data(), plain.data() + read.offset, got)) << read.offset;
            }
            LayerClose(&cipher);
        }
    }
}
