#include "z3ds.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <zstd.h>
#include <zstd_errors.h>

#include "seek_table.h"
#include "utils.h"

const uint8_t LITTLE = 1;

// Header fields.
const size_t VERSION_AT = 0x08;
const size_t HEADER_SIZE_AT = 0x0A;
const size_t METADATA_SIZE_AT = 0x0C;
const size_t COMPRESSED_SIZE_AT = 0x10;
const size_t UNCOMPRESSED_SIZE_AT = 0x18;
const uint8_t VERSION = 1;

// Metadata: a version byte, then items, each a type (u8), a name length
// (u8), a data length (u16), the name and the data.
const uint8_t METADATA_VERSION = 1;
const uint8_t ITEM_END = 0;
const uint8_t ITEM_BINARY = 1;
const size_t ITEM_HEADER_SIZE = 4;
const size_t ITEM_NAME_MAX = 0xFF;
static const char SMDH_ITEM_NAME[] = "smdh";

// The largest window a frame may need: 8 MiB (the emulator's need 2 MiB),
// which bounds the decoder's memory whatever a frame states.
const int WINDOW_LOG_MAX = 23;

// The state of a Z3DS layer: where its decompression stands. The fields are
// the module's own.
struct Z3dsReader {
    ByteLayer* layer;  // the layer this reader serves, where its damage or failure is kept
    ByteLayer* below;  // the layer that holds the Z3DS file
    int seekable;
    uint8_t prefix[Z3DS_PREFIX_SIZE];  // the file's first bytes, read before
    size_t prefix_size;
    uint64_t data_start;  // the first byte after the metadata
    uint64_t data_end;    // the end of the frames and the seek table
    uint64_t inner_size;  // the header's uncompressed size
    SeekTable table;      // files that can seek: checked whole when the layer opens
    // Decompression: the inner bytes from `inner_position` come next; the
    // compressed input runs to `input_end` (the frame's end, or for a pipe
    // the data's end).
    ZSTD_DCtx* context;
    uint8_t* input;
    size_t input_capacity;
    size_t input_size;
    size_t input_used;
    uint64_t input_next;  // the file offset of the next compressed byte to load
    uint64_t input_end;
    int decoding;             // a frame (seekable) or the stream (pipe) is under way
    uint64_t frame_end;       // seekable: where the current frame's inner bytes end
    uint64_t inner_position;  // the next inner byte the decoder gives
    int frame_open;           // the decoder is inside a zstd frame
    int frame_done;           // the decoder has finished a frame (a pipe goes on to the next)
    uint8_t* scratch;         // where bytes ahead of a read are discarded
    size_t scratch_capacity;
    // The metadata's `smdh` item, when it has one.
    int has_smdh_item;
    uint8_t smdh_item[Z3DS_SMDH_ITEM_SIZE];
    size_t smdh_item_size;  // its first Z3DS_SMDH_ITEM_SIZE bytes at most
};

static LayerStatus damaged(Z3dsReader* reader, const char* why)
{
    return LayerDamaged(reader->layer, why);
}

static LayerStatus failed(Z3dsReader* reader, int error)
{
    return LayerFailed(reader->layer, error);
}

static size_t smaller(uint64_t a, size_t b)
{
    return a < b ? static_cast<size_t>(a) : b;
}

// Reads `size` bytes of the file at `offset` into `out`: those within the
// prefix from it, the rest from the layer below. Stores the count in `got`;
// returns LAYER_OK, LAYER_SHORT when the file ends first, or the failure
// below, which becomes this layer's.
static LayerStatus read_file(Z3dsReader* reader, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    *got = 0;
    if (offset < reader->prefix_size) {
        *got = smaller(reader->prefix_size - offset, size);
        memcpy(out, reader->prefix + offset, *got);
        offset += *got;
    }
    if (*got == size) {
        return LAYER_OK;
    }
    size_t read = 0;
    LayerStatus status = LayerRead(reader->below, offset, out + *got, size - *got, &read);
    *got += read;
    if (status == LAYER_DAMAGED || status == LAYER_FAILED) {
        return LayerBrokenBelow(reader->layer, reader->below);
    }
    return status;
}

// Reads a structure that must be whole: a file that ends first is the damage `cut_short` names.
static LayerStatus read_whole(Z3dsReader* reader, uint64_t offset, uint8_t* out, size_t size, const char* cut_short)
{
    size_t got = 0;
    LayerStatus status = read_file(reader, offset, out, size, &got);
    return status == LAYER_SHORT ? damaged(reader, cut_short) : status;
}

static LayerStatus allocate(Z3dsReader* reader)
{
    reader->context = ZSTD_createDCtx();
    reader->input_capacity = ZSTD_DStreamInSize();
    reader->input = static_cast<uint8_t*>(malloc(reader->input_capacity));
    reader->scratch_capacity = ZSTD_DStreamOutSize();
    reader->scratch = static_cast<uint8_t*>(malloc(reader->scratch_capacity));
    if (reader->context == nullptr || reader->input == nullptr || reader->scratch == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(reader->context, ZSTD_d_windowLogMax, WINDOW_LOG_MAX))) {
        return failed(reader, ENOMEM);
    }
    return LAYER_OK;
}

// Keeps the `smdh` item whose `size` bytes of data start at `offset`.
static LayerStatus keep_smdh_item(Z3dsReader* reader, uint64_t offset, uint64_t size)
{
    size_t kept = smaller(size, Z3DS_SMDH_ITEM_SIZE);
    const char* cut_short = "its metadata lies past its end";
    LayerStatus status = read_whole(reader, offset, reader->smdh_item, kept, cut_short);
    if (status != LAYER_OK) {
        return status;
    }
    if (kept < 4 || memcmp(reader->smdh_item, "SMDH", 4) != 0) {
        return damaged(reader, "its smdh item does not begin with SMDH");
    }
    reader->has_smdh_item = 1;
    reader->smdh_item_size = kept;
    return LAYER_OK;
}

// Reads the metadata of `size` bytes at `start`, looking for the `smdh`
// item. Items run until an end item or the metadata's end.
static LayerStatus read_metadata(Z3dsReader* reader, uint64_t start, uint64_t size)
{
    const char* cut_short = "its metadata lies past its end";
    uint8_t version = 0;
    LayerStatus status = size == 0 ? LAYER_OK : read_whole(reader, start, &version, 1, cut_short);
    if (status != LAYER_OK || version != METADATA_VERSION) {
        return status;  // none, or a version of its own: ignored
    }
    const uint64_t end = start + size;
    uint64_t item = start + 1;
    while (item < end) {
        uint8_t header[ITEM_HEADER_SIZE];
        size_t header_size = smaller(end - item, ITEM_HEADER_SIZE);
        status = read_whole(reader, item, header, header_size, cut_short);
        if (status != LAYER_OK || header[0] == ITEM_END) {
            return status;
        }
        uint64_t name_size = header[1];
        uint64_t data_size = u8_to_u16(header + 2, LITTLE);
        // All below 2^34: nothing overflows.
        uint64_t data = item + ITEM_HEADER_SIZE + name_size;
        if (header_size < ITEM_HEADER_SIZE || data + data_size > end) {
            return damaged(reader, "a metadata item runs past the metadata's end");
        }
        uint8_t name[ITEM_NAME_MAX];
        status = read_whole(reader, item + ITEM_HEADER_SIZE, name, static_cast<size_t>(name_size), cut_short);
        if (status != LAYER_OK) {
            return status;
        }
        int is_smdh = header[0] == ITEM_BINARY && name_size == strlen(SMDH_ITEM_NAME) &&
                      memcmp(name, SMDH_ITEM_NAME, strlen(SMDH_ITEM_NAME)) == 0;
        if (is_smdh && !reader->has_smdh_item) {
            status = keep_smdh_item(reader, data, data_size);
            if (status != LAYER_OK) {
                return status;
            }
        }
        item = data + data_size;
    }
    return LAYER_OK;
}

// Checks the header in the prefix, reads the metadata and, on a file that
// can seek, checks the whole seek table.
static LayerStatus open_reader(Z3dsReader* reader)
{
    const uint8_t* prefix = reader->prefix;
    if (reader->prefix_size < Z3DS_HEADER_SIZE) {
        return damaged(reader, "its Z3DS header is cut short");
    }
    if (prefix[VERSION_AT] != VERSION) {
        return damaged(reader, "its Z3DS version is not 1");
    }
    uint64_t header_size = u8_to_u16(prefix + HEADER_SIZE_AT, LITTLE);
    if (header_size < Z3DS_HEADER_SIZE) {
        return damaged(reader, "its Z3DS header size is below 0x20");
    }
    uint64_t metadata_size = u8_to_u32(prefix + METADATA_SIZE_AT, LITTLE);
    uint64_t compressed = u8_to_u64(prefix + COMPRESSED_SIZE_AT, LITTLE);
    reader->inner_size = u8_to_u64(prefix + UNCOMPRESSED_SIZE_AT, LITTLE);
    reader->data_start = header_size + metadata_size;  // below 2^33
    if (compressed > UINT64_MAX - reader->data_start) {
        return damaged(reader, "its Z3DS sizes overflow");
    }
    reader->data_end = reader->data_start + compressed;
    LayerStatus status = allocate(reader);
    if (status != LAYER_OK) {
        return status;
    }
    if (reader->seekable) {
        uint64_t end = 0;
        if (LayerLength(reader->below, &end) != LAYER_OK) {
            return LayerBrokenBelow(reader->layer, reader->below);
        }
        if (reader->data_end != end) {
            return damaged(reader, "its Z3DS sizes disagree with its length");
        }
    }
    status = read_metadata(reader, header_size, metadata_size);
    if (status == LAYER_OK && reader->seekable) {
        status = SeekTableRead(&reader->table, reader->layer, reader->below, reader->data_start, reader->data_end,
                               reader->inner_size);
    }
    return status;
}

// Sets the decoder at the start of the frame that holds inner byte
// `offset` (below the inner size).
static LayerStatus start_frame(Z3dsReader* reader, uint64_t offset)
{
    SeekFrame frame;
    LayerStatus status = SeekTableFind(&reader->table, reader->layer, reader->below, offset, &frame);
    if (status != LAYER_OK) {
        return status;
    }
    ZSTD_DCtx_reset(reader->context, ZSTD_reset_session_only);
    reader->input_size = reader->input_used = 0;
    reader->input_next = frame.compressed;
    reader->input_end = frame.compressed + frame.compressed_size;
    reader->inner_position = frame.uncompressed;
    reader->frame_end = frame.uncompressed + frame.uncompressed_size;
    reader->frame_open = 0;
    reader->frame_done = 0;
    reader->decoding = 1;
    return LAYER_OK;
}

// Sets the decoder at the start of a pipe's frames, one zstd stream.
static void start_stream(Z3dsReader* reader)
{
    reader->input_next = reader->data_start;
    reader->input_end = reader->data_end;
    reader->inner_position = 0;
    reader->frame_end = reader->inner_size;
    reader->decoding = 1;
}

// Loads the next compressed bytes, up to the input's end.
static LayerStatus load_input(Z3dsReader* reader)
{
    size_t want = smaller(reader->input_end - reader->input_next, reader->input_capacity);
    size_t got = 0;
    LayerStatus status = read_file(reader, reader->input_next, reader->input, want, &got);
    reader->input_size = got;
    reader->input_used = 0;
    reader->input_next += got;
    if (status == LAYER_SHORT) {
        reader->input_end = reader->input_next;  // a pipe that ends early
        status = LAYER_OK;
    }
    return status;
}

// Decodes at least one and at most `capacity` (not 0) inner bytes into
// `out`, storing the count in `produced`. Returns LAYER_OK, LAYER_SHORT when a
// pipe's stream ends between frames, or the damage.
static LayerStatus decode(Z3dsReader* reader, uint8_t* out, size_t capacity, size_t* produced)
{
    ZSTD_outBuffer output = {out, capacity, 0};
    while (output.pos == 0) {
        // A frame of the table that ends before the size the table gives it.
        if (reader->seekable && reader->frame_done) {
            return damaged(reader, "a frame ends before its size");
        }
        if (reader->input_used == reader->input_size && reader->input_next != reader->input_end) {
            LayerStatus status = load_input(reader);
            if (status != LAYER_OK) {
                return status;
            }
            continue;
        }
        // With no input left, a frame under way may still have bytes to flush.
        int exhausted = reader->input_used == reader->input_size;
        if (exhausted && !reader->frame_open) {
            return reader->seekable ? damaged(reader, "a frame ends before its size") : LAYER_SHORT;
        }
        ZSTD_inBuffer input = {reader->input, reader->input_size, reader->input_used};
        size_t result = ZSTD_decompressStream(reader->context, &output, &input);
        reader->input_used = input.pos;
        if (ZSTD_isError(result)) {
            return damaged(reader, ZSTD_getErrorCode(result) == ZSTD_error_frameParameter_windowTooLarge
                                       ? "a frame needs a window beyond 8 MiB"
                                       : "a frame fails to decompress");
        }
        reader->frame_open = result != 0;
        reader->frame_done = result == 0;
        if (exhausted && output.pos == 0 && reader->frame_open) {
            return damaged(reader, "a frame is cut short");
        }
    }
    *produced = output.pos;
    reader->inner_position += output.pos;
    return LAYER_OK;
}

// Reads inner bytes: forward on a pipe; on a file that can seek, at any
// offset, at the cost of restarting a frame.
static LayerStatus read_inner(ByteLayer* layer, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    Z3dsReader* reader = static_cast<Z3dsReader*>(layer->state);
    while (layer->broken == LAYER_OK && *got < size) {
        uint64_t at = offset + *got;
        if (at >= reader->inner_size) {
            return LAYER_SHORT;
        }
        if (!reader->decoding || at < reader->inner_position || (reader->seekable && at >= reader->frame_end)) {
            if (!reader->seekable && reader->decoding) {
                return failed(reader, ESPIPE);  // reads of a pipe go forward, always
            }
            if (reader->seekable) {
                LayerStatus status = start_frame(reader, at);
                if (status != LAYER_OK) {
                    return status;
                }
            } else {
                start_stream(reader);
            }
        }
        // Bytes ahead of `at` are decoded and dropped; then into `out`.
        uint64_t left = reader->frame_end - reader->inner_position;
        int skipping = reader->inner_position < at;
        uint8_t* into = skipping ? reader->scratch : out + *got;
        size_t capacity = skipping ? smaller(at - reader->inner_position, reader->scratch_capacity) : size - *got;
        size_t produced = 0;
        LayerStatus status = decode(reader, into, smaller(left, capacity), &produced);
        if (status != LAYER_OK) {
            return status;
        }
        if (!skipping) {
            *got += produced;
        }
    }
    return layer->broken;
}

static LayerStatus inner_length(ByteLayer* layer, uint64_t* size)
{
    *size = static_cast<Z3dsReader*>(layer->state)->inner_size;
    return LAYER_OK;
}

static void close_reader(ByteLayer* layer)
{
    Z3dsReader* reader = static_cast<Z3dsReader*>(layer->state);
    if (reader != nullptr) {
        ZSTD_freeDCtx(reader->context);
        free(reader->input);
        free(reader->scratch);
        SeekTableFree(&reader->table);
        free(reader);
    }
    layer->state = nullptr;
}

LayerStatus Z3dsLayerOpen(ByteLayer* layer, ByteLayer* below, const uint8_t* prefix, size_t prefix_size)
{
    *layer = ByteLayer{read_inner, inner_length, close_reader, nullptr, below->seekable, LAYER_OK, nullptr, 0};
    Z3dsReader* reader = static_cast<Z3dsReader*>(calloc(1, sizeof(Z3dsReader)));
    if (reader == nullptr) {
        return LayerFailed(layer, ENOMEM);
    }
    layer->state = reader;
    reader->layer = layer;
    reader->below = below;
    reader->seekable = below->seekable;
    reader->prefix_size = prefix_size < Z3DS_PREFIX_SIZE ? prefix_size : Z3DS_PREFIX_SIZE;
    memcpy(reader->prefix, prefix, reader->prefix_size);
    return open_reader(reader);
}

const uint8_t* Z3dsSmdhItem(const ByteLayer* layer, size_t* size)
{
    const Z3dsReader* reader = static_cast<const Z3dsReader*>(layer->state);
    if (reader == nullptr || !reader->has_smdh_item) {
        return nullptr;
    }
    *size = reader->smdh_item_size;
    return reader->smdh_item;
}
