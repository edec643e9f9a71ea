// The command line, run as a process: exit status, standard output and
// standard error byte for byte, and the files left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

TEST_F(CommandLine, NoArgumentsPrintsBannerAndUsage)
{
    expect_case(
        {.name = "no arguments",
         .args = {},
         .status = 1,
         .out = "Gallivox v0.4 by Orrimand\nUsage: " + BINARY + " -i <ICN File> -l <Large Icon> -s <Small Icon>\n"});
}

TEST_F(CommandLine, ArgumentForms)
{
    const CliCase cases[] = {
        {.name = "one argument", .args = {"icon.icn"}, .status = 0, .written = {{"icon.png", 'l'}}},
        {.name = "one argument without a dot", .args = {"dir/icon"}, .status = 0, .written = {{"dir/icon.png", 'l'}}},
        {.name = "one argument beginning with -", .args = {"-a.icn"}, .status = 0, .written = {{"-a.png", 'l'}}},
        {.name = "input alone", .args = {"-i", "missing.icn"}, .status = 1, .err = "Nothing to do."},
        {.name = "no input",
         .args = {"-l", "big.png", "-s", "small.png"},
         .status = 1,
         .err = "No input ICN data specified.",
         .absent = {"big.png", "small.png"}},
        {.name = "input value begins with -",
         .args = {"-i", "-l", "big.png"},
         .status = 1,
         .err = "No input ICN data specified.",
         .absent = {"big.png"}},
        {.name = "option written last", .args = {"-i", "a.icn", "-l"}, .status = 1, .err = "Nothing to do."},
        {.name = "later option wins",
         .args = {"-i", "a.icn", "-s", "s.png", "-s", "t.png"},
         .status = 0,
         .written = {{"t.png", 's'}},
         .absent = {"s.png"}},
        {.name = "unknown option ignored",
         .args = {"-x", "-i", "a.icn", "-l", "b.png"},
         .status = 0,
         .written = {{"b.png", 'l'}}},
        {.name = "both icons",
         .args = {"-i", "a.icn", "-l", "b.png", "-s", "s.png"},
         .status = 0,
         .written = {{"b.png", 'l'}, {"s.png", 's'}}},
        {.name = "same output twice",
         .args = {"-i", "a.icn", "-l", "x.png", "-s", "x.png"},
         .status = 0,
         .written = {{"x.png", 'l'}}},
        {.name = "per-cent signs",
         .args = {"-i", "100%s%n.icn", "-s", "%d.png"},
         .status = 0,
         .written = {{"%d.png", 's'}}},
        {.name = "dot in a directory's name",
         .args = {"my.dir/icon"},
         .status = 0,
         .written = {{"my.dir/icon.png", 'l'}},
         .absent = {"my.png"}},
        // Replaced whole, with no temporary file left beside it.
        {.name = "existing output",
         .args = {"-i", "a.icn", "-l", "old.png"},
         .status = 0,
         .written = {{"old.png", 'l'}}},
        // A new file takes the name: h2.png, checked unchanged, keeps "old".
        {.name = "hard-linked output",
         .args = {"-i", "a.icn", "-s", "h1.png"},
         .status = 0,
         .written = {{"h1.png", 's'}}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

// Every bad input once: missing, unreadable, not an ICN file, and cut at
// and inside each icon block.
TEST_F(CommandLine, BadInputs)
{
    const std::string small_short = " is too short for the small icon.\n";
    const std::string large_short = " is too short for the large icon.\n";
    const CliCase cases[] = {
        {.name = "missing input",
         .args = {"-i", "missing.icn", "-l", "b.png"},
         .status = 2,
         .out = "Could not open missing.icn.\n",
         .absent = {"b.png"}},
        {.name = "directory as input",
         .args = {"-i", "dir", "-l", "b.png"},
         .status = 2,
         .out = "Could not open dir.\n",
         .absent = {"b.png"}},
        {.name = "wrong magic",
         .args = {"-i", "bad.icn", "-l", "b.png"},
         .status = 1,
         .err = "bad.icn is not an ICN file",
         .absent = {"b.png"}},
        {.name = "empty file",
         .args = {"-i", "empty.icn", "-l", "b.png"},
         .status = 1,
         .err = "empty.icn is not an ICN file",
         .absent = {"b.png"}},
        {.name = "three bytes",
         .args = {"-i", "three.icn", "-s", "s.png"},
         .status = 1,
         .err = "three.icn is not an ICN file",
         .absent = {"s.png"}},
        {.name = "per-cent signs in a missing name",
         .args = {"-i", "%s%n", "-l", "b.png"},
         .status = 2,
         .out = "Could not open %s%n.\n"},
        {.name = "name too long to derive",
         .args = {std::string(1100, 'n')},
         .status = 1,
         .out = "[!] Input File Name Too Large for Output buffer\n"},
        {.name = "the magic alone",
         .args = {"-i", "magic.icn", "-s", "s.png", "-l", "b.png"},
         .status = 3,
         .err = "magic.icn" + small_short + "magic.icn" + large_short,
         .absent = {"s.png", "b.png"}},
        {.name = "cut where the small icon starts",
         .args = {"-i", "cut-small-start.icn", "-s", "s.png", "-l", "b.png"},
         .status = 3,
         .err = "cut-small-start.icn" + small_short + "cut-small-start.icn" + large_short,
         .absent = {"s.png", "b.png"}},
        {.name = "cut inside the small icon",
         .args = {"-i", "mid-small.icn", "-s", "s.png", "-l", "b.png"},
         .status = 3,
         .err = "mid-small.icn" + small_short + "mid-small.icn" + large_short,
         .absent = {"s.png", "b.png"}},
        {.name = "cut where the large icon starts",
         .args = {"-i", "no-large.icn", "-s", "s.png", "-l", "b.png"},
         .status = 3,
         .err = "no-large.icn" + large_short,
         .written = {{"s.png", 's'}},
         .absent = {"b.png"}},
        {.name = "cut inside the large icon",
         .args = {"-i", "cut-large.icn", "-s", "s.png", "-l", "b.png"},
         .status = 3,
         .err = "cut-large.icn" + large_short,
         .written = {{"s.png", 's'}},
         .absent = {"b.png"}},
        {.name = "one byte short",
         .args = {"-i", "short-large.icn", "-s", "s.png", "-l", "b.png"},
         .status = 3,
         .err = "short-large.icn" + large_short,
         .written = {{"s.png", 's'}},
         .absent = {"b.png"}},
        {.name = "exactly whole",
         .args = {"-i", "a.icn", "-s", "s.png", "-l", "b.png"},
         .status = 0,
         .written = {{"s.png", 's'}, {"b.png", 'l'}}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
        RemoveTree(dir + "/s.png");
    }
}

TEST_F(CommandLine, OutputsThatAreTheInputAreRefused)
{
    const CliCase cases[] = {
        {.name = "derived name is the input",
         .args = {"icon.png"},
         .status = 1,
         .err = "Refusing to overwrite the input file icon.png.\n"},
        {.name = "second spelling",
         .args = {"-i", "a.icn", "-s", "s.png", "-l", "./a.icn"},
         .status = 1,
         .err = "Refusing to overwrite the input file ./a.icn.\n",
         .absent = {"s.png"}},
        {.name = "symbolic link",
         .args = {"-i", "a.icn", "-s", "sym.png"},
         .status = 1,
         .err = "Refusing to overwrite the input file sym.png.\n"},
        {.name = "hard link",
         .args = {"-i", "hard.png", "-l", "a.icn"},
         .status = 1,
         .err = "Refusing to overwrite the input file a.icn.\n"},
    };
    for (const CliCase& c : cases) {
        if (c.args.back() == "sym.png" && !have_symlinks) {
            continue;
        }
        expect_case(c);
    }
    EXPECT_EQ(icn, ReadFileBytes(dir + "/icon.png"));
}

// `rgba` (side×side) enlarged by `k`, row by row: each source row's pixels
// repeated k times, and that row repeated k times.
static std::vector<uint8_t> enlarged(const std::vector<uint8_t>& rgba, size_t side, size_t k)
{
    std::vector<uint8_t> out;
    for (size_t y = 0; y < side; y++) {
        std::vector<uint8_t> row;
        for (size_t x = 0; x < side; x++) {
            for (size_t i = 0; i < k; i++) {
                row.insert(row.end(), rgba.begin() + 4 * (y * side + x), rgba.begin() + 4 * (y * side + x + 1));
            }
        }
        for (size_t i = 0; i < k; i++) {
            out.insert(out.end(), row.begin(), row.end());
        }
    }
    return out;
}

TEST_F(CommandLine, BatchConvertsEveryFileAndExitsWithTheGravestStatus)
{
    const std::string too_long(1100, 'n');
    const std::string kept_one = "Kept 1 existing file that differs; --force replaces it, --verbose names it.\n";
    std::vector<CliCase> cases = {
        {.name = "good files",
         .args = {"--batch", "a.icn", "-a.icn", "my.dir/icon"},
         .status = 0,
         .written = {{"a.png", 'l'}, {"-a.png", 'l'}, {"my.dir/icon.png", 'l'}}},
        {.name = "not an ICN file",
         .args = {"--batch", "bad.icn", "a.icn"},
         .status = 1,
         .err = "bad.icn is not an ICN file\n",
         .written = {{"a.png", 'l'}},
         .absent = {"bad.png"}},
        {.name = "missing",
         .args = {"--batch", "missing.icn", "a.icn"},
         .status = 2,
         .out = "Could not open missing.icn.\n",
         .written = {{"a.png", 'l'}}},
        {.name = "cut short",
         .args = {"--batch", "no-large.icn", "a.icn"},
         .status = 3,
         .err = "no-large.icn is too short for the large icon.\n",
         .written = {{"a.png", 'l'}},
         .absent = {"no-large.png"}},
        {.name = "output is the input",
         .args = {"--batch", "icon.png", "a.icn"},
         .status = 1,
         .err = "Refusing to overwrite the input file icon.png.\n",
         .written = {{"a.png", 'l'}}},
        {.name = "name too long",
         .args = {"--batch", too_long, "a.icn"},
         .status = 1,
         .out = "[!] Input File Name Too Large for Output buffer\n",
         .written = {{"a.png", 'l'}}},
        // 2 outranks 3, 3 outranks 1, 1 outranks 4.
        {.name = "gravest status: cannot be opened",
         .args = {"--batch", "no-large.icn", "missing.icn", "bad.icn", "a.icn"},
         .status = 2,
         .out = "Could not open missing.icn.\n",
         .err = "no-large.icn is too short for the large icon.\nbad.icn is not an ICN file\n",
         .written = {{"a.png", 'l'}}},
        {.name = "gravest status: not written",
         .args = {"--batch", "bad.icn", "no-large.icn", "old.icn"},
         .status = 3,
         .err = "bad.icn is not an ICN file\nno-large.icn is too short for the large icon.\n" + kept_one},
        {.name = "gravest status: no icon",
         .args = {"--batch", "old.icn", "bad.icn"},
         .status = 1,
         .err = "bad.icn is not an ICN file\n" + kept_one},
        // Existing files are the user's: the same picture is left as it is
        // and counts as done, anything else is kept, unless --force.
        {.name = "a foreign file kept",
         .args = {"--batch", "a.icn", "old.icn"},
         .status = 4,
         .err = kept_one,
         .written = {{"a.png", 'l'}}},
        {.name = "the same picture left as it is", .args = {"--batch", "same.icn"}, .status = 0},
        {.name = "--verbose after an input names it",
         .args = {"--batch", "old.icn", "hard.icn", "--verbose"},
         .status = 4,
         .err = "Kept old.png: it holds something else.\nKept hard.png: it holds something else.\n"
                "Kept 2 existing files that differ; --force replaces them.\n"},
        {.name = "--force", .args = {"--batch", "--force", "old.icn"}, .status = 0, .written = {{"old.png", 'l'}}},
        // Two files of the run that give one PNG: the same picture is no
        // collision, another one is not written.
        {.name = "the same picture twice",
         .args = {"--batch", "a.icn", "a.3dsx"},
         .status = 0,
         .written = {{"a.png", 'l'}}},
        {.name = "another picture under the same name",
         .args = {"--batch", "--force", "a.icn", "a.cia"},
         .status = 3,
         .err = "Not replacing a.png: written from a.icn in this run.\n",
         .written = {{"a.png", 'l'}}},
        // DSi animated icons beside their PNGs; files without one pass in silence.
        {.name = "--animated",
         .args = {"--batch", "--animated", "anim.nds", "a.icn"},
         .status = 0,
         .written = {{"anim.png", 'd'}, {"anim.animated.png", 'd'}, {"a.png", 'l'}},
         .absent = {"a.animated.png"}},
        {.name = "--animated again, over its own files", .args = {"--batch", "--animated", "anim.nds"}, .status = 0},
        {.name = "--animated beside a foreign file",
         .args = {"--batch", "--animated", "--verbose", "mine.nds"},
         .status = 4,
         .err = "Kept mine.animated.png: it holds something else.\n"
                "Kept 1 existing file that differs; --force replaces it.\n",
         .written = {{"mine.png", 'd'}}},
        {.name = "--animated, a damaged animation",
         .args = {"--batch", "--animated", "--into", "moving", "crc.nds"},
         .status = 3,
         .err = "crc.nds is damaged: its animated icon fails its CRC.\n",
         .written = {{"moving/crc.png", 'd'}},
         .absent = {"moving/crc.animated.png"}},
        // What worked before keeps its meaning.
        {.name = "lone --batch is an input", .args = {"--batch"}, .status = 2, .out = "Could not open --batch.\n"},
        {.name = "--batch beside an input",
         .args = {"--batch", "-i", "a.icn", "-l", "b.png"},
         .status = 0,
         .written = {{"b.png", 'l'}},
         .absent = {"a.png"}},
        {.name = "--batch not first",
         .args = {"a.icn", "--batch", "-a.icn"},
         .status = 1,
         .err = "No input ICN data specified.",
         .absent = {"a.png"}},
        // Folders: their files of the extensions read, names sorted bytewise,
        // a folder's files before its subfolders'; a link to a folder passed over.
        {.name = "a folder",
         .args = {"--batch", "coll"},
         .status = 0,
         .written = {{"coll/B.png", 'l'}, {"coll/a.png", 'l'}, {"coll/sub/c.png", 'l'}, {"coll/sub/deeper/d.png", 'l'}},
         .absent = {"coll/notes.png", "coll/x.png", "linked/e.png"}},
        // Its subfolders mirrored; a collision across folders named.
        {.name = "into a folder",
         .args = {"--batch", "--into", "out", "--into", "pngs/", "coll", "other"},
         .status = 3,
         .err = "Not replacing pngs/a.png: written from coll/a.icn in this run.\n",
         .written = {{"pngs/B.png", 'l'}, {"pngs/a.png", 'l'}, {"pngs/sub/c.png", 'l'}, {"pngs/sub/deeper/d.png", 'l'}},
         .absent = {"out"}},
        {.name = "into a new folder and its missing parents",
         .args = {"--batch", "--into", "new/media/covers", "coll/sub", "a.icn"},
         .status = 0,
         .written = {{"new/media/covers/c.png", 'l'},
                     {"new/media/covers/deeper/d.png", 'l'},
                     {"new/media/covers/a.png", 'l'}}},
        {.name = "-- before an input named like an option",
         .args = {"--batch", "--", "--into"},
         .status = 0,
         .written = {{"--into.png", 'l'}}},
        {.name = "a bad size",
         .args = {"--batch", "--size", "0", "a.icn"},
         .status = 1,
         .err = "Invalid thumbnail size 0.\n"},
        {.name = "no folder", .args = {"--batch", "--into"}, .status = 1, .err = "--into needs a folder.\n"},
        {.name = "an option for a folder",
         .args = {"--batch", "--into", "--size", "256", "a.icn"},
         .status = 1,
         .err = "--into needs a folder, not --size.\n"},
        {.name = "--retroarch without --into",
         .args = {"--batch", "--retroarch", "a.icn"},
         .status = 1,
         .err = "--retroarch needs --into DIR.\n"},
        {.name = "a file as the folder",
         .args = {"--batch", "--into", "a.icn", "a.icn"},
         .status = 1,
         .err = "a.icn is not a folder.\n"},
        {.name = "a folder that cannot be made",
         .args = {"--batch", "--into", "a.icn/out", "a.icn"},
         .status = 2,
         .err = std::string("Could not make the folder a.icn/out: ") + strerror(ENOTDIR) + "\n"},
    };
    if (have_symlinks) {
        cases.push_back({.name = "a link kept",
                         .args = {"--batch", "--verbose", "link.icn"},
                         .status = 4,
                         .err = "Kept link.png: it is a symbolic link.\n"
                                "Kept 1 existing file that differs; --force replaces it.\n"});
    }
#ifndef _WIN32
    ASSERT_EQ(0, mkfifo((dir + "/fifo.png").c_str(), 0600));
    cases.push_back({.name = "a FIFO kept",
                     .args = {"--batch", "--verbose", "fifo.icn"},
                     .status = 4,
                     .err = "Kept fifo.png: it is not a regular file.\n"
                            "Kept 1 existing file that differs; --force replaces it.\n"});
    // RetroArch's names, straight in the folder: each of & * : ` < > ? \ |
    // made '_' (a '/' cannot be in a file's name).
    // A FIFO in a folder, named like an input, is passed over: nothing waits for it.
    MakeDir(dir + "/fifos");
    write("fifos/a.icn", icn);
    write("fifos/c.icn", icn);
    ASSERT_EQ(0, mkfifo((dir + "/fifos/b.icn").c_str(), 0600));
    cases.push_back({.name = "a FIFO in a folder",
                     .args = {"--batch", "fifos"},
                     .status = 0,
                     .written = {{"fifos/a.png", 'l'}, {"fifos/c.png", 'l'}},
                     .absent = {"fifos/b.png"}});
    // A '\\' is a character of a name here: the name is not cut at it.
    write("x\\y.icn", icn);
    cases.push_back({.name = "a backslash in a name",
                     .args = {"--batch", "--into", "pngs", "x\\y.icn"},
                     .status = 0,
                     .written = {{"pngs/x\\y.png", 'l'}},
                     .absent = {"pngs/y.png"}});
    MakeDir(dir + "/special");
    write("special/M&a*r:i`o <L>u?i\\g|i.v1.3ds", icn);
    cases.push_back({.name = "--retroarch",
                     .args = {"--batch", "--into", "ra", "--retroarch", "special", "coll/sub/deeper"},
                     .status = 0,
                     .written = {{"ra/M_a_r_i_o _L_u_i_g_i.v1.png", 'l'}, {"ra/d.png", 'l'}}});
#endif
    MakeDir(dir + "/coll");
    MakeDir(dir + "/coll/sub");
    MakeDir(dir + "/coll/sub/deeper");
    MakeDir(dir + "/other");
    MakeDir(dir + "/pngs");
    MakeDir(dir + "/linked");
    for (const char* name : {"coll/a.icn", "coll/B.ICN", "coll/x.app", "coll/sub/c.icn", "coll/sub/deeper/d.smdh",
                             "linked/e.icn", "--into", "old.icn", "same.icn", "hard.icn", "link.icn", "fifo.icn"}) {
        write(name, icn);
    }
    const std::vector<uint8_t> other_icn = MakeIcn(PatternPixels(24, 5), PatternPixels(48, 6));
    write("other/a.icn", other_icn);
    write("a.3dsx", Wrap3dsx(icn));
    write("a.cia", WrapCia(WrapNcch(other_icn, true), other_icn, false));
    write("coll/notes.txt", {'x'});
    const std::vector<uint8_t> animated = MakeDsRom(MakeDsBanner(DsAnimatedTestBanner({0x0110, 0x0208})), {}, true);
    write("anim.nds", animated);
    write("mine.nds", animated);
    write("mine.animated.png", OLD);
    std::vector<uint8_t> crc = animated;
    crc[DS_ROM_BANNER + 0x1240] ^= 1;
    write("crc.nds", crc);
    ASSERT_EQ(0, run({"-i", "a.icn", "-l", "same.png"}).status);
    if (have_symlinks) {
        std::error_code error;
        std::filesystem::create_directory_symlink("../linked", dir + "/coll/link", error);
    }
    for (const CliCase& c : cases) {
        expect_case(c);
        RemoveTree(dir + "/a.png");
        write("old.png", OLD);
    }
    // The same command again over its own PNGs: quiet, nothing rewritten.
    TreeSnapshot first = SnapshotTree(dir);
    std::filesystem::file_time_type written = std::filesystem::last_write_time(dir + "/pngs/sub/c.png");
    ProcessResult again = run({"--batch", "--into", "pngs", "coll"});
    EXPECT_EQ(0, again.status);
    EXPECT_EQ("", again.out + again.err);
    EXPECT_EQ(first, SnapshotTree(dir));
    EXPECT_EQ(written, std::filesystem::last_write_time(dir + "/pngs/sub/c.png"));
    // A folder made for the PNGs; at a size, the picture of --thumbnail.
    ProcessResult made = run({"--batch", "--size", "256", "--into", "new", "a.icn", "coll/sub"});
    EXPECT_EQ(0, made.status) << made.out << made.err;
    for (const char* png : {"new/a.png", "new/c.png"}) {
        EXPECT_EQ(enlarged(ExpectedImage(large), 48, 5), DecodePngFile(dir + "/" + png).rgba) << png;
    }
    RemoveTree(dir + "/new");
    for (const auto& [size, side] : std::vector<std::pair<const char*, size_t>>{{"24", 24}, {"47", 24}, {"48", 48}}) {
        ASSERT_EQ(0, run({"--batch", "--force", "--size", size, "a.icn"}).status) << size;
        EXPECT_EQ(ExpectedImage(side == 24 ? small : large), DecodePngFile(dir + "/a.png").rgba) << size;
    }
    RemoveTree(dir + "/a.png");
#ifndef _WIN32
    // A subfolder that cannot be read is said at its turn; the batch goes on.
    // (Root reads any folder: only another user can see this.)
    if (geteuid() != 0) {
        MakeDir(dir + "/coll/sub/locked");
        chmod((dir + "/coll/sub/locked").c_str(), 0);
        ProcessResult locked = run({"--batch", "coll/sub"});
        chmod((dir + "/coll/sub/locked").c_str(), 0700);
        EXPECT_EQ(2, locked.status);
        EXPECT_EQ("Could not open coll/sub/locked.\n", locked.out);
        EXPECT_TRUE(PathExists(dir + "/coll/sub/deeper/d.png"));
    }
#endif
    // The same PNG, byte for byte, as the one-argument form writes.
    ASSERT_EQ(0, run({"--batch", "a.icn"}).status);
    std::vector<uint8_t> batch = ReadFileBytes(dir + "/a.png");
    ASSERT_EQ(0, run({"a.icn"}).status);
    EXPECT_EQ(batch, ReadFileBytes(dir + "/a.png"));
}

// UTF-8 names in every form; on Windows they go through the ANSI calls,
// which the manifest's UTF-8 code page makes carry them whole.
TEST_F(CommandLine, NamesInAnyScript)
{
    for (const char* name : {"アイコン.icn", "é.icn", "☃.icn"}) {
        write(name, icn);
    }
    const CliCase cases[] = {
        {.name = "Japanese, options",
         .args = {"-i", "アイコン.icn", "-s", "小さい.png", "-l", "出力.png"},
         .status = 0,
         .written = {{"小さい.png", 's'}, {"出力.png", 'l'}}},
        {.name = "Japanese, one argument", .args = {"アイコン.icn"}, .status = 0, .written = {{"アイコン.png", 'l'}}},
        {.name = "accented Latin",
         .args = {"-i", "é.icn", "-l", "sortie_é.png"},
         .status = 0,
         .written = {{"sortie_é.png", 'l'}},
         .absent = {"sortie_e.png", "e.icn"}},
        {.name = "snowman, batch",
         .args = {"--batch", "☃.icn", "é.icn"},
         .status = 0,
         .written = {{"☃.png", 'l'}, {"é.png", 'l'}}},
        {.name = "missing Japanese name",
         .args = {"-i", "無い.icn", "-l", "x.png"},
         .status = 2,
         .out = "Could not open 無い.icn.\n"},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

// A path past Windows' old limit of 260 characters, in both forms.
TEST_F(CommandLine, PathsLongerThan260Characters)
{
    std::string deep = "d";
    for (int level = 0; level < 5; level++) {
        deep += "/" + std::string(60, static_cast<char>('a' + level));
    }
    std::filesystem::create_directories(dir + "/" + deep);
    write(deep + "/a.icn", icn);
    ASSERT_GT((dir + "/" + deep + "/a.icn").size(), 300u);
    // Checked without a snapshot of the tree: MinGW's directory iterator
    // stops at 260 characters.
    const std::vector<std::vector<std::string>> forms = {{"-i", deep + "/a.icn", "-l", deep + "/l.png"},
                                                         {deep + "/a.icn"}};
    for (const std::vector<std::string>& args : forms) {
        ProcessResult r = run(args);
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ("", r.out + r.err);
        DecodedPng png = DecodePngFile(dir + "/" + (args.size() == 1 ? deep + "/a.png" : args.back()));
        EXPECT_EQ(ExpectedImage(large), png.rgba);
    }
}

TEST_F(CommandLine, FailedWritesAreReportedAndTheOtherIconStillWritten)
{
    const CliCase cases[] = {
        {.name = "missing directory",
         .args = {"-i", "a.icn", "-l", "nodir/b.png", "-s", "s.png"},
         .status = 3,
         .err = "Could not write nodir/b.png" + NO_SUCH,
         .written = {{"s.png", 's'}},
         .absent = {"nodir"}},
        {.name = "small before large",
         .args = {"-i", "a.icn", "-l", "nodir/b.png", "-s", "nodir/s.png"},
         .status = 3,
         .err = "Could not write nodir/s.png" + NO_SUCH + "Could not write nodir/b.png" + NO_SUCH},
        {.name = "directory as output",
         .args = {"-i", "a.icn", "-l", "dir"},
         .status = 3,
         .err = std::string("Could not write dir: ") + strerror(DIRECTORY_WRITE_ERRNO) + "\n"},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

#ifndef _WIN32
// Devices, symbolic links and file size limits as POSIX systems have them.

TEST_F(CommandLine, SymbolicLinksStayLinksToTheNewFile)
{
    // A relative link is read from its own directory: sub/link.png names
    // sub/target.png, never ./target.png.
    MakeDir(dir + "/sub");
    write("sub/target.png", OLD);
    ASSERT_EQ(0, symlink("target.png", (dir + "/sub/link.png").c_str()));
    // Chains of 40 links (as many as the system follows) and of 41; the
    // end of each has a hard link that must keep the old picture, so a file
    // written in place instead of replaced shows.
    MakeDir(dir + "/chain");
    write("chain/end.png", OLD);
    ASSERT_EQ(0, link((dir + "/chain/end.png").c_str(), (dir + "/chain/kept.png").c_str()));
    for (int i = 1; i <= 41; i++) {
        std::string next = i == 41 ? "end.png" : "l" + std::to_string(i + 1);
        ASSERT_EQ(0, symlink(next.c_str(), (dir + "/chain/l" + std::to_string(i)).c_str()));
    }
    // A name as long as a directory entry may be: its temporary file's name
    // must be shortened to fit.
    const std::string longest(255 - 4, 'n');
    const CliCase cases[] = {
        // link.png is checked unchanged: still the link to target.png.
        {.name = "symbolic link",
         .args = {"-i", "a.icn", "-l", "link.png"},
         .status = 0,
         .written = {{"target.png", 'l'}}},
        {.name = "relative link in another directory",
         .args = {"-i", "a.icn", "-l", "sub/link.png"},
         .status = 0,
         .written = {{"sub/target.png", 'l'}}},
        {.name = "chain of 40 links",
         .args = {"-i", "a.icn", "-l", "chain/l2"},
         .status = 0,
         .written = {{"chain/end.png", 'l'}}},
        {.name = "chain of 41 links",
         .args = {"-i", "a.icn", "-l", "chain/l1"},
         .status = 3,
         .err = "Could not write chain/l1: " + std::string(strerror(ELOOP)) + "\n"},
        {.name = "longest name",
         .args = {"-i", "a.icn", "-l", longest + ".png"},
         .status = 0,
         .written = {{longest + ".png", 'l'}}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

TEST_F(CommandLine, FailedRewritesLeaveTheOldFiles)
{
    // Files may grow to 200 bytes: the PNG of the patterned large icon is far
    // bigger. The tool itself turns the signal of a write past the limit into
    // EFBIG: an empty thumbnail filled in place is emptied again.
    const std::string too_big = std::string(": ") + strerror(EFBIG) + "\n";
    write("empty.png", {});
    const CliCase cases[] = {
        {.name = "empty thumbnail",
         .args = {"--thumbnail", "256", "a.icn", "empty.png"},
         .status = 3,
         .err = "Could not write empty.png" + too_big,
         .file_size_limit = 200},
        {.name = "new output",
         .args = {"-i", "a.icn", "-l", "big.png"},
         .status = 3,
         .err = "Could not write big.png" + too_big,
         .absent = {"big.png"},
         .file_size_limit = 200},
        {.name = "existing output",
         .args = {"-i", "a.icn", "-l", "old.png"},
         .status = 3,
         .err = "Could not write old.png" + too_big,
         .file_size_limit = 200},
        {.name = "symbolic link",
         .args = {"-i", "a.icn", "-l", "link.png"},
         .status = 3,
         .err = "Could not write link.png" + too_big,
         .file_size_limit = 200},
        {.name = "hard link",
         .args = {"-i", "a.icn", "-l", "h2.png"},
         .status = 3,
         .err = "Could not write h2.png" + too_big,
         .file_size_limit = 200},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

TEST_F(CommandLine, PermissionBitsAreKeptOrTakenFromTheUmask)
{
    ASSERT_EQ(0, chmod((dir + "/old.png").c_str(), 0604));
    mode_t saved = umask(002);
    ProcessResult r = run({"-i", "a.icn", "-l", "old.png", "-s", "new.png"});
    umask(saved);
    ASSERT_EQ(0, r.status) << r.err;
    struct stat rewritten;
    struct stat created;
    ASSERT_EQ(0, stat((dir + "/old.png").c_str(), &rewritten));
    ASSERT_EQ(0, stat((dir + "/new.png").c_str(), &created));
    EXPECT_EQ(0604u, rewritten.st_mode & 07777);
    EXPECT_EQ(0664u, created.st_mode & 07777);
}

// Private device nodes, never the machine's own: a faulty build could
// replace them with regular files.
TEST_F(CommandLine, DevicesAreWrittenInPlaceAndSurvive)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "making device nodes needs root";
    }
    ASSERT_EQ(0, mknod((dir + "/full").c_str(), S_IFCHR | 0666, makedev(1, 7)));
    ASSERT_EQ(0, mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)));
    expect_case({.name = "full device",
                 .args = {"-i", "a.icn", "-l", "full", "-s", "s.png"},
                 .status = 3,
                 .err = std::string("Could not write full: ") + strerror(ENOSPC) + "\n",
                 .written = {{"s.png", 's'}}});
    expect_case({.name = "null device", .args = {"-i", "a.icn", "-l", "null"}, .status = 0});
    // --info whose standard output fails: said, with status 3. (A shell
    // redirects it, which a test wrapper would check in the tool's place.)
    if (getenv("GALLIVOX_TEST_WRAPPER") == nullptr) {
        ProcessResult full = RunProcess({"/bin/sh", "-c", "'" + BINARY + "' --info a.icn > full"}, dir);
        EXPECT_EQ(3, full.status);
        EXPECT_EQ(std::string("Could not write standard output: ") + strerror(ENOSPC) + "\n", full.err);
    }
    for (const char* node : {"full", "null"}) {
        struct stat after;
        ASSERT_EQ(0, lstat((dir + "/" + node).c_str(), &after));
        EXPECT_TRUE(S_ISCHR(after.st_mode)) << node;
    }
}

#endif

// --thumbnail SIZE INPUT OUTPUT: the icon that fits, enlarged by a whole
// factor; the one-argument form's messages where there is no picture.
TEST_F(CommandLine, Thumbnails)
{
    const std::vector<uint8_t> small_image = ExpectedImage(small);
    const std::vector<uint8_t> large_image = ExpectedImage(large);
    const DsBannerFields ds = DsTestBanner(1);
    write("game.nds", MakeDsRom(MakeDsBanner(ds)));
    const struct {
        const char* size;
        const char* input;
        std::vector<uint8_t> expected;
        unsigned side;
    } rows[] = {
        {"1", "a.icn", small_image, 24},
        {"23", "a.icn", small_image, 24},
        {"24", "a.icn", small_image, 24},
        {"47", "a.icn", small_image, 24},
        {"48", "a.icn", large_image, 48},
        {"95", "a.icn", large_image, 48},
        {"96", "a.icn", enlarged(large_image, 48, 2), 96},
        {"128", "a.icn", enlarged(large_image, 48, 2), 96},
        {"256", "a.icn", enlarged(large_image, 48, 5), 240},
        {"256", "cut-large.icn", enlarged(small_image, 24, 10), 240},  // the large icon cut short
        {"31", "game.nds", ExpectedDsImage(ds), 32},
        {"256", "game.nds", enlarged(ExpectedDsImage(ds), 32, 8), 256},
        {"4096", "a.icn", enlarged(large_image, 48, 85), 4080},
    };
    for (const auto& row : rows) {
        if (strcmp(row.size, "4096") == 0 && getenv("GALLIVOX_TEST_WRAPPER") != nullptr) {
            continue;  // 16 million pixels: too slow under valgrind
        }
        std::string name = std::string(row.size) + " " + row.input;
        expect_case(
            {.name = name.c_str(), .args = {"--thumbnail", row.size, row.input, "t.png"}, .written = {{"t.png", 'd'}}});
        DecodedPng png = DecodePngFile(dir + "/t.png");
        EXPECT_EQ(row.side, png.width) << name;
        EXPECT_TRUE(row.expected == png.rgba) << name;
        RemoveTree(dir + "/t.png");
    }
    const CliCase cases[] = {
        {.name = "leading zero",
         .args = {"--thumbnail", "048", "a.icn", "t.png"},
         .status = 1,
         .err = "Invalid thumbnail size 048.\n"},
        {.name = "too large",
         .args = {"--thumbnail", "4097", "a.icn", "t.png"},
         .status = 1,
         .err = "Invalid thumbnail size 4097.\n"},
        {.name = "sign",
         .args = {"--thumbnail", "+48", "missing.icn", "t.png"},
         .status = 1,
         .err = "Invalid thumbnail size +48.\n"},
        {.name = "two arguments",
         .args = {"--thumbnail", "48", "a.icn"},
         .status = 1,
         .err = "Usage: " + BINARY + " --thumbnail SIZE INPUT OUTPUT\n"},
        {.name = "not an ICN file",
         .args = {"--thumbnail", "48", "bad.icn", "t.png"},
         .status = 1,
         .err = "bad.icn is not an ICN file",
         .absent = {"t.png"}},
        {.name = "cut short",
         .args = {"--thumbnail", "48", "mid-small.icn", "t.png"},
         .status = 3,
         .err = "mid-small.icn is too short for the large icon.\n",
         .absent = {"t.png"}},
        {.name = "the input itself",
         .args = {"--thumbnail", "48", "a.icn", "a.icn"},
         .status = 1,
         .err = "Refusing to overwrite the input file a.icn.\n"},
        {.name = "beside -i, as ever",
         .args = {"--thumbnail", "-i", "a.icn", "-l", "t.png"},
         .written = {{"t.png", 'l'}}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
    // An empty OUTPUT stays empty on failure, and is filled in place (the
    // same file) on success; any other is replaced.
    write("empty.png", {});
    expect_case({.name = "empty stays empty",
                 .args = {"--thumbnail", "48", "bad.icn", "empty.png"},
                 .status = 1,
                 .err = "bad.icn is not an ICN file"});
    write("old.png", OLD);
#ifndef _WIN32
    struct stat empty_before, old_before, empty_after, old_after;
    ASSERT_EQ(0, stat((dir + "/empty.png").c_str(), &empty_before));
    ASSERT_EQ(0, stat((dir + "/old.png").c_str(), &old_before));
#endif
    for (const char* output : {"empty.png", "old.png"}) {
        expect_case({.name = output, .args = {"--thumbnail", "48", "a.icn", output}, .written = {{output, 'l'}}});
    }
#ifndef _WIN32
    ASSERT_EQ(0, stat((dir + "/empty.png").c_str(), &empty_after));
    ASSERT_EQ(0, stat((dir + "/old.png").c_str(), &old_after));
    EXPECT_EQ(empty_before.st_ino, empty_after.st_ino);
    EXPECT_NE(old_before.st_ino, old_after.st_ino);
#endif
}

// Sets the number of batch workers for the runs that follow ("" for the default).
static void set_workers(const char* workers)
{
#ifdef _WIN32
    _putenv_s("GALLIVOX_JOBS", workers);
#else
    if (workers[0] == 0) {
        unsetenv("GALLIVOX_JOBS");
    } else {
        setenv("GALLIVOX_JOBS", workers, 1);
    }
#endif
}

// A batch of many files, collisions and failures spread among them: on
// several workers, again and again, exactly what one worker gives.
TEST_F(CommandLine, BatchOnSeveralWorkersGivesWhatOneGives)
{
    const char* setting = getenv("GALLIVOX_JOBS");
    const std::string before = setting != nullptr ? setting : "";
    std::vector<std::string> args = {"--batch"};
    const std::vector<uint8_t> other = MakeIcn(PatternPixels(24, 5), PatternPixels(48, 6));
    for (int i = 0; i < 48; i++) {
        std::string name = "m" + std::to_string(i);
        switch (i % 6) {
        case 0:
            write(name + ".icn", slice(0x2100));  // too short
            break;
        case 1:
            write(name + ".bad", {'X'});  // not an ICN file
            break;
        case 2:
            args.push_back(name + ".missing");  // cannot be opened
            break;
        case 3:
            write(name + ".3dsx", Wrap3dsx(icn));  // then the same PNG name, another picture
            args.push_back(name + ".3dsx");
            name += ".cia";
            write(name, WrapCia(WrapNcch(other, true), other, false));
            break;
        case 4:
            write(name + ".png", OLD);  // kept
            write(name + ".icn", icn);
            break;
        default:
            write(name + ".icn", icn);
        }
        args.push_back(i % 6 == 0 ? name + ".icn" : i % 6 == 1 ? name + ".bad" : i % 6 == 3 ? name : name + ".icn");
    }
    set_workers("1");
    ProcessResult one = run(args);
    EXPECT_EQ(2, one.status);
    EXPECT_NE(std::string::npos, one.err.find(Native("Not replacing m3.png: written from m3.3dsx in this run.\n")));
    EXPECT_NE(std::string::npos, one.err.find(Native("Kept 8 existing files that differ;")));
    for (const char* workers : {"2", "5", "48", "5", "3", "2", "7", "5"}) {
        set_workers(workers);
        ProcessResult several = run(args);
        EXPECT_EQ(one.status, several.status) << workers;
        EXPECT_EQ(one.out, several.out) << workers;
        EXPECT_EQ(one.err, several.err) << workers;
    }
    set_workers("0");
    expect_case({.name = "no workers",
                 .args = {"--batch", "a.icn"},
                 .status = 1,
                 .err = "Invalid GALLIVOX_JOBS 0: give a number of workers from 1 to 256.\n"});
    set_workers(before.c_str());
}
