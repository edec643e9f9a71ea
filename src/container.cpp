#include "container.h"

#include <cstring>

#include "bundle.h"
#include "cia.h"
#include "compressed.h"
#include "ds_banner.h"
#include "ds_rom.h"
#include "ncch.h"
#include "tar.h"
#include "tdsx.h"

void EndWalk(WalkInput* input)
{
    WalkLeaveLayers(input, 0);
    EndBundleWalk(input);
}

// Tells the format of the head (a file inside a Z3DS file included) from
// its magic, or else, for the DS formats, which have none, by a header's CRC.
// Returns 0 for none.
static int recognise(const uint8_t* head, size_t size, SmdhFormat* format)
{
    if (size >= 4 && memcmp(head, "SMDH", 4) == 0) {
        *format = FORMAT_SMDH;
    } else if (size >= 4 && memcmp(head, "3DSX", 4) == 0) {
        *format = FORMAT_3DSX;
    } else if (size >= NCCH_MAGIC + 4 && memcmp(head + NCCH_MAGIC, "NCSD", 4) == 0) {
        *format = FORMAT_NCSD;
    } else if (size >= NCCH_MAGIC + 4 && NcchHasMagic(head)) {
        *format = FORMAT_NCCH;
    } else if (CiaHasStart(head, size)) {
        *format = FORMAT_CIA;
    } else if (DsIsRomHeader(head, size)) {
        *format = FORMAT_NDS;
    } else if (DsIsRawBanner(head, size)) {
        *format = FORMAT_NDS_BANNER;
    } else {
        return 0;
    }
    return 1;
}

// Whether a bundle's member of `format` can be the one whose icon it is.
static int bundle_kind(SmdhFormat format)
{
    return format == FORMAT_NCSD || format == FORMAT_NCCH || format == FORMAT_CIA;
}

// Recognises the format of the head and follows it to the SMDH.
static WalkStatus locate_by_format(WalkInput* input, SmdhLocation* location)
{
    const uint8_t* head = input->head;
    size_t size = input->head_size;
    SmdhFormat format = FORMAT_SMDH;
    if (!recognise(head, size, &format) || (input->members_only && !bundle_kind(format))) {
        return WALK_NOT_ICN;
    }
    location->format = format;
    location->recognised = 1;
    switch (format) {
    case FORMAT_SMDH:
        return WALK_FOUND;
    case FORMAT_3DSX:
        return LocateIn3dsx(input, location);
    case FORMAT_NCSD:
        return LocateInNcsd(input, location);
    case FORMAT_NCCH:
        return LocateInNcch(input, location);
    case FORMAT_CIA:
        return LocateInCia(input, location);
    case FORMAT_NDS:
        return LocateInDsRom(input, location);
    case FORMAT_NDS_BANNER:
        location->banner = 1;
        return WALK_FOUND;
    }
    return WALK_NOT_ICN;
}

// Follows the file walked, whose head has been read, to its SMDH, as
// LocateSmdh does but for a bundle (a file inside a bundle is none).
static WalkStatus locate_file(WalkInput* input, SmdhLocation* location)
{
    *location = SmdhLocation{};  // a bare SMDH, every flag clear
    location->end = UINT64_MAX;
    input->smdh_item = nullptr;
    if (input->identity != nullptr) {
        memset(input->identity, 0, sizeof *input->identity);
    }
    // Before every other format: a file inside is never a Z3DS file itself.
    if (input->head_size >= 4 && memcmp(input->head, "Z3DS", 4) == 0) {
        return LocateInZ3ds(input, location, locate_by_format);
    }
    return locate_by_format(input, location);
}

WalkStatus LocateSmdh(WalkInput* input, SmdhLocation* location)
{
    WalkStatus status = locate_file(input, location);
    // Last, as it has no magic: a bundle, whose first block is a tar header.
    if (status == WALK_NOT_ICN && location->compression == nullptr && input->head_size >= TAR_BLOCK_SIZE &&
        TarIsHeader(input->head)) {
        return LocateInBundle(input, location, locate_file);
    }
    return status;
}

const char* SmdhFormatName(SmdhFormat format)
{
    static const char* const names[] = {"SMDH", "3DSX", "CIA", "NCSD", "NCCH", "NDS", "NDS-BANNER"};
    return names[format];
}

WalkStatus WalkToSmdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size, int read_in_place,
                      int* in_memory)
{
    *size = 0;
    *in_memory = 0;
    WalkStatus status = LocateSmdh(input, location);
    if (status == WALK_FOUND && read_in_place && location->format == FORMAT_SMDH && location->compression == nullptr &&
        input->file->seekable) {
        return WALK_FOUND;
    }
    if (status == WALK_FOUND) {
        status = ReadSmdh(input, location, bytes, size);
    }
    *in_memory = status == WALK_FOUND;
    return status;
}

WalkStatus WalkLayerToSmdh(ByteLayer* source, KeyRing* keys, TitleIdentity* identity, SmdhLocation* location,
                           uint8_t* bytes, size_t* size)
{
    WalkInput walk;
    *location = SmdhLocation{};
    *size = 0;
    location->error = BeginWalkOn(&walk, source);
    WalkStatus status = WALK_UNREADABLE;
    if (location->error == 0) {
        walk.keys = keys;
        walk.identity = identity;
        int in_memory = 0;
        status = WalkToSmdh(&walk, location, bytes, size, 0, &in_memory);
    }
    EndWalk(&walk);
    return status;
}
