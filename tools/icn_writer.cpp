#include "icn_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>

#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/ctr.h>
#include <zstd.h>

static size_t bit(size_t value, unsigned index)
{
    return (value >> index) & 1u;
}

void TiledPosition(size_t k, size_t side, size_t* x, size_t* y)
{
    size_t tile = k / 64;
    size_t m = k % 64;
    size_t tiles_per_row = side / 8;
    *x = 8 * (tile % tiles_per_row) + bit(m, 0) + 2 * bit(m, 2) + 4 * bit(m, 4);
    *y = 8 * (tile / tiles_per_row) + bit(m, 1) + 2 * bit(m, 3) + 4 * bit(m, 5);
}

void EncodeIconBlock(const uint16_t* pixels, size_t side, uint8_t* block)
{
    for (size_t k = 0; k < side * side; k++) {
        size_t x = 0;
        size_t y = 0;
        TiledPosition(k, side, &x, &y);
        uint16_t value = pixels[y * side + x];
        block[2 * k] = static_cast<uint8_t>(value & 0xFF);
        block[2 * k + 1] = static_cast<uint8_t>(value >> 8);
    }
}

void BuildIcnFile(const uint16_t* small, const uint16_t* large, uint8_t* file)
{
    memset(file, 0, ICN_FILE_SIZE);
    memcpy(file, "SMDH", 4);
    EncodeIconBlock(small, 24, file + ICN_SMALL_OFFSET);
    EncodeIconBlock(large, 48, file + ICN_LARGE_OFFSET);
}

int WriteWholeFile(const char* path, const uint8_t* data, size_t size)
{
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        fprintf(stderr, "Could not create %s: %s\n", path, strerror(errno));
        return 1;
    }
    int failed = fwrite(data, 1, size, file) != size;
    failed |= fclose(file) != 0;
    if (failed) {
        fprintf(stderr, "Could not write %s: %s\n", path, strerror(errno));
        remove(path);
    }
    return failed;
}

uint16_t PackRGB565(unsigned red, unsigned green, unsigned blue)
{
    return static_cast<uint16_t>(((red >> 3) << 11) | ((green >> 2) << 5) | (blue >> 3));
}

static void put_le(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

static void put_be(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

static void put_bytes(std::vector<uint8_t>& bytes, size_t at, const std::vector<uint8_t>& part)
{
    if (bytes.size() < at + part.size()) {
        bytes.resize(at + part.size());
    }
    std::copy(part.begin(), part.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
}

static uint64_t align_64(uint64_t value)
{
    return (value + 63) & ~uint64_t(63);
}

std::vector<uint8_t> Wrap3dsx(const std::vector<uint8_t>& smdh)
{
    std::vector<uint8_t> file(TDSX_SMDH_OFFSET);
    memcpy(file.data(), "3DSX", 4);
    put_le(file, 0x04, 0x2C, 2);    // header size: with the extended header
    put_le(file, 0x10, 0x1000, 4);  // code segment
    put_le(file, 0x20, TDSX_SMDH_OFFSET, 4);
    put_le(file, 0x24, smdh.size(), 4);
    put_bytes(file, TDSX_SMDH_OFFSET, smdh);
    return file;
}

// Stores `text` in the field of `size` bytes at `at`, cut to fit.
static void put_code(std::vector<uint8_t>& bytes, size_t at, const std::string& text, size_t size)
{
    std::copy_n(text.begin(), std::min(text.size(), size), bytes.begin() + static_cast<ptrdiff_t>(at));
}

std::vector<uint8_t> WrapNcch(const std::vector<uint8_t>& smdh, bool plain, const TitleFields& title)
{
    const size_t unit = 0x200;
    std::vector<uint8_t> file(NCCH_SMDH_OFFSET);
    std::fill(file.begin() + NCCH_EXEFS + 0x200, file.begin() + NCCH_EXEFS + 0x400, 0xC0);  // .code
    put_bytes(file, NCCH_SMDH_OFFSET, smdh);
    file.resize((file.size() + unit - 1) / unit * unit);
    memcpy(&file[0x100], "NCCH", 4);
    put_le(file, 0x104, file.size() / unit, 4);
    put_code(file, 0x110, title.maker_code, 2);
    put_le(file, 0x118, title.title_id, 8);
    put_code(file, 0x150, title.product_code, 0x10);
    file[0x18F] = plain ? 0x04 : 0x00;
    put_le(file, 0x1A0, NCCH_EXEFS / unit, 4);
    put_le(file, 0x1A4, (file.size() - NCCH_EXEFS) / unit, 4);
    const char* names[3] = {".code", "banner", "icon"};
    const size_t offsets[3] = {0, 0x200, 0x400};
    const size_t sizes[3] = {0x200, 0x200, smdh.size()};
    for (size_t i = 0; i < 3; i++) {
        memcpy(&file[NCCH_EXEFS + 16 * i], names[i], strlen(names[i]));
        put_le(file, NCCH_EXEFS + 16 * i + 8, offsets[i], 4);
        put_le(file, NCCH_EXEFS + 16 * i + 12, sizes[i], 4);
    }
    return file;
}

std::vector<uint8_t> WrapNcsd(const std::vector<uint8_t>& ncch)
{
    std::vector<uint8_t> file(NCSD_PARTITION_0);
    put_bytes(file, NCSD_PARTITION_0, ncch);
    memcpy(&file[0x100], "NCSD", 4);
    put_le(file, 0x104, 0x100000, 4);  // the card's capacity, far beyond the file
    std::copy_n(ncch.begin() + 0x118, 8, file.begin() + 0x108);
    put_le(file, 0x120, NCSD_PARTITION_0 / 0x200, 4);
    put_le(file, 0x124, (ncch.size() + 0x1FF) / 0x200, 4);
    return file;
}

// The signature block that a TMD's signature type introduces, type included.
static uint32_t signature_block(uint32_t type)
{
    return type == 0x10000 || type == 0x10003 ? 0x240 : type == 0x10001 || type == 0x10004 ? 0x140 : 0x80;
}

CiaParts CiaAround(uint64_t content_size, const std::vector<uint8_t>& meta_smdh, bool encrypted,
                   const TitleFields& title, const TmdFields& tmd)
{
    const uint32_t certificates_size = 0xA00;
    const uint32_t ticket_size = 0x350;
    const uint32_t block = signature_block(tmd.signature_type);
    const uint32_t tmd_size = block + 0xC4 + 64 * 0x24 + 0x30;
    CiaParts cia;
    cia.head.assign(CIA_TMD + align_64(tmd_size), 0);
    put_le(cia.head, 0x00, 0x2020, 4);
    put_le(cia.head, 0x08, certificates_size, 4);
    put_le(cia.head, 0x0C, ticket_size, 4);
    put_le(cia.head, 0x10, tmd_size, 4);
    put_le(cia.head, 0x14, meta_smdh.empty() ? 0 : 0x3AC0, 4);
    put_le(cia.head, 0x18, content_size, 8);
    cia.head[0x20] = 0x80;  // content 0 present
    put_be(cia.head, CIA_TMD, tmd.signature_type, 4);
    const size_t tmd_header = CIA_TMD + block;
    put_be(cia.head, tmd_header + 0x4C, title.title_id, 8);
    put_be(cia.head, tmd_header + 0x9C, title.title_version, 2);
    put_be(cia.head, tmd_header + 0x9E, tmd.content_count, 2);
    const size_t chunk = tmd_header + 0xC4 + 64 * 0x24;
    put_be(cia.head, chunk + 6, tmd.content_type | (encrypted ? 1 : 0), 2);
    put_be(cia.head, chunk + 8, content_size, 8);
    cia.meta_offset = cia.head.size() + align_64(content_size);
    if (!meta_smdh.empty()) {
        cia.meta.assign(0x3AC0, 0);
        put_bytes(cia.meta, 0x400, meta_smdh);
    }
    return cia;
}

std::vector<uint8_t> WrapCia(const std::vector<uint8_t>& content, const std::vector<uint8_t>& meta_smdh, bool encrypted,
                             const TitleFields& title, const TmdFields& tmd)
{
    CiaParts cia = CiaAround(content.size(), meta_smdh, encrypted, title, tmd);
    std::vector<uint8_t> file = cia.head;
    put_bytes(file, cia.head.size(), content);
    file.resize(cia.meta_offset);
    put_bytes(file, cia.meta_offset, cia.meta);
    return file;
}

std::vector<uint8_t> Scramble(std::vector<uint8_t> bytes, size_t from)
{
    uint32_t state = 0x9E3779B9;
    for (size_t i = from; i < bytes.size(); i++) {
        state = state * 1664525 + 1013904223;
        bytes[i] ^= static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

static void append_le(std::vector<uint8_t>& bytes, uint64_t value, size_t width)
{
    bytes.resize(bytes.size() + width);
    put_le(bytes, bytes.size() - width, value, width);
}

// Metadata: version 1, the items, an end item, zero padding to 16 bytes.
static std::vector<uint8_t> z3ds_metadata(const Z3dsOptions& options)
{
    std::vector<uint8_t> metadata;
    if (options.items.empty()) {
        return metadata;
    }
    metadata.push_back(1);
    for (const auto& [name, data] : options.items) {
        metadata.push_back(1);
        metadata.push_back(static_cast<uint8_t>(name.size()));
        append_le(metadata, data.size(), 2);
        metadata.insert(metadata.end(), name.begin(), name.end());
        metadata.insert(metadata.end(), data.begin(), data.end());
    }
    metadata.push_back(0);
    metadata.resize((metadata.size() + 15) / 16 * 16);
    return metadata;
}

std::vector<uint8_t> Z3dsAround(uint64_t inner_size, const InnerBytes& inner, const Z3dsOptions& options)
{
    std::vector<uint8_t> metadata = z3ds_metadata(options);
    std::vector<uint8_t> file(0x20);
    memcpy(file.data(), "Z3DS", 4);
    put_code(file, 4, options.hint, 4);
    file[8] = 1;
    put_le(file, 0x0A, 0x20, 2);
    put_le(file, 0x0C, metadata.size(), 4);
    put_le(file, 0x18, inner_size, 8);
    file.insert(file.end(), metadata.begin(), metadata.end());
    const size_t data_start = file.size();
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.window_log);
    std::vector<uint8_t> frame(options.frame_size);
    std::vector<uint8_t> compressed(ZSTD_compressBound(options.frame_size));
    std::vector<uint8_t> table;
    uint32_t frames = 0;
    for (uint64_t offset = 0; offset < inner_size; offset += options.frame_size, frames++) {
        size_t size = static_cast<size_t>(std::min<uint64_t>(options.frame_size, inner_size - offset));
        inner(offset, frame.data(), size);
        size_t written = ZSTD_compress2(context, compressed.data(), compressed.size(), frame.data(), size);
        file.insert(file.end(), compressed.begin(), compressed.begin() + static_cast<ptrdiff_t>(written));
        append_le(table, written, 4);
        append_le(table, size, 4);
        if (options.checksums) {
            append_le(table, 0, 4);
        }
    }
    ZSTD_freeCCtx(context);
    append_le(file, 0x184D2A5E, 4);
    append_le(file, table.size() + 9, 4);
    file.insert(file.end(), table.begin(), table.end());
    append_le(file, frames, 4);
    file.push_back(options.checksums ? 0x80 : 0x00);
    append_le(file, 0x8F92EAB1, 4);
    put_le(file, 0x10, file.size() - data_start, 8);
    return file;
}

std::vector<uint8_t> WrapZ3ds(const std::vector<uint8_t>& inner, const Z3dsOptions& options)
{
    return Z3dsAround(
        inner.size(), [&inner](uint64_t offset, uint8_t* out, size_t size) { memcpy(out, &inner[offset], size); },
        options);
}

uint16_t DsLayoutCrc16(const uint8_t* bytes, size_t size)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; i++) {
        crc = static_cast<uint16_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; bit++) {
            crc = static_cast<uint16_t>(crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1);
        }
    }
    return crc;
}

// Each version's length, and the runs its CRCs cover (the first three from
// 0x20; the animation's from 0x1240).
static size_t ds_banner_size(uint16_t version)
{
    return version == 1 ? 0x840 : version == 2 ? 0x940 : version == 3 ? 0xA40 : 0x23C0;
}

void FixDsBannerCrcs(std::vector<uint8_t>& banner)
{
    const size_t ends[4] = {0x840, 0x940, 0xA40, 0x23C0};
    for (size_t i = 0; i < 4 && ends[i] <= banner.size(); i++) {
        size_t start = i == 3 ? 0x1240 : 0x20;
        put_le(banner, 2 + 2 * i, DsLayoutCrc16(&banner[start], ends[i] - start), 2);
    }
}

// A 32×32 bitmap of palette indices in row order, as the banner's tiles at `at`.
static void put_ds_bitmap(std::vector<uint8_t>& banner, size_t at, const std::vector<uint8_t>& pixels)
{
    for (size_t y = 0; y < 32; y++) {
        for (size_t x = 0; x < 32; x++) {
            // Tile (x / 8, y / 8), four bytes a row inside it, the low nibble leftmost.
            size_t byte = at + 32 * (4 * (y / 8) + x / 8) + 4 * (y % 8) + (x % 8) / 2;
            banner[byte] = static_cast<uint8_t>(banner[byte] | (pixels[32 * y + x] & 0x0F) << (4 * (x % 2)));
        }
    }
}

static void put_ds_palette(std::vector<uint8_t>& banner, size_t at, const std::vector<uint16_t>& palette)
{
    for (size_t i = 0; i < 16; i++) {
        put_le(banner, at + 2 * i, palette[i], 2);
    }
}

std::vector<uint8_t> MakeDsBanner(const DsBannerFields& fields)
{
    std::vector<uint8_t> banner(ds_banner_size(fields.version));
    put_le(banner, 0, fields.version, 2);
    put_ds_bitmap(banner, 0x20, fields.pixels);
    put_ds_palette(banner, 0x220, fields.palette);
    const bool animated = banner.size() == 0x23C0;
    for (size_t i = 0; i < fields.bitmaps.size() && i < 8 && animated; i++) {
        put_ds_bitmap(banner, 0x1240 + 0x200 * i, fields.bitmaps[i]);
    }
    for (size_t i = 0; i < fields.palettes.size() && i < 8 && animated; i++) {
        put_ds_palette(banner, 0x2240 + 0x20 * i, fields.palettes[i]);
    }
    // Only the languages that the version has room for.
    for (size_t language = 0; language < fields.titles.size() && 0x340 + 0x100 * language <= banner.size();
         language++) {
        const std::u16string& title = fields.titles[language];
        for (size_t i = 0; i < title.size() && i < 128; i++) {
            put_le(banner, 0x240 + 0x100 * language + 2 * i, title[i], 2);
        }
    }
    for (size_t i = 0; i < fields.tokens.size() && banner.size() == 0x23C0; i++) {
        put_le(banner, 0x2340 + 2 * i, fields.tokens[i], 2);
    }
    FixDsBannerCrcs(banner);
    return banner;
}

std::vector<uint8_t> MakeDsRom(const std::vector<uint8_t>& banner, const TitleFields& title, bool dsi)
{
    std::vector<uint8_t> rom(DS_ROM_BANNER, 0);
    memcpy(rom.data(), "GALLIVOXTEST", 12);
    put_code(rom, 0x0C, title.product_code, 4);
    put_code(rom, 0x10, title.maker_code, 2);
    rom[0x12] = dsi ? 0x03 : 0x00;
    rom[0x1E] = static_cast<uint8_t>(title.title_version);
    put_le(rom, 0x68, DS_ROM_BANNER, 4);
    put_le(rom, 0x15E, DsLayoutCrc16(rom.data(), 0x15E), 2);
    std::fill(rom.begin() + 0x240, rom.end(), 0xE5);  // code
    if (dsi) {
        put_le(rom, 0x230, title.title_id, 8);
    }
    rom.insert(rom.end(), banner.begin(), banner.end());
    return rom;
}

// ---- Encrypted files ---------------------------------------------------------

std::vector<uint8_t> EncryptNcch(std::vector<uint8_t> ncch, const uint8_t* key, uint16_t version, uint64_t partition_id,
                                 const uint8_t* key_y, bool fixed_key)
{
    memcpy(&ncch[0], key_y, 16);
    put_le(ncch, 0x108, partition_id, 8);
    put_le(ncch, 0x112, version, 2);
    ncch[0x18F] = fixed_key ? 0x01 : 0x00;
    std::vector<uint8_t> counter(16);
    if (version == 1) {
        std::copy_n(ncch.begin() + 0x108, 8, counter.begin());
        put_be(counter, 12, NCCH_EXEFS, 4);
    } else {
        put_be(counter, 0, partition_id, 8);
        counter[8] = 2;
    }
    aes128_ctx context;
    aes128_set_encrypt_key(&context, key);
    size_t exefs_size = ncch.size() - NCCH_EXEFS;  // WrapNcch's ExeFS runs to the end
    ctr_crypt(&context, reinterpret_cast<nettle_cipher_func*>(aes128_encrypt), 16, counter.data(), exefs_size,
              &ncch[NCCH_EXEFS], &ncch[NCCH_EXEFS]);
    return ncch;
}

// Encrypts `size` bytes (a multiple of 16) at `data` in place, AES-128-CBC.
static void cbc_encrypt_in_place(const uint8_t* key, const uint8_t* iv, uint8_t* data, size_t size)
{
    aes128_ctx context;
    aes128_set_encrypt_key(&context, key);
    uint8_t chain[16];
    memcpy(chain, iv, 16);
    cbc_encrypt(&context, reinterpret_cast<nettle_cipher_func*>(aes128_encrypt), 16, chain, size, data, data);
}

std::vector<uint8_t> WrapEncryptedCia(const std::vector<uint8_t>& content, const uint8_t* title_key,
                                      const uint8_t* common_key, uint8_t index, uint64_t title_id)
{
    std::vector<uint8_t> padded = content;
    padded.resize((padded.size() + 15) / 16 * 16);
    const uint8_t content_iv[16] = {0};  // content 0's index, then zeros
    cbc_encrypt_in_place(title_key, content_iv, padded.data(), padded.size());
    std::vector<uint8_t> file = WrapCia(padded, {}, true);
    // The ticket, after the certificates: signature type 0x10004 (0x140 bytes).
    const size_t ticket = 0x2A40;
    const size_t fields = ticket + 0x140;
    put_be(file, ticket, 0x10004, 4);
    put_be(file, fields + 0x9C, title_id, 8);
    file[fields + 0xB1] = index;
    uint8_t ticket_iv[16] = {0};
    memcpy(ticket_iv, &file[fields + 0x9C], 8);
    memcpy(&file[fields + 0x7F], title_key, 16);
    cbc_encrypt_in_place(common_key, ticket_iv, &file[fields + 0x7F], 16);
    return file;
}

// ---- Bundles -----------------------------------------------------------------

// Writes `value` in octal into the `size` bytes at `field`, ended by a NUL.
static void put_octal(uint8_t* field, size_t size, uint64_t value)
{
    for (size_t i = size - 1; i-- > 0;) {
        field[i] = static_cast<uint8_t>('0' + (value & 7));
        value >>= 3;
    }
    field[size - 1] = 0;
}

// One header block, its checksum set.
static std::vector<uint8_t> tar_block(const std::string& name, uint64_t size, char type, TarKind kind)
{
    std::vector<uint8_t> block(512);
    std::string own = name;
    if (kind == TAR_USTAR && name.size() > 100) {
        size_t slash = name.rfind('/', 155);
        memcpy(&block[345], name.data(), slash);
        own = name.substr(slash + 1);
    }
    memcpy(&block[0], own.data(), own.size() < 100 ? own.size() : 100);
    put_octal(&block[100], 8, 0644);
    put_octal(&block[108], 8, 0);
    put_octal(&block[116], 8, 0);
    if (size < (uint64_t(1) << 33)) {
        put_octal(&block[124], 12, size);
    } else {
        block[124] = 0x80;  // GNU's base-256, big-endian in the other 11 bytes
        for (size_t i = 0; i < 8; i++) {
            block[135 - i] = static_cast<uint8_t>(size >> (8 * i));
        }
    }
    put_octal(&block[136], 12, 0);
    block[156] = static_cast<uint8_t>(type);
    if (kind == TAR_USTAR || kind == TAR_PAX) {
        memcpy(&block[257],
               "ustar\0"
               "00",
               8);
    } else if (kind == TAR_GNU) {
        memcpy(&block[257], "ustar  \0", 8);
    }
    unsigned sum = 0;
    memset(&block[148], ' ', 8);
    for (uint8_t byte : block) {
        sum += byte;
    }
    put_octal(&block[148], 7, sum);
    block[155] = ' ';
    return block;
}

// A pax record "LENGTH KEY=VALUE\n", its length counting itself.
static std::string pax_record(const std::string& key, const std::string& value)
{
    size_t body = 1 + key.size() + 1 + value.size() + 1;
    size_t length = body + std::to_string(body).size();
    if (std::to_string(length).size() != std::to_string(body).size()) {
        length++;
    }
    return std::to_string(length) + " " + key + "=" + value + "\n";
}

static void append_padded(std::vector<uint8_t>& out, const uint8_t* bytes, size_t size)
{
    out.insert(out.end(), bytes, bytes + size);
    out.resize(out.size() + (512 - size % 512) % 512);
}

std::vector<uint8_t> TarHeaders(const std::string& name, uint64_t size, char type, TarKind kind)
{
    std::vector<uint8_t> out;
    if (kind == TAR_GNU && name.size() >= 100) {
        std::vector<uint8_t> block = tar_block("././@LongLink", name.size() + 1, 'L', kind);
        out.insert(out.end(), block.begin(), block.end());
        append_padded(out, reinterpret_cast<const uint8_t*>(name.c_str()), name.size() + 1);
    }
    if (kind == TAR_PAX) {
        std::string records = pax_record("path", name) + pax_record("size", std::to_string(size));
        std::vector<uint8_t> block = tar_block("PaxHeaders/x", records.size(), 'x', kind);
        out.insert(out.end(), block.begin(), block.end());
        append_padded(out, reinterpret_cast<const uint8_t*>(records.data()), records.size());
    }
    // Pax's own header keeps a short name and a size of 0 where the record
    // says more: the record has the last word.
    std::vector<uint8_t> own = tar_block(kind == TAR_PAX ? name.substr(0, 99) : name,
                                         kind == TAR_PAX && size >= (uint64_t(1) << 33) ? 0 : size, type, kind);
    out.insert(out.end(), own.begin(), own.end());
    return out;
}

std::vector<uint8_t> MakeBundle(const std::vector<TarEntry>& entries, TarKind kind, bool unended)
{
    std::vector<uint8_t> out;
    for (const TarEntry& entry : entries) {
        std::vector<uint8_t> headers = TarHeaders(entry.name, entry.bytes.size(), entry.type, kind);
        out.insert(out.end(), headers.begin(), headers.end());
        append_padded(out, entry.bytes.data(), entry.bytes.size());
    }
    if (!unended) {
        out.resize(out.size() + 1024);
    }
    return out;
}
