#include "png_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <lodepng.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "deflate.h"
#include "utils.h"

const char* const PNG_ENCODER_LODEPNG_VERSION = "20220618";

namespace {

const uint8_t BIG = 0;

enum ColourType : uint8_t { GREY = 0, RGB = 2, PALETTE = 3, GREY_ALPHA = 4, RGBA = 6 };

const unsigned MAX_COLOURS_COUNTED = 257;  // one past what a palette holds

// The distinct RGBA colours of an image, in the order they first appear,
// each with its index: open addressing over twice the most it holds.
struct ColourTable {
    uint32_t colour[512];
    uint16_t index_plus_one[512];  // 0: empty
    unsigned count;
};

unsigned ColourSlot(const ColourTable& table, uint32_t colour)
{
    unsigned slot = (colour * 2654435761u) >> 23;
    while (table.index_plus_one[slot] != 0 && table.colour[slot] != colour) {
        slot = (slot + 1) & 511;
    }
    return slot;
}

// What LodePNG's colour statistics find in an 8-bit RGBA image.
struct ColourStats {
    bool coloured;
    bool key;
    bool alpha;
    uint8_t key_rgb[3];
    unsigned bits;  // the fewest bits a grey value needs
    ColourTable colours;
};

unsigned GreyBits(uint8_t value)
{
    if (value == 0 || value == 255) {
        return 1;
    }
    if (value % 17 == 0) {
        return value % 85 == 0 ? 2 : 4;
    }
    return 8;
}

// One pixel's effect on the statistics, in LodePNG's order; a pixel equal to
// the one before it has none.
void CountPixel(ColourStats* stats, const uint8_t* pixel)
{
    uint8_t r = pixel[0], g = pixel[1], b = pixel[2], a = pixel[3];
    if (stats->bits < 8) {
        stats->bits = std::max(stats->bits, GreyBits(r));
    }
    if (!stats->coloured && (r != g || r != b)) {
        stats->coloured = true;
        stats->bits = 8;
    }
    if (!stats->alpha) {
        bool is_key = r == stats->key_rgb[0] && g == stats->key_rgb[1] && b == stats->key_rgb[2];
        if ((a != 255 && (a != 0 || (stats->key && !is_key))) || (a == 255 && stats->key && is_key)) {
            stats->alpha = true;
            stats->key = false;
            stats->bits = 8;
        } else if (a == 0 && !stats->key) {
            stats->key = true;
            std::memcpy(stats->key_rgb, pixel, 3);
        }
    }
    ColourTable& table = stats->colours;
    if (table.count < MAX_COLOURS_COUNTED) {
        uint32_t colour;
        std::memcpy(&colour, pixel, 4);
        unsigned slot = ColourSlot(table, colour);
        if (table.index_plus_one[slot] == 0) {
            table.colour[slot] = colour;
            table.index_plus_one[slot] = static_cast<uint16_t>(++table.count);
        }
    }
}

void CountColours(ColourStats* stats, const uint8_t* rgba, size_t pixels)
{
    std::memset(stats, 0, sizeof *stats);
    stats->bits = 1;
    // Only pixels that may change the statistics are counted: not one equal
    // to the one before it, and once the colours are too many for a palette
    // and 8 bits are needed, only one not opaque, which is all that may
    // then change them, where no transparent colour has been seen.
    size_t at = 0;
    while (at != pixels) {
        const uint8_t* pixel = rgba + 4 * at;
        CountPixel(stats, pixel);
        bool full = stats->coloured && stats->colours.count == MAX_COLOURS_COUNTED;
        if (full && stats->alpha) {
            return;  // RGBA, 8 bits: no later pixel can change that
        }
        ++at;
        if (full && !stats->key) {
            while (at != pixels && rgba[4 * at + 3] == 255) {
                ++at;
            }
        } else {
            while (at != pixels && std::memcmp(rgba + 4 * at, pixel, 4) == 0) {
                ++at;
            }
        }
    }
    if (!stats->key || stats->alpha) {
        return;
    }
    // A key seen after an opaque pixel of its colour.
    for (size_t i = 0; i != pixels; ++i) {
        const uint8_t* pixel = rgba + 4 * i;
        if (pixel[3] != 0 && std::memcmp(pixel, stats->key_rgb, 3) == 0) {
            stats->alpha = true;
            stats->key = false;
            stats->bits = 8;
            return;
        }
    }
}

struct PngMode {
    ColourType type;
    unsigned depth;
    bool keyed;
    unsigned key[3];  // in the image's depth
};

// LodePNG's choice of the smallest mode that holds every pixel exactly.
PngMode ChooseMode(const ColourStats& stats, size_t pixels)
{
    bool alpha = stats.alpha;
    bool key = stats.key;
    unsigned bits = stats.bits;
    if (key && pixels <= 16) {
        alpha = true;  // a tRNS chunk costs more than the alpha of so few pixels
        key = false;
        bits = std::max(bits, 8u);
    }
    bool grey = !stats.coloured;
    unsigned n = stats.colours.count;
    unsigned palette_bits = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
    bool palette = n <= 256 && pixels >= 2 * static_cast<size_t>(n) && !(grey && !alpha && bits <= palette_bits);
    if (palette) {
        return {PALETTE, palette_bits, false, {0, 0, 0}};
    }
    PngMode mode = {alpha ? (grey ? GREY_ALPHA : RGBA) : (grey ? GREY : RGB), bits, key, {0, 0, 0}};
    if (key) {
        unsigned mask = (1u << bits) - 1;
        for (int c = 0; c != 3; ++c) {
            mode.key[c] = stats.key_rgb[c] * 257u & mask;
        }
    }
    return mode;
}

unsigned Channels(ColourType type)
{
    switch (type) {
    case RGB:
        return 3;
    case GREY_ALPHA:
        return 2;
    case RGBA:
        return 4;
    default:
        return 1;
    }
}

// The colours' RGBA bytes in index order, as LodePNG lists them in PLTE and tRNS.
std::vector<uint8_t> PaletteOf(const ColourTable& table)
{
    std::vector<uint8_t> palette(4 * table.count);
    for (unsigned slot = 0; slot != 512; ++slot) {
        if (table.index_plus_one[slot] != 0) {
            std::memcpy(&palette[4 * (table.index_plus_one[slot] - 1u)], &table.colour[slot], 4);
        }
    }
    return palette;
}

// Packs a row of `count` values of `depth` bits, most significant first.
void PackRow(const uint8_t* values, unsigned count, unsigned depth, uint8_t* row)
{
    unsigned per_byte = 8 / depth;
    for (unsigned x = 0; x < count; x += per_byte) {
        unsigned byte = 0;
        for (unsigned k = 0; k != per_byte; ++k) {
            byte = (byte << depth) | (x + k < count ? values[x + k] : 0);
        }
        row[x / per_byte] = static_cast<uint8_t>(byte);
    }
}

// Buffers that are written whole before they are read, left uninitialised.
using Bytes = std::unique_ptr<uint8_t[]>;

// The image's rows in `mode`, each `line_bytes` long, padding bits zero.
Bytes ConvertRows(const uint8_t* rgba, unsigned width, unsigned height, const PngMode& mode, const ColourTable& colours,
                  size_t line_bytes)
{
    // One byte more: a pixel's RGB is copied as four bytes, the fourth
    // overwritten by the next pixel's (or the next row's first byte).
    Bytes rows(new uint8_t[line_bytes * height + 1]);
    Bytes values(new uint8_t[width]);
    for (unsigned y = 0; y != height; ++y) {
        const uint8_t* in = rgba + static_cast<size_t>(y) * width * 4;
        uint8_t* out = rows.get() + y * line_bytes;
        if (mode.type == RGB) {
            for (unsigned x = 0; x != width; ++x) {
                std::memcpy(out + 3 * x, in + 4 * x, 4);
            }
        } else if (mode.type == GREY_ALPHA) {
            for (unsigned x = 0; x != width; ++x) {
                out[2 * x] = in[4 * x];
                out[2 * x + 1] = in[4 * x + 3];
            }
        } else if (mode.type == GREY) {
            for (unsigned x = 0; x != width; ++x) {
                values[x] = static_cast<uint8_t>(in[4 * x] >> (8 - mode.depth));
            }
            PackRow(values.get(), width, mode.depth, out);
        } else {
            for (unsigned x = 0; x != width; ++x) {
                uint32_t colour;
                std::memcpy(&colour, in + 4 * x, 4);
                values[x] = static_cast<uint8_t>(colours.index_plus_one[ColourSlot(colours, colour)] - 1);
            }
            PackRow(values.get(), width, mode.depth, out);
        }
    }
    return rows;
}

// The Paeth predictor, in 16-bit arithmetic without branches, so that its
// loop is vectorised.
uint8_t Paeth(int16_t a, int16_t b, int16_t c)
{
    int16_t pa = static_cast<int16_t>(b - c), pb = static_cast<int16_t>(a - c);
    int16_t pc = static_cast<int16_t>(pa + pb);
    pa = pa < 0 ? static_cast<int16_t>(-pa) : pa;
    pb = pb < 0 ? static_cast<int16_t>(-pb) : pb;
    pc = pc < 0 ? static_cast<int16_t>(-pc) : pc;
    int16_t not_a = pb <= pc ? b : c;
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : not_a);
}

#if defined(__SSE2__)
// Eight bytes at `p`, each widened to 16 bits.
__m128i LoadEight(const uint8_t* p)
{
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

__m128i Absolute(__m128i values)
{
    return _mm_max_epi16(values, _mm_sub_epi16(_mm_setzero_si128(), values));
}

// Eight bytes of a row with the Paeth filter at once, as Paeth above does
// them one by one (where the compiler's own vectors take five times as many
// instructions).
void PaethEight(const uint8_t* line, const uint8_t* above, size_t step, uint8_t* out)
{
    __m128i a = LoadEight(line - step), b = LoadEight(above), c = LoadEight(above - step);
    __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a, c);
    __m128i pc = Absolute(_mm_add_epi16(pa, pb));
    pa = Absolute(pa);
    pb = Absolute(pb);
    __m128i use_c = _mm_cmpgt_epi16(pb, pc);
    __m128i not_a = _mm_or_si128(_mm_and_si128(use_c, c), _mm_andnot_si128(use_c, b));
    __m128i use_not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    __m128i predicted = _mm_or_si128(_mm_and_si128(use_not_a, not_a), _mm_andnot_si128(use_not_a, a));
    __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line));
    __m128i filtered = _mm_sub_epi8(bytes, _mm_packus_epi16(predicted, _mm_setzero_si128()));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), filtered);
}
#endif

// Row `line` filtered with `type` against `above` (zeros for the first row),
// `step` bytes a pixel. Each type has its own loop, which the compiler
// vectorises.
void FilterRow(unsigned type, const uint8_t* line, const uint8_t* above, size_t size, size_t step, uint8_t* out)
{
    switch (type) {
    case 0:
        std::memcpy(out, line, size);
        break;
    case 1:
        std::memcpy(out, line, step);
        for (size_t i = step; i < size; ++i) {
            out[i] = static_cast<uint8_t>(line[i] - line[i - step]);
        }
        break;
    case 2:
        for (size_t i = 0; i < size; ++i) {
            out[i] = static_cast<uint8_t>(line[i] - above[i]);
        }
        break;
    case 3:
        for (size_t i = 0; i < step; ++i) {
            out[i] = static_cast<uint8_t>(line[i] - (above[i] >> 1));
        }
        for (size_t i = step; i < size; ++i) {
            out[i] = static_cast<uint8_t>(line[i] - ((line[i - step] + above[i]) >> 1));
        }
        break;
    default: {
        for (size_t i = 0; i < step; ++i) {
            out[i] = static_cast<uint8_t>(line[i] - above[i]);
        }
        size_t i = step;
#if defined(__SSE2__)
        for (; i + 8 <= size; i += 8) {
            PaethEight(line + i, above + i, step, out + i);
        }
#endif
        for (; i < size; ++i) {
            out[i] = static_cast<uint8_t>(line[i] - Paeth(line[i - step], above[i], above[i - step]));
        }
        break;
    }
    }
}

// LodePNG's measure of a filtered row: the bytes' sum for no filter, else
// the sum of their distances from zero, read as signed (for a byte s of 128
// or more, 255 - s: one less than the distance, as LodePNG counts it).
size_t RowCost(unsigned type, const uint8_t* filtered, size_t size)
{
    size_t sum = 0, i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: those read as negative flipped (255 - s) but
    // for no filter, then summed by the sum of absolute differences from 0.
    const __m128i zero = _mm_setzero_si128();
    const __m128i flip = type == 0 ? zero : _mm_cmpeq_epi8(zero, zero);
    __m128i sums = zero;
    for (; i + 16 <= size; i += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(filtered + i));
        bytes = _mm_xor_si128(bytes, _mm_and_si128(_mm_cmpgt_epi8(zero, bytes), flip));
        sums = _mm_add_epi32(sums, _mm_sad_epu8(bytes, zero));
    }
    sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
          static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
#endif
    if (type == 0) {
        for (; i < size; ++i) {
            sum += filtered[i];
        }
    } else {
        for (; i < size; ++i) {
            sum += std::min<uint8_t>(filtered[i], static_cast<uint8_t>(255 - filtered[i]));
        }
    }
    return sum;
}

// The filtered image data: each row behind its filter type, the type that
// costs least (the first of equals), or no filter for palettes and depths
// under 8.
Bytes FilterRows(const uint8_t* rows, unsigned height, size_t line_bytes, size_t step, bool adaptive)
{
    Bytes data(new uint8_t[(line_bytes + 1) * height]);
    Bytes attempts(new uint8_t[line_bytes * 5]);
    std::vector<uint8_t> zero_row(line_bytes);
    for (unsigned y = 0; y != height; ++y) {
        const uint8_t* line = rows + y * line_bytes;
        const uint8_t* above = y == 0 ? zero_row.data() : line - line_bytes;
        uint8_t* out = data.get() + y * (line_bytes + 1);
        unsigned best = 0;
        if (adaptive) {
            size_t least = 0;
            for (unsigned type = 0; type != 5; ++type) {
                uint8_t* attempt = attempts.get() + type * line_bytes;
                FilterRow(type, line, above, line_bytes, step, attempt);
                size_t cost = RowCost(type, attempt, line_bytes);
                if (type == 0 || cost < least) {
                    best = type;
                    least = cost;
                }
            }
            std::memcpy(out + 1, attempts.get() + best * line_bytes, line_bytes);
        } else {
            std::memcpy(out + 1, line, line_bytes);
        }
        out[0] = static_cast<uint8_t>(best);
    }
    return data;
}

void Put32(std::vector<uint8_t>* png, uint32_t value)
{
    uint8_t bytes[4];
    u32_to_u8(bytes, value, BIG);
    png->insert(png->end(), bytes, bytes + 4);
}

// Appends a chunk's head; EndChunk writes its length and CRC once its data follows.
size_t BeginChunk(std::vector<uint8_t>* png, const char* type)
{
    size_t start = png->size();
    Put32(png, 0);
    png->insert(png->end(), type, type + 4);
    return start;
}

unsigned EndChunk(std::vector<uint8_t>* png, size_t start)
{
    size_t length = png->size() - start - 8;
    if (length > 0x7fffffffu) {
        return 77;  // LodePNG's code for a chunk too large
    }
    u32_to_u8(png->data() + start, static_cast<uint32_t>(length), BIG);
    Put32(png, lodepng_crc32(png->data() + start + 4, length + 4));
    return 0;
}

void PutHeader(std::vector<uint8_t>* png, unsigned width, unsigned height, const PngMode& mode)
{
    const uint8_t SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    png->assign(SIGNATURE, SIGNATURE + 8);
    size_t chunk = BeginChunk(png, "IHDR");
    Put32(png, width);
    Put32(png, height);
    // depth, colour type; compression, filter and interlace methods 0
    png->insert(png->end(), {static_cast<uint8_t>(mode.depth), mode.type, 0, 0, 0});
    EndChunk(png, chunk);
}

// PLTE and tRNS where the mode needs them: a palette's alphas up to the
// last one not opaque, or the key.
void PutPaletteAndKey(std::vector<uint8_t>* png, const PngMode& mode, const std::vector<uint8_t>& palette)
{
    if (mode.type == PALETTE) {
        size_t chunk = BeginChunk(png, "PLTE");
        size_t alphas = 0;
        for (size_t i = 0; i != palette.size() / 4; ++i) {
            png->insert(png->end(), &palette[4 * i], &palette[4 * i + 3]);
            alphas = palette[4 * i + 3] != 255 ? i + 1 : alphas;
        }
        EndChunk(png, chunk);
        if (alphas == 0) {
            return;
        }
        chunk = BeginChunk(png, "tRNS");
        for (size_t i = 0; i != alphas; ++i) {
            png->push_back(palette[4 * i + 3]);
        }
        EndChunk(png, chunk);
    } else if (mode.keyed && (mode.type == GREY || mode.type == RGB)) {
        size_t chunk = BeginChunk(png, "tRNS");
        for (unsigned c = 0; c != (mode.type == GREY ? 1u : 3u); ++c) {
            png->insert(png->end(), {static_cast<uint8_t>(mode.key[c] >> 8), static_cast<uint8_t>(mode.key[c])});
        }
        EndChunk(png, chunk);
    }
}

// One picture's image data in `mode`: its rows converted, filtered and
// compressed, appended to `png`.
unsigned PutImageData(const uint8_t* rgba, unsigned width, unsigned height, const PngMode& mode,
                      const ColourTable& colours, std::vector<uint8_t>* png)
{
    size_t bits_per_pixel = Channels(mode.type) * mode.depth;
    size_t line_bytes = (width * bits_per_pixel + 7) / 8;
    Bytes converted;
    const uint8_t* rows = rgba;
    if (mode.type != RGBA) {
        converted = ConvertRows(rgba, width, height, mode, colours, line_bytes);
        rows = converted.get();
    }
    bool adaptive = mode.type != PALETTE && mode.depth == 8;
    Bytes data = FilterRows(rows, height, line_bytes, (bits_per_pixel + 7) / 8, adaptive);
    converted.reset();
    return ZlibCompressLikeLodePng(data.get(), (line_bytes + 1) * height, png);
}

// A chunk of image data: IDAT, or an animation's fdAT behind its sequence number.
unsigned PutDataChunk(const char* type, const uint32_t* sequence, const uint8_t* rgba, unsigned width, unsigned height,
                      const PngMode& mode, const ColourTable& colours, std::vector<uint8_t>* png)
{
    size_t chunk = BeginChunk(png, type);
    if (sequence != nullptr) {
        Put32(png, *sequence);
    }
    unsigned error = PutImageData(rgba, width, height, mode, colours, png);
    return error != 0 ? error : EndChunk(png, chunk);
}

unsigned Encode(const uint8_t* rgba, unsigned width, unsigned height, std::vector<uint8_t>* png)
{
    size_t pixels = static_cast<size_t>(width) * height;
    std::unique_ptr<ColourStats> stats(new ColourStats);
    CountColours(stats.get(), rgba, pixels);
    PngMode mode = ChooseMode(*stats, pixels);
    size_t data_size = ((width * Channels(mode.type) * mode.depth + 7) / 8 + 1) * height;
    png->reserve(1024 + data_size / 2);  // most of what a PNG here takes, to save copies
    PutHeader(png, width, height, mode);
    PutPaletteAndKey(png, mode, mode.type == PALETTE ? PaletteOf(stats->colours) : std::vector<uint8_t>());
    unsigned error = PutDataChunk("IDAT", nullptr, rgba, width, height, mode, stats->colours, png);
    if (error == 0) {
        EndChunk(png, BeginChunk(png, "IEND"));
    }
    return error;
}

// acTL: the number of frames, and plays without end (0).
void PutAnimationControl(std::vector<uint8_t>* png, size_t frames)
{
    size_t chunk = BeginChunk(png, "acTL");
    Put32(png, static_cast<uint32_t>(frames));
    Put32(png, 0);
    EndChunk(png, chunk);
}

// fcTL: a frame of the full size at the origin, shown for its delay, left
// in place for the next (dispose NONE), which replaces every pixel of it
// (blend SOURCE), transparent ones included.
void PutFrameControl(std::vector<uint8_t>* png, uint32_t sequence, unsigned width, unsigned height,
                     const PngFrame& frame)
{
    size_t chunk = BeginChunk(png, "fcTL");
    for (uint32_t value : {sequence, uint32_t(width), uint32_t(height), 0u, 0u}) {
        Put32(png, value);
    }
    png->insert(png->end(),
                {static_cast<uint8_t>(frame.delay_numerator >> 8), static_cast<uint8_t>(frame.delay_numerator),
                 static_cast<uint8_t>(frame.delay_denominator >> 8), static_cast<uint8_t>(frame.delay_denominator), 0,
                 0});
    EndChunk(png, chunk);
}

unsigned EncodeAnimated(const uint8_t* still, const PngFrame* frames, size_t count, unsigned width, unsigned height,
                        std::vector<uint8_t>* png)
{
    // One mode for every picture: the one LodePNG would choose for all of
    // them side by side.
    const size_t picture_bytes = 4 * static_cast<size_t>(width) * height;
    std::vector<uint8_t> all(picture_bytes * (count + 1));
    std::memcpy(all.data(), still, picture_bytes);
    for (size_t i = 0; i != count; ++i) {
        std::memcpy(all.data() + picture_bytes * (i + 1), frames[i].rgba, picture_bytes);
    }
    std::unique_ptr<ColourStats> stats(new ColourStats);
    CountColours(stats.get(), all.data(), all.size() / 4);
    PngMode mode = ChooseMode(*stats, all.size() / 4);
    PutHeader(png, width, height, mode);
    PutAnimationControl(png, count);
    PutPaletteAndKey(png, mode, mode.type == PALETTE ? PaletteOf(stats->colours) : std::vector<uint8_t>());
    // The still picture is the default image, outside the animation: no fcTL.
    unsigned error = PutDataChunk("IDAT", nullptr, still, width, height, mode, stats->colours, png);
    uint32_t sequence = 0;
    for (size_t i = 0; error == 0 && i != count; ++i) {
        PutFrameControl(png, sequence++, width, height, frames[i]);
        error = PutDataChunk("fdAT", &sequence, frames[i].rgba, width, height, mode, stats->colours, png);
        sequence++;
    }
    if (error == 0) {
        EndChunk(png, BeginChunk(png, "IEND"));
    }
    return error;
}

}  // namespace

unsigned EncodePngLikeLodePng(const uint8_t* rgba, unsigned width, unsigned height, std::vector<uint8_t>* png)
{
    try {
        return Encode(rgba, width, height, png);
    } catch (const std::bad_alloc&) {
        return 83;
    }
}

unsigned EncodeAnimatedPng(const uint8_t* still, const PngFrame* frames, size_t count, unsigned width, unsigned height,
                           std::vector<uint8_t>* png)
{
    try {
        return EncodeAnimated(still, frames, count, width, height, png);
    } catch (const std::bad_alloc&) {
        return 83;
    }
}
