#include "member_layer.h"

#include <cstring>

static LayerStatus read_member(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    MemberLayerState* member = static_cast<MemberLayerState*>(layer->state);
    if (offset >= member->length) {
        return LAYER_SHORT;
    }
    // Within the member, and below 2^64 in the layer below: start + length
    // does not overflow (checked when the member was opened).
    uint64_t left = member->length - offset;
    size_t want = left < size ? static_cast<size_t>(left) : size;
    uint64_t at = member->start + offset;
    if (at < member->prefix_size) {
        *got = member->prefix_size - at < want ? static_cast<size_t>(member->prefix_size - at) : want;
        memcpy(out, member->prefix + at, *got);
    } else if (member->has_last && offset == member->last_at && want > 0) {
        out[0] = member->last_byte;  // behind a pipe's position: kept
        *got = 1;
    }
    if (*got < want) {
        size_t read = 0;
        LayerStatus status = LayerRead(member->below, at + *got, out + *got, want - *got, &read);
        *got += read;
        if (status == LAYER_DAMAGED || status == LAYER_FAILED) {
            return LayerBrokenBelow(layer, member->below);
        }
    }
    if (*got > 0) {
        member->last_byte = out[*got - 1];
        member->last_at = offset + *got - 1;
        member->has_last = 1;
    }
    if (*got < want && member->cut_damage != nullptr) {
        return LayerDamaged(layer, member->cut_damage);
    }
    return *got == size ? LAYER_OK : LAYER_SHORT;
}

static LayerStatus member_length(ByteLayer* layer, uint64_t* size)
{
    const MemberLayerState* member = static_cast<const MemberLayerState*>(layer->state);
    if (!member->to_end) {
        *size = member->length;
        return LAYER_OK;
    }
    uint64_t below = 0;
    if (LayerLength(member->below, &below) != LAYER_OK) {
        return LayerBrokenBelow(layer, member->below);
    }
    *size = below > member->start ? below - member->start : 0;
    return LAYER_OK;
}

void MemberLayerOpen(ByteLayer* layer, MemberLayerState* state, ByteLayer* below, uint64_t start, uint64_t length,
                     const uint8_t* prefix, size_t prefix_size, const char* cut_damage)
{
    uint64_t room = UINT64_MAX - start;
    *state = MemberLayerState{below,
                              start,
                              length < room ? length : room,
                              length == UINT64_MAX,
                              prefix,
                              prefix != nullptr ? prefix_size : 0,
                              cut_damage,
                              0,
                              0,
                              0};
    *layer = ByteLayer{read_member, member_length, nullptr, state, below->seekable, LAYER_OK, nullptr, 0};
}
