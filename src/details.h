// What a file says about itself, read through a layer of bytes: its format,
// identity and titles, the fields that --info prints, for the desktops'
// property handlers; and the title a user reads.
#ifndef GALLIVOX_DETAILS_H
#define GALLIVOX_DETAILS_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"
#include "container.h"
#include "keys.h"
#include "metadata.h"

// Parses the titles of the `size` bytes at `bytes`: an SMDH's metadata, or
// with `banner` a DS banner's titles (and its animation into `animation`
// where not null). Returns 1, or 0 when an SMDH ends before its titles do.
int ParseTitles(const uint8_t* bytes, size_t size, int banner, SmdhMetadata* metadata, DsAnimation* animation);

struct FileDetails {
    SmdhFormat format;  // for a compressed file, the format inside
    int banner;         // a DS banner holds the titles
    TitleIdentity identity;
    SmdhMetadata metadata;
};

enum DetailsResult {
    DETAILS_OK,
    DETAILS_NONE,        // no titles to read: no format known, no icon, encrypted, damaged, cut short
    DETAILS_UNREADABLE,  // a read failed: `error` holds the errno value
};

// Walks the layer `source` to its SMDH or DS banner, with `keys` for an
// encrypted file (null: none), and stores what it says in `details`.
DetailsResult DetailsOfLayer(ByteLayer* source, KeyRing* keys, FileDetails* details, int* error);

// The title a user reads: in `slot` where the file has one (a short title
// there), else the English one, else the first with a short title; null
// where there is none.
const SmdhTitle* ChosenTitle(const SmdhMetadata* metadata, int slot);

#endif
