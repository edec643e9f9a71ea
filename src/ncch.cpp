#include "ncch.h"

#include <cstring>

#include "cipher_layer.h"
#include "crypto.h"
#include "utils.h"

const uint8_t LITTLE = 1;

// NCCH (and NCSD) header fields.
const size_t NCCH_MEDIA_UNIT_SHIFT = 0x18E;  // flags[6]
const size_t NCCH_CRYPTO_FLAGS = 0x18F;      // flags[7]
const uint8_t NCCH_NO_CRYPTO = 0x04;
const uint8_t NCCH_FIXED_KEY = 0x01;
// The ExeFS's key and counter: the KeyY is the signature's first 16 bytes.
const size_t NCCH_KEY_Y = 0x000;
const size_t NCCH_PARTITION_ID = 0x108;
const size_t NCCH_VERSION = 0x112;
const uint8_t COUNTER_EXEFS = 2;
// A program ID with this bit of its high word is a system title's, whose
// fixed key is the console's own and in no key file.
const uint64_t SYSTEM_TITLE_BIT = uint64_t(0x10) << 32;
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

// Sets the SMDH's place from the `icon` entry of the ExeFS `header` (read
// at `exefs`, whose `exefs_size` bytes hold it), or WALK_NO_ICON.
static WalkStatus icon_entry(SmdhLocation* location, const uint8_t* header, uint64_t exefs, uint64_t exefs_size)
{
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
        // The header was read whole at `exefs`, which so lies below 2^63;
        // the entry adds less than 2^34: no sum overflows.
        location->offset = exefs + EXEFS_HEADER_SIZE + file_offset;
        location->end = location->offset + file_size;
        return WALK_FOUND;
    }
    return WALK_NO_ICON;
}

// The ExeFS key of the NCCH `header`: the fixed zero key where it says so
// (but for a system title's), else the scrambled key from KeyX 0x2C and the
// NCCH's KeyY. WALK_FOUND, or why there is none.
static WalkStatus exefs_key(WalkInput* input, SmdhLocation* location, const uint8_t* header, uint8_t* key)
{
    location->encrypted = 1;
    if (header[NCCH_CRYPTO_FLAGS] & NCCH_FIXED_KEY) {
        if (u8_to_u64(header + NCCH_PROGRAM_ID, LITTLE) & SYSTEM_TITLE_BIT) {
            return WALK_ENCRYPTED;
        }
        memset(key, 0, AES_BLOCK);
        return WALK_FOUND;
    }
    int missing = 0;
    KeyLookup lookup = KeyRingNormalKey(input->keys, KEY_2C_X, header + NCCH_KEY_Y, key, &missing);
    return WalkKeyLookup(lookup, missing, location);
}

// The counter of the ExeFS's first block, which lies `exefs` bytes into the
// NCCH `header`'s image: version 1 counts it in bytes, the others by kind.
static void exefs_counter(const uint8_t* header, uint64_t exefs, uint8_t* counter)
{
    memset(counter, 0, AES_BLOCK);
    const uint8_t* partition = header + NCCH_PARTITION_ID;
    if (u8_to_u16(header + NCCH_VERSION, LITTLE) == 1) {
        memcpy(counter, partition, 8);
        u32_to_u8(counter + 12, static_cast<uint32_t>(exefs), 0);
        return;
    }
    for (int i = 0; i < 8; i++) {
        counter[i] = partition[7 - i];
    }
    counter[8] = COUNTER_EXEFS;
}

// The ExeFS at `exefs` of the NCCH `header` at `base`, whose header
// `exefs_header` does not read as plain: decrypted with the key it needs,
// its icon then read through a cipher layer over the file. WALK_FOUND, or
// why not: no key, or keys that give no plain header.
static WalkStatus decrypt_exefs(WalkInput* input, SmdhLocation* location, uint64_t base, const uint8_t* header,
                                uint64_t exefs, uint64_t exefs_size, uint8_t* exefs_header)
{
    uint8_t key[AES_BLOCK];
    WalkStatus status = exefs_key(input, location, header, key);
    if (status != WALK_FOUND) {
        return status;
    }
    uint8_t counter[AES_BLOCK];
    exefs_counter(header, exefs - base, counter);
    status = WalkDecrypt(input, location, CIPHER_CTR, exefs, exefs_size, key, counter);
    if (status == WALK_FOUND) {
        WalkDecryptCopy(input, exefs, exefs_header, EXEFS_HEADER_SIZE);
        status =
            exefs_names_plain(exefs_header) ? icon_entry(location, exefs_header, exefs, exefs_size) : WALK_KEYS_WRONG;
    }
    memset(key, 0, sizeof key);
    return status == WALK_DAMAGED ? WALK_KEYS_WRONG : status;
}

// Finds the `icon` entry of the ExeFS at `exefs` of the NCCH `header` at
// `base`, whose `exefs_size` bytes hold it, and sets the SMDH's place from
// it. Where the NCCH is `marked_encrypted`, a header whose names are not
// plain is decrypted with the user's keys, and `*keyed` set; an ExeFS
// header that cannot be read whole sets `*unread`.
static WalkStatus exefs_icon(WalkInput* input, SmdhLocation* location, uint64_t base, const uint8_t* header,
                             uint64_t exefs, uint64_t exefs_size, int marked_encrypted, int* keyed, int* unread)
{
    uint8_t exefs_header[EXEFS_HEADER_SIZE];
    WalkStatus status =
        WalkReadHeader(input, location, exefs, exefs_header, sizeof exefs_header, "its ExeFS lies past its end");
    if (status != WALK_FOUND) {
        *unread = 1;
        return status;
    }
    if (marked_encrypted && !exefs_names_plain(exefs_header)) {
        *keyed = 1;
        return decrypt_exefs(input, location, base, header, exefs, exefs_size, exefs_header);
    }
    return icon_entry(location, exefs_header, exefs, exefs_size);
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
    // almost never. A header that does not read as plain is decrypted with
    // the user's keys, and must then pass the same checks.
    int marked_encrypted = (header[NCCH_CRYPTO_FLAGS] & NCCH_NO_CRYPTO) == 0;
    uint64_t exefs = 0;
    int keyed = 0;
    int unread = 0;
    // A unit of at most 2^32 times a u32 stays below 2^64.
    WalkStatus status = WALK_DAMAGED;
    if (!WalkAddU64(base, exefs_units * unit, &exefs)) {
        WalkDamaged(location, "its ExeFS offset overflows");
    } else {
        status = exefs_icon(input, location, base, header, exefs, size_units * unit, marked_encrypted, &keyed, &unread);
    }
    // Where the user's keys could open it, an ExeFS that is not there whole
    // is what it is for a plain file: damage, not encryption.
    int keys_usable = input->keys != nullptr && KeyRingSet(input->keys)->state == KEYS_LOADED;
    if (!marked_encrypted || WalkInputFailed(input, status) || keyed || (unread && keys_usable)) {
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
