// Hostile names and places, one table: each run must give its message
// and status and lose nothing (the fixture compares the whole scratch tree
// before and after; only the written outputs may differ).
#include "cli_fixture.h"

namespace {

class Catalogue : public CommandLine {
protected:
    void SetUp() override
    {
        CommandLine::SetUp();
        MakeDir(dir + "/out dir");
        write("my icon.icn", icn);
        write("ïcône ☃.icn", icn);
        write("long.png", {'k', 'e', 'e', 'p'});
    }

    // A path of exactly `length` characters ending in `name`: "./" repeated,
    // with one doubled slash when the length is odd.
    static std::string long_path_to(const std::string& name, size_t length)
    {
        size_t spare = length - name.size();
        std::string path;
        for (size_t i = 0; i < spare / 2; i++) {
            path += "./";
        }
        return path + std::string(spare % 2, '/') + name;
    }
};

const std::string TOO_SHORT_LARGE = " is too short for the large icon.\n";

}  // namespace

TEST_F(Catalogue, HostileNamesAndPlaces)
{
    const std::string snowman = "ïcône ☃.icn";
    const std::string long_input = long_path_to("a.icn", 4000);
    const std::string long_output = long_path_to("long out.png", 4000);
    ASSERT_EQ(4000u, long_input.size());
    ASSERT_EQ(4000u, long_output.size());
    const CliCase cases[] = {
        {.name = "spaces",
         .args = {"-i", "my icon.icn", "-s", "out dir/s p.png"},
         .status = 0,
         .written = {{"out dir/s p.png", 's'}}},
        {.name = "spaces, one argument", .args = {"my icon.icn"}, .status = 0, .written = {{"my icon.png", 'l'}}},
        {.name = "UTF-8 names", .args = {"-i", snowman, "-l", "☃.png"}, .status = 0, .written = {{"☃.png", 'l'}}},
        {.name = "UTF-8, one argument", .args = {snowman}, .status = 0, .written = {{"ïcône ☃.png", 'l'}}},
        {.name = "per-cent signs in failures",
         .args = {"-i", "%n%s.icn", "-l", "%s/%n.png"},
         .status = 2,
         .out = "Could not open %n%s.icn.\n"},
        {.name = "per-cent signs in an output failure",
         .args = {"-i", "a.icn", "-l", "%s/%n.png"},
         .status = 3,
         .err = "Could not write %s/%n.png: " + std::string(strerror(ENOENT)) + "\n"},
        {.name = "4000-character paths",
         .args = {"-i", long_input, "-l", long_output},
         .status = 0,
         .written = {{"long out.png", 'l'}}},
        {.name = "4000-character name, one argument",
         .args = {long_input},
         .status = 1,
         .out = "[!] Input File Name Too Large for Output buffer\n"},
        {.name = "one argument beginning with - that is missing",
         .args = {"-nothing"},
         .status = 2,
         .out = "Could not open -nothing.\n"},
        {.name = "magic alone, one argument", .args = {"magic.icn"}, .status = 3, .err = "magic.icn" + TOO_SHORT_LARGE},
        {.name = "same output for both icons, the second fails",
         .args = {"-i", "no-large.icn", "-s", "x.png", "-l", "x.png"},
         .status = 3,
         .err = "no-large.icn" + TOO_SHORT_LARGE,
         .written = {{"x.png", 's'}}},
        {.name = "existing output kept when the input is refused",
         .args = {"-i", "a.icn", "-s", "long.png", "-l", "hard.png"},
         .status = 1,
         .err = "Refusing to overwrite the input file hard.png.\n"},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
        RemoveTree(dir + "/x.png");
    }
}
