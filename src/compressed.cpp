#include "compressed.h"

#include "z3ds.h"

// The SMDH of a Z3DS file: the metadata's `smdh` item when it has one, which
// needs no frame decompressed; else the file inside, walked as it would be
// uncompressed. Its format and identity come from the file inside, so the
// caller that wants the identity has the start of the frames decompressed
// even where the item gives the SMDH, and so has a bundle's walk, which
// tells a member's kind by the file inside.
WalkStatus LocateInZ3ds(WalkInput* input, SmdhLocation* location, WalkStep walk_inside)
{
    location->compression = "Z3DS";
    ByteLayer* below = input->file;
    ByteLayer* z3ds = WalkPushLayer(input);
    input->file = z3ds;
    if (Z3dsLayerOpen(z3ds, below, input->head, input->head_size) != LAYER_OK) {
        return WalkLayerFailure(z3ds, location);
    }
    input->smdh_item = Z3dsSmdhItem(z3ds, &input->smdh_item_size);
    WalkStatus status = WALK_FOUND;
    if (input->smdh_item == nullptr || input->identity != nullptr || input->members_only) {
        status = WalkReadHead(input, location);
        if (status == WALK_FOUND) {
            status = walk_inside(input, location);
        }
    }
    if (input->smdh_item == nullptr || status == WALK_NOT_ICN) {
        return status;
    }
    if (WalkInputFailed(input, status)) {
        return z3ds->broken != LAYER_OK ? WalkLayerFailure(z3ds, location) : status;
    }
    location->in_item = 1;
    location->banner = 0;
    location->offset = 0;
    location->end = input->smdh_item_size;
    location->damage = nullptr;
    location->encrypted_unless_smdh = 0;
    return WALK_FOUND;
}
