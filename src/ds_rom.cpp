#include "ds_rom.h"

#include "ds_banner.h"

WalkStatus DsRomBannerPlace(SmdhLocation* location, uint64_t base, const uint8_t* header)
{
    uint64_t offset = DsBannerOffset(header);
    if (offset == 0) {
        return WALK_NO_ICON;
    }
    // The header was read whole at `base`, which so lies below 2^63; the
    // offset is below 2^32: the sum cannot overflow.
    location->offset = base + offset;
    location->banner = 1;
    return WALK_FOUND;
}

WalkStatus LocateInDsRom(WalkInput* input, SmdhLocation* location)
{
    if (input->identity != nullptr) {
        DsRomIdentity(input->head, input->head_size, input->identity, 1);
    }
    return DsRomBannerPlace(location, 0, input->head);
}
