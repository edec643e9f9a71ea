#include "walk.h"

#include <cerrno>
#include <cstring>

#include "ds_banner.h"

int WalkAddU64(uint64_t a, uint64_t b, uint64_t* sum)
{
    if (b > UINT64_MAX - a) {
        return 0;
    }
    *sum = a + b;
    return 1;
}

static int errno_or(int error)
{
    return error != 0 ? error : EIO;
}

int BeginWalkOn(WalkInput* input, ByteLayer* source)
{
    input->source = source;
    input->file = source;
    input->layer_count = 0;
    input->smdh_item = nullptr;
    input->smdh_item_size = 0;
    input->identity = nullptr;
    input->members_only = 0;
    input->bundle = nullptr;
    input->kept_smdh = nullptr;
    input->kept_size = 0;
    input->keys = nullptr;
    LayerStatus status = LayerRead(source, 0, input->head, WALK_HEAD_SIZE, &input->head_size);
    input->position = input->head_size;
    return status == LAYER_OK || status == LAYER_SHORT ? 0 : errno_or(source->error);
}

int BeginWalk(WalkInput* input, FILE* stream, int seekable)
{
    StreamLayerOpen(&input->stream_layer, &input->stream_state, stream, seekable);
    return BeginWalkOn(input, &input->stream_layer);
}

WalkStatus WalkKeyLookup(KeyLookup lookup, int missing, SmdhLocation* location)
{
    location->encrypted = 1;
    switch (lookup) {
    case KEY_FOUND:
        return WALK_FOUND;
    case KEY_NO_FILE:
        return WALK_ENCRYPTED;
    case KEY_FILE_BAD:
        return WALK_KEY_FILE_BAD;
    case KEY_ABSENT:
        break;
    }
    location->missing_key = missing;
    return WALK_KEY_MISSING;
}

WalkStatus WalkDecrypt(WalkInput* input, SmdhLocation* location, CipherMode mode, uint64_t start, uint64_t length,
                       const uint8_t* key, const uint8_t* iv)
{
    ByteLayer* layer = WalkPushLayer(input);
    LayerStatus opened = CipherLayerOpen(layer, input->file, mode, start, length, key, iv);
    input->file = layer;
    location->decrypted = 1;
    if (opened != LAYER_OK) {
        return WalkLayerFailure(layer, location);
    }
    // A head shorter than asked for is the whole file walked: nothing past it
    // is read again (a pipe's bytes are gone).
    if (input->head_size < WALK_HEAD_SIZE) {
        CipherLayerEndsAt(layer, input->head_size);
    }
    input->head_size = CipherLayerDecryptCopy(layer, 0, input->head, input->head_size);
    // The head ends where the region does, as the layer does.
    uint64_t region_end = UINT64_MAX;
    if (WalkAddU64(start, length, &region_end) && region_end < input->head_size) {
        input->head_size = static_cast<size_t>(region_end);
    }
    return WALK_FOUND;
}

size_t WalkDecryptCopy(WalkInput* input, uint64_t offset, uint8_t* bytes, size_t size)
{
    return CipherLayerDecryptCopy(input->file, offset, bytes, size);
}

ByteLayer* WalkPushLayer(WalkInput* input)
{
    return &input->layers[input->layer_count++];
}

void WalkLeaveLayers(WalkInput* input, size_t count)
{
    while (input->layer_count > count) {
        LayerClose(&input->layers[--input->layer_count]);
    }
    input->file = count == 0 ? input->source : &input->layers[count - 1];
}

ReadResult WalkRead(WalkInput* input, uint64_t offset, uint8_t* out, size_t size, size_t* got)
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

WalkStatus WalkDamaged(SmdhLocation* location, const char* why)
{
    location->damage = why;
    return WALK_DAMAGED;
}

WalkStatus WalkLayerFailure(const ByteLayer* layer, SmdhLocation* location)
{
    if (layer->broken == LAYER_DAMAGED) {
        return WalkDamaged(location, layer->damage);
    }
    location->error = errno_or(layer->error);
    return WALK_UNREADABLE;
}

WalkStatus WalkReadHeader(WalkInput* input, SmdhLocation* location, uint64_t offset, uint8_t* out, size_t size,
                          const char* cut_short)
{
    size_t got = 0;
    switch (WalkRead(input, offset, out, size, &got)) {
    case READ_WHOLE:
        return WALK_FOUND;
    case READ_SHORT:
        return WalkDamaged(location, cut_short);
    case READ_BEHIND:
        return WalkDamaged(location, "an offset points back into its headers");
    case READ_DAMAGED:
    case READ_FAILED:
        break;
    }
    return WalkLayerFailure(input->file, location);
}

int WalkInputFailed(const WalkInput* input, WalkStatus status)
{
    return status == WALK_UNREADABLE || input->file->broken != LAYER_OK;
}

WalkStatus WalkReadHead(WalkInput* input, SmdhLocation* location)
{
    LayerStatus status = LayerRead(input->file, 0, input->head, WALK_HEAD_SIZE, &input->head_size);
    input->position = input->head_size;
    return status == LAYER_OK || status == LAYER_SHORT ? WALK_FOUND : WalkLayerFailure(input->file, location);
}

// Reads the SMDH from where the walk found it (see ReadSmdh), without the
// judgement of an NCCH marked encrypted.
static WalkStatus read_found_smdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size)
{
    uint64_t declared = location->end - location->offset;
    size_t most = location->banner ? DS_BANNER_MAX_SIZE : SMDH_SIZE;
    size_t want = declared < most ? static_cast<size_t>(declared) : most;
    *size = 0;
    if (input->kept_smdh != nullptr) {
        *size = input->kept_size;
        memcpy(bytes, input->kept_smdh, *size);  // read and checked when the bundle was walked
        return WALK_FOUND;
    }
    if (location->in_item) {
        *size = want;
        memcpy(bytes, input->smdh_item, want);  // begins with SMDH: the reader checked
        return WALK_FOUND;
    }
    switch (WalkRead(input, location->offset, bytes, want, size)) {
    case READ_WHOLE:
    case READ_SHORT:
        break;
    case READ_BEHIND:
        // Only a banner can: an SMDH lies past the header that names it (an
        // ExeFS's, or in a CIA's meta section past every byte read before).
        return WalkDamaged(location, "its banner offset points back into its headers");
    case READ_DAMAGED:
    case READ_FAILED:
        return WalkLayerFailure(input->file, location);
    }
    if (location->banner) {
        const char* damage = DsBannerDamage(bytes, *size);
        return damage == nullptr ? WALK_FOUND : WalkDamaged(location, damage);
    }
    if (*size == 0 && want != 0) {
        return WalkDamaged(location, "its SMDH offset lies past its end");
    }
    if (*size < 4 || memcmp(bytes, "SMDH", 4) != 0) {
        return WalkDamaged(location, "its SMDH does not begin with SMDH");
    }
    return WALK_FOUND;
}

WalkStatus ReadSmdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size)
{
    WalkStatus status = read_found_smdh(input, location, bytes, size);
    if (location->decrypted && status == WALK_DAMAGED && !WalkInputFailed(input, status)) {
        location->damage = nullptr;
        return WALK_KEYS_WRONG;  // what the keys decrypted is no icon
    }
    if (location->encrypted_unless_smdh && status != WALK_FOUND && !WalkInputFailed(input, status)) {
        location->damage = nullptr;
        return WALK_ENCRYPTED;
    }
    return status;
}
