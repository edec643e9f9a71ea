// The 3DSX homebrew executable as a step of the walk: the SMDH that its
// extended header names.
#ifndef GALLIVOX_TDSX_H
#define GALLIVOX_TDSX_H

#include "walk.h"

// The walk of a 3DSX file from its head: WALK_FOUND with the SMDH's place
// and extent, WALK_NO_ICON without an extended header or with an SMDH size
// of 0, or its damage.
WalkStatus LocateIn3dsx(WalkInput* input, SmdhLocation* location);

#endif
