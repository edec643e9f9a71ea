#include "keys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto.h"
#include "platform.h"

// The names of every key in both formats, by KeyName (common keys: the
// name and the index appended).
static const char* const EMULATOR_NAMES[] = {"generatorConstant", "slot0x2CKeyX", "slot0x3DKeyX", "common"};
static const char* const INI_NAMES[] = {"ctr-scrambler", "ctr-Slot0x2CKeyX", "ctr-Slot0x3DKeyX", "ctr-Slot0x3DKeyY-",
                                        "ctr-Slot0x3DKeyNormal-"};

std::string KeyFileName(const KeySet* set, int key)
{
    if (key < KEY_COMMON_Y) {
        return set->ini ? INI_NAMES[key] : EMULATOR_NAMES[key];
    }
    if (key < KEY_COMMON_NORMAL) {
        return std::string(set->ini ? INI_NAMES[3] : EMULATOR_NAMES[3]) + std::to_string(key - KEY_COMMON_Y);
    }
    return std::string(INI_NAMES[4]) + std::to_string(key - KEY_COMMON_NORMAL);
}

// The key a name stands for in either format, or -1 for a name unused here.
static int key_named(const std::string& name, int ini)
{
    KeySet probe;
    probe.ini = ini;
    for (int key = 0; key < KEY_COUNT; key++) {
        if ((ini || key < KEY_COMMON_NORMAL) && KeyFileName(&probe, key) == name) {
            return key;
        }
    }
    return -1;
}

static std::string trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

static int hex_digit(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

static int parse_key(const std::string& value, uint8_t* key)
{
    if (value.size() != 2 * KEY_SIZE) {
        return 0;
    }
    for (size_t i = 0; i < KEY_SIZE; i++) {
        int high = hex_digit(value[2 * i]);
        int low = hex_digit(value[2 * i + 1]);
        if (high < 0 || low < 0) {
            return 0;
        }
        key[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return 1;
}

static void bad(KeySet* set, size_t line, const std::string& why)
{
    set->state = KEYS_BAD;
    set->problem = line == 0 ? why : "line " + std::to_string(line) + ": " + why;
}

// Splits the text into lines, each without its line end.
static std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Parses the text of a key file in either format, told by its lines: an INI
// section ([Keys]) or a ctr- name makes it the INI format; in the emulators'
// format, where there are sections (:NAME), only those of :AES count.
static void parse(const std::string& text, KeySet* set)
{
    // A byte-order mark, as Windows' editors save UTF-8, is no part of line 1.
    const bool marked = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    std::vector<std::string> lines = lines_of(marked ? text.substr(3) : text);
    int emulator_sections = 0;
    set->ini = 0;
    for (const std::string& raw : lines) {
        std::string line = trimmed(raw);
        emulator_sections |= !line.empty() && line[0] == ':';
        set->ini |= (!line.empty() && line[0] == '[') || line.compare(0, 4, "ctr-") == 0;
    }
    int counted = set->ini ? 0 : !emulator_sections;
    for (size_t number = 1; number <= lines.size(); number++) {
        std::string line = trimmed(lines[number - 1]);
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (set->ini && line[0] == '[') {
            counted = line == "[Keys]";
            continue;
        }
        if (!set->ini && line[0] == ':') {
            counted = line == ":AES";
            continue;
        }
        if (!counted) {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return bad(set, number, "a line has no '='");
        }
        std::string name = trimmed(line.substr(0, equals));
        // A comment may follow the value: `slot0x2CKeyX = 0123... # note`.
        std::string value = trimmed(line.substr(equals + 1, line.find_first_of("#;", equals) - equals - 1));
        int key = key_named(name, set->ini);
        if (key < 0 || value.empty()) {
            continue;  // a name unused here, or a key not given
        }
        uint8_t bytes[KEY_SIZE];
        if (!parse_key(value, bytes)) {
            return bad(set, number, "the value of " + name + " is not 32 hexadecimal digits");
        }
        if (set->has[key] && memcmp(set->keys[key], bytes, KEY_SIZE) != 0) {
            return bad(set, number, name + " is given twice with different values");
        }
        set->has[key] = 1;
        memcpy(set->keys[key], bytes, KEY_SIZE);
        memset(bytes, 0, sizeof bytes);
    }
    set->state = KEYS_LOADED;
}

void LoadKeyFile(const std::string& path, int must_exist, KeySet* set)
{
    set->path = path;
    set->state = KEYS_NONE;
    memset(set->has, 0, sizeof set->has);
    FILE* file = platform_open_regular_file(path.c_str());
    if (file == nullptr) {
        if (must_exist || errno != ENOENT) {
            bad(set, 0,
                errno == ENOENT   ? "it does not exist"
                : errno == EINVAL ? "it is not a regular file"
                                  : std::string("it cannot be read: ") + strerror(errno));
        }
        return;
    }
    std::string text(KEY_FILE_MAX + 1, '\0');
    errno = 0;
    size_t size = fread(&text[0], 1, text.size(), file);
    int error = ferror(file) ? (errno != 0 ? errno : EIO) : 0;
    fclose(file);
    if (error != 0) {
        bad(set, 0, std::string("it cannot be read: ") + strerror(error));
    } else if (size > KEY_FILE_MAX) {
        bad(set, 0, "it is larger than 1 MiB");
    } else {
        text.resize(size);
        parse(text, set);
    }
    std::fill(text.begin(), text.end(), '\0');
}

// Where the key file lies: GALLIVOX_KEYS; else keys.txt in gallivox's folder
// of the user's configuration. Empty when there is no such place.
static std::string key_file_path(int* named)
{
    const char* keys = getenv("GALLIVOX_KEYS");
    *named = keys != nullptr && keys[0] != 0;
    return *named ? std::string(keys) : platform_config_path("gallivox", "keys.txt");
}

const KeySet* KeyRingSet(KeyRing* ring)
{
    std::call_once(ring->once, [ring] {
        int named = 0;
        std::string path = key_file_path(&named);
        ring->set.state = KEYS_NONE;
        ring->set.ini = 0;
        memset(ring->set.has, 0, sizeof ring->set.has);
        if (!path.empty()) {
            LoadKeyFile(path, named, &ring->set);
        }
    });
    return &ring->set;
}

// The key set of `ring` as a lookup: KEY_FOUND with it, or why there is none.
static KeyLookup key_set(KeyRing* ring, const KeySet** set)
{
    if (ring == nullptr) {
        return KEY_NO_FILE;
    }
    *set = KeyRingSet(ring);
    return (*set)->state == KEYS_LOADED ? KEY_FOUND : (*set)->state == KEYS_BAD ? KEY_FILE_BAD : KEY_NO_FILE;
}

KeyLookup KeyRingState(KeyRing* ring)
{
    const KeySet* set = nullptr;
    return key_set(ring, &set);
}

KeyLookup KeyRingNormalKey(KeyRing* ring, int key_x, const uint8_t* key_y, uint8_t* normal, int* missing)
{
    const KeySet* set = nullptr;
    KeyLookup lookup = key_set(ring, &set);
    if (lookup != KEY_FOUND) {
        return lookup;
    }
    // KeyX first: an older emulator's file has it and lacks only the constant.
    for (int key : {key_x, static_cast<int>(KEY_CONSTANT)}) {
        if (!set->has[key]) {
            *missing = key;
            return KEY_ABSENT;
        }
    }
    ScrambleKey(set->keys[key_x], key_y, set->keys[KEY_CONSTANT], normal);
    return KEY_FOUND;
}

KeyLookup KeyRingCommonKey(KeyRing* ring, unsigned index, uint8_t* normal, int* missing)
{
    const KeySet* set = nullptr;
    KeyLookup lookup = key_set(ring, &set);
    if (lookup != KEY_FOUND) {
        return lookup;
    }
    if (set->has[KEY_COMMON_NORMAL + index]) {
        memcpy(normal, set->keys[KEY_COMMON_NORMAL + index], KEY_SIZE);
        return KEY_FOUND;
    }
    if (set->has[KEY_3D_X] && !set->has[KEY_COMMON_Y + index]) {
        *missing = static_cast<int>(KEY_COMMON_Y + index);
        return KEY_ABSENT;
    }
    return KeyRingNormalKey(ring, KEY_3D_X, set->keys[KEY_COMMON_Y + index], normal, missing);
}

void KeyRingFromText(KeyRing* ring, const std::string& path, const std::string& text)
{
    std::call_once(ring->once, [ring, &path, &text] {
        ring->set.path = path;
        memset(ring->set.has, 0, sizeof ring->set.has);
        parse(text, &ring->set);
    });
}
