// An archive member as a layer of bytes: `length` bytes from `start` of the
// layer below, such as a file inside a bundle.
#ifndef GALLIVOX_MEMBER_LAYER_H
#define GALLIVOX_MEMBER_LAYER_H

#include <cstddef>
#include <cstdint>

#include "byte_layer.h"

// The state of a member layer, kept by its caller: nothing is allocated.
struct MemberLayerState {
    ByteLayer* below;
    uint64_t start;
    uint64_t length;
    int to_end;             // `length` was not given: the member runs to the end of `below`
    const uint8_t* prefix;  // the first bytes of `below`, already read (a pipe's cannot be read again)
    size_t prefix_size;
    const char* cut_damage;  // where `below` ends inside the member: its damage; null: a short read
    // The last byte given, so that a read may begin one byte behind the
    // furthest (a tar reader looks at the byte before each header).
    uint8_t last_byte;
    uint64_t last_at;
    int has_last;
};

// Makes `layer` give the `length` bytes at `start` of `below` (UINT64_MAX:
// all of them from `start`), through `state`. The `prefix_size` bytes at
// `prefix`, when not null, are bytes 0 onward of `below`: reads of them
// come from there, the rest from `below`, so a pipe's first bytes can be
// read again. Reads past the member's end are short; a failure below stays
// the member's, and where `below` ends inside the member, that is the damage
// `cut_damage` (null: a short read, as past its end). The last byte read is
// kept: a read may begin there again, on a pipe too.
void MemberLayerOpen(ByteLayer* layer, MemberLayerState* state, ByteLayer* below, uint64_t start, uint64_t length,
                     const uint8_t* prefix, size_t prefix_size, const char* cut_damage);

#endif
