// Fuzz target: arbitrary bytes behind each magic (or CRC) the container walk knows,
// walked as a file that can seek and as a pipe that only reads forward, each
// reading the title's identity. Both must give the same answer and identity,
// the pipe the same without the identity, and a found SMDH must be exactly
// the input's bytes at its offset (a bundle's member's), within its
// declared end, unless the made-up key file decrypted them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container.h"
#include "ds_banner.h"
#include "walk_twice.h"

namespace {

// Makes the bytes a DS ROM image (its header's CRC) or, with `banner`, a
// raw DS banner (a known version and its first CRC), whatever else they hold.
void make_ds(std::vector<uint8_t>& bytes, bool banner)
{
    size_t crc_at = banner ? 2 : 0x15E;
    size_t from = banner ? 0x20 : 0;
    size_t to = banner ? 0x840 : 0x15E;
    size_t least = to > crc_at + 2 ? to : crc_at + 2;
    if (bytes.size() < least) {
        bytes.resize(least);
    }
    if (banner) {
        static const uint8_t versions[4] = {1, 2, 3, 1};
        bytes[1] = bytes[1] & 1;  // 0x0103 or one of the others
        bytes[0] = bytes[1] ? 3 : versions[bytes[0] % 4];
    }
    uint16_t crc = DsCrc16(&bytes[from], to - from);
    bytes[crc_at] = static_cast<uint8_t>(crc);
    bytes[crc_at + 1] = static_cast<uint8_t>(crc >> 8);
}

// Makes the first block a tar header, as a bundle begins: its checksum,
// whatever else it holds.
void make_tar(std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 512) {
        bytes.resize(512);
    }
    unsigned sum = 8 * ' ';
    for (size_t i = 0; i < 512; i++) {
        sum += i >= 148 && i < 156 ? 0 : bytes[i];
    }
    snprintf(reinterpret_cast<char*>(&bytes[148]), 8, "%06o", sum);
    bytes[155] = ' ';
}

// The first byte of the fuzzer's data picks a magic to place, so that every
// parser is reached: none, SMDH, 3DSX, NCSD, NCCH, a CIA's first bytes, a DS
// ROM image's or a raw DS banner's CRC, or a tar header's checksum.
std::vector<uint8_t> with_magic(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes(data + (size > 0), data + size);
    static const uint8_t cia[8] = {0x20, 0x20, 0, 0, 0, 0, 0, 0};
    const struct {
        size_t at;
        const void* magic;
        size_t length;
    } magics[] = {{0, "SMDH", 4}, {0, "3DSX", 4}, {0x100, "NCSD", 4}, {0x100, "NCCH", 4}, {0, cia, 8}};
    unsigned pick = size > 0 ? data[0] % 9 : 0;
    if (pick == 8) {
        make_tar(bytes);
    } else if (pick >= 6) {
        make_ds(bytes, pick == 7);
    } else if (pick > 0) {
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
    // Reading the identity as well may not change what a pipe's walk finds.
    TitleIdentity seekable_identity;
    TitleIdentity forward_identity;
    Walked seekable = WalkAsFile(bytes, &seekable_identity);
    Walked forward = WalkAsPipe(bytes, &forward_identity);
    Walked without_identity = WalkAsPipe(bytes);

    Require(without_identity.status == forward.status && without_identity.smdh == forward.smdh,
            "reading the identity changes the walk");
    // A compressed member of a bundle: its seek table is checked only where
    // the file can seek, so there alone a file and a pipe may differ.
    bool compressed = seekable.location.compression != nullptr || forward.location.compression != nullptr;
    Require(compressed || SameIdentity(seekable_identity, forward_identity), "file and pipe disagree on the identity");
    Require(compressed || seekable.status == forward.status, "file and pipe disagree on the status");
    Require(compressed || seekable.smdh == forward.smdh, "file and pipe disagree on the bytes");
    if (!compressed && seekable.status == WALK_DAMAGED) {
        Require(strcmp(seekable.location.damage, forward.location.damage) == 0, "file and pipe disagree on damage");
    }
    if (!compressed && seekable.status == WALK_FOUND && !seekable.location.decrypted) {
        // In a bundle, the place is in the member: bytes from its start.
        // Decrypted bytes are no bytes of the input.
        const SmdhLocation& at = seekable.location;
        Require(at.member_start == forward.location.member_start, "members differ");
        Require(at.member_start <= bytes.size(), "a member past the input");
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(at.member_start));
        Require(at.offset == forward.location.offset && at.end == forward.location.end, "places differ");
        Require(at.end >= at.offset && seekable.smdh.size() <= at.end - at.offset, "read past the declared end");
        Require(at.banner || (seekable.smdh.size() >= 4 && memcmp(seekable.smdh.data(), "SMDH", 4) == 0), "no magic");
        Require(at.offset < bytes.size() && seekable.smdh.size() <= bytes.size() - at.offset, "read past the input");
        Require(memcmp(seekable.smdh.data(), &bytes[at.offset], seekable.smdh.size()) == 0, "wrong bytes");
        size_t whole = bytes.size() - at.offset;
        uint64_t declared = at.end - at.offset;
        size_t expected = declared < whole ? declared : whole;
        size_t most = at.banner ? DS_BANNER_MAX_SIZE : SMDH_SIZE;
        Require(seekable.smdh.size() == (expected < most ? expected : most), "extent cut short");
    }
    return 0;
}
