#include "details.h"

#include "ds_banner.h"

int ParseTitles(const uint8_t* bytes, size_t size, int banner, SmdhMetadata* metadata, DsAnimation* animation)
{
    if (banner) {
        DsAnimation unused;
        ParseDsBanner(bytes, size, metadata, animation != nullptr ? animation : &unused);
        return 1;
    }
    if (size < SMDH_METADATA_SIZE) {
        return 0;
    }
    ParseSmdhMetadata(bytes, metadata);
    return 1;
}

DetailsResult DetailsOfLayer(ByteLayer* source, KeyRing* keys, FileDetails* details, int* error)
{
    SmdhLocation location;
    uint8_t smdh[SMDH_SIZE];
    size_t size = 0;
    WalkStatus status = WalkLayerToSmdh(source, keys, &details->identity, &location, smdh, &size);
    *error = status == WALK_UNREADABLE ? location.error : 0;
    DetailsResult result = status == WALK_FOUND        ? DETAILS_OK
                           : status == WALK_UNREADABLE ? DETAILS_UNREADABLE
                                                       : DETAILS_NONE;
    if (result == DETAILS_OK && !ParseTitles(smdh, size, location.banner, &details->metadata, nullptr)) {
        result = DETAILS_NONE;
    }
    details->format = location.format;
    details->banner = location.banner;
    return result;
}

const SmdhTitle* ChosenTitle(const SmdhMetadata* metadata, int slot)
{
    const int english = 1;
    if (slot >= 0 && slot < SMDH_LANGUAGES && metadata->titles[slot].short_description[0] != 0) {
        return &metadata->titles[slot];
    }
    if (metadata->titles[english].short_description[0] != 0) {
        return &metadata->titles[english];
    }
    for (const SmdhTitle& title : metadata->titles) {
        if (title.short_description[0] != 0) {
            return &title;
        }
    }
    return nullptr;
}
