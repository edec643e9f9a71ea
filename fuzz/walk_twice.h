// What the walk's fuzz targets share: the walk of bytes as a file that can
// seek and as a pipe that only reads forward, and a check that aborts.
#ifndef GALLIVOX_WALK_TWICE_H
#define GALLIVOX_WALK_TWICE_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container.h"
#include "icn_writer.h"
#include "keys.h"

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz: %s\n", what);
        abort();
    }
}

struct Pipe {
    const std::vector<uint8_t>* bytes;
    size_t next;
};

ssize_t pipe_read(void* cookie, char* out, size_t size)
{
    Pipe* pipe = static_cast<Pipe*>(cookie);
    size_t left = pipe->bytes->size() - pipe->next;
    size_t n = size < left ? size : left;
    memcpy(out, pipe->bytes->data() + pipe->next, n);
    pipe->next += n;
    return static_cast<ssize_t>(n);
}

struct Walked {
    WalkStatus status;
    SmdhLocation location;
    std::vector<uint8_t> smdh;
};

// A made-up key file that opens the encrypted seeds (the fixed zero key
// needs none), so that what garbage decrypts to is walked too.
KeyRing* made_up_keys()
{
    static KeyRing ring;
    std::string text = "[Keys]\nctr-scrambler=000102030405060708090a0b0c0d0e0f\n"
                       "ctr-Slot0x2CKeyX=f0e0d0c0b0a090807060504030201000\nctr-Slot0x3DKeyNormal-0=";
    char digits[3];
    for (uint8_t byte : MADE_UP_COMMON_KEY) {
        snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    KeyRingFromText(&ring, "made-up.conf", text + "\n");
    return &ring;
}

Walked walk_stream(FILE* stream, int seekable, TitleIdentity* identity)
{
    Require(stream != nullptr, "cannot open a stream");
    Walked w;
    WalkInput input;
    Require(BeginWalk(&input, stream, seekable) == 0, "the first read failed");
    input.identity = identity;
    input.keys = made_up_keys();
    w.status = LocateSmdh(&input, &w.location);
    if (w.status == WALK_FOUND) {
        w.smdh.resize(SMDH_SIZE);
        size_t size = 0;
        w.status = ReadSmdh(&input, &w.location, w.smdh.data(), &size);
        w.smdh.resize(size);
    }
    EndWalk(&input);
    fclose(stream);
    return w;
}

// The walk of `bytes` (not empty: fmemopen takes no empty buffer) as a file
// that can seek, and as a pipe; with `identity`, the title's identity read
// into it as --info reads it.
Walked WalkAsFile(std::vector<uint8_t>& bytes, TitleIdentity* identity = nullptr)
{
    return walk_stream(fmemopen(bytes.data(), bytes.size(), "rb"), 1, identity);
}

Walked WalkAsPipe(const std::vector<uint8_t>& bytes, TitleIdentity* identity = nullptr)
{
    Pipe pipe = {&bytes, 0};
    cookie_io_functions_t functions = {pipe_read, nullptr, nullptr, nullptr};
    return walk_stream(fopencookie(&pipe, "rb", functions), 0, identity);
}

// Whether two identities hold the same fields.
bool SameIdentity(const TitleIdentity& a, const TitleIdentity& b)
{
    return a.has_title_id == b.has_title_id && a.title_id == b.title_id &&
           memcmp(a.product_code, b.product_code, sizeof a.product_code) == 0 &&
           memcmp(a.maker_code, b.maker_code, sizeof a.maker_code) == 0 && a.has_title_version == b.has_title_version &&
           a.title_version == b.title_version;
}

}  // namespace

#endif
