// Fuzz target: arbitrary text as the user's key file. Parsing must be the
// same whatever the line ends (LF or CR LF) and with a byte-order mark in
// front; a file that cannot be used names a line and why, never a value:
// no run of 32 hexadecimal digits may reach its reason.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keys.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_keys: %s\n", what);
        abort();
    }
}

struct Parsed {
    KeyFileState state;
    std::string problem;
    int ini;
    uint8_t has[KEY_COUNT];
    uint8_t keys[KEY_COUNT][KEY_SIZE];
};

Parsed parse(const std::string& text)
{
    KeyRing ring;
    KeyRingFromText(&ring, "keys.txt", text);
    const KeySet* set = KeyRingSet(&ring);
    Parsed parsed;
    parsed.state = set->state;
    parsed.problem = set->problem;
    parsed.ini = set->ini;
    memcpy(parsed.has, set->has, sizeof parsed.has);
    memcpy(parsed.keys, set->keys, sizeof parsed.keys);
    return parsed;
}

bool same(const Parsed& a, const Parsed& b)
{
    if (a.state != b.state || a.problem != b.problem || a.ini != b.ini || memcmp(a.has, b.has, sizeof a.has) != 0) {
        return false;
    }
    for (int key = 0; key < KEY_COUNT; key++) {
        if (a.has[key] && memcmp(a.keys[key], b.keys[key], KEY_SIZE) != 0) {
            return false;
        }
    }
    return true;
}

bool holds_hex_run(const std::string& text)
{
    size_t run = 0;
    for (char c : text) {
        run = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ? run + 1 : 0;
        if (run >= 2 * KEY_SIZE) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    // A BOM of its own, or CR, would make the variants differ for a reason.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0 || text.find('\r') != std::string::npos) {
        return 0;
    }
    Parsed plain = parse(text);
    require(plain.state != KEYS_NONE, "text parsed to no key file");
    require(plain.state == KEYS_BAD || plain.problem.empty(), "a usable file with a problem");
    require(plain.state != KEYS_BAD || !holds_hex_run(plain.problem), "a key's value in the reason");
    require(same(plain, parse("\xEF\xBB\xBF" + text)), "a byte-order mark changes the keys");
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    require(same(plain, parse(crlf)), "CR LF line ends change the keys");
    return 0;
}
