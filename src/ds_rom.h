// The DS ROM image as a step of the walk: the banner its header names,
// and the identity it carries.
#ifndef GALLIVOX_DS_ROM_H
#define GALLIVOX_DS_ROM_H

#include <cstdint>

#include "walk.h"

// Sets the place of the banner that the DS ROM `header`, read at `base`,
// names: WALK_FOUND, or WALK_NO_ICON for an offset of 0.
WalkStatus DsRomBannerPlace(SmdhLocation* location, uint64_t base, const uint8_t* header);

// The walk of a file that is a DS ROM image, from its head: its identity
// (where the walk reads it) and its banner's place.
WalkStatus LocateInDsRom(WalkInput* input, SmdhLocation* location);

#endif
