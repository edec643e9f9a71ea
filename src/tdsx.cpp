#include "tdsx.h"

#include "utils.h"

const uint8_t LITTLE = 1;

// A header of 0x20 bytes, or more with the extended header.
const size_t TDSX_BASE_HEADER_SIZE = 0x20;
const size_t TDSX_EXTENDED_END = 0x28;  // up to the end of the SMDH size field

WalkStatus LocateIn3dsx(WalkInput* input, SmdhLocation* location)
{
    if (input->head_size < 6) {
        return WalkDamaged(location, "its header is cut short");
    }
    uint16_t header_size = u8_to_u16(input->head + 4, LITTLE);
    if (header_size <= TDSX_BASE_HEADER_SIZE) {
        return WALK_NO_ICON;  // no extended header: older files are like that
    }
    if (input->head_size < TDSX_EXTENDED_END || header_size < TDSX_EXTENDED_END) {
        return WalkDamaged(location, "its extended header is cut short");
    }
    uint64_t smdh_offset = u8_to_u32(input->head + 0x20, LITTLE);
    uint64_t smdh_size = u8_to_u32(input->head + 0x24, LITTLE);
    if (smdh_size == 0) {
        return WALK_NO_ICON;
    }
    location->offset = smdh_offset;
    location->end = smdh_offset + smdh_size;  // two u32: no overflow
    return WALK_FOUND;
}
