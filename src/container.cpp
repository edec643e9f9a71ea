#include "container.h"

#include <cerrno>
#include <cstring>

#include "bundle.h"
#include "cia.h"
#include "ds_banner.h"
#include "keys.h"
#include "ncch.h"
#include "tar.h"
#include "utils.h"

const uint8_t LITTLE = 1;

// 3DSX: a header of 0x20 bytes, or more with the extended header.
const size_t TDSX_BASE_HEADER_SIZE = 0x20;
const size_t TDSX_EXTENDED_END = 0x28;  // up to the end of the SMDH size field

// READ_DAMAGED: a layer's own structure failed (the layer says how).
enum ReadResult { READ_WHOLE, READ_SHORT, READ_FAILED, READ_BEHIND, READ_DAMAGED };

int WalkAddU64(uint64_t a, uint64_t b, uint64_t* sum)
{
    if (b > UINT64_MAX - a) {
        return 0;
    }
    *sum = a + b;
    return 1;
}

static int errno_or(int error)
{
    return error != 0 ? error : EIO;
}

int BeginWalkOn(WalkInput* input, ByteLayer* source)
{
    input->source = source;
    input->file = source;
    input->layer_count = 0;
    input->smdh_item = nullptr;
    input->smdh_item_size = 0;
    input->identity = nullptr;
    input->members_only = 0;
    input->bundle = nullptr;
    input->kept_smdh = nullptr;
    input->kept_size = 0;
    input->keys = nullptr;
    LayerStatus status = LayerRead(source, 0, input->head, WALK_HEAD_SIZE, &input->head_size);
    input->position = input->head_size;
    return status == LAYER_OK || status == LAYER_SHORT ? 0 : errno_or(source->error);
}

int BeginWalk(WalkInput* input, FILE* stream, int seekable)
{
    StreamLayerOpen(&input->stream_layer, &input->stream_state, stream, seekable);
    return BeginWalkOn(input, &input->stream_layer);
}

void EndWalk(WalkInput* input)
{
    WalkLeaveLayers(input, 0);
    EndBundleWalk(input);
}

WalkStatus WalkKeyLookup(KeyLookup lookup, int missing, SmdhLocation* location)
{
    location->encrypted = 1;
    switch (lookup) {
    case KEY_FOUND:
        return WALK_FOUND;
    case KEY_NO_FILE:
        return WALK_ENCRYPTED;
    case KEY_FILE_BAD:
        return WALK_KEY_FILE_BAD;
    case KEY_ABSENT:
        break;
    }
    location->missing_key = missing;
    return WALK_KEY_MISSING;
}

WalkStatus WalkDecrypt(WalkInput* input, SmdhLocation* location, CipherMode mode, uint64_t start, uint64_t length,
                       const uint8_t* key, const uint8_t* iv)
{
    ByteLayer* layer = WalkPushLayer(input);
    LayerStatus opened = CipherLayerOpen(layer, input->file, mode, start, length, key, iv);
    input->file = layer;
    location->decrypted = 1;
    if (opened != LAYER_OK) {
        return WalkLayerFailure(layer, location);
    }
    // A head shorter than asked for is the whole file walked: nothing past it
    // is read again (a pipe's bytes are gone).
    if (input->head_size < WALK_HEAD_SIZE) {
        CipherLayerEndsAt(layer, input->head_size);
    }
    input->head_size = CipherLayerDecryptCopy(layer, 0, input->head, input->head_size);
    return WALK_FOUND;
}

size_t WalkDecryptCopy(WalkInput* input, uint64_t offset, uint8_t* bytes, size_t size)
{
    return CipherLayerDecryptCopy(input->file, offset, bytes, size);
}

ByteLayer* WalkPushLayer(WalkInput* input)
{
    return &input->layers[input->layer_count++];
}

void WalkLeaveLayers(WalkInput* input, size_t count)
{
    while (input->layer_count > count) {
        LayerClose(&input->layers[--input->layer_count]);
    }
    input->file = count == 0 ? input->source : &input->layers[count - 1];
}

// Reads `size` bytes at `offset` into `out`, the part within the head from
// it, and stores how many it got in `got`.
static ReadResult read_at(WalkInput* input, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    *got = 0;
    if (offset < input->head_size) {
        size_t from_head = input->head_size - static_cast<size_t>(offset);
        *got = size < from_head ? size : from_head;
        memcpy(out, input->head + offset, *got);
        offset += *got;
    }
    if (*got == size) {
        return READ_WHOLE;
    }
    if (offset < input->position) {
        return READ_BEHIND;
    }
    size_t read = 0;
    LayerStatus status = LayerRead(input->file, offset, out + *got, size - *got, &read);
    *got += read;
    input->position = offset + read;
    switch (status) {
    case LAYER_OK:
        return READ_WHOLE;
    case LAYER_SHORT:
        return READ_SHORT;
    case LAYER_DAMAGED:
        return READ_DAMAGED;
    case LAYER_FAILED:
        break;
    }
    return READ_FAILED;
}

WalkStatus WalkDamaged(SmdhLocation* location, const char* why)
{
    location->damage = why;
    return WALK_DAMAGED;
}

WalkStatus WalkLayerFailure(const ByteLayer* layer, SmdhLocation* location)
{
    if (layer->broken == LAYER_DAMAGED) {
        return WalkDamaged(location, layer->damage);
    }
    location->error = errno_or(layer->error);
    return WALK_UNREADABLE;
}

WalkStatus WalkReadHeader(WalkInput* input, SmdhLocation* location, uint64_t offset, uint8_t* out, size_t size,
                          const char* cut_short)
{
    size_t got = 0;
    switch (read_at(input, offset, out, size, &got)) {
    case READ_WHOLE:
        return WALK_FOUND;
    case READ_SHORT:
        return WalkDamaged(location, cut_short);
    case READ_BEHIND:
        return WalkDamaged(location, "an offset points back into its headers");
    case READ_DAMAGED:
    case READ_FAILED:
        break;
    }
    return WalkLayerFailure(input->file, location);
}

int WalkInputFailed(const WalkInput* input, WalkStatus status)
{
    return status == WALK_UNREADABLE || input->file->broken != LAYER_OK;
}

WalkStatus WalkDsRomBanner(SmdhLocation* location, uint64_t base, const uint8_t* header)
{
    uint64_t offset = DsBannerOffset(header);
    if (offset == 0) {
        return WALK_NO_ICON;
    }
    // The header was read whole at `base`, which so lies below 2^63; the
    // offset is below 2^32: the sum cannot overflow.
    location->offset = base + offset;
    location->banner = 1;
    return WALK_FOUND;
}

static WalkStatus locate_in_3dsx(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < 6) {
        return WalkDamaged(location, "its header is cut short");
    }
    uint16_t header_size = u8_to_u16(input->head + 4, LITTLE);
    if (header_size <= TDSX_BASE_HEADER_SIZE) {
        return WALK_NO_ICON;  // no extended header: older files are like that
    }
    if (input->head_size < TDSX_EXTENDED_END || header_size < TDSX_EXTENDED_END) {
        return WalkDamaged(location, "its extended header is cut short");
    }
    uint64_t smdh_offset = u8_to_u32(input->head + 0x20, LITTLE);
    uint64_t smdh_size = u8_to_u32(input->head + 0x24, LITTLE);
    if (smdh_size == 0) {
        return WALK_NO_ICON;
    }
    location->offset = smdh_offset;
    location->end = smdh_offset + smdh_size;  // two u32: no overflow
    return WALK_FOUND;
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
    switch (format) {
    case FORMAT_SMDH:
        return WALK_FOUND;
    case FORMAT_3DSX:
        return locate_in_3dsx(input, location);
    case FORMAT_NCSD:
        return LocateInNcsd(input, location);
    case FORMAT_NCCH:
        return LocateInNcch(input, location);
    case FORMAT_CIA:
        return LocateInCia(input, location);
    case FORMAT_NDS:
        if (input->identity != nullptr) {
            DsRomIdentity(head, size, input->identity, 1);
        }
        return WalkDsRomBanner(location, 0, head);
    case FORMAT_NDS_BANNER:
        location->banner = 1;
        return WALK_FOUND;
    }
    return WALK_NOT_ICN;
}

WalkStatus WalkReadHead(WalkInput* input, SmdhLocation* location)
{
    LayerStatus status = LayerRead(input->file, 0, input->head, WALK_HEAD_SIZE, &input->head_size);
    input->position = input->head_size;
    return status == LAYER_OK || status == LAYER_SHORT ? WALK_FOUND : WalkLayerFailure(input->file, location);
}

// The SMDH of a Z3DS file: the metadata's `smdh` item when it has one, which
// needs no frame decompressed; else the file inside, walked as it would be
// uncompressed. Its format and identity come from the file inside, so the
// caller that wants the identity has the start of the frames decompressed
// even where the item gives the SMDH, and so has a bundle's walk, which
// tells a member's kind by the file inside.
static WalkStatus locate_in_z3ds(WalkInput* input, SmdhLocation* location)
{
    location->compression = "Z3DS";
    ByteLayer* below = input->file;
    ByteLayer* z3ds = WalkPushLayer(input);
    input->file = z3ds;
    if (Z3dsLayerOpen(z3ds, below, input->head, input->head_size) != LAYER_OK) {
        return WalkLayerFailure(z3ds, location);
    }
    input->smdh_item = Z3dsSmdhItem(z3ds, &input->smdh_item_size);
    WalkStatus status = WALK_FOUND;
    if (input->smdh_item == nullptr || input->identity != nullptr || input->members_only) {
        status = WalkReadHead(input, location);
        if (status == WALK_FOUND) {
            status = locate_by_format(input, location);
        }
    }
    if (input->smdh_item == nullptr || status == WALK_NOT_ICN) {
        return status;
    }
    if (WalkInputFailed(input, status)) {
        return z3ds->broken != LAYER_OK ? WalkLayerFailure(z3ds, location) : status;
    }
    location->in_item = 1;
    location->banner = 0;
    location->offset = 0;
    location->end = input->smdh_item_size;
    location->damage = nullptr;
    location->encrypted_unless_smdh = 0;
    return WALK_FOUND;
}

WalkStatus WalkLocateFile(WalkInput* input, SmdhLocation* location)
{
    *location = SmdhLocation{};  // a bare SMDH, every flag clear
    location->end = UINT64_MAX;
    input->smdh_item = nullptr;
    if (input->identity != nullptr) {
        memset(input->identity, 0, sizeof *input->identity);
    }
    // Before every other format: a file inside is never a Z3DS file itself.
    if (input->head_size >= 4 && memcmp(input->head, "Z3DS", 4) == 0) {
        return locate_in_z3ds(input, location);
    }
    return locate_by_format(input, location);
}

WalkStatus LocateSmdh(WalkInput* input, SmdhLocation* location)
{
    WalkStatus status = WalkLocateFile(input, location);
    // Last, as it has no magic: a bundle, whose first block is a tar header.
    if (status == WALK_NOT_ICN && location->compression == nullptr && input->head_size >= TAR_BLOCK_SIZE &&
        TarIsHeader(input->head)) {
        return LocateInBundle(input, location);
    }
    return status;
}

// Reads the SMDH from where the walk found it (see ReadSmdh), without the
// judgement of an NCCH marked encrypted.
static WalkStatus read_found_smdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size)
{
    uint64_t declared = location->end - location->offset;
    size_t most = location->banner ? DS_BANNER_MAX_SIZE : SMDH_SIZE;
    size_t want = declared < most ? static_cast<size_t>(declared) : most;
    *size = 0;
    if (input->kept_smdh != nullptr) {
        *size = input->kept_size;
        memcpy(bytes, input->kept_smdh, *size);  // read and checked when the bundle was walked
        return WALK_FOUND;
    }
    if (location->in_item) {
        *size = want;
        memcpy(bytes, input->smdh_item, want);  // begins with SMDH: the reader checked
        return WALK_FOUND;
    }
    switch (read_at(input, location->offset, bytes, want, size)) {
    case READ_WHOLE:
    case READ_SHORT:
        break;
    case READ_BEHIND:
        // Only a banner can: an SMDH lies past the header that names it (an
        // ExeFS's, or in a CIA's meta section past every byte read before).
        return WalkDamaged(location, "its banner offset points back into its headers");
    case READ_DAMAGED:
    case READ_FAILED:
        return WalkLayerFailure(input->file, location);
    }
    if (location->banner) {
        const char* damage = DsBannerDamage(bytes, *size);
        return damage == nullptr ? WALK_FOUND : WalkDamaged(location, damage);
    }
    if (*size == 0 && want != 0) {
        return WalkDamaged(location, "its SMDH offset lies past its end");
    }
    if (*size < 4 || memcmp(bytes, "SMDH", 4) != 0) {
        return WalkDamaged(location, "its SMDH does not begin with SMDH");
    }
    return WALK_FOUND;
}

WalkStatus ReadSmdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size)
{
    WalkStatus status = read_found_smdh(input, location, bytes, size);
    if (location->decrypted && status == WALK_DAMAGED && !WalkInputFailed(input, status)) {
        location->damage = nullptr;
        return WALK_KEYS_WRONG;  // what the keys decrypted is no icon
    }
    if (location->encrypted_unless_smdh && status != WALK_FOUND && !WalkInputFailed(input, status)) {
        location->damage = nullptr;
        return WALK_ENCRYPTED;
    }
    return status;
}

const char* SmdhFormatName(SmdhFormat format)
{
    static const char* const names[] = {"SMDH", "3DSX", "CIA", "NCSD", "NCCH", "NDS", "NDS-BANNER"};
    return names[format];
}
