#include "utils.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

// Index of the first character of the file's own name in `path`: after the
// last '/' or '\\', which both separate directories on Windows.
static size_t file_name_start(const char* path)
{
    size_t start = 0;
    for (size_t i = 0; path[i] != 0; i++) {
        if (path[i] == '/' || path[i] == '\\') {
            start = i + 1;
        }
    }
    return start;
}

// Length of the part of `path` that is kept: the index of the last dot of
// the file's own name, or the whole path with its terminator when that name
// has no dot after its first character. So a dot in a directory's name is
// never taken ("my.dir/icon" keeps all of itself), nor a leading one
// (".icn", "../icon"): the PNG always lands beside the input.
static size_t kept_name_length(const char* path)
{
    size_t length = strlen(path);
    size_t name_start = file_name_start(path);
    for (size_t i = length; i-- > name_start + 1;) {
        if (path[i] == '.') {
            return i;
        }
    }
    return length + 1;
}

int32_t derived_name_fits(uint16_t out_size, const char* in, const char* extension)
{
    return in != nullptr && extension != nullptr && kept_name_length(in) + strlen(extension) < out_size;
}

int32_t append_filextention(char* out, uint16_t out_size, const char* in, const char* extension)
{
    if (out == nullptr || in == nullptr || extension == nullptr) {
        puts("[!] Memory Error");
        return 1;
    }
    memset(out, 0, out_size);
    size_t kept = kept_name_length(in);
    if (!derived_name_fits(out_size, in, extension)) {
        puts("[!] Input File Name Too Large for Output buffer");
        return 1;
    }
    // With no dot the copy takes the terminator too; either way the buffer
    // is zero after the copied text, so the extension lands right behind it.
    memcpy(out, in, kept);
    strcat(out, extension);
    return 0;
}

// ---- Byte order, flags and alignment ------------------------------------

const uint8_t BIG_ENDIAN_ORDER = 0;
const uint8_t LITTLE_ENDIAN_ORDER = 1;

// Selectors other than these two are accepted and make a routine do nothing.
static bool known_order(int order)
{
    return order == BIG_ENDIAN_ORDER || order == LITTLE_ENDIAN_ORDER;
}

// Reads `width` bytes as one value; every access is a single byte, so the
// array needs no alignment.
static uint64_t bytes_to_value(const uint8_t* bytes, unsigned width, uint8_t order)
{
    if (!known_order(order)) {
        return 0;
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < width; i++) {
        unsigned index = order == BIG_ENDIAN_ORDER ? i : width - 1 - i;
        value = (value << 8) | bytes[index];
    }
    return value;
}

static int value_to_bytes(uint8_t* bytes, uint64_t value, unsigned width, uint8_t order)
{
    if (!known_order(order)) {
        return 0;
    }
    for (unsigned i = 0; i < width; i++) {
        unsigned index = order == LITTLE_ENDIAN_ORDER ? i : width - 1 - i;
        bytes[index] = static_cast<uint8_t>(value >> (8 * i));
    }
    return 0;
}

uint16_t u8_to_u16(const uint8_t* bytes, uint8_t order)
{
    return static_cast<uint16_t>(bytes_to_value(bytes, 2, order));
}

uint32_t u8_to_u32(const uint8_t* bytes, uint8_t order)
{
    return static_cast<uint32_t>(bytes_to_value(bytes, 4, order));
}

uint64_t u8_to_u64(const uint8_t* bytes, uint8_t order)
{
    return bytes_to_value(bytes, 8, order);
}

int u16_to_u8(uint8_t* bytes, uint16_t value, uint8_t order)
{
    return value_to_bytes(bytes, value, 2, order);
}

int u32_to_u8(uint8_t* bytes, uint32_t value, uint8_t order)
{
    return value_to_bytes(bytes, value, 4, order);
}

int u64_to_u8(uint8_t* bytes, uint64_t value, uint8_t order)
{
    return value_to_bytes(bytes, value, 8, order);
}

void endian_memcpy(uint8_t* destination, const uint8_t* source, uint32_t length, int order)
{
    if (!known_order(order)) {
        return;
    }
    for (uint32_t i = 0; i < length; i++) {
        destination[i] = order == BIG_ENDIAN_ORDER ? source[i] : source[length - 1 - i];
    }
}

// Reads characters 2i and 2i+1 of `text` as one number. A group that starts
// at the terminator is empty: the character after it is never read.
static uint8_t parse_group(const char* text, int i, int base)
{
    char group[3] = {text[2 * i], 0, 0};
    if (group[0] != 0) {
        group[1] = text[2 * i + 1];
    }
    return static_cast<uint8_t>(strtol(group, nullptr, base) & 0xFF);
}

void char_to_int_array(uint8_t* destination, const char* text, int count, int order, int base)
{
    if (count <= 0) {
        return;
    }
    uint8_t* work = static_cast<uint8_t*>(calloc(static_cast<size_t>(count), 1));
    if (work == nullptr) {
        return;
    }
    memset(destination, 0, static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        work[i] = parse_group(text, i, base);
    }
    endian_memcpy(destination, work, static_cast<uint32_t>(count), order);
    free(work);
}

static void expand_flags(uint32_t flags, unsigned bits, uint8_t* flag_array)
{
    for (unsigned k = bits; k-- > 0;) {
        flag_array[k] = static_cast<uint8_t>((flags >> k) & 1u);
    }
}

void resolve_flag(uint8_t flags, uint8_t* flag_array)
{
    expand_flags(flags, 8, flag_array);
}

void resolve_flag_u16(uint16_t flags, uint8_t* flag_array)
{
    expand_flags(flags, 16, flag_array);
}

uint32_t align_value(uint32_t value, uint32_t alignment)
{
    if (alignment == 0) {
        return value;
    }
    // The remainder is taken in 1..alignment, so a multiple stays as it is;
    // 0 alone has remainder 0 and so becomes the alignment.
    uint32_t remainder = value % alignment;
    if (value != 0 && remainder == 0) {
        remainder = alignment;
    }
    return value + alignment - remainder;
}

// ---- Hex output ----------------------------------------------------------

void u8_hex_print_be(const uint8_t* bytes, int length)
{
    for (int i = 0; i < length; i++) {
        printf("%02x", bytes[i]);
    }
}

void u8_hex_print_le(const uint8_t* bytes, int length)
{
    for (int i = 0; i < length; i++) {
        printf("%02x", bytes[length - 1 - i]);
    }
}

const uint32_t DUMP_LINE_BYTES = 32;

void memdump(FILE* stream, const char* label, const uint8_t* bytes, uint32_t size)
{
    if (label == nullptr) {
        label = "";
    }
    const int indent = static_cast<int>(strlen(label));
    uint32_t offset = 0;
    while (size != 0) {
        uint32_t n = size < DUMP_LINE_BYTES ? size : DUMP_LINE_BYTES;
        if (offset == 0) {
            fputs(label, stream);
        } else {
            fprintf(stream, "%*s", indent, "");
        }
        for (uint32_t i = 0; i < n; i++) {
            fprintf(stream, "%02X", bytes[offset + i]);
        }
        fputc('\n', stream);
        offset += n;
        size -= n;
    }
}

// ---- Files and directories -----------------------------------------------

int fseek_64(FILE* stream, uint64_t offset, int whence)
{
    if (whence != SEEK_SET) {
        puts("[!] fseek_64, whence has been overided to SEEK_SET");
    }
    // A larger offset would turn negative as a signed file position.
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        return -1;
    }
    return platform_seek_absolute(stream, static_cast<int64_t>(offset));
}

// A block larger than the platform's size type cannot go in one transfer.
static int block_fits(uint64_t size)
{
    return size != 0 && size <= SIZE_MAX;
}

int WriteBuffer(const uint8_t* block, uint64_t size, uint64_t offset, FILE* stream)
{
    if (!block_fits(size) || fseek_64(stream, offset, SEEK_SET) != 0) {
        return 0;
    }
    return static_cast<int>(fwrite(block, static_cast<size_t>(size), 1, stream));
}

int ReadFile_64(uint8_t* buffer, uint64_t size, uint64_t offset, FILE* stream)
{
    if (!block_fits(size) || fseek_64(stream, offset, SEEK_SET) != 0) {
        return 0;
    }
    return static_cast<int>(fread(buffer, static_cast<size_t>(size), 1, stream));
}

uint64_t GetFileSize_u64(const char* path)
{
    int64_t end = platform_file_end(path);
    return end < 0 ? UINT64_MAX : static_cast<uint64_t>(end);
}

uint32_t GetFileSize_u32(FILE* stream)
{
    // The position is read as 64 bits, so a file past 4 GiB is seen as too
    // large rather than as its size modulo 2^32.
    int64_t end = -1;
    if (fseek(stream, 0, SEEK_END) == 0) {
        end = platform_stream_position(stream);
    }
    fseek(stream, 0, SEEK_SET);
    if (end < 0 || static_cast<uint64_t>(end) > UINT32_MAX) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(end);
}

int TruncateFile_u64(const char* path, uint64_t length)
{
    PlatformLengthResult result = platform_set_file_length(path, length);
    if (result == PLATFORM_LENGTH_NOT_OPENED) {
        puts("[!] Invalid File handle");
        return 1;
    }
    if (result == PLATFORM_LENGTH_NOT_SET) {
        puts("[!] truncate failed");
        return 1;
    }
    return 0;
}

int makedir(const char* path)
{
    return platform_make_directory(path);
}

char* getcwdir(char* buffer, int size)
{
    // A negative size would reach the runtime as a huge unsigned one.
    if (size < 0) {
        return nullptr;
    }
    return platform_current_directory(buffer, size);
}

void _free(void* block)
{
    free(block);
}

int errno_or_eio(void)
{
    return errno != 0 ? errno : EIO;
}

int skip_stream_bytes(FILE* stream, uint64_t count, uint64_t* position)
{
    // A buffer on the stack: nothing to allocate, so nothing that can fail.
    uint8_t chunk[0x4000];
    while (count > 0) {
        size_t want = count < sizeof chunk ? static_cast<size_t>(count) : sizeof chunk;
        size_t got = fread(chunk, 1, want, stream);
        *position += got;
        count -= got;
        if (got != want) {
            return ferror(stream) ? -1 : 1;
        }
    }
    return 0;
}
