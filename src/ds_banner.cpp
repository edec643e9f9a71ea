#include "ds_banner.h"

#include <cstring>

#include "utils.h"

const uint8_t LITTLE = 1;

// ROM header fields.
const size_t GAME_CODE = 0x0C;
const size_t GAME_CODE_SIZE = 4;
const size_t MAKER_CODE = 0x10;
const size_t UNIT_CODE = 0x12;
const uint8_t UNIT_DSI = 0x02;  // a DSi header follows
const size_t ROM_VERSION = 0x1E;
const size_t BANNER_OFFSET = 0x68;
const size_t HEADER_CRC = 0x15E;
const size_t DSI_TITLE_ID = 0x230;

// Banner fields.
const uint16_t VERSION_DS = 0x0001;
const uint16_t VERSION_CHINESE = 0x0002;
const uint16_t VERSION_KOREAN = 0x0003;
const uint16_t VERSION_DSI = 0x0103;
const size_t CRC_FIELDS = 0x02;     // four u16 CRCs: one for each version's additions
const size_t CRCED_START = 0x0020;  // the first three CRCs run from here
const size_t ICON = 0x0020;
const size_t PALETTE = 0x0220;
const size_t TITLES = 0x0240;
const size_t TITLE_SIZE = 0x100;
const size_t TITLE_UNITS = 128;
const int TITLE_LANGUAGES = 8;
const size_t ANIMATION = 0x1240;  // bitmaps, palettes, then the sequence
const size_t BITMAP_SIZE = 0x200;
const size_t PALETTES = 0x2240;
const size_t SEQUENCE = 0x2340;

// The end of what each CRC covers, by its index: the titles up to Japanese
// to Spanish, then Chinese, then Korean; the animation's runs from ANIMATION.
static const size_t CRC_ENDS[4] = {0x0840, 0x0940, 0x0A40, 0x23C0};

uint16_t DsCrc16(const uint8_t* bytes, size_t size)
{
    uint32_t crc = 0xFFFF;
    for (size_t i = 0; i < size; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) {
            crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
    }
    return static_cast<uint16_t>(crc);
}

int DsIsRomHeader(const uint8_t* header, size_t size)
{
    return size >= DS_HEADER_SIZE && DsCrc16(header, HEADER_CRC) == u8_to_u16(header + HEADER_CRC, LITTLE);
}

// How many bytes a banner of `version` needs for its icon and titles; 0 for
// a version that is unknown.
static size_t banner_needs(uint16_t version)
{
    switch (version) {
    case VERSION_DS:
        return CRC_ENDS[0];
    case VERSION_CHINESE:
        return CRC_ENDS[1];
    case VERSION_KOREAN:
    case VERSION_DSI:
        return CRC_ENDS[2];
    default:
        return 0;
    }
}

// Whether CRC `index` of a banner of `size` bytes holds over all it covers.
static int crc_holds(const uint8_t* banner, size_t size, int index)
{
    size_t start = index == 3 ? ANIMATION : CRCED_START;
    size_t end = CRC_ENDS[index];
    return size >= end &&
           DsCrc16(banner + start, end - start) == u8_to_u16(banner + CRC_FIELDS + 2 * size_t(index), LITTLE);
}

int DsIsRawBanner(const uint8_t* bytes, size_t size)
{
    return size >= DS_BANNER_MIN_SIZE && banner_needs(u8_to_u16(bytes, LITTLE)) != 0 && crc_holds(bytes, size, 0);
}

uint32_t DsBannerOffset(const uint8_t* header)
{
    return u8_to_u32(header + BANNER_OFFSET, LITTLE);
}

void DsRomIdentity(const uint8_t* header, size_t size, TitleIdentity* identity, int with_title)
{
    memcpy(identity->product_code, header + GAME_CODE, GAME_CODE_SIZE);
    memcpy(identity->maker_code, header + MAKER_CODE, MAKER_CODE_SIZE);
    if (!with_title) {
        return;
    }
    identity->has_title_version = 1;
    identity->title_version = header[ROM_VERSION];
    if ((header[UNIT_CODE] & UNIT_DSI) && size >= DS_DSI_TITLE_ID_END) {
        identity->has_title_id = 1;
        identity->title_id = u8_to_u64(header + DSI_TITLE_ID, LITTLE);
    }
}

const char* DsBannerDamage(const uint8_t* banner, size_t size)
{
    if (size < 2) {
        return size == 0 ? "its banner lies past its end" : "its banner is cut short";
    }
    size_t needs = banner_needs(u8_to_u16(banner, LITTLE));
    if (needs == 0) {
        return "its banner's version is unknown";
    }
    if (size < needs) {
        return "its banner is cut short";
    }
    return crc_holds(banner, size, 0) ? nullptr : "its banner fails its CRC";
}

// The RGBA of palette colour `colour`: bits 0-4 red, 5-9 green, 10-14 blue.
static void put_colour(uint8_t* pixel, uint16_t colour)
{
    pixel[0] = static_cast<uint8_t>((colour & 0x1F) << 3);
    pixel[1] = static_cast<uint8_t>(((colour >> 5) & 0x1F) << 3);
    pixel[2] = static_cast<uint8_t>(((colour >> 10) & 0x1F) << 3);
    pixel[3] = 255;
}

// Draws the 32×32 bitmap of 4-bit tiles at `tiles` with the 16 colours at
// `palette` into `rgba`, mirrored as `flip_h` and `flip_v` say.
static void draw_tiles(const uint8_t* tiles, const uint8_t* palette, int flip_h, int flip_v, uint8_t* rgba)
{
    const int tiles_per_row = DS_ICON_SIDE / 8;
    for (int tile = 0; tile < tiles_per_row * tiles_per_row; tile++) {
        // A tile is 32 bytes: 8 rows of 4 bytes, the low nibble the left pixel.
        const uint8_t* bytes = tiles + 32 * size_t(tile);
        for (int i = 0; i < 64; i++) {
            int x = 8 * (tile % tiles_per_row) + i % 8;
            int y = 8 * (tile / tiles_per_row) + i / 8;
            x = flip_h ? DS_ICON_SIDE - 1 - x : x;
            y = flip_v ? DS_ICON_SIDE - 1 - y : y;
            unsigned index = (bytes[i / 2] >> (4 * (i % 2))) & 0x0F;
            uint8_t* pixel = rgba + 4 * (size_t(y) * DS_ICON_SIDE + size_t(x));
            if (index == 0) {
                memset(pixel, 0, 4);  // transparent, whatever its colour
            } else {
                put_colour(pixel, u8_to_u16(palette + 2 * index, LITTLE));
            }
        }
    }
}

void DsIconToRgba(const uint8_t* banner, uint8_t* rgba)
{
    draw_tiles(banner + ICON, banner + PALETTE, 0, 0, rgba);
}

DsAnimationState DsAnimationStateOf(const uint8_t* banner, size_t size)
{
    if (size < 2 || u8_to_u16(banner, LITTLE) != VERSION_DSI) {
        return DS_ANIMATION_NONE;
    }
    if (size < CRC_ENDS[3]) {
        return DS_ANIMATION_CUT;
    }
    if (!crc_holds(banner, size, 3)) {
        return DS_ANIMATION_BAD_CRC;
    }
    // A frame of 0 ticks is never seen: a sequence of only such shows nothing.
    for (int i = 0; i < DS_ANIMATION_TOKENS; i++) {
        uint16_t token = u8_to_u16(banner + SEQUENCE + 2 * size_t(i), LITTLE);
        if (token == 0) {
            break;
        }
        if ((token & 0xFF) != 0) {
            return DS_ANIMATION_OK;
        }
    }
    return DS_ANIMATION_NONE;
}

void DsFrameToRgba(const uint8_t* banner, const DsFrame* frame, uint8_t* rgba)
{
    draw_tiles(banner + ANIMATION + BITMAP_SIZE * size_t(frame->bitmap),
               banner + PALETTES + 32 * size_t(frame->palette), frame->flip_h, frame->flip_v, rgba);
}

// Splits a title's text at its line breaks: the first non-empty line is the
// short title, the last the publisher when there are two or more.
static void split_title(SmdhTitle* title)
{
    const char* lines[TITLE_UNITS];
    size_t lengths[TITLE_UNITS];
    int count = 0;
    const char* text = title->long_description;
    while (*text != 0) {
        size_t length = strcspn(text, "\n");
        if (length > 0) {
            lines[count] = text;
            lengths[count] = length;
            count++;
        }
        text += length + (text[length] == '\n');
    }
    if (count > 0) {
        memcpy(title->short_description, lines[0], lengths[0]);
        title->short_description[lengths[0]] = 0;
    }
    if (count > 1) {
        memcpy(title->publisher, lines[count - 1], lengths[count - 1]);
        title->publisher[lengths[count - 1]] = 0;
    }
}

void ParseDsAnimation(const uint8_t* banner, DsAnimation* animation)
{
    memset(animation, 0, sizeof *animation);
    animation->present = 1;
    for (int i = 0; i < DS_ANIMATION_TOKENS; i++) {
        uint16_t token = u8_to_u16(banner + SEQUENCE + 2 * size_t(i), LITTLE);
        if (token == 0) {
            break;
        }
        DsFrame* frame = &animation->frames[animation->count++];
        frame->flip_v = (token >> 15) & 1;
        frame->flip_h = (token >> 14) & 1;
        frame->palette = (token >> 11) & 7;
        frame->bitmap = (token >> 8) & 7;
        frame->duration = token & 0xFF;
    }
}

void ParseDsBanner(const uint8_t* banner, size_t size, SmdhMetadata* metadata, DsAnimation* animation)
{
    memset(metadata, 0, sizeof *metadata);
    memset(animation, 0, sizeof *animation);
    uint16_t version = u8_to_u16(banner, LITTLE);
    // Languages 0 to 5 come with every version, under the first CRC; Chinese
    // and Korean each with the version that adds it, under a CRC of its own.
    int has_chinese = version != VERSION_DS && crc_holds(banner, size, 1);
    int has_korean = version != VERSION_DS && version != VERSION_CHINESE && crc_holds(banner, size, 2);
    for (int i = 0; i < TITLE_LANGUAGES; i++) {
        if ((i == 6 && !has_chinese) || (i == 7 && !has_korean)) {
            continue;
        }
        SmdhTitle* title = &metadata->titles[i];
        Utf16leToUtf8(banner + TITLES + TITLE_SIZE * size_t(i), TITLE_UNITS, title->long_description);
        split_title(title);
    }
    if (version == VERSION_DSI && crc_holds(banner, size, 3)) {
        ParseDsAnimation(banner, animation);
    }
}
