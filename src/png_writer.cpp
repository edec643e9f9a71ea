#include "png_writer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include <lodepng.h>

#include "icon_status.h"
#include "platform.h"

namespace {

// The image's PNG, from our encoder where the LodePNG loaded is the one whose
// bytes it reproduces (a shared library can be replaced after the build),
// else from LodePNG itself.
unsigned Encode(const uint8_t* image, unsigned side, std::vector<uint8_t>* png)
{
#ifdef GALLIVOX_PNG_ENCODER
    if (std::strcmp(LODEPNG_VERSION_STRING, PNG_ENCODER_LODEPNG_VERSION) == 0) {
        return EncodePngLikeLodePng(image, side, side, png);
    }
#endif
    unsigned char* bytes = nullptr;
    size_t size = 0;
    unsigned status = lodepng_encode32(&bytes, &size, image, side, side);
    if (status == 0) {
        png->assign(bytes, bytes + size);
    }
    free(bytes);
    return status;
}

}  // namespace

// The most bytes a PNG of a side×side picture of ours can take: every row
// stored raw with its filter byte, with room for its chunks and deflate's
// block headers. A larger file holds something else.
static size_t largest_png(unsigned side)
{
    const size_t raw = (4 * size_t(side) + 1) * side;
    return 2 * raw + 65536;
}

// Whether the PNG of `bytes` holds exactly the side×side RGBA `image`. Its
// header is checked before anything is decoded, so what is decoded is never
// larger than the picture itself.
static bool holds_picture(const std::vector<uint8_t>& bytes, const uint8_t* image, unsigned side)
{
    if (bytes.size() > largest_png(side)) {
        return false;
    }
    LodePNGState state;
    lodepng_state_init(&state);
    unsigned width = 0;
    unsigned height = 0;
    bool same = lodepng_inspect(&width, &height, &state, bytes.data(), bytes.size()) == 0 && width == side &&
                height == side && state.info_png.color.bitdepth <= 8;
    unsigned char* pixels = nullptr;
    if (same) {
        // Interlaced rows take a little more than plain ones: twice is ample.
        state.decoder.zlibsettings.max_output_size = 2 * (4 * size_t(side) + 1) * side;
        same = lodepng_decode(&pixels, &width, &height, &state, bytes.data(), bytes.size()) == 0 &&
               memcmp(pixels, image, 4 * size_t(side) * side) == 0;
    }
    free(pixels);
    lodepng_state_cleanup(&state);
    return same;
}

// A picture on its way to its file: its encoding, and whether the bytes of
// a file already there hold it (at most `largest` of them are read).
struct Picture {
    std::function<unsigned(std::vector<uint8_t>*)> encode;
    std::function<bool(const std::vector<uint8_t>&)> held_by;
    size_t largest;
};

// What is at `path` already, for OUTPUT_KEEP: ICON_OK with `free_name` set
// where nothing is; ICON_OK where a file holds the same picture; else why
// it is kept.
static unsigned look_at_existing(const char* path, const Picture& picture, int* free_name)
{
    std::vector<uint8_t> bytes;
    *free_name = 0;
    switch (platform_existing_output(path, picture.largest, &bytes)) {
    case EXISTING_NONE:
        *free_name = 1;
        return ICON_OK;
    case EXISTING_FILE:
        return picture.held_by(bytes) ? ICON_OK : ICON_KEPT_DIFFERENT;
    case EXISTING_LINK:
        return ICON_KEPT_LINK;
    case EXISTING_OTHER:
        return ICON_KEPT_NOT_FILE;
    case EXISTING_UNREADABLE:
        break;
    }
    return ICON_KEPT_UNREADABLE;
}

static unsigned write_error(int error)
{
    return error == 0 ? ICON_OK : ICON_WRITE_ERROR + static_cast<unsigned>(error);
}

// Writes the picture where nothing is at `path`, as OUTPUT_KEEP says.
static unsigned write_keeping(const char* path, const Picture& picture, unsigned mode)
{
    int free_name = 0;
    unsigned status = look_at_existing(path, picture, &free_name);
    if (!free_name) {
        return status;
    }
    std::vector<uint8_t> png;
    status = picture.encode(&png);
    int error = status != ICON_OK || (mode & OUTPUT_MAKE_FOLDERS) == 0 ? 0 : platform_make_folders(path, 1);
    if (status != ICON_OK || error != 0) {
        return status != ICON_OK ? status : write_error(error);
    }
    error = platform_create_file(path, png.data(), png.size());
    if (error == EEXIST) {
        // Made meanwhile, by another program: it is looked at as it is now.
        status = look_at_existing(path, picture, &free_name);
        return free_name ? write_error(error) : status;
    }
    return write_error(error);
}

static unsigned write_picture(const char* path, const Picture& picture, unsigned mode)
{
    if ((mode & OUTPUT_KEEP) != 0) {
        return write_keeping(path, picture, mode);
    }
    std::vector<uint8_t> png;
    unsigned status = picture.encode(&png);
    if (status != ICON_OK) {
        return status;
    }
    int error = (mode & OUTPUT_MAKE_FOLDERS) != 0 ? platform_make_folders(path, 1) : 0;
    if (error == 0) {
        error = (mode & OUTPUT_FILL_EMPTY) != 0 ? platform_fill_empty_file(path, png.data(), png.size()) : -1;
    }
    if (error == -1) {
        error = platform_replace_file(path, png.data(), png.size());
    }
    return write_error(error);
}

unsigned WritePng(const char* path, const uint8_t* image, unsigned side, unsigned mode)
{
    // The existing file's picture is compared before anything is encoded,
    // so a second run over the same outputs encodes nothing.
    Picture picture = {[image, side](std::vector<uint8_t>* png) { return Encode(image, side, png); },
                       [image, side](const std::vector<uint8_t>& bytes) { return holds_picture(bytes, image, side); },
                       largest_png(side)};
    return write_picture(path, picture, mode);
}

unsigned WriteAnimatedPng(const char* path, const uint8_t* still, const PngFrame* frames, size_t count, unsigned side,
                          unsigned mode)
{
    // Its bytes are ours alone, so a file that holds it holds them: the
    // animation is encoded once, to be compared or written.
    std::vector<uint8_t> encoded;
    unsigned status = EncodeAnimatedPng(still, frames, count, side, side, &encoded);
    if (status != ICON_OK) {
        return status;
    }
    Picture picture = {[&encoded](std::vector<uint8_t>* png) {
                           *png = encoded;
                           return unsigned(ICON_OK);
                       },
                       [&encoded](const std::vector<uint8_t>& bytes) { return bytes == encoded; }, encoded.size()};
    return write_picture(path, picture, mode);
}
