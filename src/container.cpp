#include "container.h"

#include <cerrno>
#include <cstring>

#include "ds_banner.h"
#include "utils.h"

const uint8_t LITTLE = 1;
const uint8_t BIG = 0;

// Every real CIA begins with its header size (0x2020), type 0 and version 0.
static const uint8_t CIA_START[8] = {0x20, 0x20, 0, 0, 0, 0, 0, 0};

// NCCH (and NCSD) header fields.
const size_t NCCH_HEADER_SIZE = 0x200;
const size_t NCCH_MAGIC = 0x100;
const size_t NCCH_MEDIA_UNIT_SHIFT = 0x18E;  // flags[6]
const size_t NCCH_CRYPTO_FLAGS = 0x18F;      // flags[7]
const uint8_t NCCH_NO_CRYPTO = 0x04;
const size_t NCCH_EXEFS_OFFSET = 0x1A0;
const size_t NCCH_EXEFS_SIZE = 0x1A4;
const size_t NCSD_PARTITION_0 = 0x120;
// What an NCCH header says of its title.
const size_t NCCH_MAKER_CODE = 0x110;
const size_t NCCH_PROGRAM_ID = 0x118;
const size_t NCCH_PRODUCT_CODE = 0x150;
// A media unit beyond 4 GiB would make one unit of offset larger than any
// card image; such a shift is damage, and it keeps unit × u32 within 64 bits.
const unsigned MAX_MEDIA_UNIT_SHIFT = 23;

// ExeFS: a 0x200-byte header of ten 16-byte entries, then the files.
const size_t EXEFS_HEADER_SIZE = 0x200;
const size_t EXEFS_ENTRIES = 10;
const size_t EXEFS_ENTRY_SIZE = 16;
static const uint8_t EXEFS_ICON_NAME[8] = {'i', 'c', 'o', 'n', 0, 0, 0, 0};

// 3DSX: a header of 0x20 bytes, or more with the extended header.
const size_t TDSX_BASE_HEADER_SIZE = 0x20;
const size_t TDSX_EXTENDED_END = 0x28;  // up to the end of the SMDH size field

// CIA: header fields, section alignment, the SMDH's place in the meta section.
const size_t CIA_FIELDS_END = 0x20;
const uint64_t CIA_ALIGNMENT = 64;
const uint32_t CIA_META_WITH_SMDH = 0x3AC0;
const uint64_t CIA_META_SMDH_OFFSET = 0x400;
// TMD: after the signature block, a 0xC4-byte header, 64 content-info records
// of 0x24 bytes, then the chunk records.
// The TMD header's fields that the walk reads, in one run: the title ID
// (u64 BE) at 0x4C to the content count (u16 BE) at 0x9E, the title version
// (u16 BE) at 0x9C; offsets below are within that run.
const uint64_t TMD_TITLE_ID = 0x4C;
const size_t TMD_FIELDS_SIZE = 0xA0 - 0x4C;
const size_t TMD_TITLE_VERSION = 0x9C - 0x4C;
const size_t TMD_CONTENT_COUNT = 0x9E - 0x4C;
const uint64_t TMD_FIRST_CHUNK = 0xC4 + 64 * 0x24;
const size_t TMD_CHUNK_SIZE = 0x30;
const uint16_t TMD_CHUNK_ENCRYPTED = 0x0001;

// READ_DAMAGED: a Z3DS file's structure failed (its reader says how).
enum ReadResult { READ_WHOLE, READ_SHORT, READ_FAILED, READ_BEHIND, READ_DAMAGED };

static int add_u64(uint64_t a, uint64_t b, uint64_t* sum)
{
    if (b > UINT64_MAX - a) {
        return 0;
    }
    *sum = a + b;
    return 1;
}

// Rounds `value` up to a multiple of the CIA's section alignment.
static int align_section(uint64_t value, uint64_t* aligned)
{
    if (!add_u64(value, CIA_ALIGNMENT - 1, aligned)) {
        return 0;
    }
    *aligned &= ~(CIA_ALIGNMENT - 1);
    return 1;
}

static int errno_or(int error)
{
    return error != 0 ? error : EIO;
}

int BeginWalkOn(WalkInput* input, ByteLayer* source)
{
    input->file = source;
    input->layer_count = 0;
    input->smdh_item = nullptr;
    input->smdh_item_size = 0;
    input->identity = nullptr;
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
    while (input->layer_count > 0) {
        LayerClose(&input->layers[--input->layer_count]);
    }
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

static WalkStatus damaged(SmdhLocation* location, const char* why)
{
    location->damage = why;
    return WALK_DAMAGED;
}

// What a broken layer means to the walk: its damage, or its failed read.
static WalkStatus layer_failure(const ByteLayer* layer, SmdhLocation* location)
{
    if (layer->broken == LAYER_DAMAGED) {
        return damaged(location, layer->damage);
    }
    location->error = errno_or(layer->error);
    return WALK_UNREADABLE;
}

// A header that must be read whole: a short read means the file ends before
// it, which is the damage `cut_short` names.
static WalkStatus read_header(WalkInput* input, SmdhLocation* location, uint64_t offset, uint8_t* out, size_t size,
                              const char* cut_short)
{
    size_t got = 0;
    switch (read_at(input, offset, out, size, &got)) {
    case READ_WHOLE:
        return WALK_FOUND;
    case READ_SHORT:
        return damaged(location, cut_short);
    case READ_BEHIND:
        return damaged(location, "an offset points back into its headers");
    case READ_DAMAGED:
    case READ_FAILED:
        break;
    }
    return layer_failure(input->file, location);
}

// Whether a status says the input itself failed (a read, or a layer's own
// structure, such as a Z3DS file's frames) rather than what its headers hold.
static int input_failed(const WalkInput* input, WalkStatus status)
{
    return status == WALK_UNREADABLE || input->file->broken != LAYER_OK;
}

static int has_ncch_magic(const uint8_t* header)
{
    return memcmp(header + NCCH_MAGIC, "NCCH", 4) == 0;
}

// The media unit that flags[6] of an NCCH or NCSD header sets, or 0 when it is absurd.
static uint64_t media_unit(const uint8_t* header)
{
    unsigned shift = header[NCCH_MEDIA_UNIT_SHIFT];
    return shift <= MAX_MEDIA_UNIT_SHIFT ? uint64_t(0x200) << shift : 0;
}

// Whether every used entry of an ExeFS `header` has a name of printable
// ASCII padded with zero bytes, as a plain (decrypted) header has.
static int exefs_names_plain(const uint8_t* header)
{
    static const uint8_t unused[EXEFS_ENTRY_SIZE] = {0};
    for (size_t i = 0; i < EXEFS_ENTRIES; i++) {
        const uint8_t* entry = header + i * EXEFS_ENTRY_SIZE;
        if (memcmp(entry, unused, EXEFS_ENTRY_SIZE) == 0) {
            continue;
        }
        size_t length = 0;
        while (length < 8 && entry[length] >= 0x20 && entry[length] <= 0x7E) {
            length++;
        }
        if (length == 0 || memcmp(entry + length, unused, 8 - length) != 0) {
            return 0;
        }
    }
    return 1;
}

// Finds the `icon` entry of the ExeFS that starts at `exefs` and holds
// `exefs_size` bytes, and sets the SMDH's place from it. With `plain_names`,
// a header whose names are not plain is WALK_ENCRYPTED.
static WalkStatus exefs_icon(WalkInput* input, SmdhLocation* location, uint64_t exefs, uint64_t exefs_size,
                             int plain_names)
{
    uint8_t header[EXEFS_HEADER_SIZE];
    WalkStatus status = read_header(input, location, exefs, header, sizeof header, "its ExeFS lies past its end");
    if (status != WALK_FOUND) {
        return status;
    }
    if (plain_names && !exefs_names_plain(header)) {
        return WALK_ENCRYPTED;
    }
    for (size_t i = 0; i < EXEFS_ENTRIES; i++) {
        const uint8_t* entry = header + i * EXEFS_ENTRY_SIZE;
        if (memcmp(entry, EXEFS_ICON_NAME, sizeof EXEFS_ICON_NAME) != 0) {
            continue;
        }
        uint64_t file_offset = u8_to_u32(entry + 8, LITTLE);
        uint64_t file_size = u8_to_u32(entry + 12, LITTLE);
        // Both below 2^32 and the ExeFS at least one unit: nothing overflows.
        if (exefs_size < EXEFS_HEADER_SIZE || file_offset + file_size > exefs_size - EXEFS_HEADER_SIZE) {
            return damaged(location, "its icon entry lies outside its ExeFS");
        }
        // The header was just read whole at `exefs`, which so lies below
        // 2^63; the entry adds less than 2^34: no sum overflows.
        location->offset = exefs + EXEFS_HEADER_SIZE + file_offset;
        location->end = location->offset + file_size;
        return WALK_FOUND;
    }
    return WALK_NO_ICON;
}

// Takes the identity fields of an NCCH `header`, when the walk wants them:
// its program ID too where nothing outside it names the title (a CIA's TMD
// does).
static void identity_from_ncch(TitleIdentity* identity, const uint8_t* header, int with_program_id)
{
    if (identity == nullptr) {
        return;
    }
    if (with_program_id) {
        identity->has_title_id = 1;
        identity->title_id = u8_to_u64(header + NCCH_PROGRAM_ID, LITTLE);
    }
    memcpy(identity->product_code, header + NCCH_PRODUCT_CODE, PRODUCT_CODE_SIZE);
    memcpy(identity->maker_code, header + NCCH_MAKER_CODE, MAKER_CODE_SIZE);
}

// Follows the NCCH whose 0x200-byte `header` was read at `base` to its icon.
static WalkStatus ncch_icon(WalkInput* input, SmdhLocation* location, uint64_t base, const uint8_t* header)
{
    uint64_t unit = media_unit(header);
    if (unit == 0) {
        return damaged(location, "its media unit is absurd");
    }
    uint64_t exefs_units = u8_to_u32(header + NCCH_EXEFS_OFFSET, LITTLE);
    uint64_t size_units = u8_to_u32(header + NCCH_EXEFS_SIZE, LITTLE);
    if (exefs_units == 0 || size_units == 0) {
        return WALK_NO_ICON;
    }
    // Without NoCrypto the ExeFS is encrypted, whatever the other flags say,
    // unless a tool decrypted it and left the flags: then its header reads
    // as plain, its icon entry lies inside it, and (checked when the SMDH is
    // read) the icon begins with SMDH. Encrypted bytes pass that by chance
    // almost never.
    int marked_encrypted = (header[NCCH_CRYPTO_FLAGS] & NCCH_NO_CRYPTO) == 0;
    uint64_t exefs = 0;
    // A unit of at most 2^32 times a u32 stays below 2^64.
    WalkStatus status = WALK_DAMAGED;
    if (!add_u64(base, exefs_units * unit, &exefs)) {
        damaged(location, "its ExeFS offset overflows");
    } else {
        status = exefs_icon(input, location, exefs, size_units * unit, marked_encrypted);
    }
    if (!marked_encrypted || input_failed(input, status)) {
        return status;
    }
    location->damage = nullptr;
    location->encrypted_unless_smdh = 1;
    return status == WALK_FOUND ? WALK_FOUND : WALK_ENCRYPTED;
}

static WalkStatus locate_in_ncch(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < NCCH_HEADER_SIZE) {
        return damaged(location, "its NCCH header is cut short");
    }
    identity_from_ncch(input->identity, input->head, 1);
    return ncch_icon(input, location, 0, input->head);
}

static WalkStatus locate_in_ncsd(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < NCCH_HEADER_SIZE) {
        return damaged(location, "its NCSD header is cut short");
    }
    uint64_t unit = media_unit(input->head);
    if (unit == 0) {
        return damaged(location, "its media unit is absurd");
    }
    uint64_t offset_units = u8_to_u32(input->head + NCSD_PARTITION_0, LITTLE);
    uint64_t length_units = u8_to_u32(input->head + NCSD_PARTITION_0 + 4, LITTLE);
    if (length_units == 0) {
        return WALK_NO_ICON;
    }
    uint64_t base = offset_units * unit;
    uint8_t header[NCCH_HEADER_SIZE];
    WalkStatus status = read_header(input, location, base, header, sizeof header, "its partition 0 lies past its end");
    if (status != WALK_FOUND) {
        return status;
    }
    if (!has_ncch_magic(header)) {
        return damaged(location, "its partition 0 is not an NCCH");
    }
    identity_from_ncch(input->identity, header, 1);
    return ncch_icon(input, location, base, header);
}

// Sets the place of the banner that the DS ROM `header`, read at `base`, names.
static WalkStatus ds_rom_banner(SmdhLocation* location, uint64_t base, const uint8_t* header)
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
        return damaged(location, "its header is cut short");
    }
    uint16_t header_size = u8_to_u16(input->head + 4, LITTLE);
    if (header_size <= TDSX_BASE_HEADER_SIZE) {
        return WALK_NO_ICON;  // no extended header: older files are like that
    }
    if (input->head_size < TDSX_EXTENDED_END || header_size < TDSX_EXTENDED_END) {
        return damaged(location, "its extended header is cut short");
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

// The bytes of the signature block that a TMD's signature type (u32 BE)
// introduces, type included; 0 for a type that is unknown.
static uint64_t tmd_signature_block(uint32_t type)
{
    switch (type) {
    case 0x10000:
    case 0x10003:
        return 0x240;
    case 0x10001:
    case 0x10004:
        return 0x140;
    case 0x10002:
    case 0x10005:
        return 0x80;
    default:
        return 0;
    }
}

// Reads the TMD at `tmd`: where its header starts into `header`, and the
// header's fields from the title ID to the content count into `fields`
// (TMD_FIELDS_SIZE bytes).
static WalkStatus read_tmd_fields(WalkInput* input, SmdhLocation* location, uint64_t tmd, uint64_t* header,
                                  uint8_t* fields)
{
    uint8_t type[4];
    const char* cut_short = "its TMD lies past its end";
    WalkStatus status = read_header(input, location, tmd, type, sizeof type, cut_short);
    if (status != WALK_FOUND) {
        return status;
    }
    uint64_t signature_block = tmd_signature_block(u8_to_u32(type, BIG));
    if (signature_block == 0) {
        return damaged(location, "its TMD has an unknown signature type");
    }
    // The type was read whole at `tmd`, which so lies below 2^63; the
    // signature and the header's fields add less than 2^12: nothing overflows.
    *header = tmd + signature_block;
    return read_header(input, location, *header + TMD_TITLE_ID, fields, TMD_FIELDS_SIZE, cut_short);
}

static void identity_from_tmd(TitleIdentity* identity, const uint8_t* fields)
{
    if (identity == nullptr) {
        return;
    }
    identity->has_title_id = 1;
    identity->title_id = u8_to_u64(fields, BIG);
    identity->has_title_version = 1;
    identity->title_version = u8_to_u16(fields + TMD_TITLE_VERSION, BIG);
}

// The chunk record of content 0 from the TMD at `tmd`: WALK_FOUND with its
// type in `type`, or why it cannot be had.
static WalkStatus tmd_content_0_type(WalkInput* input, SmdhLocation* location, uint64_t tmd, uint16_t* type)
{
    uint64_t header = 0;
    uint8_t fields[TMD_FIELDS_SIZE];
    WalkStatus status = read_tmd_fields(input, location, tmd, &header, fields);
    if (status != WALK_FOUND) {
        return status;
    }
    identity_from_tmd(input->identity, fields);
    if (u8_to_u16(fields + TMD_CONTENT_COUNT, BIG) == 0) {
        return WALK_NO_ICON;
    }
    uint8_t chunk[TMD_CHUNK_SIZE];
    status = read_header(input, location, header + TMD_FIRST_CHUNK, chunk, sizeof chunk, "its TMD lies past its end");
    if (status != WALK_FOUND) {
        return status;
    }
    if (u8_to_u16(chunk + 4, BIG) != 0) {
        return WALK_NO_ICON;  // the first record is not content 0's: there is none
    }
    *type = u8_to_u16(chunk + 6, BIG);
    return WALK_FOUND;
}

// The identity of a CIA whose SMDH lies in its meta section, which needs
// neither its TMD nor its content: read for the caller that wants it, each
// field that cannot be read left absent. Every byte read here lies ahead of
// the SMDH (the TMD's fields end within 0x2E4 bytes of the TMD, the content
// header within 0x200 of the content, the SMDH 0x400 past both).
static void cia_meta_identity(WalkInput* input, uint64_t tmd, uint64_t content, uint64_t content_size)
{
    SmdhLocation ignored;
    uint64_t header = 0;
    uint8_t fields[TMD_FIELDS_SIZE];
    if (read_tmd_fields(input, &ignored, tmd, &header, fields) == WALK_FOUND) {
        identity_from_tmd(input->identity, fields);
    }
    uint8_t ncch[NCCH_HEADER_SIZE];
    if (content_size >= NCCH_HEADER_SIZE &&
        read_header(input, &ignored, content, ncch, sizeof ncch, "its content lies past its end") == WALK_FOUND &&
        has_ncch_magic(ncch)) {
        identity_from_ncch(input->identity, ncch, 0);
    }
}

// Content 0 of a CIA without a usable meta section, read as an NCCH.
static WalkStatus cia_content_0(WalkInput* input, SmdhLocation* location, uint64_t tmd, uint64_t content,
                                uint64_t content_size)
{
    if (content_size == 0) {
        return WALK_NO_ICON;
    }
    uint16_t type = 0;
    WalkStatus status = tmd_content_0_type(input, location, tmd, &type);
    if (status != WALK_FOUND) {
        return status;
    }
    // Content marked encrypted that begins with a plain NCCH header was
    // decrypted by a tool that left the mark: the bytes decide.
    int marked_encrypted = (type & TMD_CHUNK_ENCRYPTED) != 0;
    uint8_t header[NCCH_HEADER_SIZE];
    status = read_header(input, location, content, header, sizeof header, "its content lies past its end");
    if (status != WALK_FOUND) {
        return marked_encrypted && !input_failed(input, status) ? WALK_ENCRYPTED : status;
    }
    // A DS title's content is a DS ROM image: its header's CRC holds.
    if (!has_ncch_magic(header) && DsIsRomHeader(header, sizeof header)) {
        if (input->identity != nullptr) {
            DsRomIdentity(header, sizeof header, input->identity, 0);
        }
        return ds_rom_banner(location, content, header);
    }
    if (!has_ncch_magic(header)) {
        return marked_encrypted ? WALK_ENCRYPTED : WALK_NO_ICON;
    }
    identity_from_ncch(input->identity, header, 0);
    return ncch_icon(input, location, content, header);
}

static WalkStatus locate_in_cia(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < CIA_FIELDS_END) {
        return damaged(location, "its header is cut short");
    }
    const uint8_t* head = input->head;
    // Sections follow one another, each at the next multiple of 64.
    uint64_t certificates = 0, ticket = 0, tmd = 0, content = 0, meta = 0;
    uint64_t content_size = u8_to_u64(head + 0x18, LITTLE);
    if (!align_section(u8_to_u32(head, LITTLE), &certificates) ||
        !align_section(u8_to_u32(head + 0x08, LITTLE), &ticket) || !add_u64(certificates, ticket, &ticket) ||
        !align_section(u8_to_u32(head + 0x0C, LITTLE), &tmd) || !add_u64(ticket, tmd, &tmd) ||
        !align_section(u8_to_u32(head + 0x10, LITTLE), &content) || !add_u64(tmd, content, &content) ||
        !align_section(content_size, &meta) || !add_u64(content, meta, &meta)) {
        return damaged(location, "its section sizes overflow");
    }
    uint32_t meta_size = u8_to_u32(head + 0x14, LITTLE);
    if (meta_size < CIA_META_WITH_SMDH) {
        return cia_content_0(input, location, tmd, content, content_size);
    }
    if (!add_u64(meta, CIA_META_SMDH_OFFSET, &location->offset) || !add_u64(meta, meta_size, &location->end)) {
        return damaged(location, "its meta section offset overflows");
    }
    if (input->identity != nullptr) {
        cia_meta_identity(input, tmd, content, content_size);
    }
    return WALK_FOUND;
}

// Recognises the format of the head (a file inside a Z3DS file included)
// and follows it to the SMDH.
static WalkStatus locate_by_format(WalkInput* input, SmdhLocation* location)
{
    const uint8_t* head = input->head;
    size_t size = input->head_size;
    if (size >= 4 && memcmp(head, "SMDH", 4) == 0) {
        location->format = FORMAT_SMDH;
        return WALK_FOUND;
    }
    if (size >= 4 && memcmp(head, "3DSX", 4) == 0) {
        location->format = FORMAT_3DSX;
        return locate_in_3dsx(input, location);
    }
    if (size >= NCCH_MAGIC + 4 && memcmp(head + NCCH_MAGIC, "NCSD", 4) == 0) {
        location->format = FORMAT_NCSD;
        return locate_in_ncsd(input, location);
    }
    if (size >= NCCH_MAGIC + 4 && has_ncch_magic(head)) {
        location->format = FORMAT_NCCH;
        return locate_in_ncch(input, location);
    }
    if (size >= sizeof CIA_START && memcmp(head, CIA_START, sizeof CIA_START) == 0) {
        location->format = FORMAT_CIA;
        return locate_in_cia(input, location);
    }
    // Then the DS formats, which have no magic: a header's CRC tells them.
    if (DsIsRomHeader(head, size)) {
        location->format = FORMAT_NDS;
        if (input->identity != nullptr) {
            DsRomIdentity(head, size, input->identity, 1);
        }
        return ds_rom_banner(location, 0, head);
    }
    if (DsIsRawBanner(head, size)) {
        location->format = FORMAT_NDS_BANNER;
        location->banner = 1;
        return WALK_FOUND;
    }
    return WALK_NOT_ICN;
}

// Reads the head anew from the file walked, once a layer is stacked.
static WalkStatus read_head(WalkInput* input, SmdhLocation* location)
{
    LayerStatus status = LayerRead(input->file, 0, input->head, WALK_HEAD_SIZE, &input->head_size);
    input->position = input->head_size;
    return status == LAYER_OK || status == LAYER_SHORT ? WALK_FOUND : layer_failure(input->file, location);
}

// The SMDH of a Z3DS file: the metadata's `smdh` item when it has one, which
// needs no frame decompressed; else the file inside, walked as it would be
// uncompressed. Its format and identity come from the file inside, so the
// caller that wants the identity has the start of the frames decompressed
// even where the item gives the SMDH. LocateSmdh stacks this one layer at
// most, well within WALK_MAX_LAYERS.
static WalkStatus locate_in_z3ds(WalkInput* input, SmdhLocation* location)
{
    location->compression = "Z3DS";
    ByteLayer* below = input->file;
    ByteLayer* z3ds = &input->layers[input->layer_count++];
    input->file = z3ds;
    if (Z3dsLayerOpen(z3ds, below, input->head, input->head_size) != LAYER_OK) {
        return layer_failure(z3ds, location);
    }
    input->smdh_item = Z3dsSmdhItem(z3ds, &input->smdh_item_size);
    WalkStatus status = WALK_FOUND;
    if (input->smdh_item == nullptr || input->identity != nullptr) {
        status = read_head(input, location);
        if (status == WALK_FOUND) {
            status = locate_by_format(input, location);
        }
    }
    if (input->smdh_item == nullptr || status == WALK_NOT_ICN) {
        return status;
    }
    if (input_failed(input, status)) {
        return z3ds->broken != LAYER_OK ? layer_failure(z3ds, location) : status;
    }
    location->in_item = 1;
    location->banner = 0;
    location->offset = 0;
    location->end = input->smdh_item_size;
    location->damage = nullptr;
    location->encrypted_unless_smdh = 0;
    return WALK_FOUND;
}

WalkStatus LocateSmdh(WalkInput* input, SmdhLocation* location)
{
    location->format = FORMAT_SMDH;
    location->compression = nullptr;
    location->in_item = 0;
    location->banner = 0;
    location->offset = 0;
    location->end = UINT64_MAX;
    location->encrypted_unless_smdh = 0;
    location->damage = nullptr;
    location->error = 0;
    if (input->identity != nullptr) {
        memset(input->identity, 0, sizeof *input->identity);
    }
    // Before every other format: a file inside is never a Z3DS file itself.
    if (input->head_size >= 4 && memcmp(input->head, "Z3DS", 4) == 0) {
        return locate_in_z3ds(input, location);
    }
    return locate_by_format(input, location);
}

// Reads the SMDH from where the walk found it (see ReadSmdh), without the
// judgement of an NCCH marked encrypted.
static WalkStatus read_found_smdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size)
{
    uint64_t declared = location->end - location->offset;
    size_t most = location->banner ? DS_BANNER_MAX_SIZE : SMDH_SIZE;
    size_t want = declared < most ? static_cast<size_t>(declared) : most;
    *size = 0;
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
        return damaged(location, "its banner offset points back into its headers");
    case READ_DAMAGED:
    case READ_FAILED:
        return layer_failure(input->file, location);
    }
    if (location->banner) {
        const char* damage = DsBannerDamage(bytes, *size);
        return damage == nullptr ? WALK_FOUND : damaged(location, damage);
    }
    if (*size == 0 && want != 0) {
        return damaged(location, "its SMDH offset lies past its end");
    }
    if (*size < 4 || memcmp(bytes, "SMDH", 4) != 0) {
        return damaged(location, "its SMDH does not begin with SMDH");
    }
    return WALK_FOUND;
}

WalkStatus ReadSmdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size)
{
    WalkStatus status = read_found_smdh(input, location, bytes, size);
    if (location->encrypted_unless_smdh && status != WALK_FOUND && !input_failed(input, status)) {
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
