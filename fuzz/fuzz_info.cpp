// Fuzz target: arbitrary bytes as an SMDH's metadata or a DS banner, some of
// them as the file's name and the rest as the title's identity, through the parsing and the JSON writing of --info. The
// output must always be one valid JSON value of valid UTF-8, checked by a
// strict parser of RFC 8259's grammar written here for the purpose. A DS
// banner's icon is decoded, and its DSi animation, where it has one, built
// and encoded as -a writes it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <lodepng.h>

#include "ds_banner.h"
#include "icon.h"
#include "metadata.h"
#include "png_encoder.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_info: %s\n", what);
        abort();
    }
}

struct Parser {
    const unsigned char* at;
    const unsigned char* end;
};

bool value(Parser* p, int depth);

void skip_space(Parser* p)
{
    while (p->at < p->end && (*p->at == ' ' || *p->at == '\n' || *p->at == '\r' || *p->at == '\t')) {
        p->at++;
    }
}

bool literal(Parser* p, const char* word)
{
    size_t n = strlen(word);
    if (static_cast<size_t>(p->end - p->at) < n || memcmp(p->at, word, n) != 0) {
        return false;
    }
    p->at += n;
    return true;
}

bool is_digit(Parser* p)
{
    return p->at < p->end && *p->at >= '0' && *p->at <= '9';
}

// Integers only: the writer prints no fractions.
bool number(Parser* p)
{
    if (!is_digit(p)) {
        return false;
    }
    bool leading_zero = *p->at == '0';
    p->at++;
    if (leading_zero) {
        return !is_digit(p);
    }
    while (is_digit(p)) {
        p->at++;
    }
    return true;
}

// A UTF-8 sequence, strictly: no overlong forms, surrogates or values past U+10FFFF.
bool utf8(Parser* p)
{
    unsigned char lead = *p->at;
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || static_cast<size_t>(p->end - p->at) < length) {
        return false;
    }
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        if ((p->at[i] & 0xC0) != 0x80) {
            return false;
        }
        code = code << 6 | (p->at[i] & 0x3F);
    }
    const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    p->at += length;
    return (length == 1 || code >= least[length]) && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}

bool string(Parser* p)
{
    if (p->at == p->end || *p->at != '"') {
        return false;
    }
    p->at++;
    while (p->at < p->end && *p->at != '"') {
        if (*p->at < 0x20) {
            return false;
        }
        if (*p->at != '\\') {
            if (!utf8(p)) {
                return false;
            }
            continue;
        }
        p->at++;
        if (p->at == p->end) {
            return false;
        }
        if (*p->at == 'u') {
            for (int i = 1; i <= 4; i++) {
                if (p->at + i >= p->end || !isxdigit(p->at[i])) {
                    return false;
                }
            }
            p->at += 5;
        } else if (strchr("\"\\/bfnrt", *p->at) != nullptr && *p->at != 0) {
            p->at++;
        } else {
            return false;
        }
    }
    return p->at < p->end && *p->at++ == '"';
}

// An object (`close` '}') or array (`close` ']') after its opening bracket.
bool members(Parser* p, char close, int depth)
{
    skip_space(p);
    if (p->at < p->end && *p->at == close) {
        p->at++;
        return true;
    }
    for (;;) {
        skip_space(p);
        if (close == '}') {
            if (!string(p)) {
                return false;
            }
            skip_space(p);
            if (p->at == p->end || *p->at++ != ':') {
                return false;
            }
        }
        if (!value(p, depth + 1)) {
            return false;
        }
        skip_space(p);
        if (p->at == p->end) {
            return false;
        }
        char next = static_cast<char>(*p->at++);
        if (next == close) {
            return true;
        }
        if (next != ',') {
            return false;
        }
    }
}

bool value(Parser* p, int depth)
{
    skip_space(p);
    if (p->at == p->end || depth > 16) {
        return false;
    }
    switch (*p->at) {
    case '{':
        p->at++;
        return members(p, '}', depth);
    case '[':
        p->at++;
        return members(p, ']', depth);
    case '"':
        return string(p);
    case 't':
        return literal(p, "true");
    case 'f':
        return literal(p, "false");
    case 'n':
        return literal(p, "null");
    default:
        return number(p);
    }
}

// The animation of a banner that has one, as -a writes it: each frame shown
// for a tick or more, no two in a row alike, their ticks all the sequence's;
// and its APNG, whose frames are its fcTL in one sequence from 0 and whose
// default image LodePNG decodes as the still icon.
void check_animation(const uint8_t* banner, size_t size, const std::vector<uint8_t>& still)
{
    if (DsAnimationStateOf(banner, size) != DS_ANIMATION_OK) {
        return;
    }
    DsAnimation animation;
    ParseDsAnimation(banner, &animation);
    unsigned ticks = 0;
    for (int i = 0; i < animation.count; i++) {
        ticks += unsigned(animation.frames[i].duration);
    }
    std::vector<uint8_t> pictures;
    std::vector<PngFrame> frames;
    DsAnimationFrames(banner, &pictures, &frames);
    require(!frames.empty() && frames.size() <= DS_ANIMATION_TOKENS, "frames for an animation");
    unsigned shown = 0;
    for (size_t i = 0; i < frames.size(); i++) {
        require(frames[i].delay_numerator >= 1 && frames[i].delay_denominator == 60, "a frame's delay");
        require(i == 0 || memcmp(frames[i - 1].rgba, frames[i].rgba, still.size()) != 0, "two frames alike in a row");
        shown += frames[i].delay_numerator;
    }
    require(shown == ticks, "the frames' ticks are not the sequence's");
    std::vector<uint8_t> png;
    require(EncodeAnimatedPng(still.data(), frames.data(), frames.size(), 32, 32, &png) == 0, "the APNG");
    uint32_t sequence = 0;
    size_t controls = 0;
    for (size_t at = 8; at + 12 <= png.size();) {
        uint32_t length =
            uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 | uint32_t(png[at + 2]) << 8 | png[at + 3];
        const uint8_t* type = png.data() + at + 4;
        if (memcmp(type, "fcTL", 4) == 0 || memcmp(type, "fdAT", 4) == 0) {
            const uint8_t* number = type + 4;
            require((uint32_t(number[0]) << 24 | uint32_t(number[1]) << 16 | uint32_t(number[2]) << 8 | number[3]) ==
                        sequence++,
                    "a sequence number out of turn");
            controls += type[1] == 'c';
        }
        at += 12 + size_t(length);
    }
    require(controls == frames.size(), "fcTL for each frame");
    unsigned char* decoded = nullptr;
    unsigned width = 0;
    unsigned height = 0;
    require(lodepng_decode32(&decoded, &width, &height, png.data(), png.size()) == 0 && width == 32 && height == 32 &&
                memcmp(decoded, still.data(), still.size()) == 0,
            "the default image is not the still icon");
    free(decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte says how many of the next bytes name the file.
    size_t name_length = size > 0 ? data[0] % 32 : 0;
    name_length = name_length < size - (size > 0) ? name_length : size - (size > 0);
    std::string name(reinterpret_cast<const char*>(data) + (size > 0), name_length);
    name = name.substr(0, strnlen(name.c_str(), name.size()));  // a path holds no zero byte
    std::vector<uint8_t> smdh(SMDH_METADATA_SIZE, 0);
    memcpy(smdh.data(), "SMDH", 4);
    size_t rest = size - (size > 0) - name_length;
    memcpy(smdh.data() + 4, data + (size > 0) + name_length, rest < smdh.size() - 4 ? rest : smdh.size() - 4);

    SmdhMetadata* metadata = static_cast<SmdhMetadata*>(malloc(sizeof(SmdhMetadata)));
    DsAnimation* animation = static_cast<DsAnimation*>(malloc(sizeof(DsAnimation)));
    require(metadata != nullptr && animation != nullptr, "no memory");
    char* text = nullptr;
    size_t text_size = 0;
    FILE* out = open_memstream(&text, &text_size);
    require(out != nullptr, "open_memstream failed");
    // Bytes past the metadata are the title's identity: a byte of flags
    // saying which numbers are there, the numbers and the two codes.
    TitleIdentity identity = {};
    size_t used = (size > 0) + name_length + (smdh.size() - 4);
    uint8_t fields[1 + 8 + 2 + PRODUCT_CODE_SIZE + MAKER_CODE_SIZE] = {0};
    if (size > used) {
        memcpy(fields, data + used, size - used < sizeof fields ? size - used : sizeof fields);
    }
    identity.has_title_id = fields[0] & 1;
    identity.has_title_version = fields[0] & 2;
    memcpy(&identity.title_id, fields + 1, 8);
    memcpy(&identity.title_version, fields + 9, 2);
    memcpy(identity.product_code, fields + 11, PRODUCT_CODE_SIZE);
    memcpy(identity.maker_code, fields + 11 + PRODUCT_CODE_SIZE, MAKER_CODE_SIZE);
    // With flag 16, the same bytes are a DS banner of the version that bits
    // 5 and 6 pick, continued past the metadata's size by the bytes after
    // the fields (the DSi animation's sequence lies there), each of its CRCs
    // made to hold unless bit 7 says otherwise. Its icon is decoded too.
    bool banner = (fields[0] & 16) != 0;
    if (banner) {
        static const uint16_t versions[4] = {0x0001, 0x0002, 0x0003, 0x0103};
        static const size_t starts[4] = {0x20, 0x20, 0x20, 0x1240};
        static const size_t ends[4] = {0x840, 0x940, 0xA40, 0x23C0};
        smdh.resize(DS_BANNER_MAX_SIZE);
        size_t after_fields = used + sizeof fields;
        if (size > after_fields) {
            size_t more = size - after_fields;
            size_t room = DS_BANNER_MAX_SIZE - SMDH_METADATA_SIZE;
            memcpy(smdh.data() + SMDH_METADATA_SIZE, data + after_fields, more < room ? more : room);
        }
        uint16_t version = versions[(fields[0] >> 5) & 3];
        memcpy(smdh.data(), &version, 2);
        for (size_t i = 0; i < 4; i++) {
            uint16_t crc = DsCrc16(smdh.data() + starts[i], ends[i] - starts[i]);
            crc ^= (fields[0] & 0x80) && i == fields[9] % 4 ? 1 : 0;
            memcpy(smdh.data() + 2 + 2 * i, &crc, 2);
        }
        ParseDsBanner(smdh.data(), smdh.size(), metadata, animation);
        std::vector<uint8_t> rgba(4 * DS_ICON_SIDE * DS_ICON_SIDE);
        DsIconToRgba(smdh.data(), rgba.data());
        for (size_t i = 0; i < rgba.size(); i += 4) {
            require(rgba[i + 3] == 0 ? rgba[i] == 0 : rgba[i + 3] == 255 && (rgba[i] & 7) == 0, "not a DS colour");
        }
        check_animation(smdh.data(), smdh.size(), rgba);
    } else {
        ParseSmdhMetadata(smdh.data(), metadata);
    }
    SmdhFileFacts facts = {name.c_str(),
                           banner ? "NDS" : "SMDH",
                           fields[0] & 4 ? "Z3DS" : nullptr,
                           fields[10] & 0x80 ? name.c_str() : nullptr,  // as a bundle's member: any bytes too
                           fields[10] & 0x40,
                           banner,
                           fields[0] & 8,
                           fields[1] | 0x1000u,
                           !banner,
                           1,
                           &identity,
                           banner ? animation : nullptr};
    fputs("[\n", out);
    WriteSmdhJson(out, &facts, metadata);
    fputs("\n]\n", out);
    require(fclose(out) == 0, "cannot close the memory stream");
    Parser p = {reinterpret_cast<const unsigned char*>(text), reinterpret_cast<const unsigned char*>(text) + text_size};
    require(value(&p, 0), "the output is not JSON");
    skip_space(&p);
    require(p.at == p.end, "bytes after the JSON value");
    free(text);
    free(metadata);
    free(animation);
    return 0;
}
