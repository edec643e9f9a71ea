// Shared utility routines: file naming, byte order, hex output and file helpers.
#ifndef GALLIVOX_UTILS_H
#define GALLIVOX_UTILS_H

#include <cstdint>
#include <cstdio>

// Writes into `out` (of `out_size` bytes, cleared whole first) the name `in`
// with the text from the last "." of the file's own name (after the last '/'
// or '\\', never its first character) replaced by `extension`; without such
// a dot the extension is appended to the whole path, so the result always
// names a file beside `in`. Returns 0 on success; 1 after printing
// "[!] Memory Error" when a pointer is null (the buffer is then untouched) or
// "[!] Input File Name Too Large for Output buffer" when the result does not
// fit (the buffer is then all zero).
int32_t append_filextention(char* out, uint16_t out_size, const char* in, const char* extension);

// Whether append_filextention would fit its result in `out_size` bytes:
// 1, or 0 where it would say "[!] Input File Name Too Large for Output
// buffer". Prints nothing.
int32_t derived_name_fits(uint16_t out_size, const char* in, const char* extension);

// ---- Byte order, flags and alignment ------------------------------------
// A byte-order selector is 0 for big-endian (most significant byte first)
// or 1 for little-endian; arrays may lie at any address.

// Returns the 2, 4 or 8 bytes at `bytes` as one value in the selected order;
// 0 for any other selector.
uint16_t u8_to_u16(const uint8_t* bytes, uint8_t order);
uint32_t u8_to_u32(const uint8_t* bytes, uint8_t order);
uint64_t u8_to_u64(const uint8_t* bytes, uint8_t order);

// Stores `value` into 2, 4 or 8 bytes at `bytes` in the selected order; for
// any other selector the bytes are left as they were. Returns 0 always.
int u16_to_u8(uint8_t* bytes, uint16_t value, uint8_t order);
int u32_to_u8(uint8_t* bytes, uint32_t value, uint8_t order);
int u64_to_u8(uint8_t* bytes, uint64_t value, uint8_t order);

// Copies `length` bytes from `source` to `destination` (which must not
// overlap): in order with selector 0, reversed with 1, not at all otherwise.
void endian_memcpy(uint8_t* destination, const uint8_t* source, uint32_t length, int order);

// Turns the two-character groups of `text` (2·count characters; the last
// may be its terminator) into `count` bytes, each group read by strtol in
// `base` on its own (0 when unreadable, low 8 bits kept), then copied in
// order (0) or reversed (1); with another selector `destination` is left all
// zero. A negative count, or no memory for the work, writes nothing.
void char_to_int_array(uint8_t* destination, const char* text, int count, int order, int base);

// Sets flag_array[k] to 1 when bit k of `flags` is set, else 0: 8 entries.
void resolve_flag(uint8_t flags, uint8_t* flag_array);
// The same for a 16-bit word and 16 entries.
void resolve_flag_u16(uint16_t flags, uint8_t* flag_array);

// Returns `value` rounded up to a multiple of `alignment` (any alignment, not
// only powers of two), modulo 2^32; 0 gives `alignment` itself. An alignment
// of 0 returns the value unchanged.
uint32_t align_value(uint32_t value, uint32_t alignment);

// ---- Hex output ----------------------------------------------------------

// Prints `length` bytes on standard output as "%02x" pairs, byte 0 first
// (be) or the last byte first (le); nothing for a length of 0 or below.
void u8_hex_print_be(const uint8_t* bytes, int length);
void u8_hex_print_le(const uint8_t* bytes, int length);

// Writes `size` bytes to `stream` as "%02X" pairs, 32 bytes a line, the
// first line led by `label` (written literally), later lines by as many
// spaces as the label has bytes. A size of 0 writes nothing at all; output
// errors are not examined.
void memdump(FILE* stream, const char* label, const uint8_t* bytes, uint32_t size);

// ---- Files and directories -----------------------------------------------

// Positions `stream` at `offset` bytes from the start of its file. A whence
// other than SEEK_SET prints "[!] fseek_64, whence has been overided to
// SEEK_SET" and is ignored. Returns 0, or nonzero when positioning failed or
// the offset is above INT64_MAX (the stream is then not moved).
int fseek_64(FILE* stream, uint64_t offset, int whence);

// Writes (or reads) `size` bytes at `offset` of `stream` as one block.
// Returns 1 when the whole block was transferred; 0 when it was not, when
// `size` is 0, or when the stream could not be positioned (nothing is then
// transferred). A short read leaves the bytes read in `buffer`.
int WriteBuffer(const uint8_t* block, uint64_t size, uint64_t offset, FILE* stream);
int ReadFile_64(uint8_t* buffer, uint64_t size, uint64_t offset, FILE* stream);

// Returns errno, or EIO where a failure left it 0 (fread need not set it).
int errno_or_eio(void);

// Reads and drops the next `count` bytes of `stream`, as a pipe that cannot
// seek must, adding each byte dropped to `*position`. Returns 0 when all of
// them were, 1 when the stream ends first, -1 on a read error (errno says
// which, when fread set it).
int skip_stream_bytes(FILE* stream, uint64_t count, uint64_t* position);

// Returns the exact size in bytes of the file at `path`, or UINT64_MAX when
// it cannot be opened or measured.
uint64_t GetFileSize_u64(const char* path);

// Returns the size of `stream`'s file and leaves the stream at its start;
// 0xFFFFFFFF when the size cannot be found or does not fit in 32 bits.
uint32_t GetFileSize_u32(FILE* stream);

// Makes the existing file `path` exactly `length` bytes long, shorter or
// longer. Returns 0; or 1 after printing "[!] Invalid File handle" (missing,
// or not openable for writing; nothing is created) or "[!] truncate failed".
int TruncateFile_u64(const char* path, uint64_t length);

// Creates the one directory `path`; returns 0, or -1 when it exists already
// or cannot be created.
int makedir(const char* path);

// Stores the current working directory in `buffer` (`size` bytes); returns
// `buffer`, or null when it does not fit or cannot be found.
char* getcwdir(char* buffer, int size);

// Releases a heap block (null allowed).
void _free(void* block);

#endif
