// The NCCH image and the NCSD card image that holds NCCHs: their headers,
// their ExeFS and its `icon` entry, as steps of the walk.
#ifndef GALLIVOX_NCCH_H
#define GALLIVOX_NCCH_H

#include <cstddef>
#include <cstdint>

#include "walk.h"

// Bytes of an NCCH (or NCSD) header, and where its magic lies.
const size_t NCCH_HEADER_SIZE = 0x200;
const size_t NCCH_MAGIC = 0x100;

// Whether the NCCH_HEADER_SIZE bytes at `header` hold the NCCH magic.
int NcchHasMagic(const uint8_t* header);

// Stores the identity fields of an NCCH `header` in `identity` (nothing
// when it is null): its program ID too with `with_program_id`, where
// nothing outside the NCCH names the title (a CIA's TMD does).
void NcchIdentity(TitleIdentity* identity, const uint8_t* header, int with_program_id);

// Follows the NCCH whose `header` was read at `base` to its icon, in its
// ExeFS: WALK_FOUND with the SMDH's place in `location`, or why not.
WalkStatus NcchIcon(WalkInput* input, SmdhLocation* location, uint64_t base, const uint8_t* header);

// The walk of a file that is an NCCH, or an NCSD, from its head.
WalkStatus LocateInNcch(WalkInput* input, SmdhLocation* location);
WalkStatus LocateInNcsd(WalkInput* input, SmdhLocation* location);

#endif
