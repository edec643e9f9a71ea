#include "tar.h"

#include <cstring>

// Header fields.
const size_t NAME_AT = 0;
const size_t NAME_SIZE = 100;
const size_t SIZE_AT = 124;
const size_t SIZE_SIZE = 12;
const size_t CHECKSUM_AT = 148;
const size_t CHECKSUM_SIZE = 8;
const size_t TYPE_AT = 156;
const size_t MAGIC_AT = 257;
const size_t PREFIX_AT = 345;
const size_t PREFIX_SIZE = 155;
static const char POSIX_MAGIC[6] = {'u', 's', 't', 'a', 'r', 0};
const uint8_t BASE_256 = 0x80;
// A pax header larger than this is damage, never an allocation: real ones
// hold a few records of a few dozen bytes.
const uint64_t PAX_MAX = 8192;

// Parses an octal field of `size` bytes: optional leading spaces, one or
// more digits, then a NUL or a space. Returns 1 with the value, else 0.
static int parse_octal(const uint8_t* field, size_t size, uint64_t* value)
{
    size_t i = 0;
    while (i < size && field[i] == ' ') {
        i++;
    }
    size_t first = i;
    *value = 0;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; i++) {
        if (*value >> 61 != 0) {
            return 0;  // beyond 64 bits
        }
        *value = *value << 3 | static_cast<uint64_t>(field[i] - '0');
    }
    return i > first && i < size && (field[i] == 0 || field[i] == ' ');
}

// The size field: octal, or GNU's base-256 (bit 7 of the first byte set, a
// big-endian number in the other 11 bytes, which must fit in 64 bits).
static int parse_size(const uint8_t* block, uint64_t* size)
{
    const uint8_t* field = block + SIZE_AT;
    if ((field[0] & BASE_256) == 0) {
        return parse_octal(field, SIZE_SIZE, size);
    }
    if (field[0] != BASE_256 || field[1] != 0 || field[2] != 0 || field[3] != 0) {
        return 0;  // negative, or beyond 64 bits
    }
    *size = 0;
    for (size_t i = 4; i < SIZE_SIZE; i++) {
        *size = *size << 8 | field[i];
    }
    return 1;
}

int TarIsHeader(const uint8_t* block)
{
    uint64_t stored = 0;
    uint64_t size = 0;
    if (!parse_octal(block + CHECKSUM_AT, CHECKSUM_SIZE, &stored) && stored == 0) {
        // Some writers fill all eight bytes with digits: no terminator.
        uint64_t value = 0;
        size_t i = 0;
        for (; i < CHECKSUM_SIZE && block[CHECKSUM_AT + i] >= '0' && block[CHECKSUM_AT + i] <= '7'; i++) {
            value = value << 3 | static_cast<uint64_t>(block[CHECKSUM_AT + i] - '0');
        }
        if (i != CHECKSUM_SIZE) {
            return 0;
        }
        stored = value;
    }
    // The sum of the bytes, the checksum field counted as spaces; old
    // writers summed signed bytes.
    uint64_t sum = 0;
    int64_t signed_sum = 0;
    for (size_t i = 0; i < TAR_BLOCK_SIZE; i++) {
        uint8_t byte = i >= CHECKSUM_AT && i < CHECKSUM_AT + CHECKSUM_SIZE ? ' ' : block[i];
        sum += byte;
        signed_sum += static_cast<int8_t>(byte);
    }
    int sums = stored == sum || static_cast<int64_t>(stored) == signed_sum;
    return sums && parse_size(block, &size);
}

// Whether the block is all zero: the end of the archive.
static int is_zero_block(const uint8_t* block)
{
    for (size_t i = 0; i < TAR_BLOCK_SIZE; i++) {
        if (block[i] != 0) {
            return 0;
        }
    }
    return 1;
}

// Reads the header at `at` into `block`. Past the first, the byte before it
// is read too, so that a member's data that ends early (damage) is told from
// an archive whose last member ends it (its end). Returns TAR_MEMBER when a
// block was read.
static TarStatus read_block(ByteLayer* archive, uint64_t at, uint8_t* block, const char** damage)
{
    uint8_t bytes[TAR_BLOCK_SIZE + 1];
    size_t before = at == 0 ? 0 : 1;
    size_t got = 0;
    LayerStatus status = LayerRead(archive, at - before, bytes, TAR_BLOCK_SIZE + before, &got);
    if (status == LAYER_DAMAGED || status == LAYER_FAILED) {
        return TAR_FAILED;
    }
    if (got == before + TAR_BLOCK_SIZE) {
        memcpy(block, bytes + before, TAR_BLOCK_SIZE);
        return TAR_MEMBER;
    }
    if (got == before && before == 1) {
        return TAR_END;
    }
    *damage = got < before ? "a tar member runs past its end" : "a tar header runs past its end";
    return TAR_DAMAGED;
}

// The name of a plain header: POSIX's prefix/name, or the name alone.
static void header_name(const uint8_t* block, char* name)
{
    size_t length = 0;
    if (memcmp(block + MAGIC_AT, POSIX_MAGIC, sizeof POSIX_MAGIC) == 0 && block[PREFIX_AT] != 0) {
        length = strnlen(reinterpret_cast<const char*>(block + PREFIX_AT), PREFIX_SIZE);
        memcpy(name, block + PREFIX_AT, length);
        name[length++] = '/';
    }
    size_t own = strnlen(reinterpret_cast<const char*>(block + NAME_AT), NAME_SIZE);
    memcpy(name + length, block + NAME_AT, own);
    name[length + own] = 0;
}

// What the extension headers before a member say of it.
struct Pending {
    int has_name;
    int has_size;
    int after_extension;  // a pax header or a long name that needs a member after it
    uint64_t size;
    char name[TAR_NAME_MAX + 1];
};

// Parses the records `LENGTH KEY=VALUE\n` of a pax header's `size` bytes
// at `data`; with `pending`, keeps its `path` and `size`. Returns 0 when a
// record is malformed or runs past the data.
static int parse_pax(const uint8_t* data, size_t size, Pending* pending)
{
    size_t at = 0;
    while (at < size && data[at] != 0) {
        size_t length = 0;
        size_t i = at;
        for (; i < size && data[i] >= '0' && data[i] <= '9' && length <= size; i++) {
            length = 10 * length + static_cast<size_t>(data[i] - '0');
        }
        if (i == at || i >= size || data[i] != ' ' || length > size - at || length < i - at + 3 ||
            data[at + length - 1] != '\n') {
            return 0;
        }
        const uint8_t* key = data + i + 1;
        const uint8_t* end = data + at + length - 1;
        const uint8_t* equals = static_cast<const uint8_t*>(memchr(key, '=', static_cast<size_t>(end - key)));
        if (equals == nullptr || equals == key) {
            return 0;
        }
        size_t key_size = static_cast<size_t>(equals - key);
        const uint8_t* value = equals + 1;
        size_t value_size = static_cast<size_t>(end - value);
        if (pending != nullptr && key_size == 4 && memcmp(key, "path", 4) == 0) {
            if (value_size > TAR_NAME_MAX) {
                return 0;
            }
            memcpy(pending->name, value, value_size);
            pending->name[value_size] = 0;
            pending->has_name = 1;
        } else if (pending != nullptr && key_size == 4 && memcmp(key, "size", 4) == 0) {
            uint64_t parsed = 0;
            for (size_t k = 0; k < value_size; k++) {
                if (value[k] < '0' || value[k] > '9' || parsed > (UINT64_MAX - 9) / 10) {
                    return 0;
                }
                parsed = 10 * parsed + static_cast<uint64_t>(value[k] - '0');
            }
            if (value_size == 0) {
                return 0;
            }
            pending->size = parsed;
            pending->has_size = 1;
        }
        at += length;
    }
    return 1;
}

// Reads an extension header's data (a pax header or a long name) of `size`
// bytes at `data` and takes what it says into `pending`.
static TarStatus read_extension(ByteLayer* archive, uint8_t type, uint64_t data, uint64_t size, Pending* pending,
                                const char** damage)
{
    if (size > PAX_MAX) {
        *damage = type == 'L' ? "a tar long name is too large" : "a pax header is too large";
        return TAR_DAMAGED;
    }
    uint8_t bytes[PAX_MAX];
    size_t got = 0;
    LayerStatus status = LayerRead(archive, data, bytes, static_cast<size_t>(size), &got);
    if (status == LAYER_DAMAGED || status == LAYER_FAILED) {
        return TAR_FAILED;
    }
    if (got < size) {
        *damage = "a tar member runs past its end";
        return TAR_DAMAGED;
    }
    if (type == 'L') {
        size_t length = strnlen(reinterpret_cast<const char*>(bytes), got);
        if (length > TAR_NAME_MAX) {
            *damage = "a tar long name is too large";
            return TAR_DAMAGED;
        }
        memcpy(pending->name, bytes, length);
        pending->name[length] = 0;
        pending->has_name = 1;
    } else if (!parse_pax(bytes, got, type == 'x' ? pending : nullptr)) {
        *damage = "a pax record is malformed";
        return TAR_DAMAGED;
    }
    pending->after_extension = type != 'g';
    return TAR_MEMBER;
}

// The place after a member's data of `size` bytes at `data`, padded to a
// whole block; 0 when it would overflow.
static uint64_t after_data(uint64_t data, uint64_t size)
{
    uint64_t blocks = size / TAR_BLOCK_SIZE + (size % TAR_BLOCK_SIZE != 0);
    if (blocks > (UINT64_MAX - data) / TAR_BLOCK_SIZE) {
        return 0;
    }
    return data + blocks * TAR_BLOCK_SIZE;
}

TarStatus TarNextMember(ByteLayer* archive, uint64_t* next, TarMember* member, const char** damage)
{
    Pending pending;
    pending.has_name = pending.has_size = pending.after_extension = 0;
    for (;;) {
        uint8_t block[TAR_BLOCK_SIZE];
        TarStatus status = read_block(archive, *next, block, damage);
        if (status == TAR_MEMBER && is_zero_block(block)) {
            status = TAR_END;
        }
        if (status == TAR_END && pending.after_extension) {
            *damage = "a pax header or long name has no member after it";
            return TAR_DAMAGED;
        }
        if (status != TAR_MEMBER) {
            return status;
        }
        uint64_t size = 0;
        if (!TarIsHeader(block)) {
            *damage = parse_size(block, &size) ? "a tar header's checksum fails" : "a tar header's size is malformed";
            return TAR_DAMAGED;
        }
        parse_size(block, &size);
        uint8_t type = block[TYPE_AT];
        uint64_t data = *next + TAR_BLOCK_SIZE;  // the header was read whole: no overflow
        if (type == 'x' || type == 'g' || type == 'L') {
            *next = after_data(data, size);
            if (*next == 0) {
                *damage = "a tar member runs past its end";
                return TAR_DAMAGED;
            }
            status = read_extension(archive, type, data, size, &pending, damage);
            if (status != TAR_MEMBER) {
                return status;
            }
            continue;
        }
        member->data = data;
        member->size = pending.has_size ? pending.size : size;
        member->type = type;
        if (pending.has_name) {
            memcpy(member->name, pending.name, strlen(pending.name) + 1);
        } else {
            header_name(block, member->name);
        }
        *next = after_data(data, member->size);
        if (*next == 0) {
            *damage = "a tar member runs past its end";
            return TAR_DAMAGED;
        }
        return TAR_MEMBER;
    }
}
