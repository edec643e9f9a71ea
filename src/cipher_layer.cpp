#include "cipher_layer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crypto.h"

// Blocks decrypted in one step of a read.
const size_t BLOCKS_PER_STEP = 256;

struct CipherState {
    ByteLayer* below;
    CipherMode mode;
    uint64_t start;
    uint64_t length;
    uint8_t key[AES_BLOCK];
    uint8_t iv[AES_BLOCK];
    // The last two encrypted blocks read, by their index in the region.
    uint64_t kept_index[2];
    uint8_t kept[2][AES_BLOCK];
    int kept_count;
    uint64_t known_end;  // where the layer below was found to end, in the region; else UINT64_MAX
};

// Copies encrypted block `index` from those kept; 0 when it is not kept.
static int kept_block(const CipherState* state, uint64_t index, uint8_t* out)
{
    for (int i = 0; i < state->kept_count; i++) {
        if (state->kept_index[i] == index) {
            memcpy(out, state->kept[i], AES_BLOCK);
            return 1;
        }
    }
    return 0;
}

// Keeps encrypted block `index` when it lies past those kept: reads go
// forward, so the last two blocks of the region read are the ones a later
// read may need again (CBC decrypts a block with the one before it).
static void keep_block(CipherState* state, uint64_t index, const uint8_t* block)
{
    for (int i = 0; i < state->kept_count; i++) {
        if (state->kept_index[i] >= index) {
            return;
        }
    }
    if (state->kept_count == 2) {
        state->kept_index[0] = state->kept_index[1];
        memcpy(state->kept[0], state->kept[1], AES_BLOCK);
        state->kept_count = 1;
    }
    state->kept_index[state->kept_count] = index;
    memcpy(state->kept[state->kept_count++], block, AES_BLOCK);
}

// Reads the encrypted blocks from `first` on, `count` of them at most, into
// `out`: those kept first, the rest from below. Stores the bytes had in
// `got` (a last block may be partial where the layer below ends).
static LayerStatus fetch(ByteLayer* layer, CipherState* state, uint64_t first, size_t count, uint8_t* out, size_t* got)
{
    size_t blocks = 0;
    while (blocks < count && kept_block(state, first + blocks, out + blocks * AES_BLOCK)) {
        blocks++;
    }
    *got = blocks * AES_BLOCK;
    if (blocks == count) {
        return LAYER_OK;
    }
    uint64_t at = (first + blocks) * AES_BLOCK;
    // Where the layer below ended before, nothing more is read.
    uint64_t end = state->length < state->known_end ? state->length : state->known_end;
    if (at >= end) {
        return LAYER_OK;
    }
    uint64_t left = end - at;
    size_t want = (count - blocks) * AES_BLOCK;
    size_t read = 0;
    LayerStatus status = LayerRead(state->below, state->start + at, out + *got, left < want ? left : want, &read);
    if (status == LAYER_DAMAGED || status == LAYER_FAILED) {
        return LayerBrokenBelow(layer, state->below);
    }
    if (status == LAYER_SHORT) {
        // The whole blocks before it: a part of a block past them cannot be
        // read again on a pipe, so it is read on neither.
        state->known_end = (at + read) / AES_BLOCK * AES_BLOCK;
    }
    *got += read;
    return LAYER_OK;
}

// Decrypts the region's bytes from `offset` (within it), `size` of them at
// most and not past BLOCKS_PER_STEP blocks, into `out`; stores the count.
static LayerStatus decrypt_step(ByteLayer* layer, CipherState* state, uint64_t offset, uint8_t* out, size_t size,
                                size_t* got)
{
    *got = 0;
    uint64_t first = offset / AES_BLOCK;
    size_t skip = static_cast<size_t>(offset % AES_BLOCK);
    size_t blocks = (skip + size + AES_BLOCK - 1) / AES_BLOCK;
    blocks = blocks < BLOCKS_PER_STEP ? blocks : BLOCKS_PER_STEP;
    // CBC decrypts a block with the encrypted one before it: one more first.
    size_t before = state->mode == CIPHER_CBC && first > 0 ? 1 : 0;
    uint8_t buffer[(BLOCKS_PER_STEP + 1) * AES_BLOCK];
    size_t had = 0;
    LayerStatus status = fetch(layer, state, first - before, blocks + before, buffer, &had);
    if (status != LAYER_OK) {
        return status;
    }
    size_t whole = had / AES_BLOCK;
    for (size_t i = whole > 2 ? whole - 2 : 0; i < whole; i++) {
        keep_block(state, first - before + i, buffer + i * AES_BLOCK);
    }
    if (had <= before * AES_BLOCK) {
        return LAYER_OK;
    }
    uint8_t* blocks_had = buffer + before * AES_BLOCK;
    size_t bytes = had - before * AES_BLOCK;
    if (state->mode == CIPHER_CTR) {
        uint8_t counter[AES_BLOCK];
        memcpy(counter, state->iv, AES_BLOCK);
        CounterAdd(counter, first);
        AesCtrDecrypt(state->key, counter, blocks_had, bytes);
    } else {
        bytes -= bytes % AES_BLOCK;  // a partial block cannot be decrypted
        AesCbcDecrypt(state->key, before ? buffer : state->iv, blocks_had, bytes);
    }
    if (bytes > skip) {
        *got = bytes - skip < size ? bytes - skip : size;
        memcpy(out, blocks_had + skip, *got);
    }
    memset(buffer, 0, sizeof buffer);
    return LAYER_OK;
}

static LayerStatus read_region(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    CipherState* state = static_cast<CipherState*>(layer->state);
    while (*got < size) {
        uint64_t at = offset + *got;
        size_t step = 0;
        LayerStatus status = LAYER_OK;
        if (at >= state->start && at - state->start >= state->length) {
            // Past the region the layer ends: bytes there were never
            // decrypted, and are never handed up as if they were plain.
            return LAYER_SHORT;
        }
        if (at < state->start) {
            // Before the region, the bytes as they are, up to its start.
            size_t want = size - *got;
            if (state->start - at < want) {
                want = static_cast<size_t>(state->start - at);
            }
            status = LayerRead(state->below, at, out + *got, want, &step);
            if (status == LAYER_DAMAGED || status == LAYER_FAILED) {
                return LayerBrokenBelow(layer, state->below);
            }
            *got += step;
            if (step < want) {
                return LAYER_SHORT;
            }
            continue;
        }
        uint64_t in_region = at - state->start;
        uint64_t left = state->length - in_region;
        size_t want = size - *got < left ? size - *got : static_cast<size_t>(left);
        status = decrypt_step(layer, state, in_region, out + *got, want, &step);
        if (status != LAYER_OK) {
            return status;
        }
        *got += step;
        if (step == 0) {
            return LAYER_SHORT;
        }
    }
    return LAYER_OK;
}

static LayerStatus region_length(ByteLayer* layer, uint64_t* size)
{
    CipherState* state = static_cast<CipherState*>(layer->state);
    if (LayerLength(state->below, size) != LAYER_OK) {
        return LayerBrokenBelow(layer, state->below);
    }
    uint64_t region_end = state->start + state->length;  // below 2^64: the length is cut to fit
    *size = *size < region_end ? *size : region_end;
    return LAYER_OK;
}

static void close_region(ByteLayer* layer)
{
    CipherState* state = static_cast<CipherState*>(layer->state);
    if (state != nullptr) {
        memset(state, 0, sizeof *state);  // the key goes with it
        free(state);
    }
    layer->state = nullptr;
}

LayerStatus CipherLayerOpen(ByteLayer* layer, ByteLayer* below, CipherMode mode, uint64_t start, uint64_t length,
                            const uint8_t* key, const uint8_t* iv)
{
    *layer = ByteLayer{read_region, region_length, close_region, nullptr, below->seekable, LAYER_OK, nullptr, 0};
    CipherState* state = static_cast<CipherState*>(calloc(1, sizeof(CipherState)));
    if (state == nullptr) {
        return LayerFailed(layer, ENOMEM);
    }
    layer->state = state;
    state->below = below;
    state->mode = mode;
    state->start = start;
    state->length = length < UINT64_MAX - start ? length : UINT64_MAX - start;
    state->known_end = UINT64_MAX;
    memcpy(state->key, key, AES_BLOCK);
    memcpy(state->iv, iv, AES_BLOCK);
    return LAYER_OK;
}

size_t CipherLayerDecryptCopy(ByteLayer* layer, uint64_t offset, uint8_t* bytes, size_t size)
{
    CipherState* state = static_cast<CipherState*>(layer->state);
    if (state == nullptr) {
        return size;
    }
    uint64_t end = offset + size;
    uint64_t region_end = state->start + state->length;
    if (end <= state->start || offset >= region_end) {
        return size;
    }
    uint64_t from = offset > state->start ? offset : state->start;
    uint64_t to = end < region_end ? end : region_end;
    uint64_t block = (from - state->start) / AES_BLOCK;
    // CBC: the encrypted block before the first, or the IV.
    uint8_t chain[AES_BLOCK];
    memcpy(chain, state->iv, AES_BLOCK);
    if (state->mode == CIPHER_CBC && block > 0) {
        uint64_t previous = state->start + (block - 1) * AES_BLOCK;
        if (previous < offset || from != state->start + block * AES_BLOCK) {
            return static_cast<size_t>(from - offset);
        }
        memcpy(chain, bytes + (previous - offset), AES_BLOCK);
    }
    // Block by block, each at its place in the region: in CTR mode a block
    // cut by the copy's ends is decrypted in a whole block's room.
    for (; state->start + block * AES_BLOCK < to; block++) {
        uint64_t block_start = state->start + block * AES_BLOCK;
        uint64_t first = block_start > from ? block_start : from;
        uint64_t last = block_start + AES_BLOCK < to ? block_start + AES_BLOCK : to;
        uint8_t room[AES_BLOCK] = {0};
        memcpy(room + (first - block_start), bytes + (first - offset), static_cast<size_t>(last - first));
        if (last - first == AES_BLOCK) {
            keep_block(state, block, room);  // a pipe's bytes cannot be read again
        }
        if (state->mode == CIPHER_CTR) {
            uint8_t counter[AES_BLOCK];
            memcpy(counter, state->iv, AES_BLOCK);
            CounterAdd(counter, block);
            AesCtrDecrypt(state->key, counter, room, AES_BLOCK);
        } else if (last - first < AES_BLOCK) {
            return static_cast<size_t>(first - offset);  // a part of a block: CBC cannot
        } else {
            uint8_t encrypted[AES_BLOCK];
            memcpy(encrypted, room, AES_BLOCK);
            AesCbcDecrypt(state->key, chain, room, AES_BLOCK);
            memcpy(chain, encrypted, AES_BLOCK);
        }
        memcpy(bytes + (first - offset), room + (first - block_start), static_cast<size_t>(last - first));
    }
    return size;
}

void CipherLayerEndsAt(ByteLayer* layer, uint64_t end)
{
    CipherState* state = static_cast<CipherState*>(layer->state);
    if (state != nullptr) {
        uint64_t in_region = end > state->start ? end - state->start : 0;
        state->known_end = in_region / AES_BLOCK * AES_BLOCK;
    }
}
