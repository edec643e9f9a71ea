// Fuzz target: Z3DS (compressed) files, walked as a file that can seek and
// as a pipe. The first byte picks what the rest is:
// - even: a whole Z3DS file, its magic placed, hostile in every field:
//   nothing may crash or leak, and a found SMDH begins with SMDH (a banner
//   is checked by its CRC);
// - odd: an inner file, compressed here in frames of a size the byte picks,
//   with or without checksums: the compressed file must walk exactly as the
//   inner file does, status, place, damage, bytes and identity.
#include <cstdint>
#include <cstring>
#include <vector>

#include "container.h"
#include "ds_banner.h"
#include "icn_writer.h"
#include "walk_twice.h"

namespace {

void check_found(const Walked& w)
{
    if (w.status == WALK_FOUND && w.location.banner) {
        Require(w.smdh.size() <= DS_BANNER_MAX_SIZE, "more than a banner");
    } else if (w.status == WALK_FOUND) {
        Require(w.smdh.size() >= 4 && memcmp(w.smdh.data(), "SMDH", 4) == 0, "no magic");
        Require(w.smdh.size() <= SMDH_SIZE, "more than an SMDH");
    }
    if (w.status == WALK_DAMAGED) {
        Require(w.location.damage != nullptr && w.location.damage[0] != 0, "damage without a reason");
    }
}

void require_same(const Walked& plain, const Walked& compressed)
{
    Require(plain.status == compressed.status, "compressed and plain disagree on the status");
    Require(plain.smdh == compressed.smdh, "compressed and plain disagree on the bytes");
    if (plain.status == WALK_DAMAGED) {
        Require(strcmp(plain.location.damage, compressed.location.damage) == 0,
                "compressed and plain disagree on damage");
    }
    if (plain.status == WALK_FOUND) {
        Require(plain.location.format == compressed.location.format, "formats differ");
        Require(plain.location.offset == compressed.location.offset && plain.location.end == compressed.location.end,
                "places differ");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    std::vector<uint8_t> rest(data + 1, data + size);
    if ((data[0] & 1) == 0) {
        if (rest.size() < 4) {
            rest.resize(4);
        }
        memcpy(rest.data(), "Z3DS", 4);
        check_found(WalkAsFile(rest));
        check_found(WalkAsPipe(rest));
        return 0;
    }
    if (rest.size() >= 4 && memcmp(rest.data(), "Z3DS", 4) == 0) {
        return 0;  // a Z3DS file inside is no format; bare, it is
    }
    Z3dsOptions options;
    options.frame_size = size_t(0x100) << (data[0] >> 1 & 7);
    options.checksums = (data[0] & 0x10) != 0;
    std::vector<uint8_t> z3ds = WrapZ3ds(rest, options);
    TitleIdentity plain_identity;
    TitleIdentity compressed_identity;
    require_same(WalkAsFile(rest, &plain_identity), WalkAsFile(z3ds, &compressed_identity));
    Require(SameIdentity(plain_identity, compressed_identity), "compressed and plain disagree on the identity");
    require_same(WalkAsPipe(rest), WalkAsPipe(z3ds));
    return 0;
}
