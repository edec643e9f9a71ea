// Writes one file of every kind that gallivox reads into a directory, each
// around the given ICN file (or, for the DS kinds, a drawn DS banner), for
// the checks that run the installed package: sample.smdh, game.3dsx,
// game.cia, game.3ds, game.cxi, game.zcci, game.nds, ds.cia, game.bcci (a
// bundle of a CIA and the compressed card image), and damaged.cia (a CIA cut
// inside its TMD). Given a second directory, it writes there the
// fuzzers' seeds of every layout too: walk-* for the walk, z3ds-* compressed.
#include <cstdio>
#include <string>
#include <vector>

#include "icn_writer.h"

// A DS banner whose icon shows diagonal bands of its 15 colours over a
// transparent corner.
static std::vector<uint8_t> drawn_banner()
{
    DsBannerFields fields;
    fields.version = 1;
    for (size_t y = 0; y < 32; y++) {
        for (size_t x = 0; x < 32; x++) {
            fields.pixels[32 * y + x] = x + y < 6 ? 0 : static_cast<uint8_t>(1 + (x / 3 + y / 5) % 15);
        }
    }
    for (uint16_t i = 0; i < 16; i++) {
        fields.palette[i] = static_cast<uint16_t>((2 * i) | (31 - 2 * i) << 5 | 16 << 10);
    }
    fields.titles = {u"Gallivox", u"Gallivox\nOrrimand"};
    return MakeDsBanner(fields);
}

struct Kind {
    std::string name;
    std::vector<uint8_t> bytes;
};

static int write_kinds(const char* directory, const std::vector<Kind>& kinds)
{
    for (const Kind& kind : kinds) {
        std::string path = std::string(directory) + "/" + kind.name;
        if (WriteWholeFile(path.c_str(), kind.bytes.data(), kind.bytes.size()) != 0) {
            return 1;
        }
    }
    return 0;
}

// The layouts the seeds add to the kinds: each TMD signature type, content
// marked encrypted (plain or scrambled), an NCCH decrypted with its flags
// left, every DS banner version, a DSi ROM, and Z3DS files with metadata
// items, checksums and small frames.
static std::vector<Kind> seed_layouts(const std::vector<uint8_t>& icn)
{
    const TitleFields title = {0x0004000000123400, "CTR-P-ABCD", "01", 1040};
    const std::vector<uint8_t> ncch = WrapNcch(icn, true, title);
    const std::vector<uint8_t> meta_cia = WrapCia(ncch, icn, false, title);
    DsBannerFields dsi = {};
    dsi.version = 0x0103;
    dsi.titles = {u"ja", u"Gallivox\nA tale\nOrrimand", u"fr", u"de", u"it", u"es", u"zh", u"ko"};
    dsi.tokens = {0x8105, 0x49FF, 0x3A10, 0};
    DsBannerFields v2 = dsi;
    v2.version = 2;
    const std::vector<uint8_t> dsi_rom = MakeDsRom(MakeDsBanner(dsi), {0, "ABCD", "01", 3}, true);
    const uint8_t zero[16] = {0};
    const std::vector<uint8_t> fixed_key =
        EncryptNcch(WrapNcch(icn, false, title), zero, 2, 0x0102030405060708, MADE_UP_TITLE_KEY, true);
    std::vector<Kind> seeds = {
        {"walk-meta.cia", meta_cia},
        {"walk-marked.cia", WrapCia(ncch, {}, true, title)},
        {"walk-crypt.cia", WrapCia(Scramble(ncch, 0), {}, true, title)},
        {"walk-decrypted.cxi", WrapNcch(icn, false, title)},
        {"walk-crypt.cxi", Scramble(WrapNcch(icn, false, title), NCCH_EXEFS)},
        {"walk-count0.cia", WrapCia(ncch, {}, false, title, {.content_count = 0})},
        {"walk-3dsx.3dsx", Wrap3dsx(icn)},
        {"walk-v2.nds", MakeDsRom(MakeDsBanner(v2))},
        {"walk-dsi.nds", dsi_rom},
        {"walk-dsi.cia", WrapCia(dsi_rom, {}, false, title)},
        {"walk-banner.bin", MakeDsBanner(dsi)},
        {"z3ds-items.zcia", WrapZ3ds(meta_cia, {.frame_size = 0x4000,
                                                .hint = std::string("CIA\0", 4),
                                                .items = {{"compressor", {'t'}}, {"smdh", icn}}})},
        {"z3ds-checksums.zcxi", WrapZ3ds(ncch, {.frame_size = 0x400, .checksums = true, .hint = "NCCH"})},
        {"z3ds-3dsx.z3dsx", WrapZ3ds(Wrap3dsx(icn), {.frame_size = 0x1000, .hint = "3DSX"})},
        {"z3ds-dsi.zcia", WrapZ3ds(WrapCia(dsi_rom, {}, false, title), {.frame_size = 0x1000})},
        // Encrypted with made-up keys: the fixed zero key, and a content whose
        // title key the made-up common key 0 opens.
        {"walk-fixed.cxi", fixed_key},
        {"walk-keyed.cia", WrapEncryptedCia(fixed_key, MADE_UP_TITLE_KEY, MADE_UP_COMMON_KEY, 0, title.title_id)},
        // Bundles of each header kind, a folder and a text before the application.
        {"walk-oldest.bcia", MakeBundle({{"notes.txt", {'x'}}, {"dlc.cia", meta_cia}}, TAR_OLDEST)},
        {"walk-gnu.bcci", MakeBundle({{"dir", {}, '5'}, {std::string(120, 'g') + ".cxi", ncch}}, TAR_GNU)},
        {"walk-pax.bcxi", MakeBundle({{std::string(120, 'p') + ".zcxi", WrapZ3ds(ncch)}}, TAR_PAX)},
        {"walk-ustar.bcci", MakeBundle({{std::string(120, 'u') + "/game.3ds", WrapNcsd(ncch)}}, TAR_USTAR, true)},
    };
    for (uint32_t i = 0; i < 6; i++) {
        seeds.push_back({"walk-sig-" + std::to_string(i) + ".cia",
                         WrapCia(ncch, {}, false, title, {.signature_type = 0x10000 + i})});
    }
    return seeds;
}

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "Usage: %s <directory> <ICN file> [<seed directory>]\n", argc > 0 ? argv[0] : "make_kinds");
        return 1;
    }
    std::vector<uint8_t> icn;
    FILE* file = fopen(argv[2], "rb");
    for (int c; file != nullptr && (c = fgetc(file)) != EOF;) {
        icn.push_back(static_cast<uint8_t>(c));
    }
    if (file == nullptr || fclose(file) != 0 || icn.size() != ICN_FILE_SIZE) {
        fprintf(stderr, "Could not read the ICN file %s\n", argv[2]);
        return 1;
    }
    const std::vector<uint8_t> ncch = WrapNcch(icn, true);
    const std::vector<uint8_t> cia = WrapCia(ncch, icn, false);
    const std::vector<uint8_t> rom = MakeDsRom(drawn_banner());
    const std::vector<Kind> kinds = {
        {"sample.smdh", icn},
        {"game.3dsx", Wrap3dsx(icn)},
        {"game.cia", cia},
        {"game.3ds", WrapNcsd(ncch)},
        {"game.cxi", ncch},
        {"game.zcci", WrapZ3ds(WrapNcsd(ncch))},
        {"game.nds", rom},
        {"ds.cia", WrapCia(rom, {}, false)},
        {"game.bcci", MakeBundle({{"update.cia", cia}, {"game.zcci", WrapZ3ds(WrapNcsd(ncch))}}, TAR_OLDEST)},
        {"damaged.cia", std::vector<uint8_t>(cia.begin(), cia.begin() + CIA_TMD + 0x100)},
    };
    if (write_kinds(argv[1], kinds) != 0) {
        return 1;
    }
    return argc == 4 ? write_kinds(argv[3], seed_layouts(icn)) : 0;
}
