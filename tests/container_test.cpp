// The SMDH inside 3DSX, CIA, NCSD and NCCH files, run as a process: one
// table of containers, good, empty, encrypted, cut and hostile.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "icn_writer.h"
#include "utils.h"

namespace {

// `bytes` with `width` bytes at `at` set to `value`, little-endian.
std::vector<uint8_t> with(std::vector<uint8_t> bytes, size_t at, uint64_t value, size_t width = 4)
{
    for (size_t i = 0; i < width; i++) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

std::vector<uint8_t> cut(std::vector<uint8_t> bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

// A file to write into the scratch directory: its name and its bytes.
struct NamedFile {
    const char* name;
    std::vector<uint8_t> bytes;
};

class Containers : public CommandLine {
protected:
    void write_files(const std::vector<NamedFile>& files)
    {
        for (const NamedFile& file : files) {
            write(file.name, file.bytes);
        }
    }

    void SetUp() override
    {
        CommandLine::SetUp();
        // Another icon, where the walk must not look.
        other = MakeIcn(PatternPixels(24, 21), PatternPixels(48, 22));
        const std::vector<uint8_t> ncch = WrapNcch(icn, true);
        const std::vector<uint8_t> tdsx = Wrap3dsx(icn);
        const std::vector<uint8_t> ncsd = WrapNcsd(ncch);
        const std::vector<uint8_t> cia = WrapCia(WrapNcch(other, true), icn, false);
        const std::vector<uint8_t> bare_cia = WrapCia(ncch, {}, false);
        const size_t exefs_icon = NCCH_EXEFS + 2 * 16;  // the third ExeFS entry
        const std::vector<uint8_t> crypt = Scramble(WrapNcch(icn, false), NCCH_EXEFS);
        // As the emulator writes a CIA with a meta section: its SMDH as an item.
        // A "date" item of four letters too, which is no smdh item.
        const Z3dsOptions item_smdh = {
            .items = {{"compressor", {'t', 'e', 's', 't'}}, {"date", {'2', '0', '2', '6'}}, {"smdh", icn}}};
        const size_t cia_chunk = CIA_TMD + 0x140 + 0xC4 + 64 * 0x24;
        write_files({
            {"game.3dsx", tdsx},
            {"game.cia", cia},
            {"plain.cia", bare_cia},
            {"game.cxi", ncch},
            {"game.3ds", ncsd},
            {"pair.3dsx", Wrap3dsx(other)},
            // Empty places for an icon.
            {"old.3dsx", with(tdsx, 4, 0x20, 2)},
            {"zero.3dsx", with(tdsx, 0x24, 0)},
            {"nopart.3ds", with(ncsd, 0x124, 0)},
            {"noexefs.cxi", with(ncch, 0x1A0, 0)},
            {"noicon.cxi", with(ncch, exefs_icon, 0x6E6F63)},  // "con"
            {"data.cia", WrapCia(std::vector<uint8_t>(0x200, 7), {}, false)},
            // Encrypted: scrambled bytes behind the flags, even where the
            // ExeFS header happens to read as plain.
            {"crypt.cxi", crypt},
            {"crypt.3ds", WrapNcsd(crypt)},
            {"crypt.cia", WrapCia(crypt, {}, false)},
            {"crypt-icon.cxi", Scramble(WrapNcch(icn, false), NCCH_SMDH_OFFSET)},
            {"marked.cia", WrapCia(Scramble(ncch, 0), {}, true)},
            // Decrypted by a tool that left the flags: the bytes are plain.
            {"decrypted.cxi", WrapNcch(icn, false)},
            // Its names end at byte 8 (the offset after them is no part),
            // may hold '~', and are ten: the reserved bytes after them are none.
            {"decrypted-odd.cxi",
             with(with(with(WrapNcch(icn, false), NCCH_EXEFS + 8, 0x10), NCCH_EXEFS + 16 + 5, '~', 1),
                  NCCH_EXEFS + 0xA0, 0xFF, 1)},
            {"decrypted.cia", WrapCia(WrapNcch(icn, false), {}, true)},
            // Cut at each boundary of the walk.
            {"cut-head.3dsx", cut(tdsx, 4)},
            {"cut-ext.3dsx", cut(tdsx, 0x24)},
            {"cut-small.3dsx", cut(tdsx, TDSX_SMDH_OFFSET + 0x2100)},
            {"cut-large.3dsx", cut(tdsx, TDSX_SMDH_OFFSET + 0x24C0)},
            {"cut-head.cxi", cut(ncch, 0x1A8)},
            {"cut-exefs.cxi", cut(ncch, NCCH_EXEFS + 0x100)},
            {"cut-part.3ds", cut(ncsd, NCSD_PARTITION_0 + 0x100)},
            {"cut-head.cia", cut(cia, 0x10)},
            {"start.cia", cut(cia, 8)},      // its first bytes alone
            {"fields.cia", cut(cia, 0x20)},  // its header's fields alone
            {"cut-tmd.cia", cut(bare_cia, CIA_TMD + 0x200)},
            {"cut-meta.cia", cut(cia, cia.size() - 0x3AC0 + 0x100)},
            {"short-entry.cxi", with(ncch, exefs_icon + 12, 0x24C0 + 100)},
            // Hostile headers.
            {"far.3dsx", with(tdsx, 0x20, 0xFFFFFFFC)},
            {"self.3dsx", with(tdsx, 0x20, 0)},
            {"shift.3ds", with(ncsd, 0x18E, 255, 1)},
            {"shift.cxi", with(ncch, 0x18E, 24, 1)},
            {"self.3ds", with(ncsd, 0x120, 0)},
            {"far.3ds", with(ncsd, 0x120, 0xFFFFFFFF)},
            {"far-exefs.cxi", with(with(ncch, 0x18E, 23, 1), 0x1A0, 0xFFFFFFFF)},
            {"outside.cxi", with(ncch, exefs_icon + 8, 0xFFFFFFF0)},
            {"code.cxi", with(ncch, exefs_icon + 8, 0)},
            {"huge.cia", with(bare_cia, 0x18, UINT64_MAX - 0x10, 8)},
            {"far-meta.cia", with(with(cia, 0x18, uint64_t(1) << 62, 8), 0x14, 0x3AC0)},
            // Its meta section ends at the last byte a u64 can place.
            {"edge-meta.cia", with(with(cia, 0x18, UINT64_MAX - 0x73FF, 8), 0x14, 0x3AFF)},
            // Its SMDH's offset fits in a u64, its meta section's end does not.
            {"wrap-meta.cia", with(with(cia, 0x18, UINT64_MAX - 0x48FF, 8), 0x14, 0x3AC0)},
            {"far-tmd.cia", with(bare_cia, 0x08, 0xFFFFFFFF)},
            {"back.cia", with(bare_cia, 0x10, 0)},
            {"signature.cia", with(bare_cia, CIA_TMD, 0x77)},
            {"index.cia", with(bare_cia, cia_chunk + 4, 0x0100, 2)},
            {"index-high.cia", with(bare_cia, cia_chunk + 4, 0x0001, 2)},  // bytes 01 00
            {"count0.cia", WrapCia(ncch, {}, false, {}, {.content_count = 0})},
            {"type4000.cia", WrapCia(ncch, {}, false, {}, {.content_type = 0x4000})},
            {"one-unit.cxi", with(ncch, 0x1A4, 1)},
            {"cut-104.3ds", cut(ncsd, 0x104)},
            {"cut-180.3ds", cut(ncsd, 0x180)},
            {"ncs.bin", with(std::vector<uint8_t>(0x103), 0x100, 0x53434E, 3)},  // "NCS", one byte short of a magic
            {"ncc.bin", with(std::vector<uint8_t>(0x103), 0x100, 0x43434E, 3)},
            {"version.cxi", WrapNcch(with(icn, 4, 1, 2), true)},  // an SMDH of another version reads the same
            // Compressed: the inner file decides, whatever the header's hint
            // (NCSD here, but for the 3DSX).
            {"game.zcci", WrapZ3ds(ncsd, {.frame_size = 0x2000})},  // the SMDH straddles two frames
            {"game.zcxi", WrapZ3ds(ncch, {.frame_size = 0x1000, .checksums = true})},
            {"game.z3dsx", WrapZ3ds(tdsx, {.frame_size = 0x1000, .hint = "3DSX"})},
            {"game.zcia", WrapZ3ds(cia, item_smdh)},
            {"plain.zcia", WrapZ3ds(bare_cia)},
            {"game.z3ds", WrapZ3ds(icn)},
        });
        // Each TMD signature type, content 0 encrypted: a signature block of
        // the wrong length would read another chunk record and miss it.
        for (uint32_t type = 0x10000; type <= 0x10005; type++) {
            write("sig-" + std::to_string(type - 0x10000) + ".cia",
                  WrapCia(Scramble(ncch, 0), {}, true, {}, {.signature_type = type}));
        }
    }

    std::vector<uint8_t> other;
};

// A row of the tables below: a file, the status and standard error of the
// tool's run on it, and the PNGs that run writes.
struct IconRow {
    const char* file;
    int status;
    std::string err;
    std::vector<Output> written;
};

const std::string NO_ICON = " holds no icon.\n";
const std::string ENCRYPTED = " is encrypted; its icon cannot be read.\n";

}  // namespace

TEST_F(Containers, EachKindGivesItsIconOrSaysWhyNot)
{
    const std::vector<std::string> both = {"-s", "s.png", "-l", "l.png"};
    const IconRow rows[] = {
        {"game.3dsx", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"game.cia", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},  // the meta's icon, not the content's
        {"plain.cia", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"game.cxi", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"game.3ds", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"old.3dsx", 1, "old.3dsx" + NO_ICON, {}},
        {"zero.3dsx", 1, "zero.3dsx" + NO_ICON, {}},
        {"nopart.3ds", 1, "nopart.3ds" + NO_ICON, {}},
        {"noexefs.cxi", 1, "noexefs.cxi" + NO_ICON, {}},
        {"noicon.cxi", 1, "noicon.cxi" + NO_ICON, {}},
        {"data.cia", 1, "data.cia" + NO_ICON, {}},
        {"index.cia", 1, "index.cia" + NO_ICON, {}},
        {"index-high.cia", 1, "index-high.cia" + NO_ICON, {}},
        {"count0.cia", 1, "count0.cia" + NO_ICON, {}},
        {"type4000.cia", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"version.cxi", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"one-unit.cxi", 1, "one-unit.cxi is damaged: its icon entry lies outside its ExeFS.\n", {}},
        {"cut-104.3ds", 1, "cut-104.3ds is damaged: its NCSD header is cut short.\n", {}},
        {"cut-180.3ds", 1, "cut-180.3ds is damaged: its NCSD header is cut short.\n", {}},
        {"ncs.bin", 1, "ncs.bin is not an ICN file", {}},
        {"ncc.bin", 1, "ncc.bin is not an ICN file", {}},
        {"sig-0.cia", 1, "sig-0.cia" + ENCRYPTED, {}},
        {"sig-1.cia", 1, "sig-1.cia" + ENCRYPTED, {}},
        {"sig-2.cia", 1, "sig-2.cia" + ENCRYPTED, {}},
        {"sig-3.cia", 1, "sig-3.cia" + ENCRYPTED, {}},
        {"sig-4.cia", 1, "sig-4.cia" + ENCRYPTED, {}},
        {"sig-5.cia", 1, "sig-5.cia" + ENCRYPTED, {}},
        {"crypt.cxi", 1, "crypt.cxi" + ENCRYPTED, {}},
        {"crypt.3ds", 1, "crypt.3ds" + ENCRYPTED, {}},
        {"crypt.cia", 1, "crypt.cia" + ENCRYPTED, {}},
        {"crypt-icon.cxi", 1, "crypt-icon.cxi" + ENCRYPTED, {}},
        {"marked.cia", 1, "marked.cia" + ENCRYPTED, {}},
        {"decrypted.cxi", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"decrypted-odd.cxi", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"decrypted.cia", 0, "", {{"s.png", 's'}, {"l.png", 'l'}}},
        {"cut-head.3dsx", 1, "cut-head.3dsx is damaged: its header is cut short.\n", {}},
        {"cut-ext.3dsx", 1, "cut-ext.3dsx is damaged: its extended header is cut short.\n", {}},
        {"cut-small.3dsx",
         3,
         "cut-small.3dsx is too short for the small icon.\ncut-small.3dsx is too short for the large icon.\n",
         {}},
        {"cut-large.3dsx", 3, "cut-large.3dsx is too short for the large icon.\n", {{"s.png", 's'}}},
        {"cut-head.cxi", 1, "cut-head.cxi is damaged: its NCCH header is cut short.\n", {}},
        {"cut-exefs.cxi", 1, "cut-exefs.cxi is damaged: its ExeFS lies past its end.\n", {}},
        {"cut-part.3ds", 1, "cut-part.3ds is damaged: its partition 0 lies past its end.\n", {}},
        {"cut-head.cia", 1, "cut-head.cia is damaged: its header is cut short.\n", {}},
        {"start.cia", 1, "start.cia is damaged: its header is cut short.\n", {}},
        {"fields.cia", 1, "fields.cia is damaged: its SMDH offset lies past its end.\n", {}},
        {"cut-tmd.cia", 1, "cut-tmd.cia is damaged: its TMD lies past its end.\n", {}},
        {"cut-meta.cia", 1, "cut-meta.cia is damaged: its SMDH offset lies past its end.\n", {}},
        // The extent ends where the ExeFS entry does, though the file goes on.
        {"short-entry.cxi", 3, "short-entry.cxi is too short for the large icon.\n", {{"s.png", 's'}}},
        {"far.3dsx", 1, "far.3dsx is damaged: its SMDH offset lies past its end.\n", {}},
        {"self.3dsx", 1, "self.3dsx is damaged: its SMDH does not begin with SMDH.\n", {}},
        {"shift.3ds", 1, "shift.3ds is damaged: its media unit is absurd.\n", {}},
        {"shift.cxi", 1, "shift.cxi is damaged: its media unit is absurd.\n", {}},
        {"self.3ds", 1, "self.3ds is damaged: its partition 0 is not an NCCH.\n", {}},
        {"far.3ds", 1, "far.3ds is damaged: its partition 0 lies past its end.\n", {}},
        {"far-exefs.cxi", 1, "far-exefs.cxi is damaged: its ExeFS lies past its end.\n", {}},
        {"outside.cxi", 1, "outside.cxi is damaged: its icon entry lies outside its ExeFS.\n", {}},
        {"code.cxi", 1, "code.cxi is damaged: its SMDH does not begin with SMDH.\n", {}},
        {"huge.cia", 1, "huge.cia is damaged: its section sizes overflow.\n", {}},
        {"far-meta.cia", 1, "far-meta.cia is damaged: its SMDH offset lies past its end.\n", {}},
        {"edge-meta.cia", 1, "edge-meta.cia is damaged: its SMDH offset lies past its end.\n", {}},
        {"wrap-meta.cia", 1, "wrap-meta.cia is damaged: its meta section offset overflows.\n", {}},
        {"far-tmd.cia", 1, "far-tmd.cia is damaged: its TMD lies past its end.\n", {}},
        {"back.cia", 1, "back.cia is damaged: an offset points back into its headers.\n", {}},
        {"signature.cia", 1, "signature.cia is damaged: its TMD has an unknown signature type.\n", {}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"-i", row.file};
        args.insert(args.end(), both.begin(), both.end());
        std::vector<std::string> absent;
        for (const char* png : {"s.png", "l.png"}) {
            bool written = false;
            for (const Output& o : row.written) {
                written |= o.path == png;
            }
            if (!written) {
                absent.push_back(png);
            }
        }
        expect_case({.name = row.file,
                     .args = args,
                     .status = row.status,
                     .err = row.err,
                     .written = row.written,
                     .absent = absent});
        RemoveTree(dir + "/s.png");
        RemoveTree(dir + "/l.png");
    }
}

TEST_F(Containers, OneArgumentAndBatch)
{
    const CliCase cases[] = {
        {.name = "one argument", .args = {"game.cia"}, .status = 0, .written = {{"game.png", 'l'}}},
        {.name = "batch of failures",
         .args = {"--batch", "game.cxi", "crypt.cxi", "far.3dsx"},
         .status = 1,
         .err = "crypt.cxi" + ENCRYPTED + "far.3dsx is damaged: its SMDH offset lies past its end.\n",
         .written = {{"game.png", 'l'}},
         .absent = {"crypt.png", "far.png"}},
        // pair.png comes from pair.cia; pair.3dsx, with another icon, must not replace it.
        {.name = "two files, one PNG",
         .args = {"--batch", "pair.cia", "pair.3dsx", "a.icn"},
         .status = 3,
         .err = "Not replacing pair.png: written from pair.cia in this run.\n",
         .written = {{"pair.png", 'l'}, {"a.png", 'l'}}},
    };
    write("pair.cia", ReadFileBytes(dir + "/game.cia"));
    for (const CliCase& c : cases) {
        expect_case(c);
    }
    // Outside a batch a later run replaces it, as ever.
    ASSERT_EQ(0, run({"pair.3dsx"}).status);
    EXPECT_EQ(ExpectedImage(PatternPixels(48, 22)), DecodePngFile(dir + "/pair.png").rgba);
}

// The seek table of a Z3DS file: where entry `index` starts.
size_t table_entry(const std::vector<uint8_t>& z3ds, size_t index)
{
    size_t frames = u8_to_u32(&z3ds[z3ds.size() - 9], 1);
    size_t entry_size = z3ds[z3ds.size() - 5] & 0x80 ? 12 : 8;
    return z3ds.size() - 9 - frames * entry_size + index * entry_size;
}

// Both sizes of seek table entry `index` as one little-endian u64: the sum
// of two such is the entry of both frames.
uint64_t entry_as_u64(const std::vector<uint8_t>& z3ds, size_t index)
{
    return u8_to_u64(&z3ds[table_entry(z3ds, index)], 1);
}

// Z3DS files: each converts as its inner file would, and each damage of the
// compression's own structure is named.
TEST_F(Containers, Compressed)
{
    const std::vector<uint8_t> zcxi = ReadFileBytes(dir + "/game.zcxi");  // 12-byte entries, 4 frames
    const std::vector<uint8_t> zcia = ReadFileBytes(dir + "/game.zcia");
    const size_t last = zcxi.size() - 1;
    const size_t descriptor = zcxi.size() - 5;
    const size_t frames = zcxi.size() - 9;
    const size_t item = 0x21 + (4 + strlen("compressor") + 4) + (4 + strlen("date") + 4);  // the smdh item's header
    std::vector<uint8_t> corrupt = zcia;
    std::fill_n(corrupt.begin() + 0x20 + u8_to_u32(&zcia[0x0C], 1), 64, 0xFF);  // frame 0's start
    const std::vector<uint8_t> smdx = ReadFileBytes(dir + "/bad.icn");
    const Z3dsOptions wide = {.frame_size = 0x1000001, .window_log = 24};
    std::vector<uint8_t> long_icn = icn;
    long_icn.resize(0x10000);  // in one-byte frames: as many as a table may list
    std::vector<uint8_t> longer_icn = icn;
    longer_icn.resize(0x10001);
    write_files({
        {"most-frames.z3ds", WrapZ3ds(long_icn, {.frame_size = 1})},
        {"too-many-frames.z3ds", WrapZ3ds(longer_icn, {.frame_size = 1})},
        {"corrupt.zcia", corrupt},
        {"unused-bit.zcxi", with(zcxi, descriptor, 0x81, 1)},
        {"reserved-bit.zcxi", with(zcxi, descriptor, 0x84, 1)},
        {"magic.zcxi", with(zcxi, last, 0, 1)},
        {"count.zcxi", with(zcxi, frames, 5)},
        {"count-far.zcxi", with(zcxi, frames + 1, 0x0F, 1)},  // 0x0F04 entries: more than the file holds
        {"cut.zcxi", cut(zcxi, last)},
        {"inner-size.zcxi", with(zcxi, 0x18, 0x4001, 8)},
        {"packed-size.zcxi", with(zcxi, table_entry(zcxi, 0), u8_to_u32(&zcxi[table_entry(zcxi, 0)], 1) + 1)},
        {"short-frame.zcxi", with(with(zcxi, table_entry(zcxi, 0) + 4, 0x1001), table_entry(zcxi, 3) + 4, 0xFFF)},
        {"huge-frame.zcxi", with(zcxi, table_entry(zcxi, 1) + 4, 0x40000001)},  // said before the sums
        {"version.zcxi", with(zcxi, 8, 2, 1)},
        {"header-size.zcxi", with(zcxi, 0x0A, 0x10, 2)},
        {"cut-header.zcxi", cut(zcxi, 0x10)},
        {"magic.z3ds", {'Z', '3', 'D', 'S'}},
        {"item-past.zcia", with(zcia, item + 2, 0xFFFF, 2)},
        {"bad-item.zcia", with(zcia, item + 4 + 4 + 3, 'X', 1)},
        {"version-2.zcia", with(with(zcia, item + 4 + 4 + 3, 'X', 1), 0x20, 2, 1)},  // metadata of a version unknown
        {"unknown.z3ds", WrapZ3ds(smdx)},
        {"nested.z3ds", WrapZ3ds(WrapZ3ds(icn))},
        {"crypt.zcxi", WrapZ3ds(ReadFileBytes(dir + "/crypt.cxi"))},
        {"cut-large.z3dsx", WrapZ3ds(ReadFileBytes(dir + "/cut-large.3dsx"))},
        {"far.z3dsx", WrapZ3ds(ReadFileBytes(dir + "/far.3dsx"))},
        {"back.zcia", WrapZ3ds(ReadFileBytes(dir + "/back.cia"))},
        // A file inside shorter than the head, in a Z3DS file longer than it.
        {"cut-exefs.zcxi", WrapZ3ds(ReadFileBytes(dir + "/cut-exefs.cxi"),
                                    {.items = {{"compressor", std::vector<uint8_t>(0x800, 'x')}}})},
        {"wide.zcxi", WrapZ3ds(cut(ReadFileBytes(dir + "/game.cxi"), wide.frame_size), wide)},
        {"item4.zcia", WrapZ3ds(ReadFileBytes(dir + "/game.cia"), {.items = {{"smdh", {'S', 'M', 'D', 'H'}}}})},
        {"version.zcia", WrapZ3ds(ReadFileBytes(dir + "/game.cia"), {.items = {{"smdh", with(icn, 4, 3, 2)}}})},
        // The SMDH behind 192 KiB that do not compress: frame 0's bytes
        // come in more than one read.
        {"noise.zcia", WrapZ3ds(WrapCia(Scramble(std::vector<uint8_t>(0x30000), 0), icn, false))},
        // Entry 0 spans frames 0 and 1 (its compressed and uncompressed
        // sizes both), entry 1 nothing: the sizes add up, but the first
        // frame in entry 0 ends before the entry's size.
        {"two-in-one.zcxi", with(with(zcxi, table_entry(zcxi, 0), entry_as_u64(zcxi, 0) + entry_as_u64(zcxi, 1), 8),
                                 table_entry(zcxi, 1), 0, 8)},
    });
    const std::vector<Output> both = {{"s.png", 's'}, {"l.png", 'l'}};
    const std::string damaged = " is damaged: ";
    const IconRow rows[] = {
        {"game.zcci", 0, "", both},
        {"game.zcxi", 0, "", both},
        {"most-frames.z3ds", 0, "", both},
        {"too-many-frames.z3ds",
         1,
         "too-many-frames.z3ds" + damaged + "its seek table lists more than 0x10000 frames.\n",
         {}},
        {"game.z3dsx", 0, "", both},
        {"game.zcia", 0, "", both},
        {"version-2.zcia", 0, "", both},  // its items ignored, the bad smdh item too
        {"version.zcia", 0, "", both},    // an SMDH of version 3 as the item
        {"noise.zcia", 0, "", both},
        {"two-in-one.zcxi", 1, "two-in-one.zcxi" + damaged + "a frame ends before its size.\n", {}},
        {"corrupt.zcia", 0, "", both},  // its icon is the item: no frame is decompressed
        {"plain.zcia", 0, "", both},
        {"game.z3ds", 0, "", both},
        {"unused-bit.zcxi", 0, "", both},
        {"reserved-bit.zcxi", 1, "reserved-bit.zcxi" + damaged + "its seek table sets a reserved bit.\n", {}},
        {"magic.zcxi", 1, "magic.zcxi" + damaged + "its seek table does not end in its magic.\n", {}},
        {"count.zcxi", 1, "count.zcxi" + damaged + "its seek table's header disagrees with its footer.\n", {}},
        {"count-far.zcxi", 1, "count-far.zcxi" + damaged + "its seek table does not fit in the file.\n", {}},
        {"cut.zcxi", 1, "cut.zcxi" + damaged + "its Z3DS sizes disagree with its length.\n", {}},
        {"inner-size.zcxi",
         1,
         "inner-size.zcxi" + damaged + "its frames' sizes do not add up to its uncompressed size.\n",
         {}},
        {"packed-size.zcxi", 1, "packed-size.zcxi" + damaged + "its frames' compressed sizes do not add up.\n", {}},
        {"huge-frame.zcxi", 1, "huge-frame.zcxi" + damaged + "a frame is larger than 1 GiB.\n", {}},
        {"short-frame.zcxi", 1, "short-frame.zcxi" + damaged + "a frame ends before its size.\n", {}},
        {"version.zcxi", 1, "version.zcxi" + damaged + "its Z3DS version is not 1.\n", {}},
        {"header-size.zcxi", 1, "header-size.zcxi" + damaged + "its Z3DS header size is below 0x20.\n", {}},
        {"cut-header.zcxi", 1, "cut-header.zcxi" + damaged + "its Z3DS header is cut short.\n", {}},
        {"magic.z3ds", 1, "magic.z3ds" + damaged + "its Z3DS header is cut short.\n", {}},
        {"item-past.zcia", 1, "item-past.zcia" + damaged + "a metadata item runs past the metadata's end.\n", {}},
        {"bad-item.zcia", 1, "bad-item.zcia" + damaged + "its smdh item does not begin with SMDH.\n", {}},
        {"unknown.z3ds", 1, "unknown.z3ds is not an ICN file", {}},
        {"nested.z3ds", 1, "nested.z3ds is not an ICN file", {}},
        {"crypt.zcxi", 1, "crypt.zcxi" + ENCRYPTED, {}},
        {"cut-large.z3dsx", 3, "cut-large.z3dsx is too short for the large icon.\n", {{"s.png", 's'}}},
        {"far.z3dsx", 1, "far.z3dsx" + damaged + "its SMDH offset lies past its end.\n", {}},
        {"back.zcia", 1, "back.zcia" + damaged + "an offset points back into its headers.\n", {}},
        {"cut-exefs.zcxi", 1, "cut-exefs.zcxi" + damaged + "its ExeFS lies past its end.\n", {}},
        {"wide.zcxi", 1, "wide.zcxi" + damaged + "a frame needs a window beyond 8 MiB.\n", {}},
        {"item4.zcia",
         3,
         "item4.zcia is too short for the small icon.\nitem4.zcia is too short for the large icon.\n",
         {}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> absent;
        for (const char* png : {"s.png", "l.png"}) {
            if (row.written.size() < 2 && (row.written.empty() || row.written[0].path != png)) {
                absent.push_back(png);
            }
        }
        expect_case({.name = row.file,
                     .args = {"-i", row.file, "-s", "s.png", "-l", "l.png"},
                     .status = row.status,
                     .err = row.err,
                     .written = row.written,
                     .absent = absent});
        RemoveTree(dir + "/s.png");
        RemoveTree(dir + "/l.png");
    }
}

// A DS ROM `rom` with `width` header bytes at `at` set to `value`, its CRC made to hold again.
std::vector<uint8_t> with_ds_header(std::vector<uint8_t> rom, size_t at, uint64_t value, size_t width = 4)
{
    rom = with(rom, at, value, width);
    return with(rom, 0x15E, DsLayoutCrc16(rom.data(), 0x15E), 2);
}

// Bundles: tar archives of the files above, of every header kind; the
// application's icon, or a CIA's; and each damage to the archive named.
TEST_F(Containers, Bundles)
{
    auto file = [this](const char* name) { return ReadFileBytes(dir + "/" + name); };
    const std::vector<uint8_t> other_cia = WrapCia(WrapNcch(other, true), {}, false);  // another icon
    const std::vector<uint8_t> text(2000, 'x');
    const std::string long_name = std::string(120, 'd') + "/" + std::string(40, 'n') + ".zcci";
    std::vector<uint8_t> dangling = TarHeaders(long_name, 100, '0', TAR_GNU);
    dangling.resize(1024);  // the long name and its data, then nothing
    dangling.resize(2048);
    const std::vector<uint8_t> two = MakeBundle({{"notes.txt", text}, {"game.3ds", file("game.3ds")}}, TAR_GNU);
    const size_t second = 512 + 2048;  // the second header
    std::vector<uint8_t> pax = MakeBundle({{"game.3ds", file("game.3ds")}}, TAR_PAX);
    pax[512] = 'x';  // the first record's length
    write_files({
        {"app.bcci", MakeBundle({{"dir", {}, '5'},
                                 {"update.cia", other_cia},
                                 {"game.3ds", file("game.3ds")},
                                 {"late.cxi", WrapNcch(other, true)}},
                                TAR_GNU)},
        {"app.bcxi", MakeBundle({{"readme.txt", text}, {"game.zcxi", file("game.zcxi")}}, TAR_OLDEST)},
        {"ustar.bcci", MakeBundle({{"dlc.zcia", WrapZ3ds(other_cia)}, {long_name, file("game.zcci")}}, TAR_USTAR)},
        {"gnu.bcci", MakeBundle({{long_name, file("game.cxi")}}, TAR_GNU)},
        {"pax.bcci", MakeBundle({{long_name, file("game.3ds")}}, TAR_PAX)},
        {"dlc.bcia",
         MakeBundle({{"a.cia", file("data.cia")}, {"b.zcia", file("game.zcia")}, {"c.cia", other_cia}}, TAR_OLDEST)},
        {"crypt.bcia", MakeBundle({{"a.cia", file("crypt.cia")}, {"b.cia", file("data.cia")}}, TAR_OLDEST)},
        {"text.bcci", MakeBundle({{"notes.txt", text}, {"game.3dsx", file("game.3dsx")}}, TAR_OLDEST)},
        {"unended.bcci", MakeBundle({{"game.3ds", file("game.3ds")}}, TAR_OLDEST, true)},
        // The application cut short by the archive's end, inside its large icon.
        {"cut.bcci",
         cut(MakeBundle({{"game.cxi", file("game.cxi")}}, TAR_OLDEST), 512 + NCCH_SMDH_OFFSET + 0x24C0 + 0x20)},
        {"checksum.bcci", with(two, second + 148, '7', 1)},
        {"size.bcci", with(two, second + 124, 'x', 1)},
        {"past.bcci", cut(two, 512 + 1000)},
        {"cut-header.bcci", cut(two, second + 100)},
        {"pax-record.bcci", pax},
        {"pax-large.bcci", MakeBundle({{std::string(9000, 'p'), file("game.3ds")}}, TAR_PAX)},
        {"dangling.bcci", dangling},
        // Past the head, members that end where a header begins: empty ones,
        // a folder, a link, files of whole blocks read to their last byte, a
        // pax header of a block; and an archive that ends in a large member
        // and a folder. A pipe, which cannot go back, must answer as the file.
        {"late.bcci", MakeBundle({{"a.txt", std::vector<uint8_t>(1024, 'a')},
                                  {"b.txt", std::vector<uint8_t>(512, 'b')},
                                  {"extras", {}, '5'},
                                  {"empty.txt", {}},
                                  {"link", {}, '2'},
                                  {std::string(500, 'p'), std::vector<uint8_t>(1536, 'c')},
                                  {"game.3ds", file("game.3ds")}},
                                 TAR_PAX)},
        {"tail.bcia", MakeBundle({{"big.txt", std::vector<uint8_t>(8192, 'x')}, {"extras", {}, '5'}}, TAR_GNU)},
        {"noicon.bcci", MakeBundle({{"game.cxi", file("noexefs.cxi")}, {"late.cxi", WrapNcch(other, true)}}, TAR_GNU)},
    });
    const std::vector<Output> both = {{"s.png", 's'}, {"l.png", 'l'}};
    const std::string damaged = " is damaged: ";
    const IconRow rows[] = {
        {"app.bcci", 0, "", both},
        {"app.bcxi", 0, "", both},
        {"ustar.bcci", 0, "", both},
        {"gnu.bcci", 0, "", both},
        {"pax.bcci", 0, "", both},
        {"dlc.bcia", 0, "", both},
        {"unended.bcci", 0, "", both},
        {"crypt.bcia", 1, "crypt.bcia" + ENCRYPTED, {}},
        {"text.bcci", 1, "text.bcci holds no icon.\n", {}},
        {"cut.bcci", 1, "cut.bcci" + damaged + "a tar member runs past its end.\n", {}},
        {"late.bcci", 0, "", both},
        {"tail.bcia", 1, "tail.bcia holds no icon.\n", {}},
        {"noicon.bcci", 1, "noicon.bcci holds no icon.\n", {}},
        {"checksum.bcci", 1, "checksum.bcci" + damaged + "a tar header's checksum fails.\n", {}},
        {"size.bcci", 1, "size.bcci" + damaged + "a tar header's size is malformed.\n", {}},
        {"past.bcci", 1, "past.bcci" + damaged + "a tar member runs past its end.\n", {}},
        {"cut-header.bcci", 1, "cut-header.bcci" + damaged + "a tar header runs past its end.\n", {}},
        {"pax-record.bcci", 1, "pax-record.bcci" + damaged + "a pax record is malformed.\n", {}},
        {"pax-large.bcci", 1, "pax-large.bcci" + damaged + "a pax header is too large.\n", {}},
        {"dangling.bcci", 1, "dangling.bcci" + damaged + "a pax header or long name has no member after it.\n", {}},
    };
    for (const auto& row : rows) {
        // As a file, and on POSIX systems through a pipe, which reads forward only.
        for (bool piped : {false, true}) {
#ifdef _WIN32
            if (piped) {
                continue;
            }
#endif
            std::string name = std::string(row.file) + (piped ? " through a pipe" : "");
            ProcessResult r = piped ? RunProcess({"/bin/sh", "-c",
                                                  std::string("cat '") + row.file + "' | '" + BINARY +
                                                      "' -i /dev/stdin -s s.png -l l.png"},
                                                 dir)
                                    : run({"-i", row.file, "-s", "s.png", "-l", "l.png"});
            EXPECT_EQ(row.status, r.status) << name;
            std::string err = row.err;
            if (piped && !err.empty()) {
                err.replace(0, strlen(row.file), "/dev/stdin");
            }
            EXPECT_EQ(Native(err), r.err) << name;
            for (const Output& o : row.written) {
                EXPECT_EQ(ExpectedImage(o.slot == 's' ? small : large), DecodePngFile(dir + "/" + o.path).rgba) << name;
            }
            RemoveTree(dir + "/s.png");
            RemoveTree(dir + "/l.png");
        }
    }
    ProcessResult r = run({"--info", "pax.bcci", "dlc.bcia", "ustar.bcci"});
    const std::string long_bundle = "\"bundle\": \"" + long_name + "\",";
    EXPECT_NE(std::string::npos, r.out.find(long_bundle)) << r.out;
    EXPECT_NE(r.out.find(long_bundle), r.out.rfind(long_bundle)) << "ustar's prefix and name: " << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"bundle\": \"b.zcia\",")) << r.out;
}

// DS ROM images, raw banners and CIAs of DS titles, compressed or not: the
// banner's icon is the large one, and each fault of a banner is named.
TEST_F(Containers, DsFamily)
{
    const std::vector<uint8_t> v1 = MakeDsRom(MakeDsBanner(DsTestBanner(1)));  // ends right after its banner
    const std::vector<uint8_t> v3 = MakeDsRom(MakeDsBanner(DsTestBanner(3)));
    const std::vector<uint8_t> dsi = MakeDsRom(MakeDsBanner(DsTestBanner(0x0103)));
    std::vector<uint8_t> no_chinese = MakeDsRom(MakeDsBanner(DsTestBanner(2)));
    no_chinese[DS_ROM_BANNER + 4] ^= 1;
    const std::vector<uint8_t> cia = WrapCia(v3, {}, false);
    write_files({
        {"v1.nds", v1},
        {"v2.nds", no_chinese},  // a failing titles CRC stops no icon
        {"v3.nds", v3},
        {"dsi.nds", dsi},
        {"cut-anim.dsi", cut(dsi, DS_ROM_BANNER + 0x1000)},
        {"banner.bin", MakeDsBanner(DsTestBanner(3))},
        {"banner.bnr", MakeDsBanner(DsTestBanner(1))},
        {"version.bnr", with(MakeDsBanner(DsTestBanner(1)), 0, 4, 2)},  // its CRC holds, its version is none
        {"zero.nds", with_ds_header(v1, 0x68, 0)},
        {"far.nds", with_ds_header(v1, 0x68, 0x10000000)},
        {"header.nds", cut(v1, 0x160)},  // its header alone
        {"header-crc.nds", with(v1, 0x15E, 0)},
        {"banner-crc.nds", with(v1, DS_ROM_BANNER + 0x30, 0x77, 1)},
        {"version.nds", with(v1, DS_ROM_BANNER, 4, 2)},
        {"cut-v3.nds", cut(v3, DS_ROM_BANNER + 0x940)},
        {"ds.cia", cia},
        {"marked-ds.cia", WrapCia(v3, {}, true)},
        {"crypt-ds.cia", WrapCia(Scramble(v3, 0), {}, true)},
        {"ds.zcia", WrapZ3ds(cia, {.frame_size = 0x1000})},
        {"back-ds.cia", WrapCia(with_ds_header(v1, 0x68, 0x100), {}, false)},  // inside the header read
    });
    const std::string damaged = " is damaged: ";
    const struct {
        const char* file;
        int status;
        std::string err;
    } rows[] = {
        {"v1.nds", 0, ""},
        {"v2.nds", 0, ""},
        {"v3.nds", 0, ""},
        {"dsi.nds", 0, ""},
        {"cut-anim.dsi", 0, ""},
        {"banner.bin", 0, ""},
        {"banner.bnr", 0, ""},
        {"ds.cia", 0, ""},
        {"marked-ds.cia", 0, ""},
        {"ds.zcia", 0, ""},
        {"zero.nds", 1, "zero.nds" + NO_ICON},
        {"far.nds", 1, "far.nds" + damaged + "its banner lies past its end.\n"},
        {"header.nds", 1, "header.nds" + damaged + "its banner lies past its end.\n"},
        {"header-crc.nds", 1, "header-crc.nds is not an ICN file"},
        {"version.bnr", 1, "version.bnr is not an ICN file"},
        {"banner-crc.nds", 1, "banner-crc.nds" + damaged + "its banner fails its CRC.\n"},
        {"version.nds", 1, "version.nds" + damaged + "its banner's version is unknown.\n"},
        {"cut-v3.nds", 1, "cut-v3.nds" + damaged + "its banner is cut short.\n"},
        {"crypt-ds.cia", 1, "crypt-ds.cia" + ENCRYPTED},
        {"back-ds.cia", 1, "back-ds.cia" + damaged + "its banner offset points back into its headers.\n"},
    };
    const std::vector<uint8_t> expected = ExpectedDsImage(DsTestBanner(1));
    for (const auto& row : rows) {
        expect_case({.name = row.file,
                     .args = {"-i", row.file, "-l", "l.png"},
                     .status = row.status,
                     .err = row.err,
                     .written = row.status == 0 ? std::vector<Output>{{"l.png", 'd'}} : std::vector<Output>{},
                     .absent = row.status == 0 ? std::vector<std::string>{} : std::vector<std::string>{"l.png"}});
        if (row.status == 0) {
            EXPECT_EQ(expected, DecodePngFile(dir + "/l.png").rgba) << row.file;
            EXPECT_EQ(EncodePng(expected, 32, 32), ReadFileBytes(dir + "/l.png")) << row.file;
        }
        RemoveTree(dir + "/l.png");
    }
    // No small icon: said, and the large one still written.
    expect_case({.name = "small icon",
                 .args = {"-i", "v1.nds", "-s", "s.png", "-l", "l.png"},
                 .status = 3,
                 .err = "v1.nds has no small icon.\n",
                 .written = {{"l.png", 'd'}},
                 .absent = {"s.png"}});
    EXPECT_EQ(expected, DecodePngFile(dir + "/l.png").rgba);
#ifndef _WIN32
    ProcessResult piped = RunProcess({"/bin/sh", "-c", "cat ds.zcia | '" + BINARY + "' -i /dev/stdin -l p.png"}, dir);
    EXPECT_EQ(0, piped.status) << piped.err;
    EXPECT_EQ(expected, DecodePngFile(dir + "/p.png").rgba);
#endif
}

// The DSi animated icon (-a) from every DS file that carries a banner, as a
// file and through a pipe: the same bytes as from the raw banner, whose
// frames the pixel tests read back. Each file without one, or with a
// damaged one, is said (status 3) and the other icons are still written.
TEST_F(Containers, DsAnimatedIcons)
{
    const std::vector<uint8_t> banner = MakeDsBanner(DsAnimatedTestBanner({0x00A0, 0x0108, 0x0206, 0x030C, 0}));
    const std::vector<uint8_t> rom = MakeDsRom(banner, {}, true);
    const std::vector<uint8_t> dsiware = WrapCia(rom, {}, false);
    std::vector<uint8_t> no_animation = MakeDsBanner(DsAnimatedTestBanner({0, 0x0108}));
    std::vector<uint8_t> crc = rom;
    crc[DS_ROM_BANNER + 0x1240] ^= 1;
    write_files({
        {"dsi.bnr", banner},
        {"dsi.nds", rom},
        {"dsiware.cia", dsiware},
        {"dsiware.zcia", WrapZ3ds(dsiware, {.frame_size = 0x1000})},
        {"dsiware.bcia", MakeBundle({{"dsiware.cia", dsiware}}, TAR_GNU)},
        {"v3.nds", MakeDsRom(MakeDsBanner(DsTestBanner(3)))},
        {"first-zero.bnr", no_animation},
        {"crc.nds", crc},
        {"cut.nds", cut(rom, DS_ROM_BANNER + 0x2000)},
    });
    ASSERT_EQ(0, run({"-i", "dsi.bnr", "-a", "reference.png"}).status);
    const std::vector<uint8_t> reference = ReadFileBytes(dir + "/reference.png");
    for (const char* file : {"dsi.nds", "dsiware.cia", "dsiware.zcia", "dsiware.bcia"}) {
        for (bool piped : {false, true}) {
#ifdef _WIN32
            if (piped) {
                continue;
            }
#endif
            ProcessResult r =
                piped ? RunProcess({"/bin/sh", "-c",
                                    std::string("cat '") + file + "' | '" + BINARY + "' -i /dev/stdin -a a.png"},
                                   dir)
                      : run({"-i", file, "-a", "a.png"});
            EXPECT_EQ(0, r.status) << file << (piped ? " through a pipe: " : ": ") << r.err;
            EXPECT_EQ(reference, ReadFileBytes(dir + "/a.png")) << file << (piped ? " through a pipe" : "");
            RemoveTree(dir + "/a.png");
        }
    }
    const std::string none = " has no animated icon.\n";
    const CliCase cases[] = {
        {.name = "with -l and -s",
         .args = {"-i", "dsi.nds", "-a", "a.png", "-l", "l.png", "-s", "s.png"},
         .status = 3,
         .err = "dsi.nds has no small icon.\n",
         .written = {{"l.png", 'd'}, {"a.png", 'd'}},
         .absent = {"s.png"}},
        {.name = "a 3DS file",
         .args = {"-i", "game.cia", "-a", "a.png", "-l", "l.png"},
         .status = 3,
         .err = "game.cia" + none,
         .written = {{"l.png", 'l'}},
         .absent = {"a.png"}},
        {.name = "version 3",
         .args = {"-i", "v3.nds", "-a", "a.png"},
         .status = 3,
         .err = "v3.nds" + none,
         .absent = {"a.png"}},
        {.name = "a first token of 0",
         .args = {"-i", "first-zero.bnr", "-a", "a.png"},
         .status = 3,
         .err = "first-zero.bnr" + none,
         .absent = {"a.png"}},
        {.name = "its CRC fails",
         .args = {"-i", "crc.nds", "-a", "a.png", "-l", "l.png"},
         .status = 3,
         .err = "crc.nds is damaged: its animated icon fails its CRC.\n",
         .written = {{"l.png", 'd'}},
         .absent = {"a.png"}},
        {.name = "cut short",
         .args = {"-i", "cut.nds", "-a", "a.png"},
         .status = 3,
         .err = "cut.nds is damaged: its animated icon is cut short.\n",
         .absent = {"a.png"}},
        {.name = "-a alone, its input as output",
         .args = {"-i", "dsi.nds", "-a", "dsi.nds"},
         .status = 1,
         .err = "Refusing to overwrite the input file dsi.nds.\n"},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
        if (&c == &cases[0]) {  // the still icon and the animation, as written alone
            EXPECT_EQ(reference, ReadFileBytes(dir + "/a.png"));
            EXPECT_EQ(ExpectedDsImage(DsAnimatedTestBanner({})), DecodePngFile(dir + "/l.png").rgba);
        }
        RemoveTree(dir + "/l.png");
        RemoveTree(dir + "/a.png");
    }
}

// A CIA whose SMDH lies past 4 GiB, sparse, and the same compressed (256 KiB
// frames of zeros, its SMDH in the last ones): only the headers, the seek
// table and the SMDH's frames are read, so each converts in about the time
// a small one does.
TEST_F(Containers, SmdhPast4GiB)
{
    const uint64_t content_size = (uint64_t(5) << 30) + 0x123;
    CiaParts cia = CiaAround(content_size, icn, false);
    ASSERT_GT(cia.meta_offset, uint64_t(1) << 32);
    const std::string path = dir + "/big.cia";
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(1, WriteBuffer(cia.head.data(), cia.head.size(), 0, file));
    EXPECT_EQ(1, WriteBuffer(cia.meta.data(), cia.meta.size(), cia.meta_offset, file));
    ASSERT_EQ(0, fclose(file));
    const uint64_t meta_end = cia.meta_offset + cia.meta.size();
    write("big.zcia", Z3dsAround(meta_end, [&cia](uint64_t offset, uint8_t* out, size_t size) {
              memset(out, 0, size);
              for (size_t i = 0; i < size; i++) {
                  uint64_t at = offset + i;
                  if (at < cia.head.size()) {
                      out[i] = cia.head[at];
                  } else if (at >= cia.meta_offset) {
                      out[i] = cia.meta[at - cia.meta_offset];
                  } else if (at + (size - i) <= cia.meta_offset) {
                      break;  // zeros to the end of this part
                  }
              }
          }));
    // A bundle whose application lies past a member of 8 GiB (a base-256 size).
    const std::string bundle_path = dir + "/big.bcci";
    const uint64_t huge = uint64_t(1) << 33;
    const std::vector<uint8_t> headers = TarHeaders("huge.bin", huge, '0', TAR_GNU);
    const std::vector<uint8_t> rest = MakeBundle({{"game.zcci", ReadFileBytes(dir + "/game.zcci")}}, TAR_GNU);
    file = fopen(bundle_path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(1, WriteBuffer(headers.data(), headers.size(), 0, file));
    EXPECT_EQ(1, WriteBuffer(rest.data(), rest.size(), headers.size() + huge, file));
    ASSERT_EQ(0, fclose(file));
    for (const char* name : {"big.cia", "big.zcia", "big.bcci"}) {
        auto start = std::chrono::steady_clock::now();
        ProcessResult r = run({"-i", name, "-s", "s.png", "-l", "l.png"});
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(0, r.status) << name << r.out << r.err;
        EXPECT_EQ("", r.out + r.err) << name;
        EXPECT_EQ(ExpectedImage(small), DecodePngFile(dir + "/s.png").rgba) << name;
        EXPECT_EQ(ExpectedImage(large), DecodePngFile(dir + "/l.png").rgba) << name;
        // Reading 5 GiB takes seconds; the walk reads about 30 KiB. Wine
        // starts slowly, hence the margin; under valgrind only the result counts.
        if (getenv("GALLIVOX_TEST_WRAPPER") == nullptr) {
            EXPECT_LT(seconds, 5.0) << name;
        }
    }
    RemoveTree(path);
    RemoveTree(bundle_path);
}

#ifndef _WIN32
// Through a pipe the walk only reads forward, discarding up to the SMDH.
TEST_F(Containers, Pipes)
{
    CiaParts cia = CiaAround(64 << 20, icn, false);
    std::vector<uint8_t> large_cia = cia.head;
    large_cia.resize(cia.meta_offset);
    large_cia.insert(large_cia.end(), cia.meta.begin(), cia.meta.end());
    write("large.cia", large_cia);
    // Metadata far longer than the first bytes read: the frames start past them.
    write("meta.zcxi",
          WrapZ3ds(ReadFileBytes(dir + "/game.cxi"), {.items = {{"titleinfo", std::vector<uint8_t>(0x3000, 9)}}}));
    // Cut inside frame 0: a pipe cannot see the sizes disagree, but the frame ends early.
    write("cut-frame.zcxi", cut(ReadFileBytes(dir + "/game.zcxi"), 0x40));
    const struct {
        const char* file;
        int status;
        std::string err;
    } rows[] = {
        {"game.3dsx", 0, ""},
        {"large.cia", 0, ""},
        {"game.3ds", 0, ""},
        {"plain.cia", 0, ""},
        {"game.zcci", 0, ""},
        {"game.zcia", 0, ""},
        {"plain.zcia", 0, ""},  // its SMDH at the end, decompressed forward
        {"meta.zcxi", 0, ""},
        {"cut-frame.zcxi", 1, "/dev/stdin is damaged: a frame is cut short.\n"},
        {"back.cia", 1, "/dev/stdin is damaged: an offset points back into its headers.\n"},
        {"cut-meta.cia", 1, "/dev/stdin is damaged: its SMDH offset lies past its end.\n"},
        {"cut-large.3dsx", 3, "/dev/stdin is too short for the large icon.\n"},
    };
    for (const auto& row : rows) {
        std::string command = std::string("cat '") + row.file + "' | '" + BINARY + "' -i /dev/stdin -s s.png -l l.png";
        ProcessResult r = RunProcess({"/bin/sh", "-c", command}, dir);
        EXPECT_EQ(row.status, r.status) << row.file;
        EXPECT_EQ("", r.out) << row.file;
        EXPECT_EQ(row.err, r.err) << row.file;
        if (row.status != 1) {
            EXPECT_EQ(ExpectedImage(small), DecodePngFile(dir + "/s.png").rgba) << row.file;
        }
        if (row.status == 0) {
            EXPECT_EQ(ExpectedImage(large), DecodePngFile(dir + "/l.png").rgba) << row.file;
        }
        RemoveTree(dir + "/s.png");
        RemoveTree(dir + "/l.png");
    }
}
#endif
