#include "picture.h"

#include <cstdlib>
#include <cstring>

#include "container.h"
#include "ds_banner.h"
#include "icon.h"

// The longest side a thumbnail may ask for.
const unsigned MAX_THUMBNAIL_SIZE = 4096;

unsigned ThumbnailSize(const char* text)
{
    unsigned size = 0;
    for (const char* c = text; *c != 0; c++) {
        if (*c < '0' || *c > '9' || (c == text && *c == '0') || size > MAX_THUMBNAIL_SIZE) {
            return 0;
        }
        size = 10 * size + static_cast<unsigned>(*c - '0');
    }
    return size <= MAX_THUMBNAIL_SIZE ? size : 0;
}

// `image` (side×side RGBA) enlarged by `k`: each pixel a k×k block, so pixel
// art stays sharp. A heap buffer, or null when out of memory.
static uint8_t* enlarge(const uint8_t* image, unsigned side, unsigned k)
{
    size_t big = size_t(side) * k;
    uint8_t* out = static_cast<uint8_t*>(malloc(4 * big * big));
    for (size_t y = 0; out != nullptr && y < big; y++) {
        for (size_t x = 0; x < big; x++) {
            memcpy(out + 4 * (y * big + x), image + 4 * ((y / k) * side + x / k), 4);
        }
    }
    return out;
}

// The icon a thumbnail of `size` shows (see ThumbnailPicture), decoded into
// `image` (a heap buffer), its side in `side` and the factor in `k`.
static unsigned thumbnail_icon(const uint8_t* smdh, size_t smdh_size, int banner, unsigned size, unsigned* side,
                               unsigned* k, uint8_t** image)
{
    const unsigned large = banner ? DS_ICON_SIDE : LARGE_ICON_SIDE;
    int small_whole = !banner && smdh_size >= SlotEnd(SLOT_SMALL);
    int large_whole = banner || smdh_size >= SlotEnd(SLOT_LARGE);
    Slot slot = size >= large && large_whole ? SLOT_LARGE : small_whole ? SLOT_SMALL : SLOT_LARGE;
    if (slot == SLOT_LARGE && !large_whole) {
        return ICON_TRUNCATED;
    }
    // Below the large side the small icon's factor is 1 by this rule too.
    *side = slot == SLOT_LARGE ? large : SMALL_ICON_SIDE;
    *k = size >= *side ? size / *side : 1;
    *image = static_cast<uint8_t*>(malloc(4 * size_t(*side) * *side));
    if (*image == nullptr) {
        return ICON_OUT_OF_MEMORY;
    }
    if (banner) {
        DsIconToRgba(smdh, *image);
        return ICON_OK;
    }
    return SmdhIconImage(nullptr, smdh, smdh_size, SLOTS[slot].offset, SLOTS[slot].side, *image);
}

unsigned ThumbnailPicture(const uint8_t* smdh, size_t smdh_size, int banner, unsigned size, uint8_t** picture,
                          unsigned* side)
{
    unsigned icon_side = 0;
    unsigned k = 1;
    uint8_t* icon = nullptr;
    *picture = nullptr;
    unsigned result = thumbnail_icon(smdh, smdh_size, banner, size, &icon_side, &k, &icon);
    if (result == ICON_OK) {
        *picture = enlarge(icon, icon_side, k);
        result = *picture == nullptr ? ICON_OUT_OF_MEMORY : ICON_OK;
    }
    *side = icon_side * k;
    free(icon);
    return result;
}

unsigned ThumbnailOfLayer(ByteLayer* source, KeyRing* keys, unsigned size, uint8_t** picture, unsigned* side)
{
    SmdhLocation location;
    uint8_t smdh[SMDH_SIZE];
    size_t smdh_size = 0;
    *picture = nullptr;
    WalkStatus status = WalkLayerToSmdh(source, keys, nullptr, &location, smdh, &smdh_size);
    unsigned result = status == WALK_FOUND        ? ICON_OK
                      : status == WALK_UNREADABLE ? ICON_READ_ERROR + static_cast<unsigned>(location.error)
                                                  : THUMBNAIL_NO_ICON;
    return result == ICON_OK ? ThumbnailPicture(smdh, smdh_size, location.banner, size, picture, side) : result;
}
