// Writes one file of every kind that gallivox reads into a directory, each
// around the given ICN file (or, for the DS kinds, a drawn DS banner), for
// the checks that run the installed package: sample.smdh, game.3dsx,
// game.cia, game.3ds, game.cxi, game.zcci, game.nds, ds.cia, and damaged.cia
// (a CIA cut inside its TMD).
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

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "Usage: %s <directory> <ICN file>\n", argc > 0 ? argv[0] : "make_kinds");
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
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } kinds[] = {
        {"sample.smdh", icn},
        {"game.3dsx", Wrap3dsx(icn)},
        {"game.cia", cia},
        {"game.3ds", WrapNcsd(ncch)},
        {"game.cxi", ncch},
        {"game.zcci", WrapZ3ds(WrapNcsd(ncch))},
        {"game.nds", rom},
        {"ds.cia", WrapCia(rom, {}, false)},
        {"damaged.cia", std::vector<uint8_t>(cia.begin(), cia.begin() + CIA_TMD + 0x100)},
    };
    for (const auto& kind : kinds) {
        if (WriteWholeFile((std::string(argv[1]) + "/" + kind.name).c_str(), kind.bytes.data(), kind.bytes.size()) !=
            0) {
            return 1;
        }
    }
    return 0;
}
