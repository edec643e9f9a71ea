#include "byte_layer.h"

#include <cerrno>

LayerStatus LayerRead(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    *got = 0;
    if (layer->broken != LAYER_OK) {
        return layer->broken;
    }
    if (size == 0) {
        return LAYER_OK;
    }
    return layer->read(layer, offset, out, size, got);
}

LayerStatus LayerLength(ByteLayer* layer, uint64_t* size)
{
    return layer->broken != LAYER_OK ? layer->broken : layer->length(layer, size);
}

LayerStatus LayerDamaged(ByteLayer* layer, const char* why)
{
    layer->damage = why;
    layer->broken = LAYER_DAMAGED;
    return LAYER_DAMAGED;
}

LayerStatus LayerFailed(ByteLayer* layer, int error)
{
    layer->error = error != 0 ? error : EIO;
    layer->broken = LAYER_FAILED;
    return LAYER_FAILED;
}

LayerStatus LayerBrokenBelow(ByteLayer* layer, const ByteLayer* below)
{
    layer->damage = below->damage;
    layer->error = below->error;
    layer->broken = below->broken;
    return layer->broken;
}

void LayerClose(ByteLayer* layer)
{
    if (layer->close != nullptr) {
        layer->close(layer);
    }
}
