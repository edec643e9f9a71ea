// Fuzz target: arbitrary bytes behind each magic the container walk knows,
// walked twice, once as a file that can seek and once as a pipe that only
// reads forward. Both must give the same answer, and a found SMDH must be
// exactly the input's bytes at its offset, within its declared end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container.h"
#include "walk_twice.h"

namespace {

// The first byte of the fuzzer's data picks a magic to place, so that every
// parser is reached: none, SMDH, 3DSX, NCSD, NCCH or a CIA's first bytes.
std::vector<uint8_t> with_magic(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes(data + (size > 0), data + size);
    static const uint8_t cia[8] = {0x20, 0x20, 0, 0, 0, 0, 0, 0};
    const struct {
        size_t at;
        const void* magic;
        size_t length;
    } magics[] = {{0, "SMDH", 4}, {0, "3DSX", 4}, {0x100, "NCSD", 4}, {0x100, "NCCH", 4}, {0, cia, 8}};
    unsigned pick = size > 0 ? data[0] % 6 : 0;
    if (pick > 0) {
        const auto& m = magics[pick - 1];
        if (bytes.size() < m.at + m.length) {
            bytes.resize(m.at + m.length);
        }
        memcpy(&bytes[m.at], m.magic, m.length);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes = with_magic(data, size);
    if (bytes.empty()) {
        return 0;  // fmemopen takes no empty buffer; an empty input is no format
    }
    if (bytes.size() >= 4 && memcmp(bytes.data(), "Z3DS", 4) == 0) {
        return 0;  // compressed files have a target of their own
    }
    Walked seekable = WalkAsFile(bytes);
    Walked forward = WalkAsPipe(bytes);

    Require(seekable.status == forward.status, "file and pipe disagree on the status");
    Require(seekable.smdh == forward.smdh, "file and pipe disagree on the bytes");
    if (seekable.status == WALK_DAMAGED) {
        Require(strcmp(seekable.location.damage, forward.location.damage) == 0, "file and pipe disagree on damage");
    }
    if (seekable.status == WALK_FOUND) {
        const SmdhLocation& at = seekable.location;
        Require(at.offset == forward.location.offset && at.end == forward.location.end, "places differ");
        Require(at.end >= at.offset && seekable.smdh.size() <= at.end - at.offset, "read past the declared end");
        Require(seekable.smdh.size() >= 4 && memcmp(seekable.smdh.data(), "SMDH", 4) == 0, "no magic");
        Require(at.offset < bytes.size() && seekable.smdh.size() <= bytes.size() - at.offset, "read past the input");
        Require(memcmp(seekable.smdh.data(), &bytes[at.offset], seekable.smdh.size()) == 0, "wrong bytes");
        size_t whole = bytes.size() - at.offset;
        uint64_t declared = at.end - at.offset;
        size_t expected = declared < whole ? declared : whole;
        Require(seekable.smdh.size() == (expected < SMDH_SIZE ? expected : SMDH_SIZE), "extent cut short");
    }
    return 0;
}
