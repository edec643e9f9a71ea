// The tar archive that a bundle is: its 512-byte header blocks, each before
// its member's data, with pax headers and GNU long names followed.
#ifndef GALLIVOX_TAR_H
#define GALLIVOX_TAR_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"

const size_t TAR_BLOCK_SIZE = 512;
// The longest member name kept: a pax `path` or a long name beyond it is damage.
const size_t TAR_NAME_MAX = 4096;

// Whether the TAR_BLOCK_SIZE bytes at `block` are a tar header: its
// checksum holds and its size field is well formed (octal digits ended by
// NUL or space, or GNU's base-256 form). Any type byte, no magic needed.
int TarIsHeader(const uint8_t* block);

enum TarStatus {
    TAR_MEMBER,   // `member` is the next member
    TAR_END,      // the archive ends: a zero block, or its last byte
    TAR_DAMAGED,  // `damage` says how
    TAR_FAILED,   // the archive's layer failed: its `broken` says how
};

// A member as its headers give it: a pax `path` or a long name before it
// has the last word on its name, a pax `size` on its size.
struct TarMember {
    uint64_t data;  // where its data starts in the archive
    uint64_t size;
    uint8_t type;                 // '0' or 0 for a file
    char name[TAR_NAME_MAX + 1];  // ended by a zero byte
};

// Reads the headers of `archive` from `*next`, the place of a header (0 for
// the first, which the caller has recognised), to the next member, and sets
// `*next` past that member's data. Reads go forward only. Returns
// TAR_MEMBER, TAR_END, TAR_DAMAGED with `*damage` set (a short clause, such
// as "a tar header's checksum fails"), or TAR_FAILED.
TarStatus TarNextMember(ByteLayer* archive, uint64_t* next, TarMember* member, const char** damage);

#endif
