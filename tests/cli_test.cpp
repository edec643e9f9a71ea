// The command line, run as a process: exit status, standard output and
// standard error byte for byte, and the files left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
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

TEST_F(CommandLine, FullDiskIsAFailureAndTheDeviceSurvives)
{
    struct stat before;
    if (stat("/dev/full", &before) != 0 || !S_ISCHR(before.st_mode)) {
        GTEST_SKIP() << "no /dev/full here";
    }
    expect_case({"full disk", {"-i", "a.icn", "-l", "/dev/full", "-s", "s.png"}, 3, "",
                 std::string("Could not write /dev/full: ") + strerror(ENOSPC) + "\n", {{"s.png", 's'}}, {}});
    struct stat after;
    ASSERT_EQ(0, stat("/dev/full", &after));
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(before.st_rdev, after.st_rdev);
}

TEST_F(CommandLine, PartialFileIsRemovedAfterAFailedWrite)
{
    // Files may grow to 200 bytes: the PNG of the patterned large icon is far bigger.
    ProcessResult r = run({"-i", "a.icn", "-l", "big.png"}, 200);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(std::string("Could not write big.png: ") + strerror(EFBIG) + "\n", r.err);
    EXPECT_FALSE(PathExists(dir + "/big.png"));

    // Through a symbolic link only the link's target was written: the link stays.
    write("target.png", {'o', 'l', 'd'});
    ASSERT_EQ(0, symlink("target.png", (dir + "/link.png").c_str()));
    r = run({"-i", "a.icn", "-l", "link.png"}, 200);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ(std::string("Could not write link.png: ") + strerror(EFBIG) + "\n", r.err);
    struct stat link_stat;
    ASSERT_EQ(0, lstat((dir + "/link.png").c_str(), &link_stat));
    EXPECT_TRUE(S_ISLNK(link_stat.st_mode));
    EXPECT_TRUE(PathExists(dir + "/target.png"));
}

#endif
