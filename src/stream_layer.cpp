#include "stream_layer.h"

#include <cerrno>

#include "platform.h"
#include "utils.h"

// Brings the stream to `offset`: a seek, or on a pipe the bytes up to it
// read and dropped.
static LayerStatus move_to(ByteLayer* layer, StreamLayerState* state, uint64_t offset)
{
    if (layer->seekable) {
        if (fseek_64(state->stream, offset, SEEK_SET) != 0) {
            return LAYER_SHORT;  // beyond any position the system can seek to
        }
        state->position = offset;
        return LAYER_OK;
    }
    if (offset < state->position) {
        return LayerFailed(layer, ESPIPE);  // reads of a pipe go forward, always
    }
    int skipped = skip_stream_bytes(state->stream, offset - state->position, &state->position);
    return skipped == 0 ? LAYER_OK : skipped > 0 ? LAYER_SHORT : LayerFailed(layer, errno);
}

static LayerStatus read_stream(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    StreamLayerState* state = static_cast<StreamLayerState*>(layer->state);
    errno = 0;
    if (offset != state->position) {
        LayerStatus moved = move_to(layer, state, offset);
        if (moved != LAYER_OK) {
            return moved;
        }
    }
    *got = fread(out, 1, size, state->stream);
    state->position += *got;
    if (ferror(state->stream)) {
        return LayerFailed(layer, errno);
    }
    return *got == size ? LAYER_OK : LAYER_SHORT;
}

static LayerStatus stream_length(ByteLayer* layer, uint64_t* size)
{
    StreamLayerState* state = static_cast<StreamLayerState*>(layer->state);
    if (!layer->seekable) {
        return LayerFailed(layer, ESPIPE);
    }
    errno = 0;
    int64_t end = platform_stream_end(state->stream);
    if (end < 0) {
        return LayerFailed(layer, errno);
    }
    state->position = static_cast<uint64_t>(end);
    *size = state->position;
    return LAYER_OK;
}

void StreamLayerOpen(ByteLayer* layer, StreamLayerState* state, FILE* stream, int seekable)
{
    state->stream = stream;
    state->position = 0;
    *layer = ByteLayer{read_stream, stream_length, nullptr, state, seekable, LAYER_OK, nullptr, 0};
}
