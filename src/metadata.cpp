#include "metadata.h"

#include <cinttypes>
#include <cstring>

#include "utils.h"

const uint8_t LITTLE = 1;

// Offsets in the SMDH.
const size_t VERSION_OFFSET = 0x0004;
const size_t TITLES_OFFSET = 0x0008;
const size_t TITLE_ENTRY_SIZE = 0x200;
const size_t SHORT_OFFSET = 0x000;
const size_t LONG_OFFSET = 0x080;
const size_t PUBLISHER_OFFSET = 0x180;
const size_t SHORT_UNITS = 64;
const size_t LONG_UNITS = 128;
const size_t RATINGS_OFFSET = 0x2008;
const size_t REGION_LOCKOUT_OFFSET = 0x2018;
const size_t FLAGS_OFFSET = 0x2028;
const size_t EULA_MINOR_OFFSET = 0x202C;
const size_t EULA_MAJOR_OFFSET = 0x202D;

const uint8_t RATING_ACTIVE = 0x80;
const uint8_t RATING_PENDING = 0x40;
const uint8_t RATING_NO_RESTRICTION = 0x20;
const uint8_t RATING_AGE = 0x1F;

const uint32_t REPLACEMENT_CHARACTER = 0xFFFD;
static const char REPLACEMENT_UTF8[] = "\xEF\xBF\xBD";

static const char* const LANGUAGE_CODES[SMDH_LANGUAGES] = {
    "ja", "en", "fr", "de", "it", "es", "zh-Hans", "ko", "nl", "pt", "ru", "zh-Hant",
};

// Rating boards by byte index; null marks a reserved index.
static const char* const RATING_BOARDS[SMDH_RATING_BOARDS] = {
    "CERO", "ESRB", nullptr, "USK",   "PEGI GEN", nullptr, "PEGI PRT", "PEGI BBFC",
    "COB",  "GRB",  "CGSRR", nullptr, nullptr,    nullptr, nullptr,    nullptr,
};

// Names of the bits of the region lockout and of the flags, lowest first;
// null marks a bit without a name.
static const char* const REGION_NAMES[] = {
    "Japan", "North America", "Europe", "Australia", "China", "Korea", "Taiwan",
};
static const char* const FLAG_NAMES[] = {
    "visible",         "auto_boot",       "allow_3d",  "require_eula", "autosave",
    "extended_banner", "rating_required", "save_data", "record_usage", nullptr,
    "no_save_backup",  nullptr,           "new_3ds",   nullptr,        "parental_restricted",
};

// Stores the UTF-8 form of `code_point` (at most U+10FFFF) at `out`;
// returns its length.
static size_t put_utf8(char* out, uint32_t code_point)
{
    if (code_point < 0x80) {
        out[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code_point >> 6));
        out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code_point >> 12));
        out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code_point >> 18));
    out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 4;
}

static int is_high_surrogate(uint32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

static int is_low_surrogate(uint32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

size_t Utf16leToUtf8(const uint8_t* field, size_t units, char* out)
{
    size_t length = 0;
    for (size_t i = 0; i < units; i++) {
        uint32_t unit = u8_to_u16(field + 2 * i, LITTLE);
        if (unit == 0) {
            break;
        }
        uint32_t code_point = unit;
        if (is_high_surrogate(unit) && i + 1 < units && is_low_surrogate(u8_to_u16(field + 2 * i + 2, LITTLE))) {
            uint32_t low = u8_to_u16(field + 2 * i + 2, LITTLE);
            code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i++;
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            code_point = REPLACEMENT_CHARACTER;
        }
        length += put_utf8(out + length, code_point);
    }
    out[length] = 0;
    return length;
}

int TitleSlotOfLanguage(const char* tag)
{
    for (int slot = 0; slot < SMDH_LANGUAGES; slot++) {
        if (strcmp(tag, LANGUAGE_CODES[slot]) == 0) {
            return slot;
        }
    }
    return -1;
}

void ParseSmdhMetadata(const uint8_t* smdh, SmdhMetadata* metadata)
{
    metadata->version = u8_to_u16(smdh + VERSION_OFFSET, LITTLE);
    for (int i = 0; i < SMDH_LANGUAGES; i++) {
        const uint8_t* entry = smdh + TITLES_OFFSET + static_cast<size_t>(i) * TITLE_ENTRY_SIZE;
        SmdhTitle* title = &metadata->titles[i];
        Utf16leToUtf8(entry + SHORT_OFFSET, SHORT_UNITS, title->short_description);
        Utf16leToUtf8(entry + LONG_OFFSET, LONG_UNITS, title->long_description);
        Utf16leToUtf8(entry + PUBLISHER_OFFSET, SHORT_UNITS, title->publisher);
    }
    for (int i = 0; i < SMDH_RATING_BOARDS; i++) {
        metadata->ratings[i] = smdh[RATINGS_OFFSET + static_cast<size_t>(i)];
    }
    metadata->region_lockout = u8_to_u32(smdh + REGION_LOCKOUT_OFFSET, LITTLE);
    metadata->flags = u8_to_u32(smdh + FLAGS_OFFSET, LITTLE);
    metadata->eula_minor = smdh[EULA_MINOR_OFFSET];
    metadata->eula_major = smdh[EULA_MAJOR_OFFSET];
}

static int is_continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `bytes` (`left` bytes remain),
// or 0 when it is not one: overlong forms, surrogates and code points past
// U+10FFFF are not valid.
static size_t utf8_sequence_length(const unsigned char* bytes, size_t left)
{
    unsigned char lead = bytes[0];
    size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > left) {
        return 0;
    }
    // The second byte's range narrows for the leads that could be overlong,
    // a surrogate, or too large.
    unsigned char second = bytes[1];
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (second < low || second > high) {
        return 0;
    }
    for (size_t i = 2; i < length; i++) {
        if (!is_continuation(bytes[i])) {
            return 0;
        }
    }
    return length;
}

static void write_escaped_ascii(FILE* out, unsigned char c)
{
    // The characters that JSON escapes by a letter, and their letters.
    static const char by_letter[] = "\"\\\n\t\r\b\f";
    static const char letters[] = "\"\\ntrbf";
    const char* found = c != 0 ? strchr(by_letter, c) : nullptr;
    if (found != nullptr) {
        fputc('\\', out);
        fputc(letters[found - by_letter], out);
    } else if (c < 0x20) {
        fprintf(out, "\\u%04X", c);
    } else {
        fputc(c, out);
    }
}

void WriteJsonString(FILE* out, const char* bytes, size_t length)
{
    const unsigned char* text = reinterpret_cast<const unsigned char*>(bytes);
    fputc('"', out);
    size_t i = 0;
    while (i < length) {
        if (text[i] < 0x80) {
            write_escaped_ascii(out, text[i]);
            i++;
            continue;
        }
        size_t sequence = utf8_sequence_length(text + i, length - i);
        if (sequence == 0) {
            fputs(REPLACEMENT_UTF8, out);
            i++;
        } else {
            fwrite(text + i, 1, sequence, out);
            i += sequence;
        }
    }
    fputc('"', out);
}

static void write_text(FILE* out, const char* text)
{
    WriteJsonString(out, text, strlen(text));
}

static int title_is_empty(const SmdhTitle* title)
{
    return title->short_description[0] == 0 && title->long_description[0] == 0 && title->publisher[0] == 0;
}

static void write_titles(FILE* out, const SmdhMetadata* metadata)
{
    const char* separator = "\n";
    fputs("    \"titles\": {", out);
    for (int i = 0; i < SMDH_LANGUAGES; i++) {
        const SmdhTitle* title = &metadata->titles[i];
        if (title_is_empty(title)) {
            continue;
        }
        fprintf(out, "%s      \"%s\": {\n        \"short\": ", separator, LANGUAGE_CODES[i]);
        write_text(out, title->short_description);
        fputs(",\n        \"long\": ", out);
        write_text(out, title->long_description);
        fputs(",\n        \"publisher\": ", out);
        write_text(out, title->publisher);
        fputs("\n      }", out);
        separator = ",\n";
    }
    fputs(separator[0] == ',' ? "\n    },\n" : "},\n", out);
}

static const char* json_bool(int value)
{
    return value ? "true" : "false";
}

static void write_ratings(FILE* out, const SmdhMetadata* metadata)
{
    const char* separator = "\n";
    fputs("    \"ratings\": {", out);
    for (int i = 0; i < SMDH_RATING_BOARDS; i++) {
        uint8_t rating = metadata->ratings[i];
        if (RATING_BOARDS[i] == nullptr || (rating & RATING_ACTIVE) == 0) {
            continue;
        }
        fprintf(out, "%s      \"%s\": {\"age\": %u, \"pending\": %s, \"no_restriction\": %s}", separator,
                RATING_BOARDS[i], rating & RATING_AGE, json_bool(rating & RATING_PENDING),
                json_bool(rating & RATING_NO_RESTRICTION));
        separator = ",\n";
    }
    fputs(separator[0] == ',' ? "\n    },\n" : "},\n", out);
}

// Writes the names of the set bits of `bits` that have one, as a JSON array.
static void write_bit_names(FILE* out, uint32_t bits, const char* const* names, size_t count)
{
    const char* separator = "";
    fputc('[', out);
    for (size_t bit = 0; bit < count; bit++) {
        if ((bits >> bit) & 1u && names[bit] != nullptr) {
            fprintf(out, "%s\"%s\"", separator, names[bit]);
            separator = ", ";
        }
    }
    fputc(']', out);
}

// Writes a code field of `size` bytes (ASCII padded with zero bytes) as a
// JSON string: up to its first zero byte, each byte outside printable ASCII
// as U+FFFD; null when that leaves nothing.
static void write_code(FILE* out, const uint8_t* field, size_t size)
{
    size_t length = 0;
    while (length < size && field[length] != 0) {
        length++;
    }
    if (length == 0) {
        fputs("null", out);
        return;
    }
    fputc('"', out);
    for (size_t i = 0; i < length; i++) {
        if (field[i] >= 0x20 && field[i] <= 0x7E) {
            write_escaped_ascii(out, field[i]);
        } else {
            fputs(REPLACEMENT_UTF8, out);
        }
    }
    fputc('"', out);
}

// Writes one line of the object: `"key": value,` with the number, or null
// where it is not `present`.
static void write_number(FILE* out, const char* key, int present, uint64_t value)
{
    if (present) {
        fprintf(out, "    \"%s\": %" PRIu64 ",\n", key, value);
    } else {
        fprintf(out, "    \"%s\": null,\n", key);
    }
}

static void write_identity(FILE* out, const TitleIdentity* identity)
{
    static const TitleIdentity none = {};
    if (identity == nullptr) {
        identity = &none;
    }
    fputs("    \"title_id\": ", out);
    if (identity->has_title_id) {
        fprintf(out, "\"%016" PRIX64 "\"", identity->title_id);
    } else {
        fputs("null", out);
    }
    fputs(",\n    \"product_code\": ", out);
    write_code(out, identity->product_code, PRODUCT_CODE_SIZE);
    fputs(",\n    \"maker_code\": ", out);
    write_code(out, identity->maker_code, MAKER_CODE_SIZE);
    fputs(",\n", out);
    write_number(out, "title_version", identity->has_title_version, identity->title_version);
}

// The SMDH's settings, from its ratings to its EULA version.
static void write_settings(FILE* out, const SmdhMetadata* metadata)
{
    write_ratings(out, metadata);
    fprintf(out, "    \"region_lockout\": %" PRIu32 ",\n    \"regions\": ", metadata->region_lockout);
    write_bit_names(out, metadata->region_lockout, REGION_NAMES, sizeof REGION_NAMES / sizeof REGION_NAMES[0]);
    fprintf(out, ",\n    \"flags\": %" PRIu32 ",\n    \"flag_names\": ", metadata->flags);
    write_bit_names(out, metadata->flags, FLAG_NAMES, sizeof FLAG_NAMES / sizeof FLAG_NAMES[0]);
    fprintf(out, ",\n    \"eula_version\": \"%u.%u\",\n", metadata->eula_major, metadata->eula_minor);
}

static void write_animation(FILE* out, const DsAnimation* animation)
{
    if (animation == nullptr || !animation->present) {
        fputs("null", out);
        return;
    }
    fputc('[', out);
    for (int i = 0; i < animation->count; i++) {
        const DsFrame* frame = &animation->frames[i];
        fprintf(out, "%s\n      {\"bitmap\": %d, \"palette\": %d, \"flip_h\": %s, \"flip_v\": %s, \"duration\": %d}",
                i == 0 ? "" : ",", frame->bitmap, frame->palette, json_bool(frame->flip_h), json_bool(frame->flip_v),
                frame->duration);
    }
    fputs(animation->count > 0 ? "\n    ]" : "]", out);
}

void WriteSmdhJson(FILE* out, const SmdhFileFacts* file, const SmdhMetadata* metadata)
{
    fputs("  {\n    \"file\": ", out);
    WriteJsonString(out, file->path, strlen(file->path));
    fprintf(out, ",\n    \"format\": \"%s\",\n    \"compression\": ", file->format);
    if (file->compression != nullptr) {
        fprintf(out, "\"%s\",\n", file->compression);
    } else {
        fputs("null,\n", out);
    }
    fputs("    \"bundle\": ", out);
    if (file->member != nullptr) {
        WriteJsonString(out, file->member, strlen(file->member));
    } else {
        fputs("null", out);
    }
    fprintf(out, ",\n    \"encrypted\": %s,\n", json_bool(file->encrypted));
    write_number(out, "smdh_offset", file->has_offset && !file->is_banner, file->offset);
    write_number(out, "banner_offset", file->has_offset && file->is_banner, file->offset);
    write_identity(out, file->identity);
    write_number(out, "version", metadata != nullptr && !file->is_banner, metadata != nullptr ? metadata->version : 0);
    if (metadata != nullptr) {
        write_titles(out, metadata);
    } else {
        fputs("    \"titles\": null,\n", out);
    }
    if (file->is_banner || metadata == nullptr) {
        fputs("    \"ratings\": null,\n    \"region_lockout\": null,\n    \"regions\": null,\n    \"flags\": null,\n"
              "    \"flag_names\": null,\n    \"eula_version\": null,\n",
              out);
    } else {
        write_settings(out, metadata);
    }
    fprintf(out, "    \"icons\": {\"small\": %s, \"large\": %s},\n    \"animation\": ", json_bool(file->small_icon),
            json_bool(file->large_icon));
    write_animation(out, file->animation);
    fputs("\n  }", out);
}
