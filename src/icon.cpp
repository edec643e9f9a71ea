#include "icon.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode_bmp.h"
#include "ds_banner.h"
#include "png_writer.h"
#include "utils.h"

const IconSlot SLOTS[SLOT_COUNT] = {
    {"small", SMALL_ICON_OFFSET, SMALL_ICON_SIDE},
    {"large", LARGE_ICON_OFFSET, LARGE_ICON_SIDE},
};

size_t SlotEnd(Slot slot)
{
    return static_cast<size_t>(SLOTS[slot].offset) + 2 * static_cast<size_t>(SLOTS[slot].side * SLOTS[slot].side);
}

BGR24 RGB565toRGB24bit(uint16_t pixel)
{
    BGR24 colour;
    // Each field moved to the top of its byte, zero bits shifted in below:
    // red5 << 3, green6 << 2 and blue5 << 3, in two operations each.
    colour.red = static_cast<uint8_t>((pixel >> 8) & 0xF8);
    colour.green = static_cast<uint8_t>((pixel >> 3) & 0xFC);
    colour.blue = static_cast<uint8_t>(pixel << 3);
    return colour;
}

static int icon_side_supported(int32_t side)
{
    return side >= 8 && side <= MAX_ICON_SIDE && side % 8 == 0;
}

void CTPKtoBMP(const uint16_t* raw, uint8_t* bmp, int32_t side)
{
    if (!icon_side_supported(side)) {
        return;
    }
    // Offsets (dx, dy) of a 4×4 block in Z order, dy counted downward.
    static const uint8_t block_x[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
    static const uint8_t block_y[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
    const ptrdiff_t n = side;
    const ptrdiff_t row_bytes = 3 * n;
    // The same offsets in bitmap bytes: its rows run bottom up, so a step
    // down the image is a step back by one row.
    ptrdiff_t block_offset[16];
    for (int i = 0; i < 16; i++) {
        block_offset[i] = 3 * block_x[i] - row_bytes * block_y[i];
    }
    const uint16_t* next = raw;
    for (ptrdiff_t tile_row = 0; tile_row < n / 8; tile_row++) {
        ptrdiff_t cursor_x = 0;
        ptrdiff_t cursor_y = 8 * tile_row;
        // Along the row, each tile as its upper half, then its lower half.
        for (ptrdiff_t tile_half = 0; tile_half < n / 4; tile_half++) {
            // A half is two 4×4 quadrants side by side: left, then right.
            for (int quadrant = 0; quadrant < 2; quadrant++) {
                uint8_t* cursor = bmp + (n - 1 - cursor_y) * row_bytes + 3 * cursor_x;
#pragma GCC unroll 16
                for (int in_block = 0; in_block < 16; in_block++) {
                    BGR24 colour = RGB565toRGB24bit(*next++);
                    uint8_t* pixel = cursor + block_offset[in_block];
                    pixel[0] = colour.blue;
                    pixel[1] = colour.green;
                    pixel[2] = colour.red;
                }
                cursor_x += 4;
            }
            if (tile_half % 2 == 0) {
                cursor_x -= 8;  // down to the lower half of the same tile
                cursor_y += 4;
            } else {
                cursor_y -= 4;  // up to the upper half of the next tile
            }
        }
    }
}

static unsigned system_error(unsigned base)
{
    return base + static_cast<unsigned>(errno_or_eio());
}

// Reads the `pixels` little-endian RGB565 pixels at `offset` of `input`
// into `raw`, as bytes.
static unsigned read_raw_pixels(FILE* input, int32_t offset, uint16_t* raw, size_t pixels)
{
    errno = 0;
    if (fseek(input, offset, SEEK_SET) != 0) {
        return system_error(ICON_READ_ERROR);
    }
    if (fread(raw, 2, pixels, input) != pixels) {
        return ferror(input) ? system_error(ICON_READ_ERROR) : ICON_TRUNCATED;
    }
    return ICON_OK;
}

unsigned SmdhIconImage(FILE* input, const uint8_t* smdh, size_t size, int32_t offset, int32_t side, uint8_t* image)
{
    if (!icon_side_supported(side)) {
        return ICON_BAD_SIDE;
    }
    const size_t pixels = static_cast<size_t>(side) * static_cast<size_t>(side);
    uint16_t* raw = static_cast<uint16_t*>(malloc(pixels * 2));
    uint8_t* bmp = static_cast<uint8_t*>(malloc(pixels * 3));
    unsigned status = ICON_OUT_OF_MEMORY;
    if (raw != nullptr && bmp != nullptr && input != nullptr) {
        status = read_raw_pixels(input, offset, raw, pixels);
    } else if (raw != nullptr && bmp != nullptr) {
        status = offset < 0 || size < static_cast<size_t>(offset) || size - static_cast<size_t>(offset) < 2 * pixels
                     ? ICON_TRUNCATED
                     : ICON_OK;
        if (status == ICON_OK) {
            memcpy(raw, smdh + offset, 2 * pixels);
        }
    }
    if (status == ICON_OK) {
        // In place: pixel i is built from bytes 2i and 2i+1, which it then covers.
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(raw);
        for (size_t i = 0; i < pixels; i++) {
            raw[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        CTPKtoBMP(raw, bmp, side);
        DecodeBMPData(bmp, image, static_cast<uint16_t>(side));
    }
    free(raw);
    free(bmp);
    return status;
}

static unsigned convert_icon(FILE* input, const uint8_t* smdh, size_t size, const char* output_path, int32_t offset,
                             int32_t side, unsigned mode)
{
    if (!icon_side_supported(side)) {
        return ICON_BAD_SIDE;
    }
    uint8_t* image = static_cast<uint8_t*>(malloc(4 * static_cast<size_t>(side) * static_cast<size_t>(side)));
    unsigned status = image == nullptr ? ICON_OUT_OF_MEMORY : SmdhIconImage(input, smdh, size, offset, side, image);
    if (status == ICON_OK) {
        status = WritePng(output_path, image, static_cast<unsigned>(side), mode);
    }
    free(image);
    return status;
}

unsigned ConvertDsIcon(const uint8_t* banner, const char* output_path, unsigned mode)
{
    uint8_t image[DS_ICON_SIDE * DS_ICON_SIDE * 4];
    DsIconToRgba(banner, image);
    return WritePng(output_path, image, DS_ICON_SIDE, mode);
}

void DsAnimationFrames(const uint8_t* banner, std::vector<uint8_t>* pictures, std::vector<PngFrame>* frames)
{
    const size_t picture_bytes = 4 * DS_ICON_SIDE * DS_ICON_SIDE;
    DsAnimation animation;
    ParseDsAnimation(banner, &animation);
    pictures->assign(picture_bytes * size_t(animation.count), 0);
    frames->clear();
    for (int i = 0; i < animation.count; i++) {
        const DsFrame* token = &animation.frames[i];
        if (token->duration == 0) {
            continue;  // never seen
        }
        uint8_t* picture = pictures->data() + picture_bytes * frames->size();
        DsFrameToRgba(banner, token, picture);
        // The same picture as the frame before: one frame, shown for both.
        if (!frames->empty() && memcmp(frames->back().rgba, picture, picture_bytes) == 0) {
            frames->back().delay_numerator = static_cast<uint16_t>(frames->back().delay_numerator + token->duration);
        } else {
            frames->push_back({picture, static_cast<uint16_t>(token->duration), DS_TICKS_A_SECOND});
        }
    }
}

unsigned ConvertDsAnimation(const uint8_t* banner, const char* output_path, unsigned mode)
{
    std::vector<uint8_t> pictures;
    std::vector<PngFrame> frames;
    DsAnimationFrames(banner, &pictures, &frames);
    uint8_t still[4 * DS_ICON_SIDE * DS_ICON_SIDE];
    DsIconToRgba(banner, still);
    return WriteAnimatedPng(output_path, still, frames.data(), frames.size(), DS_ICON_SIDE, mode);
}

unsigned ConvertIcon(FILE* input, const char* output_path, int32_t offset, int32_t side)
{
    return convert_icon(input, nullptr, 0, output_path, offset, side, OUTPUT_REPLACE);
}

unsigned ConvertIconBytes(const uint8_t* smdh, size_t size, const char* output_path, int32_t offset, int32_t side,
                          unsigned mode)
{
    return convert_icon(nullptr, smdh, size, output_path, offset, side, mode);
}
