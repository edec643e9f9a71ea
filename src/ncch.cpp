#include "ncch.h"

#include <cstring>

#include "utils.h"

const uint8_t LITTLE = 1;

// NCCH (and NCSD) header fields.
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

int NcchHasMagic(const uint8_t* header)
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
    WalkStatus status = WalkReadHeader(input, location, exefs, header, sizeof header, "its ExeFS lies past its end");
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
            return WalkDamaged(location, "its icon entry lies outside its ExeFS");
        }
        // The header was just read whole at `exefs`, which so lies below
        // 2^63; the entry adds less than 2^34: no sum overflows.
        location->offset = exefs + EXEFS_HEADER_SIZE + file_offset;
        location->end = location->offset + file_size;
        return WALK_FOUND;
    }
    return WALK_NO_ICON;
}

void NcchIdentity(TitleIdentity* identity, const uint8_t* header, int with_program_id)
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

WalkStatus NcchIcon(WalkInput* input, SmdhLocation* location, uint64_t base, const uint8_t* header)
{
    uint64_t unit = media_unit(header);
    if (unit == 0) {
        return WalkDamaged(location, "its media unit is absurd");
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
    if (!WalkAddU64(base, exefs_units * unit, &exefs)) {
        WalkDamaged(location, "its ExeFS offset overflows");
    } else {
        status = exefs_icon(input, location, exefs, size_units * unit, marked_encrypted);
    }
    if (!marked_encrypted || WalkInputFailed(input, status)) {
        return status;
    }
    location->damage = nullptr;
    location->encrypted_unless_smdh = 1;
    return status == WALK_FOUND ? WALK_FOUND : WALK_ENCRYPTED;
}

WalkStatus LocateInNcch(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < NCCH_HEADER_SIZE) {
        return WalkDamaged(location, "its NCCH header is cut short");
    }
    NcchIdentity(input->identity, input->head, 1);
    return NcchIcon(input, location, 0, input->head);
}

WalkStatus LocateInNcsd(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < NCCH_HEADER_SIZE) {
        return WalkDamaged(location, "its NCSD header is cut short");
    }
    uint64_t unit = media_unit(input->head);
    if (unit == 0) {
        return WalkDamaged(location, "its media unit is absurd");
    }
    uint64_t offset_units = u8_to_u32(input->head + NCSD_PARTITION_0, LITTLE);
    uint64_t length_units = u8_to_u32(input->head + NCSD_PARTITION_0 + 4, LITTLE);
    if (length_units == 0) {
        return WALK_NO_ICON;
    }
    uint64_t base = offset_units * unit;
    uint8_t header[NCCH_HEADER_SIZE];
    WalkStatus status =
        WalkReadHeader(input, location, base, header, sizeof header, "its partition 0 lies past its end");
    if (status != WALK_FOUND) {
        return status;
    }
    if (!NcchHasMagic(header)) {
        return WalkDamaged(location, "its partition 0 is not an NCCH");
    }
    NcchIdentity(input->identity, header, 1);
    return NcchIcon(input, location, base, header);
}
