// The user's key file, read for the encrypted files it opens: where it
// lies, its two formats (the emulators' `NAME=HEX` with `:AES` sections, and
// a ROM-properties tool's INI with `[Keys]`), and the keys it gives. It is
// read once per process, when an encrypted file is first met; a batch's
// workers share it. Keys never leave the process.
#ifndef GALLIVOX_KEYS_H
#define GALLIVOX_KEYS_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The keys the walk uses, by their meaning; each format names them its way.
enum KeyName {
    KEY_CONSTANT,                          // the scrambler's constant C
    KEY_2C_X,                              // KeyX of slot 0x2C: an NCCH's ExeFS
    KEY_3D_X,                              // KeyX of slot 0x3D: the common keys
    KEY_COMMON_Y,                          // KeyY of common key 0 to 5: KEY_COMMON_Y + i
    KEY_COMMON_NORMAL = KEY_COMMON_Y + 6,  // common key i itself, where given
    KEY_COUNT = KEY_COMMON_NORMAL + 6,
};

const size_t KEY_SIZE = 16;
// A key file larger than this is bad, never read whole.
const size_t KEY_FILE_MAX = 1 << 20;

enum KeyFileState {
    KEYS_NONE,    // no key file: none where GALLIVOX_KEYS or the default place says
    KEYS_LOADED,  // read; `has` says which keys it gives
    KEYS_BAD,     // unusable: `problem` says why (a line number and a reason, never a value)
};

struct KeySet {
    KeyFileState state;
    std::string path;     // the key file, as found
    std::string problem;  // KEYS_BAD: such as "line 3: a value is not 32 hexadecimal digits"
    int ini;              // the INI format: names differ
    uint8_t has[KEY_COUNT];
    uint8_t keys[KEY_COUNT][KEY_SIZE];
};

// A process's key file, read on first use. Made empty by the command that
// runs the walks, which passes it down to every walk.
struct KeyRing {
    std::once_flag once;
    KeySet set;
};

// The key file of `ring`, read on the first call (from GALLIVOX_KEYS, or
// keys.txt in the user's configuration folder for gallivox), then kept.
// Safe to call from several threads.
const KeySet* KeyRingSet(KeyRing* ring);

// Makes `ring` hold the keys of the key file text `text`, as if read from a
// file of that name `path` (for a caller that holds the text already).
void KeyRingFromText(KeyRing* ring, const std::string& path, const std::string& text);

// Reads and parses the key file at `path` into `set` (KEYS_LOADED or
// KEYS_BAD); with `must_exist` 0, a file that does not exist is KEYS_NONE.
void LoadKeyFile(const std::string& path, int must_exist, KeySet* set);

enum KeyLookup {
    KEY_FOUND,     // the key is made
    KEY_NO_FILE,   // there is no key file (or no ring): the file stays encrypted
    KEY_FILE_BAD,  // the key file cannot be used
    KEY_ABSENT,    // the key file lacks a key: `*missing`, a KeyName
};

// Whether `ring` has a usable key file: KEY_FOUND, KEY_NO_FILE or
// KEY_FILE_BAD, reading it on first use.
KeyLookup KeyRingState(KeyRing* ring);

// Makes in `normal` the key that the scrambler makes from the key file's
// `key_x` (a KeyName), `key_y` (16 bytes) and its constant. A null `ring`
// is no key file.
KeyLookup KeyRingNormalKey(KeyRing* ring, int key_x, const uint8_t* key_y, uint8_t* normal, int* missing);

// Makes in `normal` common key `index` (0 to 5): the key file's normal key
// where it gives one (the INI format), else scrambled from KeyX 0x3D and
// that key's KeyY.
KeyLookup KeyRingCommonKey(KeyRing* ring, unsigned index, uint8_t* normal, int* missing);

// The name of a key as the key file's own format writes it, such as
// "slot0x2CKeyX" or "ctr-Slot0x2CKeyX".
std::string KeyFileName(const KeySet* set, int key);

#endif
