#include "cia.h"

#include <cstring>

#include "cipher_layer.h"
#include "crypto.h"
#include "ds_banner.h"
#include "ds_rom.h"
#include "ncch.h"
#include "utils.h"

const uint8_t LITTLE = 1;
const uint8_t BIG = 0;

// Every real CIA begins with its header size (0x2020), type 0 and version 0.
static const uint8_t CIA_START[8] = {0x20, 0x20, 0, 0, 0, 0, 0, 0};

int CiaHasStart(const uint8_t* head, size_t size)
{
    return size >= sizeof CIA_START && memcmp(head, CIA_START, sizeof CIA_START) == 0;
}

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
// Ticket: after its signature block, the fields the title key needs, read
// in one run from the encrypted title key at 0x7F to the common key's
// index at 0xB1; offsets below are within that run.
const uint64_t TICKET_TITLE_KEY = 0x7F;
const size_t TICKET_FIELDS_SIZE = 0xB2 - 0x7F;
const size_t TICKET_TITLE_ID = 0x9C - 0x7F;
const size_t TICKET_KEY_INDEX = 0xB1 - 0x7F;
const unsigned COMMON_KEYS = 6;

// Rounds `value` up to a multiple of the CIA's section alignment.
static int align_section(uint64_t value, uint64_t* aligned)
{
    if (!WalkAddU64(value, CIA_ALIGNMENT - 1, aligned)) {
        return 0;
    }
    *aligned &= ~(CIA_ALIGNMENT - 1);
    return 1;
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
    WalkStatus status = WalkReadHeader(input, location, tmd, type, sizeof type, cut_short);
    if (status != WALK_FOUND) {
        return status;
    }
    uint64_t signature_block = tmd_signature_block(u8_to_u32(type, BIG));
    if (signature_block == 0) {
        return WalkDamaged(location, "its TMD has an unknown signature type");
    }
    // The type was read whole at `tmd`, which so lies below 2^63; the
    // signature and the header's fields add less than 2^12: nothing overflows.
    *header = tmd + signature_block;
    return WalkReadHeader(input, location, *header + TMD_TITLE_ID, fields, TMD_FIELDS_SIZE, cut_short);
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
    status =
        WalkReadHeader(input, location, header + TMD_FIRST_CHUNK, chunk, sizeof chunk, "its TMD lies past its end");
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
        WalkReadHeader(input, &ignored, content, ncch, sizeof ncch, "its content lies past its end") == WALK_FOUND &&
        NcchHasMagic(ncch)) {
        NcchIdentity(input->identity, ncch, 0);
    }
}

// What a ticket gives for its title key: its fields, or why they cannot be had.
struct TicketFields {
    const char* damage;  // null when `fields` holds them
    uint8_t fields[TICKET_FIELDS_SIZE];
};

// Reads the ticket at `ticket`, which ends where the TMD at `tmd` begins,
// for the title key of an encrypted content. Read whether or not it is
// needed, as it lies before the TMD that says so; what goes wrong here is
// said only where the key is needed.
static void read_ticket(WalkInput* input, uint64_t ticket, uint64_t tmd, TicketFields* out)
{
    SmdhLocation ignored;
    uint8_t type[4];
    out->damage = "its ticket is cut short";
    if (tmd - ticket < sizeof type ||
        WalkReadHeader(input, &ignored, ticket, type, sizeof type, out->damage) != WALK_FOUND) {
        return;
    }
    uint64_t block = tmd_signature_block(u8_to_u32(type, BIG));
    if (block == 0) {
        out->damage = "its ticket has an unknown signature type";
        return;
    }
    // The type was read whole at `ticket`, below 2^63; the rest adds less than 2^12.
    uint64_t fields = ticket + block + TICKET_TITLE_KEY;
    if (fields + TICKET_FIELDS_SIZE <= tmd &&
        WalkReadHeader(input, &ignored, fields, out->fields, TICKET_FIELDS_SIZE, out->damage) == WALK_FOUND) {
        out->damage = nullptr;
    }
}

// The title key of the ticket, decrypted with the common key it names.
static WalkStatus title_key(WalkInput* input, SmdhLocation* location, const TicketFields* ticket, uint8_t* key)
{
    location->encrypted = 1;
    if (ticket->damage != nullptr || ticket->fields[TICKET_KEY_INDEX] >= COMMON_KEYS) {
        // Without a key file the file is encrypted, as ever; with one, damaged.
        KeyLookup state = KeyRingState(input->keys);
        return state != KEY_FOUND
                   ? WalkKeyLookup(state, 0, location)
                   : WalkDamaged(location,
                                 ticket->damage != nullptr ? ticket->damage : "its ticket names an unknown common key");
    }
    uint8_t common[AES_BLOCK];
    int missing = 0;
    KeyLookup lookup = KeyRingCommonKey(input->keys, ticket->fields[TICKET_KEY_INDEX], common, &missing);
    if (lookup == KEY_FOUND) {
        uint8_t iv[AES_BLOCK] = {0};
        memcpy(iv, ticket->fields + TICKET_TITLE_ID, 8);
        memcpy(key, ticket->fields, AES_BLOCK);
        AesCbcDecrypt(common, iv, key, AES_BLOCK);
        memset(common, 0, sizeof common);
    }
    return WalkKeyLookup(lookup, missing, location);
}

// Content 0, at `content` and of `size` bytes, whose `header` is neither a
// plain NCCH's nor a DS ROM image's: decrypted with its title key, which
// must give one of them, then read through a cipher layer over the file.
static WalkStatus decrypt_content(WalkInput* input, SmdhLocation* location, const TicketFields* ticket,
                                  uint64_t content, uint64_t size, uint8_t* header)
{
    uint8_t key[AES_BLOCK];
    WalkStatus status = title_key(input, location, ticket, key);
    if (status != WALK_FOUND) {
        return status;
    }
    const uint8_t iv[AES_BLOCK] = {0};  // content 0's index, then zeros
    status = WalkDecrypt(input, location, CIPHER_CBC, content, size, key, iv);
    if (status == WALK_FOUND) {
        WalkDecryptCopy(input, content, header, NCCH_HEADER_SIZE);
        if (!NcchHasMagic(header) && !DsIsRomHeader(header, NCCH_HEADER_SIZE)) {
            status = WALK_KEYS_WRONG;
        }
    }
    memset(key, 0, sizeof key);
    return status;
}

// Content 0 of a CIA without a usable meta section, read as an NCCH (or a
// DS title's DS ROM image); its ticket at `ticket` opens it where it is
// encrypted.
static WalkStatus cia_content_0(WalkInput* input, SmdhLocation* location, uint64_t ticket, uint64_t tmd,
                                uint64_t content, uint64_t content_size)
{
    if (content_size == 0) {
        return WALK_NO_ICON;
    }
    TicketFields fields;
    read_ticket(input, ticket, tmd, &fields);
    uint16_t type = 0;
    WalkStatus status = tmd_content_0_type(input, location, tmd, &type);
    if (status != WALK_FOUND) {
        return status;
    }
    // Content marked encrypted that begins with a plain NCCH header was
    // decrypted by a tool that left the mark: the bytes decide.
    int marked_encrypted = (type & TMD_CHUNK_ENCRYPTED) != 0;
    uint8_t header[NCCH_HEADER_SIZE];
    status = WalkReadHeader(input, location, content, header, sizeof header, "its content lies past its end");
    if (status != WALK_FOUND) {
        return marked_encrypted && !WalkInputFailed(input, status) ? WALK_ENCRYPTED : status;
    }
    int is_ds = !NcchHasMagic(header) && DsIsRomHeader(header, sizeof header);
    if (marked_encrypted && !NcchHasMagic(header) && !is_ds) {
        status = decrypt_content(input, location, &fields, content, content_size, header);
        if (status != WALK_FOUND) {
            return status;
        }
        is_ds = !NcchHasMagic(header);
    }
    // A DS title's content is a DS ROM image: its header's CRC holds.
    if (is_ds) {
        if (input->identity != nullptr) {
            DsRomIdentity(header, sizeof header, input->identity, 0);
        }
        return DsRomBannerPlace(location, content, header);
    }
    if (!NcchHasMagic(header)) {
        return WALK_NO_ICON;
    }
    NcchIdentity(input->identity, header, 0);
    return NcchIcon(input, location, content, header);
}

WalkStatus LocateInCia(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < CIA_FIELDS_END) {
        return WalkDamaged(location, "its header is cut short");
    }
    const uint8_t* head = input->head;
    // Sections follow one another, each at the next multiple of 64.
    uint64_t certificates = 0, ticket = 0, tmd = 0, content = 0, meta = 0;
    uint64_t content_size = u8_to_u64(head + 0x18, LITTLE);
    if (!align_section(u8_to_u32(head, LITTLE), &certificates) ||
        !align_section(u8_to_u32(head + 0x08, LITTLE), &ticket) || !WalkAddU64(certificates, ticket, &ticket) ||
        !align_section(u8_to_u32(head + 0x0C, LITTLE), &tmd) || !WalkAddU64(ticket, tmd, &tmd) ||
        !align_section(u8_to_u32(head + 0x10, LITTLE), &content) || !WalkAddU64(tmd, content, &content) ||
        !align_section(content_size, &meta) || !WalkAddU64(content, meta, &meta)) {
        return WalkDamaged(location, "its section sizes overflow");
    }
    uint32_t meta_size = u8_to_u32(head + 0x14, LITTLE);
    if (meta_size < CIA_META_WITH_SMDH) {
        return cia_content_0(input, location, ticket, tmd, content, content_size);
    }
    if (!WalkAddU64(meta, CIA_META_SMDH_OFFSET, &location->offset) || !WalkAddU64(meta, meta_size, &location->end)) {
        return WalkDamaged(location, "its meta section offset overflows");
    }
    if (input->identity != nullptr) {
        cia_meta_identity(input, tmd, content, content_size);
    }
    return WALK_FOUND;
}
