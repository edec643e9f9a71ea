#include "bundle.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ds_banner.h"
#include "member_layer.h"
#include "tar.h"

// The most bytes of an SMDH or a DS banner kept from a CIA member.
const size_t KEPT_MAX = SMDH_SIZE > DS_BANNER_MAX_SIZE ? SMDH_SIZE : DS_BANNER_MAX_SIZE;

// A CIA member's answer, kept while the members after it are walked.
struct MemberAnswer {
    WalkStatus status;
    SmdhLocation location;
    TitleIdentity identity;
    char name[TAR_NAME_MAX + 1];
};

struct BundleWalk {
    WalkStep walk_file;            // the dispatcher's walk of a member's file
    uint8_t head[WALK_HEAD_SIZE];  // the bundle's first bytes: the walk's head is each member's in turn
    size_t head_size;
    MemberLayerState archive;
    MemberLayerState member_layer;
    TarMember member;  // the member walked now
    int has_icon;      // `icon` is a CIA member that holds one, its SMDH in `smdh`
    MemberAnswer icon;
    uint8_t smdh[KEPT_MAX];
    size_t smdh_size;
    int has_first;  // `first` is the first CIA member's answer
    MemberAnswer first;
};

// The kinds of member, as their walk tells them.
enum MemberKind { MEMBER_OTHER, MEMBER_APPLICATION, MEMBER_CIA };

static MemberKind kind_of(WalkStatus status, const SmdhLocation* location)
{
    if (status == WALK_NOT_ICN) {
        return MEMBER_OTHER;
    }
    if (location->format == FORMAT_NCSD || location->format == FORMAT_NCCH) {
        return MEMBER_APPLICATION;
    }
    // A CIA, or a compressed member whose kind its damage hides: its answer
    // is kept, and said only where no member does better.
    return MEMBER_CIA;
}

static void keep(MemberAnswer* answer, WalkStatus status, const WalkInput* input, const SmdhLocation* location,
                 const char* name)
{
    answer->status = status;
    answer->location = *location;
    if (input->identity != nullptr) {
        answer->identity = *input->identity;
    }
    memcpy(answer->name, name, strlen(name) + 1);
    answer->location.member = answer->name;
}

static WalkStatus restore(WalkInput* input, SmdhLocation* location, const MemberAnswer* answer)
{
    *location = answer->location;
    if (input->identity != nullptr) {
        *input->identity = answer->identity;
    }
    return answer->status;
}

// Walks the member just read from the archive, stacked over it, and says
// what it is. An application's walk is left standing, for ReadSmdh.
static MemberKind walk_member(WalkInput* input, SmdhLocation* location, BundleWalk* bundle, WalkStatus* status)
{
    ByteLayer* archive = input->file;
    ByteLayer* layer = WalkPushLayer(input);
    MemberLayerOpen(layer, &bundle->member_layer, archive, bundle->member.data, bundle->member.size, nullptr, 0,
                    "a tar member runs past its end");
    input->file = layer;
    *status = WalkReadHead(input, location);
    if (*status == WALK_FOUND) {
        input->members_only = 1;
        *status = bundle->walk_file(input, location);
        input->members_only = 0;
    }
    location->member = bundle->member.name;
    location->member_start = bundle->member.data;
    MemberKind kind = kind_of(*status, location);
    if (kind != MEMBER_CIA || bundle->has_icon) {
        return kind;
    }
    if (*status == WALK_FOUND) {
        *status = ReadSmdh(input, location, bundle->smdh, &bundle->smdh_size);
    }
    if (*status == WALK_FOUND) {
        keep(&bundle->icon, *status, input, location, bundle->member.name);
        bundle->has_icon = 1;
    } else if (!bundle->has_first) {
        keep(&bundle->first, *status, input, location, bundle->member.name);
        bundle->has_first = 1;
    }
    return kind;
}

// The answer at the archive's end: the CIA member that holds an icon, or
// the first CIA member's answer, or none.
static WalkStatus answer_at_end(WalkInput* input, SmdhLocation* location, BundleWalk* bundle)
{
    if (bundle->has_icon) {
        input->kept_smdh = bundle->smdh;
        input->kept_size = bundle->smdh_size;
        return restore(input, location, &bundle->icon);
    }
    if (bundle->has_first) {
        return restore(input, location, &bundle->first);
    }
    return WALK_NO_ICON;
}

WalkStatus LocateInBundle(WalkInput* input, SmdhLocation* location, WalkStep walk_file)
{
    BundleWalk* bundle = static_cast<BundleWalk*>(calloc(1, sizeof(BundleWalk)));
    if (bundle == nullptr) {
        location->error = ENOMEM;
        return WALK_UNREADABLE;
    }
    bundle->walk_file = walk_file;
    input->bundle = bundle;
    bundle->head_size = input->head_size;
    memcpy(bundle->head, input->head, input->head_size);
    // The archive over the input: its first bytes from the head, as a pipe's
    // cannot be read again.
    ByteLayer* archive = WalkPushLayer(input);
    MemberLayerOpen(archive, &bundle->archive, input->file, 0, UINT64_MAX, bundle->head, bundle->head_size, nullptr);
    input->file = archive;
    const size_t archive_count = input->layer_count;
    uint64_t next = 0;
    for (;;) {
        const char* damage = nullptr;
        TarStatus read = TarNextMember(archive, &next, &bundle->member, &damage);
        if (read == TAR_END) {
            return answer_at_end(input, location, bundle);
        }
        if (read == TAR_DAMAGED) {
            return WalkDamaged(location, damage);
        }
        if (read == TAR_FAILED) {
            return WalkLayerFailure(archive, location);
        }
        if (bundle->member.type != '0' && bundle->member.type != 0) {
            continue;  // a folder, a link, a device: no file of ours
        }
        WalkStatus status = WALK_NOT_ICN;
        MemberKind kind = walk_member(input, location, bundle, &status);
        if (archive->broken != LAYER_OK) {
            return WalkLayerFailure(archive, location);
        }
        if (kind == MEMBER_APPLICATION) {
            return status;
        }
        WalkLeaveLayers(input, archive_count);
    }
}

void EndBundleWalk(WalkInput* input)
{
    free(input->bundle);
    input->bundle = nullptr;
    input->kept_smdh = nullptr;
}
