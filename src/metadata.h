// What an SMDH says about its title: its texts and settings parsed into
// plain values, and written as one JSON object.
#ifndef GALLIVOX_METADATA_H
#define GALLIVOX_METADATA_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Bytes of an SMDH before its icons: header, titles and settings.
const size_t SMDH_METADATA_SIZE = 0x2040;
// Title entries that name a language (ja to zh-Hant); 12 to 15 are unused.
const int SMDH_LANGUAGES = 12;
const int SMDH_RATING_BOARDS = 16;

// A UTF-16 code unit becomes at most 3 bytes of UTF-8 (a pair, 4 for 2).
const size_t LONG_TEXT_SIZE = 128 * 3 + 1;

// One title entry, each text UTF-8 and zero-terminated; every field holds
// a long text, as a line of a DS banner's title may be that long.
struct SmdhTitle {
    char short_description[LONG_TEXT_SIZE];
    char long_description[LONG_TEXT_SIZE];
    char publisher[LONG_TEXT_SIZE];
};

struct SmdhMetadata {
    uint16_t version;
    SmdhTitle titles[SMDH_LANGUAGES];
    uint8_t ratings[SMDH_RATING_BOARDS];
    uint32_t region_lockout;
    uint32_t flags;
    uint8_t eula_major;
    uint8_t eula_minor;
};

// What a file's headers say of the title they carry: the fields catalogues
// key on. A text field is kept as stored (its text ends at its first zero
// byte; all zero: there is none); a number has a flag that says it was read.
const size_t PRODUCT_CODE_SIZE = 0x10;
const size_t MAKER_CODE_SIZE = 2;
struct TitleIdentity {
    int has_title_id;
    uint64_t title_id;
    uint8_t product_code[PRODUCT_CODE_SIZE];
    uint8_t maker_code[MAKER_CODE_SIZE];
    int has_title_version;
    uint16_t title_version;
};

// One frame of a DSi animated icon, as its sequence token gives it.
struct DsFrame {
    int bitmap;
    int palette;
    int flip_h;
    int flip_v;
    int duration;  // in 1/60 second
};

// A DSi animation: its frames up to the first 0 token of the 64.
const int DS_ANIMATION_TOKENS = 64;
struct DsAnimation {
    int present;  // 0: there is none that can be read
    int count;
    DsFrame frames[DS_ANIMATION_TOKENS];
};

// What the JSON object says about the file around the SMDH or DS banner.
struct SmdhFileFacts {
    const char* path;         // as given; any bytes
    const char* format;       // "SMDH", "3DSX", "CIA", "NCSD", "NCCH", "NDS" or "NDS-BANNER"
    const char* compression;  // "Z3DS", or null for an uncompressed file
    const char* member;       // the bundle's member that holds the SMDH (any bytes), or null
    int encrypted;            // the SMDH lay behind encryption
    // A DS banner in the SMDH's place: the SMDH's own keys are then null,
    // and the metadata holds the banner's titles.
    int is_banner;
    int has_offset;   // 0 where the SMDH lies outside the file (a Z3DS metadata item)
    uint64_t offset;  // the SMDH's first byte in the file, or the banner's
    int small_icon;   // whether each icon block lies whole inside the SMDH's extent
    int large_icon;
    const TitleIdentity* identity;  // every field absent when null
    const DsAnimation* animation;   // null, or the banner's
};

// Decodes the UTF-16LE string of `units` code units at `field` into `out`
// (3·units + 1 bytes) as UTF-8, zero-terminated. It ends at the first zero
// unit or the field's end; a surrogate pair becomes its code point, an
// unpaired surrogate U+FFFD. Returns the bytes written, the zero excluded.
size_t Utf16leToUtf8(const uint8_t* field, size_t units, char* out);

// Parses the first SMDH_METADATA_SIZE bytes of an SMDH into `metadata`.
void ParseSmdhMetadata(const uint8_t* smdh, SmdhMetadata* metadata);

// The title slot (0 ja, 1 en, 2 fr, 3 de, 4 it, 5 es, 6 zh-Hans, 7 ko, 8 nl,
// 9 pt, 10 ru, 11 zh-Hant) of the language `tag` ("ja", "zh-Hans"...), the
// tags --info names the titles by; -1 for a language that has none.
int TitleSlotOfLanguage(const char* tag);

// Writes `length` bytes as a JSON string, quotes included: `"` and `\`
// escaped, U+0000 to U+001F as \n, \t, \r, \b, \f or \u00XX, all else as
// UTF-8; each byte that is not part of valid UTF-8 becomes U+FFFD.
void WriteJsonString(FILE* out, const char* bytes, size_t length);

// Writes one JSON object describing the file and its SMDH, indented for an
// element of a top-level array, without a line end after its closing brace.
// Where `metadata` is null (a file whose titles cannot be read), "version",
// "titles" and every setting are null. Output errors are left for the
// caller to find with ferror.
void WriteSmdhJson(FILE* out, const SmdhFileFacts* file, const SmdhMetadata* metadata);

#endif
