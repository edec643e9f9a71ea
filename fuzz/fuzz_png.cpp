// Fuzz target: our PNG encoder against LodePNG's on arbitrary pixels; the
// bytes must be the same. The input gives the size (up to 160×160, so that
// some images need more than one deflate block), a way to draw (raw RGBA, or
// indices into colours the input lists, or into greys, some transparent, so
// that palettes, greys and keys come up), and the pixels. The input read as
// bytes and runs of zeros is also deflated both ways: the match finder's
// walk through runs of zeros is where it does least as LodePNG does.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <lodepng.h>

#include "deflate.h"
#include "png_encoder.h"

namespace {

// Byte i of the pixel data, the data repeated as often as the image needs.
uint8_t Byte(const uint8_t* data, size_t size, size_t i)
{
    return size == 0 ? 0 : data[i % size];
}

std::vector<uint8_t> Draw(const uint8_t* data, size_t size, unsigned pixels, unsigned how)
{
    std::vector<uint8_t> rgba(4 * static_cast<size_t>(pixels));
    if (how % 3 == 0) {
        for (size_t i = 0; i != rgba.size(); ++i) {
            rgba[i] = Byte(data, size, i);
        }
        return rgba;
    }
    // A list of colours, then an index a pixel.
    unsigned count = 1 + Byte(data, size, 0) + (how & 4 ? 256 : 0);
    for (unsigned p = 0; p != pixels; ++p) {
        unsigned index = (Byte(data, size, 1 + p) + (how & 8 ? Byte(data, size, 7 * p) << 8 : 0)) % count;
        uint8_t* pixel = &rgba[4 * p];
        if (how % 3 == 1) {
            for (unsigned c = 0; c != 4; ++c) {
                pixel[c] = Byte(data, size, 4 * index + c + 3);
            }
        } else {
            uint8_t grey = Byte(data, size, index + 5);
            pixel[0] = pixel[1] = pixel[2] = grey;
            pixel[3] = grey % 7 == 0 ? 0 : grey % 11 == 0 ? grey : 255;
        }
    }
    return rgba;
}

// A byte of 128 or more is a run of zeros, up to 381 long; any other itself.
std::vector<uint8_t> Stream(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> stream;
    for (size_t i = 0; i != size; ++i) {
        if (data[i] >= 128) {
            stream.insert(stream.end(), 3u * (data[i] - 128u), 0);
        } else {
            stream.push_back(data[i]);
        }
    }
    return stream;
}

bool SameZlibStream(const std::vector<uint8_t>& stream)
{
    unsigned char* expected = nullptr;
    size_t expected_size = 0;
    unsigned error = lodepng_zlib_compress(&expected, &expected_size, stream.data(), stream.size(),
                                           &lodepng_default_compress_settings);
    std::vector<uint8_t> ours;
    unsigned our_error = ZlibCompressLikeLodePng(stream.data(), stream.size(), &ours);
    bool same =
        error == 0 && our_error == 0 && ours.size() == expected_size && std::equal(ours.begin(), ours.end(), expected);
    free(expected);
    return same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    unsigned width = 1 + data[0] % 160;
    unsigned height = 1 + data[1] % 160;
    std::vector<uint8_t> rgba = Draw(data + 3, size - 3, width * height, data[2]);

    unsigned char* expected = nullptr;
    size_t expected_size = 0;
    unsigned error = lodepng_encode32(&expected, &expected_size, rgba.data(), width, height);
    std::vector<uint8_t> ours;
    unsigned our_error = EncodePngLikeLodePng(rgba.data(), width, height, &ours);
    bool same =
        error == 0 && our_error == 0 && ours.size() == expected_size && std::equal(ours.begin(), ours.end(), expected);
    free(expected);
    if (!same) {
        fprintf(stderr, "fuzz_png: %ux%u: our bytes differ from LodePNG's\n", width, height);
        abort();
    }
    if (!SameZlibStream(Stream(data, size))) {
        fprintf(stderr, "fuzz_png: our zlib stream differs from LodePNG's\n");
        abort();
    }
    return 0;
}
