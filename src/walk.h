// The walk's primitives, beneath every format: the input as the walk reads
// it (its first bytes kept, every later read forward of the furthest one),
// the layers it stacks over it, its reads of headers, and the damage and
// failures they meet. Each format's module walks its headers with these
// alone; the dispatcher (container.h) picks the format. Nothing here knows
// of a format, of pixels or of PNGs, nor where its bytes come from.
#ifndef GALLIVOX_WALK_H
#define GALLIVOX_WALK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "byte_layer.h"
#include "cipher_layer.h"
#include "keys.h"
#include "metadata.h"
#include "stream_layer.h"
#include "z3ds.h"

// Bytes in a whole SMDH: its metadata (0x2040 bytes) and both icons.
const size_t SMDH_SIZE = 0x36C0;
// How many of an input's first bytes the walk keeps: every outer header,
// and the part of a raw DS banner that tells it, lie within them.
const size_t WALK_HEAD_SIZE = 0x840;
static_assert(WALK_HEAD_SIZE <= Z3DS_PREFIX_SIZE, "a Z3DS reader keeps all the walk has read");

enum SmdhFormat { FORMAT_SMDH, FORMAT_3DSX, FORMAT_CIA, FORMAT_NCSD, FORMAT_NCCH, FORMAT_NDS, FORMAT_NDS_BANNER };

enum WalkStatus {
    WALK_FOUND = 0,   // the SMDH's place is known (or, from ReadSmdh, its bytes)
    WALK_NOT_ICN,     // no format the walk knows, or too short to tell
    WALK_NO_ICON,     // the format has a place for an icon that this file leaves empty
    WALK_ENCRYPTED,   // the icon lies in content that is encrypted
    WALK_DAMAGED,     // a header is impossible; `damage` says how
    WALK_UNREADABLE,  // a read failed; `error` holds the errno value
    // The icon lies in encrypted content, and the user's key file...
    WALK_KEY_MISSING,   // lacks a key it needs: `missing_key`
    WALK_KEYS_WRONG,    // gives keys that do not open it
    WALK_KEY_FILE_BAD,  // cannot be used (the key set says why)
};

// The most layers the walk stacks over its input: a bundle, its member, a
// Z3DS file inside that, a CIA content's cipher and an NCCH's inside it.
const size_t WALK_MAX_LAYERS = 6;

struct BundleWalk;
struct KeyRing;

// An input as the walk reads it: every byte through `file`, the top layer
// of bytes, which gives the bytes of the file walked whatever lies beneath.
// The first bytes are kept, so reading them again costs nothing; past them,
// no read may begin behind the furthest byte read so far, whether or not
// the layers can seek, so both give the same answers. Where the walk has
// stacked a layer (a Z3DS file's), every offset, the head and the position
// are those of the file that layer gives.
struct WalkInput {
    ByteLayer* source;  // the input, at the bottom
    ByteLayer* file;
    uint8_t head[WALK_HEAD_SIZE];
    size_t head_size;                   // fewer than WALK_HEAD_SIZE when the input is that short
    uint64_t position;                  // the end of the furthest read
    ByteLayer layers[WALK_MAX_LAYERS];  // those the walk stacked, each on the one before
    size_t layer_count;
    ByteLayer stream_layer;  // the input, when BeginWalk was given a C stream
    StreamLayerState stream_state;
    const uint8_t* smdh_item;  // a Z3DS file's `smdh` item, or null
    size_t smdh_item_size;
    // A bundle's walk: its state (null for any other file), whether the
    // member walked may be only one whose icon a bundle's is (an NCSD, an
    // NCCH or a CIA), and an SMDH it has already read, which ReadSmdh gives.
    BundleWalk* bundle;
    int members_only;
    const uint8_t* kept_smdh;
    size_t kept_size;
    // The user's key file, read when encrypted content is met; null (as
    // BeginWalk leaves it) reads none: encrypted content stays WALK_ENCRYPTED.
    KeyRing* keys;
    // Where LocateSmdh stores the title's identity, zeroed first; null (as
    // BeginWalk leaves it) reads nothing for it. The identity's headers all
    // lie ahead of the SMDH, so a pipe gives what the file gives.
    TitleIdentity* identity;
};

// Where the walk found the SMDH, or why it did not.
struct SmdhLocation {
    SmdhFormat format;
    int recognised;           // `format` is known (a compressed file's or a bundle member's inner file's)
    const char* compression;  // "Z3DS" for a compressed file, else null
    int in_item;              // the SMDH is the Z3DS metadata's `smdh` item, not in the file
    int banner;               // a DS banner stands in the SMDH's place
    uint64_t offset;          // the SMDH's first byte in the input (in the file inside a Z3DS)
    uint64_t end;             // where its container ends it; UINT64_MAX: at the end of the input
    // An NCCH without NoCrypto, whose ExeFS header reads as plain: a tool
    // decrypted it and left the flag, unless the SMDH's bytes do not begin
    // with SMDH; then it is encrypted after all.
    int encrypted_unless_smdh;
    const char* damage;  // WALK_DAMAGED: a short clause, such as "its ExeFS lies past its end"
    int error;           // WALK_UNREADABLE: the errno value (never 0)
    int encrypted;       // the icon lies behind encryption, whether or not the keys open it
    int decrypted;       // a cipher layer gives its bytes: a bad SMDH means the keys do not open it
    int missing_key;     // WALK_KEY_MISSING: the KeyName
    // In a bundle: the name of the member walked, valid until EndWalk, and
    // where its data starts in the bundle; null for any other file. Every
    // offset above is in that member.
    const char* member;
    uint64_t member_start;
};

// A step of the walk that a format hands its inner file to: the
// dispatcher's, which tells that file's format and walks it.
typedef WalkStatus (*WalkStep)(WalkInput* input, SmdhLocation* location);

// Starts a walk over the layer `source` (the input's bytes, which stay the
// caller's) by reading its first WALK_HEAD_SIZE bytes (fewer when it is
// shorter). Returns 0, or the errno value of a failed read (never 0 then).
// Call EndWalk in any case.
int BeginWalkOn(WalkInput* input, ByteLayer* source);

// The same over `stream`, which must be at its first byte: a file when
// `seekable`, else a pipe read forward only.
int BeginWalk(WalkInput* input, FILE* stream, int seekable);

// Reads the found SMDH into `bytes` (SMDH_SIZE bytes): from its offset to its
// end, the end of the input, or SMDH_SIZE bytes, whichever comes first, and
// stores that count in `size`. Returns WALK_FOUND when it begins with "SMDH";
// otherwise WALK_DAMAGED or WALK_UNREADABLE, with `location` telling why, or
// WALK_ENCRYPTED for an NCCH marked encrypted whose bytes are not plain. A
// DS banner is read the same way, up to DS_BANNER_MAX_SIZE bytes, and found
// when its version, length and first CRC hold.
WalkStatus ReadSmdh(WalkInput* input, SmdhLocation* location, uint8_t* bytes, size_t* size);

// What a lookup in the key file (keys.h) means to the walk, where the icon
// lies behind encryption: WALK_FOUND with the key made, WALK_ENCRYPTED
// without a key file, WALK_KEY_FILE_BAD, or WALK_KEY_MISSING naming the
// `missing` key.
WalkStatus WalkKeyLookup(KeyLookup lookup, int missing, SmdhLocation* location);

// Stacks a cipher layer (cipher_layer.h) over the file walked, decrypting
// the region of `length` bytes at `start` with `key` and `iv`, and walks the
// bytes it gives from here on: the head's bytes too. Returns WALK_FOUND, or
// the layer's failure.
WalkStatus WalkDecrypt(WalkInput* input, SmdhLocation* location, CipherMode mode, uint64_t start, uint64_t length,
                       const uint8_t* key, const uint8_t* iv);

// Decrypts in place `size` bytes at `bytes` that the walk read at `offset`
// before its cipher layer was stacked, as that layer gives them. Returns how
// many of them, from the first, it could (see CipherLayerDecryptCopy).
size_t WalkDecryptCopy(WalkInput* input, uint64_t offset, uint8_t* bytes, size_t size);

// The next free layer, for a step that stacks one over the file walked (and
// then walks it: `input->file`). The walk stacks one of each kind at most,
// within WALK_MAX_LAYERS.
ByteLayer* WalkPushLayer(WalkInput* input);

// Reads the head anew from the file walked, once a layer is stacked:
// WALK_FOUND, or the broken layer's damage or failure.
WalkStatus WalkReadHead(WalkInput* input, SmdhLocation* location);

// What a broken layer means to the walk: its damage (WALK_DAMAGED), or its
// failed read (WALK_UNREADABLE).
WalkStatus WalkLayerFailure(const ByteLayer* layer, SmdhLocation* location);

// Closes the layers stacked above the first `count` and walks the top one
// of those (the input for 0) again.
void WalkLeaveLayers(WalkInput* input, size_t count);

// Stores a + b in `sum` and returns 1; 0 when the sum overflows 64 bits.
int WalkAddU64(uint64_t a, uint64_t b, uint64_t* sum);

// Sets the damage `why` (a short clause); returns WALK_DAMAGED.
WalkStatus WalkDamaged(SmdhLocation* location, const char* why);

// Reads a header that must be whole, `size` bytes at `offset` into `out`:
// WALK_FOUND; a file that ends first is the damage `cut_short`, an offset
// behind the furthest read "an offset points back into its headers", a
// broken layer its damage or WALK_UNREADABLE.
WalkStatus WalkReadHeader(WalkInput* input, SmdhLocation* location, uint64_t offset, uint8_t* out, size_t size,
                          const char* cut_short);

// Whether a status says the input itself failed (a read, or a layer's own
// structure, such as a Z3DS file's frames) rather than what its headers hold.
int WalkInputFailed(const WalkInput* input, WalkStatus status);

// How a read of the walk ended: READ_DAMAGED where a layer's own structure
// failed (the layer says how), READ_BEHIND where it would begin behind the
// furthest byte read.
enum ReadResult { READ_WHOLE, READ_SHORT, READ_FAILED, READ_BEHIND, READ_DAMAGED };

// Reads `size` bytes at `offset` of the file walked into `out`, the part
// within the head from it, and stores how many it got in `got`.
ReadResult WalkRead(WalkInput* input, uint64_t offset, uint8_t* out, size_t size, size_t* got);

#endif
