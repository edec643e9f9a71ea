// A bundle (.bcci, .bcxi, .bcia): a tar archive of the console's files,
// each plain or compressed, whose icon is its application's. A step of the
// walk: each member is a layer of bytes over the archive.
#ifndef GALLIVOX_BUNDLE_H
#define GALLIVOX_BUNDLE_H

#include "walk.h"

// Walks the bundle whose head (a tar header first) the walk has read: the
// first member that is an NCSD or an NCCH, told by its own bytes, walked as
// the file alone would be; in a bundle with none, the first CIA member that
// holds an icon (its SMDH read already), or else the first CIA member's
// answer; WALK_NO_ICON for a bundle with no member of those kinds. Damage
// to the archive's headers is WALK_DAMAGED. `location->member` names the
// member walked. Each member's file is walked by `walk_file`, which tells
// its format.
WalkStatus LocateInBundle(WalkInput* input, SmdhLocation* location, WalkStep walk_file);

// Releases what the bundle's walk allocated; nothing for any other file.
void EndBundleWalk(WalkInput* input);

#endif
