// Writing ICN icon files from plain row-order RGB565 pixels: the inverse of
// the decoder, for the bundled sample and for the tests.
#ifndef GALLIVOX_ICN_WRITER_H
#define GALLIVOX_ICN_WRITER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

const size_t ICN_FILE_SIZE = 14016;
const size_t ICN_SMALL_OFFSET = 0x2040;
const size_t ICN_LARGE_OFFSET = 0x24C0;

// Image position of raw pixel k of an icon of `side` pixels, by the Morton
// rule: tiles in row order, the even bits of k mod 64 give x, the odd ones y.
void TiledPosition(size_t k, size_t side, size_t* x, size_t* y);

// Stores the side×side pixels of `pixels` (row order, top row first) into
// `block` (2·side² bytes) in tiled order, each pixel low byte first.
void EncodeIconBlock(const uint16_t* pixels, size_t side, uint8_t* block);

// Fills `file` (ICN_FILE_SIZE bytes) with a whole ICN file: the magic, zeros,
// and the 24×24 `small` and 48×48 `large` icons in their blocks.
void BuildIcnFile(const uint16_t* small, const uint16_t* large, uint8_t* file);

// Writes the first `size` bytes of `data` to `path`; returns 0 on success,
// 1 after printing the reason on standard error.
int WriteWholeFile(const char* path, const uint8_t* data, size_t size);

// RGB565 value of an 8-bit-per-channel colour (the low bits are dropped).
uint16_t PackRGB565(unsigned red, unsigned green, unsigned blue);

// ---- Files that carry an SMDH ----------------------------------------------
// Each wraps whole bytes in the headers the walk reads; all else is zero.
// The fixed places below let tests damage one field at a time.

// What an NCCH header (program ID, product and maker codes) or a TMD (title
// ID and version) says of its title. Codes longer than their fields are cut.
struct TitleFields {
    uint64_t title_id = 0;
    std::string product_code = {};
    std::string maker_code = {};
    uint16_t title_version = 0;
};

// 3DSX: a 0x2C-byte header (with the extended header), 0x1000 bytes of
// code, then the SMDH, at an offset that is a multiple of 4 but not of 16.
const size_t TDSX_SMDH_OFFSET = 0x102C;
std::vector<uint8_t> Wrap3dsx(const std::vector<uint8_t>& smdh);

// NCCH: a 0x200-byte header, then its ExeFS at media unit 1 (0x200):
// entries ".code" (0x200 bytes of 0xC0), "banner" (0x200 zero bytes) and
// "icon". NoCrypto is set when `plain`.
const size_t NCCH_EXEFS = 0x200;
const size_t NCCH_SMDH_OFFSET = NCCH_EXEFS + 0x200 + 0x400;
std::vector<uint8_t> WrapNcch(const std::vector<uint8_t>& smdh, bool plain, const TitleFields& title = {});

// NCSD: partition 0 is `ncch`, at 0x4000; the media ID is its program ID.
const size_t NCSD_PARTITION_0 = 0x4000;
std::vector<uint8_t> WrapNcsd(const std::vector<uint8_t>& ncch);

// CIA: header, certificate chain, ticket and a TMD (signature type
// 0x10004 unless `tmd` says otherwise) for one content, then the content
// and, when `meta_smdh` is not empty, a meta section of 0x3AC0 bytes with
// the SMDH at 0x400. The TMD marks the content encrypted when `encrypted`,
// and carries `title`'s title ID and version. CIA_CONTENT is where the
// content starts with the default signature type.
const size_t CIA_TMD = 0x2DC0;
const size_t CIA_CONTENT = 0x3900;
struct TmdFields {
    uint32_t signature_type = 0x10004;
    uint16_t content_count = 1;
    uint16_t content_type = 0;  // content 0's type bits; `encrypted` adds 0x0001
};
struct CiaParts {
    std::vector<uint8_t> head;  // everything before the content
    uint64_t meta_offset;       // where the meta section starts
    std::vector<uint8_t> meta;  // empty when there is none
};
CiaParts CiaAround(uint64_t content_size, const std::vector<uint8_t>& meta_smdh, bool encrypted,
                   const TitleFields& title = {}, const TmdFields& tmd = {});
std::vector<uint8_t> WrapCia(const std::vector<uint8_t>& content, const std::vector<uint8_t>& meta_smdh, bool encrypted,
                             const TitleFields& title = {}, const TmdFields& tmd = {});

// `bytes` from `from` on, scrambled as encryption leaves them: each byte
// mixed with a pseudo-random stream, so that no header or magic survives.
std::vector<uint8_t> Scramble(std::vector<uint8_t> bytes, size_t from);

// ---- Z3DS: any file above, compressed ------------------------------------
// The inner file is cut into frames of `frame_size` bytes, each compressed
// by libzstd as an independent frame without a content size in its header
// (as the emulator writes them), then the seek table. The table's checksum
// fields, when there are any, hold zero: no reader is required to check them.
struct Z3dsOptions {
    size_t frame_size = 256 * 1024;
    bool checksums = false;
    std::string hint = "NCSD";  // the header's format field, four bytes
    int window_log = 0;         // the frames' window, when not libzstd's choice
    // Metadata items (type 1) in order; none: no metadata at all.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> items = {};
};

// Inner bytes on demand: fills `size` bytes at `offset` of the inner file.
using InnerBytes = std::function<void(uint64_t offset, uint8_t* out, size_t size)>;

// A Z3DS file around `inner_size` bytes given by `inner`, which may be far
// larger than memory: only the compressed file is held.
std::vector<uint8_t> Z3dsAround(uint64_t inner_size, const InnerBytes& inner, const Z3dsOptions& options = {});
std::vector<uint8_t> WrapZ3ds(const std::vector<uint8_t>& inner, const Z3dsOptions& options = {});

// ---- DS ROM images and banners ---------------------------------------------
// The CRC-16 of the DS formats, written here from their layout.
uint16_t DsLayoutCrc16(const uint8_t* bytes, size_t size);

// A DS banner: `version` 1, 2, 3 or 0x0103; the 32×32 icon as palette
// indices in row order; 16 colours (bits 0-4 red, 5-9 green, 10-14 blue);
// up to eight titles (ja, en, fr, de, it, es, zh-Hans, ko); for 0x0103, the
// animation's bitmaps (up to 8, palette indices in row order, as `pixels`),
// palettes (up to 8 of 16 colours) and tokens. Every CRC is correct.
struct DsBannerFields {
    uint16_t version = 1;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(32 * 32);
    std::vector<uint16_t> palette = std::vector<uint16_t>(16);
    std::vector<std::u16string> titles = {};
    std::vector<std::vector<uint8_t>> bitmaps = {};
    std::vector<std::vector<uint16_t>> palettes = {};
    std::vector<uint16_t> tokens = {};
};
std::vector<uint8_t> MakeDsBanner(const DsBannerFields& fields);

// Sets every CRC of `banner` to hold over what its version has.
void FixDsBannerCrcs(std::vector<uint8_t>& banner);

// A DS ROM image: a 0x200-byte header (`title`'s product code as the game
// code, its maker code, its version's low byte, and with `dsi` a DSi unit
// code and its title ID at 0x230) with a correct CRC, then the banner at
// DS_ROM_BANNER.
const size_t DS_ROM_BANNER = 0x1000;
std::vector<uint8_t> MakeDsRom(const std::vector<uint8_t>& banner, const TitleFields& title = {}, bool dsi = false);

// ---- Encrypted files, with made-up keys ---------------------------------------
// A made-up common key 0, given as its normal key (the INI key file's
// ctr-Slot0x3DKeyNormal-0), and a made-up title key: for seeds that a key
// file opens without the scrambler.
const uint8_t MADE_UP_COMMON_KEY[16] = {0x3c, 0x5a, 0x96, 0x0f, 0xe1, 0x2d, 0x4b, 0x87,
                                        0x78, 0xb4, 0xd2, 0x1e, 0xf0, 0x69, 0xa5, 0xc3};
const uint8_t MADE_UP_TITLE_KEY[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                       0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01};

// The NCCH `ncch` (as WrapNcch writes it, `plain` false) with its ExeFS
// encrypted as the console encrypts it: AES-128-CTR with `key`, the counter
// that its `version` (0, 1 or 2) makes from `partition_id`; its first 16
// bytes set to `key_y`, and FixedCryptoKey set where `fixed_key`.
std::vector<uint8_t> EncryptNcch(std::vector<uint8_t> ncch, const uint8_t* key, uint16_t version, uint64_t partition_id,
                                 const uint8_t* key_y, bool fixed_key);

// A CIA without a meta section whose content 0 is `content` encrypted with
// AES-128-CBC and `title_key`; its ticket holds the title key encrypted
// with `common_key`, common key `index`, for `title_id`.
std::vector<uint8_t> WrapEncryptedCia(const std::vector<uint8_t>& content, const uint8_t* title_key,
                                      const uint8_t* common_key, uint8_t index, uint64_t title_id);

// ---- Bundles: tar archives of the files above ------------------------------
// The header kinds: the oldest (no magic, as the emulator's own library
// writes), POSIX ustar (a long name split into prefix/name), GNU (a long
// name through an `L` header, a size of 8 GiB or more in base-256), pax (an
// `x` header with `path` and `size` before the member).
enum TarKind { TAR_OLDEST, TAR_USTAR, TAR_GNU, TAR_PAX };

// The header blocks before a member of `size` bytes named `name` of `type`
// ('0' a file, '5' a folder...): any extension header, then its own.
std::vector<uint8_t> TarHeaders(const std::string& name, uint64_t size, char type, TarKind kind);

struct TarEntry {
    std::string name;
    std::vector<uint8_t> bytes;
    char type = '0';
};

// A tar archive of `entries` in order, each padded to a whole block, ended
// by two zero blocks unless `unended`.
std::vector<uint8_t> MakeBundle(const std::vector<TarEntry>& entries, TarKind kind, bool unended = false);

#endif
