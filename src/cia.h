// The CIA archive: its header, its TMD and content 0, and its meta
// section, as steps of the walk.
#ifndef GALLIVOX_CIA_H
#define GALLIVOX_CIA_H

#include <cstddef>
#include <cstdint>

#include "walk.h"

// Whether the `size` bytes at `head` begin as every real CIA does.
int CiaHasStart(const uint8_t* head, size_t size);

// The walk of a CIA from its head: the SMDH in its meta section, or else
// in the ExeFS of its first content (or a DS title's banner there).
WalkStatus LocateInCia(WalkInput* input, SmdhLocation* location);

#endif
