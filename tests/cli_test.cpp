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
    expect_case({"no arguments", {}, 1,
                 "Gallivox v0.4 by Orrimand\nUsage: " + BINARY + " -i <ICN File> -l <Large Icon> -s <Small Icon>\n",
                 "", {}, {}});
}

TEST_F(CommandLine, ArgumentForms)
{
    const CliCase cases[] = {
        {"one argument", {"icon.icn"}, 0, "", "", {{"icon.png", 'l'}}, {}},
        {"one argument without a dot", {"dir/icon"}, 0, "", "", {{"dir/icon.png", 'l'}}, {}},
        {"one argument beginning with -", {"-a.icn"}, 0, "", "", {{"-a.png", 'l'}}, {}},
        {"input alone", {"-i", "missing.icn"}, 1, "", "Nothing to do.", {}, {}},
        {"no input", {"-l", "big.png", "-s", "small.png"}, 1, "", "No input ICN data specified.", {},
         {"big.png", "small.png"}},
        {"input value begins with -", {"-i", "-l", "big.png"}, 1, "", "No input ICN data specified.", {}, {"big.png"}},
        {"option written last", {"-i", "a.icn", "-l"}, 1, "", "Nothing to do.", {}, {}},
        {"later option wins", {"-i", "a.icn", "-s", "s.png", "-s", "t.png"}, 0, "", "", {{"t.png", 's'}}, {"s.png"}},
        {"unknown option ignored", {"-x", "-i", "a.icn", "-l", "b.png"}, 0, "", "", {{"b.png", 'l'}}, {}},
        {"both icons", {"-i", "a.icn", "-l", "b.png", "-s", "s.png"}, 0, "", "", {{"b.png", 'l'}, {"s.png", 's'}}, {}},
        {"same output twice", {"-i", "a.icn", "-l", "x.png", "-s", "x.png"}, 0, "", "", {{"x.png", 'l'}}, {}},
        {"per-cent signs", {"-i", "100%s%n.icn", "-s", "%d.png"}, 0, "", "", {{"%d.png", 's'}}, {}},
        {"dot in a directory's name", {"my.dir/icon"}, 0, "", "", {{"my.dir/icon.png", 'l'}}, {"my.png"}},
        // Replaced whole, with no temporary file left beside it.
        {"existing output", {"-i", "a.icn", "-l", "old.png"}, 0, "", "", {{"old.png", 'l'}}, {}},
        // A new file takes the name: h2.png, checked unchanged, keeps "old".
        {"hard-linked output", {"-i", "a.icn", "-s", "h1.png"}, 0, "", "", {{"h1.png", 's'}}, {}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

TEST_F(CommandLine, InputFailures)
{
    const CliCase cases[] = {
        {"missing input", {"-i", "missing.icn", "-l", "b.png"}, 2, "Could not open missing.icn.\n", "", {}, {"b.png"}},
        {"directory as input", {"-i", "dir", "-l", "b.png"}, 2, "Could not open dir.\n", "", {}, {"b.png"}},
        {"wrong magic", {"-i", "bad.icn", "-l", "b.png"}, 1, "", "bad.icn is not an ICN file", {}, {"b.png"}},
        {"empty file", {"-i", "empty.icn", "-l", "b.png"}, 1, "", "empty.icn is not an ICN file", {}, {"b.png"}},
        {"three bytes", {"-i", "three.icn", "-s", "s.png"}, 1, "", "three.icn is not an ICN file", {}, {"s.png"}},
        {"per-cent signs in a missing name", {"-i", "%s%n", "-l", "b.png"}, 2, "Could not open %s%n.\n", "", {}, {}},
        {"name too long to derive", {std::string(1100, 'n')}, 1, "[!] Input File Name Too Large for Output buffer\n",
         "", {}, {}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

TEST_F(CommandLine, FilesEndingInsideAnIconBlock)
{
    const std::vector<std::string> both = {"-s", "s.png", "-l", "b.png"};
    struct Cut {
        const char* file;
        std::string err;
        std::vector<Output> written;
        std::vector<std::string> absent;
    } cuts[] = {
        {"magic.icn", "magic.icn is too short for the small icon.\nmagic.icn is too short for the large icon.\n", {},
         {"s.png", "b.png"}},
        {"mid-small.icn",
         "mid-small.icn is too short for the small icon.\nmid-small.icn is too short for the large icon.\n", {},
         {"s.png", "b.png"}},
        {"no-large.icn", "no-large.icn is too short for the large icon.\n", {{"s.png", 's'}}, {"b.png"}},
        {"short-large.icn", "short-large.icn is too short for the large icon.\n", {{"s.png", 's'}}, {"b.png"}},
    };
    for (const Cut& cut : cuts) {
        std::vector<std::string> args = {"-i", cut.file};
        args.insert(args.end(), both.begin(), both.end());
        expect_case({cut.file, args, 3, "", cut.err, cut.written, cut.absent});
    }
}

TEST_F(CommandLine, OutputsThatAreTheInputAreRefused)
{
    const CliCase cases[] = {
        {"derived name is the input", {"icon.png"}, 1, "", "Refusing to overwrite the input file icon.png.\n", {}, {}},
        {"second spelling", {"-i", "a.icn", "-s", "s.png", "-l", "./a.icn"}, 1, "",
         "Refusing to overwrite the input file ./a.icn.\n", {}, {"s.png"}},
        {"symbolic link", {"-i", "a.icn", "-s", "sym.png"}, 1, "", "Refusing to overwrite the input file sym.png.\n",
         {}, {}},
        {"hard link", {"-i", "hard.png", "-l", "a.icn"}, 1, "", "Refusing to overwrite the input file a.icn.\n", {},
         {}},
    };
    for (const CliCase& c : cases) {
        if (c.args.back() == "sym.png" && !have_symlinks) {
            continue;
        }
        expect_case(c);
    }
    EXPECT_EQ(icn, ReadFileBytes(dir + "/icon.png"));
}

TEST_F(CommandLine, BatchConvertsEveryFileAndExitsWithTheHighestStatus)
{
    const std::string too_long(1100, 'n');
    const CliCase cases[] = {
        {"good files", {"--batch", "a.icn", "-a.icn", "my.dir/icon"}, 0, "", "",
         {{"a.png", 'l'}, {"-a.png", 'l'}, {"my.dir/icon.png", 'l'}}, {}},
        {"not an ICN file", {"--batch", "bad.icn", "a.icn"}, 1, "", "bad.icn is not an ICN file\n", {{"a.png", 'l'}},
         {"bad.png"}},
        {"missing", {"--batch", "missing.icn", "a.icn"}, 2, "Could not open missing.icn.\n", "", {{"a.png", 'l'}}, {}},
        {"cut short", {"--batch", "no-large.icn", "a.icn"}, 3, "", "no-large.icn is too short for the large icon.\n",
         {{"a.png", 'l'}}, {"no-large.png"}},
        {"output is the input", {"--batch", "icon.png", "a.icn"}, 1, "",
         "Refusing to overwrite the input file icon.png.\n", {{"a.png", 'l'}}, {}},
        {"name too long", {"--batch", too_long, "a.icn"}, 1, "[!] Input File Name Too Large for Output buffer\n", "",
         {{"a.png", 'l'}}, {}},
        {"highest status", {"--batch", "missing.icn", "no-large.icn", "bad.icn", "a.icn"}, 3,
         "Could not open missing.icn.\n",
         "no-large.icn is too short for the large icon.\nbad.icn is not an ICN file\n", {{"a.png", 'l'}}, {}},
        // What worked before keeps its meaning.
        {"lone --batch is an input", {"--batch"}, 2, "Could not open --batch.\n", "", {}, {}},
        {"--batch beside an input", {"--batch", "-i", "a.icn", "-l", "b.png"}, 0, "", "", {{"b.png", 'l'}}, {"a.png"}},
        {"--batch not first", {"a.icn", "--batch", "-a.icn"}, 1, "", "No input ICN data specified.", {}, {"a.png"}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
        RemoveTree(dir + "/a.png");
    }
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
        {"Japanese, options", {"-i", "アイコン.icn", "-s", "小さい.png", "-l", "出力.png"}, 0, "", "",
         {{"小さい.png", 's'}, {"出力.png", 'l'}}, {}},
        {"Japanese, one argument", {"アイコン.icn"}, 0, "", "", {{"アイコン.png", 'l'}}, {}},
        {"accented Latin", {"-i", "é.icn", "-l", "sortie_é.png"}, 0, "", "", {{"sortie_é.png", 'l'}},
         {"sortie_e.png", "e.icn"}},
        {"snowman, batch", {"--batch", "☃.icn", "é.icn"}, 0, "", "", {{"☃.png", 'l'}, {"é.png", 'l'}}, {}},
        {"missing Japanese name", {"-i", "無い.icn", "-l", "x.png"}, 2, "Could not open 無い.icn.\n", "", {}, {}},
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
        {"missing directory", {"-i", "a.icn", "-l", "nodir/b.png", "-s", "s.png"}, 3, "",
         "Could not write nodir/b.png" + NO_SUCH, {{"s.png", 's'}}, {"nodir"}},
        {"small before large", {"-i", "a.icn", "-l", "nodir/b.png", "-s", "nodir/s.png"}, 3, "",
         "Could not write nodir/s.png" + NO_SUCH + "Could not write nodir/b.png" + NO_SUCH, {}, {}},
        {"directory as output", {"-i", "a.icn", "-l", "dir"}, 3, "",
         std::string("Could not write dir: ") + strerror(DIRECTORY_WRITE_ERRNO) + "\n", {}, {}},
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
        {"symbolic link", {"-i", "a.icn", "-l", "link.png"}, 0, "", "", {{"target.png", 'l'}}, {}},
        {"relative link in another directory", {"-i", "a.icn", "-l", "sub/link.png"}, 0, "", "",
         {{"sub/target.png", 'l'}}, {}},
        {"chain of 40 links", {"-i", "a.icn", "-l", "chain/l2"}, 0, "", "", {{"chain/end.png", 'l'}}, {}},
        {"chain of 41 links", {"-i", "a.icn", "-l", "chain/l1"}, 3, "",
         "Could not write chain/l1: " + std::string(strerror(ELOOP)) + "\n", {}, {}},
        {"longest name", {"-i", "a.icn", "-l", longest + ".png"}, 0, "", "", {{longest + ".png", 'l'}}, {}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
}

TEST_F(CommandLine, FailedRewritesLeaveTheOldFiles)
{
    // Files may grow to 200 bytes: the PNG of the patterned large icon is far bigger.
    const std::string too_big = std::string(": ") + strerror(EFBIG) + "\n";
    const CliCase cases[] = {
        {"new output", {"-i", "a.icn", "-l", "big.png"}, 3, "", "Could not write big.png" + too_big, {}, {"big.png"},
         200},
        {"existing output", {"-i", "a.icn", "-l", "old.png"}, 3, "", "Could not write old.png" + too_big, {}, {}, 200},
        {"symbolic link", {"-i", "a.icn", "-l", "link.png"}, 3, "", "Could not write link.png" + too_big, {}, {}, 200},
        {"hard link", {"-i", "a.icn", "-l", "h2.png"}, 3, "", "Could not write h2.png" + too_big, {}, {}, 200},
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
    expect_case({"full device", {"-i", "a.icn", "-l", "full", "-s", "s.png"}, 3, "",
                 std::string("Could not write full: ") + strerror(ENOSPC) + "\n", {{"s.png", 's'}}, {}});
    expect_case({"null device", {"-i", "a.icn", "-l", "null"}, 0, "", "", {}, {}});
    for (const char* node : {"full", "null"}) {
        struct stat after;
        ASSERT_EQ(0, lstat((dir + "/" + node).c_str(), &after));
        EXPECT_TRUE(S_ISCHR(after.st_mode)) << node;
    }
}

#endif
