#include "z3ds.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <zstd.h>
#include <zstd_errors.h>

#include "platform.h"
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

// The seek table: a skippable frame (magic, frame size) holding the entries
// and a footer (frame count u32, descriptor u8, magic u32).
const uint32_t TABLE_MAGIC = 0x184D2A5E;
const uint32_t FOOTER_MAGIC = 0x8F92EAB1;
const size_t TABLE_HEADER_SIZE = 8;
const size_t FOOTER_SIZE = 9;
const uint8_t CHECKSUM_FLAG = 0x80;
const uint8_t RESERVED_BITS = 0x7C;  // bits 1 and 0 are unused, and a writer sets bit 0
const size_t ENTRY_SIZE = 8;
const size_t ENTRY_WITH_CHECKSUM_SIZE = 12;
const size_t ENTRY_SIZE_MAX = ENTRY_WITH_CHECKSUM_SIZE;
const uint64_t MAX_FRAMES = 0x8000000;
const uint64_t MAX_FRAME_SIZE = uint64_t(1) << 30;
// Checkpoints kept of the seek table: 4096 × 24 bytes, whatever its length.
const uint64_t MAX_CHECKPOINTS = 4096;
// The largest window a frame may need: 8 MiB (the emulator's need 2 MiB),
// which bounds the decoder's memory whatever a frame states.
const int WINDOW_LOG_MAX = 23;

static Z3dsStatus damaged(Z3dsReader* reader, const char* why)
{
    reader->damage = why;
    reader->broken = Z3DS_DAMAGED;
    return Z3DS_DAMAGED;
}

static Z3dsStatus failed(Z3dsReader* reader, int error)
{
    reader->error = error != 0 ? error : EIO;
    reader->broken = Z3DS_FAILED;
    return Z3DS_FAILED;
}

static size_t smaller(uint64_t a, size_t b)
{
    return a < b ? static_cast<size_t>(a) : b;
}

// Brings the stream to `offset`: a seek, or on a pipe the bytes up to it
// read and dropped. Returns Z3DS_OK, Z3DS_SHORT when the file ends first,
// or Z3DS_FAILED.
static Z3dsStatus move_to(Z3dsReader* reader, uint64_t offset)
{
    if (reader->seekable) {
        if (fseek_64(reader->stream, offset, SEEK_SET) != 0) {
            return Z3DS_SHORT;  // beyond any position the system can seek to
        }
        reader->outer_position = offset;
        return Z3DS_OK;
    }
    if (offset < reader->outer_position) {
        return failed(reader, ESPIPE);  // reads of a pipe go forward, always
    }
    int skipped = skip_stream_bytes(reader->stream, offset - reader->outer_position, &reader->outer_position);
    return skipped == 0 ? Z3DS_OK : skipped > 0 ? Z3DS_SHORT : failed(reader, errno);
}

// Reads `size` bytes of the file at `offset` into `out`: those within the
// prefix from it, the rest from the stream. Stores the count in `got`;
// returns Z3DS_OK, Z3DS_SHORT when the file ends first, or Z3DS_FAILED.
static Z3dsStatus read_file(Z3dsReader* reader, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    *got = 0;
    if (offset < reader->prefix_size) {
        *got = smaller(reader->prefix_size - offset, size);
        memcpy(out, reader->prefix + offset, *got);
        offset += *got;
    }
    if (*got == size) {
        return Z3DS_OK;
    }
    errno = 0;
    if (offset != reader->outer_position) {
        Z3dsStatus moved = move_to(reader, offset);
        if (moved != Z3DS_OK) {
            return moved;
        }
    }
    size_t read = fread(out + *got, 1, size - *got, reader->stream);
    *got += read;
    reader->outer_position += read;
    if (ferror(reader->stream)) {
        return failed(reader, errno);
    }
    return *got == size ? Z3DS_OK : Z3DS_SHORT;
}

// Reads a structure that must be whole: a file that ends first is the damage `cut_short` names.
static Z3dsStatus read_whole(Z3dsReader* reader, uint64_t offset, uint8_t* out, size_t size, const char* cut_short)
{
    size_t got = 0;
    Z3dsStatus status = read_file(reader, offset, out, size, &got);
    return status == Z3DS_SHORT ? damaged(reader, cut_short) : status;
}

static Z3dsStatus allocate(Z3dsReader* reader)
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
    return Z3DS_OK;
}

// Keeps the `smdh` item whose `size` bytes of data start at `offset`.
static Z3dsStatus keep_smdh_item(Z3dsReader* reader, uint64_t offset, uint64_t size)
{
    size_t kept = smaller(size, Z3DS_SMDH_ITEM_SIZE);
    const char* cut_short = "its metadata lies past its end";
    Z3dsStatus status = read_whole(reader, offset, reader->smdh_item, kept, cut_short);
    if (status != Z3DS_OK) {
        return status;
    }
    if (kept < 4 || memcmp(reader->smdh_item, "SMDH", 4) != 0) {
        return damaged(reader, "its smdh item does not begin with SMDH");
    }
    reader->has_smdh_item = 1;
    reader->smdh_item_size = kept;
    return Z3DS_OK;
}

// Reads the metadata of `size` bytes at `start`, looking for the `smdh`
// item. Items run until an end item or the metadata's end.
static Z3dsStatus read_metadata(Z3dsReader* reader, uint64_t start, uint64_t size)
{
    const char* cut_short = "its metadata lies past its end";
    uint8_t version = 0;
    Z3dsStatus status = size == 0 ? Z3DS_OK : read_whole(reader, start, &version, 1, cut_short);
    if (status != Z3DS_OK || version != METADATA_VERSION) {
        return status;  // none, or a version of its own: ignored
    }
    const uint64_t end = start + size;
    uint64_t item = start + 1;
    while (item < end) {
        uint8_t header[ITEM_HEADER_SIZE];
        size_t header_size = smaller(end - item, ITEM_HEADER_SIZE);
        status = read_whole(reader, item, header, header_size, cut_short);
        if (status != Z3DS_OK || header[0] == ITEM_END) {
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
        if (status != Z3DS_OK) {
            return status;
        }
        int is_smdh = header[0] == ITEM_BINARY && name_size == strlen(SMDH_ITEM_NAME) &&
                      memcmp(name, SMDH_ITEM_NAME, strlen(SMDH_ITEM_NAME)) == 0;
        if (is_smdh && !reader->has_smdh_item) {
            status = keep_smdh_item(reader, data, data_size);
            if (status != Z3DS_OK) {
                return status;
            }
        }
        item = data + data_size;
    }
    return Z3DS_OK;
}

// Reads entry `index` of the seek table: its compressed and uncompressed sizes.
static Z3dsStatus read_entry(Z3dsReader* reader, uint64_t index, uint64_t* compressed, uint64_t* uncompressed)
{
    uint8_t entry[ENTRY_SIZE_MAX];
    Z3dsStatus status = read_whole(reader, reader->table_entries + index * reader->entry_size, entry,
                                   reader->entry_size, "its seek table is cut short");
    *compressed = u8_to_u32(entry, LITTLE);
    *uncompressed = u8_to_u32(entry + 4, LITTLE);
    return status;
}

// Walks every entry of the seek table once: the frames' sizes must add up
// to the bytes between the metadata and the table, and to the inner size.
// Keeps a checkpoint every few frames on the way.
static Z3dsStatus check_frames(Z3dsReader* reader, uint64_t table)
{
    uint64_t count = reader->frame_count;
    uint64_t step = count > MAX_CHECKPOINTS ? (count + MAX_CHECKPOINTS - 1) / MAX_CHECKPOINTS : 1;
    if (count != 0) {
        reader->checkpoints = static_cast<Z3dsCheckpoint*>(malloc((count + step - 1) / step * sizeof(Z3dsCheckpoint)));
        if (reader->checkpoints == nullptr) {
            return failed(reader, ENOMEM);
        }
    }
    Z3dsCheckpoint next = {0, reader->data_start, 0};
    for (; next.frame < count; next.frame++) {
        if (next.frame % step == 0) {
            reader->checkpoints[next.frame / step] = next;
        }
        uint64_t compressed = 0;
        uint64_t uncompressed = 0;
        Z3dsStatus status = read_entry(reader, next.frame, &compressed, &uncompressed);
        if (status != Z3DS_OK) {
            return status;
        }
        if (uncompressed > MAX_FRAME_SIZE) {
            return damaged(reader, "a frame is larger than 1 GiB");
        }
        next.compressed += compressed;  // at most 2^27 × 2^32: no overflow
        next.uncompressed += uncompressed;
    }
    if (next.compressed != table) {
        return damaged(reader, "its frames' compressed sizes do not add up");
    }
    if (next.uncompressed != reader->inner_size) {
        return damaged(reader, "its frames' sizes do not add up to its uncompressed size");
    }
    reader->checkpoint_count = (count + step - 1) / step;
    reader->checkpoint_step = step;
    return Z3DS_OK;
}

// Reads and checks the seek table at the file's end.
static Z3dsStatus read_seek_table(Z3dsReader* reader)
{
    const char* cut_short = "its seek table is cut short";
    uint64_t compressed = reader->data_end - reader->data_start;
    if (compressed < TABLE_HEADER_SIZE + FOOTER_SIZE) {
        return damaged(reader, cut_short);
    }
    uint8_t footer[FOOTER_SIZE];
    Z3dsStatus status = read_whole(reader, reader->data_end - FOOTER_SIZE, footer, FOOTER_SIZE, cut_short);
    if (status != Z3DS_OK) {
        return status;
    }
    if (u8_to_u32(footer + 5, LITTLE) != FOOTER_MAGIC) {
        return damaged(reader, "its seek table does not end in its magic");
    }
    if (footer[4] & RESERVED_BITS) {
        return damaged(reader, "its seek table sets a reserved bit");
    }
    reader->entry_size = footer[4] & CHECKSUM_FLAG ? ENTRY_WITH_CHECKSUM_SIZE : ENTRY_SIZE;
    reader->frame_count = u8_to_u32(footer, LITTLE);
    if (reader->frame_count > MAX_FRAMES) {
        return damaged(reader, "its seek table lists more than 0x8000000 frames");
    }
    uint64_t frame_size = reader->frame_count * reader->entry_size + FOOTER_SIZE;
    if (frame_size > compressed - TABLE_HEADER_SIZE) {
        return damaged(reader, "its seek table does not fit in the file");
    }
    uint64_t table = reader->data_end - TABLE_HEADER_SIZE - frame_size;
    uint8_t header[TABLE_HEADER_SIZE];
    status = read_whole(reader, table, header, TABLE_HEADER_SIZE, cut_short);
    if (status != Z3DS_OK) {
        return status;
    }
    if (u8_to_u32(header, LITTLE) != TABLE_MAGIC || u8_to_u32(header + 4, LITTLE) != frame_size) {
        return damaged(reader, "its seek table's header disagrees with its footer");
    }
    reader->table_entries = table + TABLE_HEADER_SIZE;
    return check_frames(reader, table);
}

Z3dsStatus Z3dsOpen(Z3dsReader* reader, FILE* stream, int seekable, const uint8_t* prefix, size_t prefix_size)
{
    memset(reader, 0, sizeof *reader);
    reader->stream = stream;
    reader->seekable = seekable;
    reader->prefix_size = prefix_size < Z3DS_PREFIX_SIZE ? prefix_size : Z3DS_PREFIX_SIZE;
    memcpy(reader->prefix, prefix, reader->prefix_size);
    reader->outer_position = reader->prefix_size;
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
    Z3dsStatus status = allocate(reader);
    if (status != Z3DS_OK) {
        return status;
    }
    if (seekable) {
        errno = 0;
        int64_t end = platform_stream_end(stream);
        if (end < 0) {
            return failed(reader, errno);
        }
        reader->outer_position = static_cast<uint64_t>(end);
        if (reader->data_end != static_cast<uint64_t>(end)) {
            return damaged(reader, "its Z3DS sizes disagree with its length");
        }
    }
    status = read_metadata(reader, header_size, metadata_size);
    if (status == Z3DS_OK && seekable) {
        status = read_seek_table(reader);
    }
    return status;
}

// Finds the frame that holds inner byte `offset` (below the inner size),
// from the last checkpoint at or before it, and sets the decoder at its start.
static Z3dsStatus start_frame(Z3dsReader* reader, uint64_t offset)
{
    uint64_t low = 0;
    uint64_t high = reader->checkpoint_count;
    while (high - low > 1) {
        uint64_t middle = low + (high - low) / 2;
        if (reader->checkpoints[middle].uncompressed <= offset) {
            low = middle;
        } else {
            high = middle;
        }
    }
    Z3dsCheckpoint frame = reader->checkpoints[low];
    for (; frame.frame < reader->frame_count; frame.frame++) {
        uint64_t compressed = 0;
        uint64_t uncompressed = 0;
        Z3dsStatus status = read_entry(reader, frame.frame, &compressed, &uncompressed);
        if (status != Z3DS_OK) {
            return status;
        }
        if (offset - frame.uncompressed < uncompressed) {
            ZSTD_DCtx_reset(reader->context, ZSTD_reset_session_only);
            reader->input_size = reader->input_used = 0;
            reader->input_next = frame.compressed;
            reader->input_end = frame.compressed + compressed;
            reader->inner_position = frame.uncompressed;
            reader->frame_end = frame.uncompressed + uncompressed;
            reader->frame_open = 0;
            reader->frame_done = 0;
            reader->decoding = 1;
            return Z3DS_OK;
        }
        frame.compressed += compressed;
        frame.uncompressed += uncompressed;
    }
    return damaged(reader, "its frames' sizes do not add up to its uncompressed size");
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
static Z3dsStatus load_input(Z3dsReader* reader)
{
    size_t want = smaller(reader->input_end - reader->input_next, reader->input_capacity);
    size_t got = 0;
    Z3dsStatus status = read_file(reader, reader->input_next, reader->input, want, &got);
    reader->input_size = got;
    reader->input_used = 0;
    reader->input_next += got;
    if (status == Z3DS_SHORT) {
        reader->input_end = reader->input_next;  // a pipe that ends early
        status = Z3DS_OK;
    }
    return status;
}

// Decodes at least one and at most `capacity` (not 0) inner bytes into
// `out`, storing the count in `produced`. Returns Z3DS_OK, Z3DS_SHORT when a
// pipe's stream ends between frames, or the damage.
static Z3dsStatus decode(Z3dsReader* reader, uint8_t* out, size_t capacity, size_t* produced)
{
    ZSTD_outBuffer output = {out, capacity, 0};
    while (output.pos == 0) {
        // A frame of the table that ends before the size the table gives it.
        if (reader->seekable && reader->frame_done) {
            return damaged(reader, "a frame ends before its size");
        }
        if (reader->input_used == reader->input_size && reader->input_next != reader->input_end) {
            Z3dsStatus status = load_input(reader);
            if (status != Z3DS_OK) {
                return status;
            }
            continue;
        }
        // With no input left, a frame under way may still have bytes to flush.
        int exhausted = reader->input_used == reader->input_size;
        if (exhausted && !reader->frame_open) {
            return reader->seekable ? damaged(reader, "a frame ends before its size") : Z3DS_SHORT;
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
    return Z3DS_OK;
}

Z3dsStatus Z3dsRead(Z3dsReader* reader, uint64_t offset, uint8_t* out, size_t size, size_t* got)
{
    *got = 0;
    while (reader->broken == Z3DS_OK && *got < size) {
        uint64_t at = offset + *got;
        if (at >= reader->inner_size) {
            return Z3DS_SHORT;
        }
        if (!reader->decoding || at < reader->inner_position || (reader->seekable && at >= reader->frame_end)) {
            if (!reader->seekable && reader->decoding) {
                return failed(reader, ESPIPE);  // reads of a pipe go forward, always
            }
            if (reader->seekable) {
                Z3dsStatus status = start_frame(reader, at);
                if (status != Z3DS_OK) {
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
        Z3dsStatus status = decode(reader, into, smaller(left, capacity), &produced);
        if (status != Z3DS_OK) {
            return status;
        }
        if (!skipping) {
            *got += produced;
        }
    }
    return reader->broken;
}

void Z3dsClose(Z3dsReader* reader)
{
    ZSTD_freeDCtx(reader->context);
    free(reader->input);
    free(reader->scratch);
    free(reader->checkpoints);
    reader->context = nullptr;
    reader->input = nullptr;
    reader->scratch = nullptr;
    reader->checkpoints = nullptr;
}
