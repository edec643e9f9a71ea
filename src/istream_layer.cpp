#include "istream_layer.h"

#include <cerrno>

// Reads up to `size` bytes into `out`, on until they are there or the
// stream ends. Returns 0 and the count, or -1 when a read fails.
static int read_on(IStream* stream, uint8_t* out, size_t size, size_t* got)
{
    *got = 0;
    while (*got < size) {
        size_t left = size - *got;
        ULONG want = left < 0x40000000 ? static_cast<ULONG>(left) : 0x40000000;
        ULONG read = 0;
        HRESULT result = stream->Read(out + *got, want, &read);
        if (FAILED(result)) {
            return -1;
        }
        if (read == 0) {
            break;  // the stream's end
        }
        *got += read;
    }
    return 0;
}

// Brings the stream to `offset`: a seek, or the bytes up to it read and dropped.
static LayerStatus move_to(ByteLayer* layer, IStreamLayerState* state, uint64_t offset)
{
    if (layer->seekable) {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        ULARGE_INTEGER reached;
        reached.QuadPart = 0;
        if (offset > INT64_MAX || FAILED(state->stream->Seek(to, STREAM_SEEK_SET, &reached))) {
            return LAYER_SHORT;
        }
        // A stream that says it went elsewhere (Wine's file streams stop at
        // 4 GiB) would give other bytes: a failed read, never a wrong icon.
        if (reached.QuadPart != offset) {
            return LayerFailed(layer, EIO);
        }
        state->position = offset;
        return LAYER_OK;
    }
    if (offset < state->position) {
        return LayerFailed(layer, ESPIPE);
    }
    uint8_t chunk[0x4000];
    while (state->position < offset) {
        uint64_t left = offset - state->position;
        size_t got = 0;
        if (read_on(state->stream, chunk, left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk, &got) != 0) {
            return LayerFailed(layer, EIO);
        }
        if (got == 0) {
            return LAYER_SHORT;
        }
        state->position += got;
    }
    return LAYER_OK;
}

static LayerStatus read_stream(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    IStreamLayerState* state = static_cast<IStreamLayerState*>(layer->state);
    if (offset != state->position) {
        LayerStatus moved = move_to(layer, state, offset);
        if (moved != LAYER_OK) {
            return moved;
        }
    }
    if (read_on(state->stream, out, size, got) != 0) {
        return LayerFailed(layer, EIO);
    }
    state->position += *got;
    return *got == size ? LAYER_OK : LAYER_SHORT;
}

static LayerStatus stream_length(ByteLayer* layer, uint64_t* size)
{
    IStreamLayerState* state = static_cast<IStreamLayerState*>(layer->state);
    STATSTG status;
    if (!layer->seekable || FAILED(state->stream->Stat(&status, STATFLAG_NONAME))) {
        return LayerFailed(layer, layer->seekable ? EIO : ESPIPE);
    }
    *size = status.cbSize.QuadPart;
    return LAYER_OK;
}

void IStreamLayerOpen(ByteLayer* layer, IStreamLayerState* state, IStream* stream)
{
    LARGE_INTEGER start;
    start.QuadPart = 0;
    int seekable = SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr));
    *state = IStreamLayerState{stream, 0};
    *layer = ByteLayer{read_stream, stream_length, nullptr, state, seekable, LAYER_OK, nullptr, 0};
}
