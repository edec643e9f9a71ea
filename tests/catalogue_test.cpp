// Bad inputs and hostile places, one table: each run must give its message
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
        write("\xC3\xAF" "c\xC3\xB4ne \xE2\x98\x83.icn", icn);  // "ïcône ☃.icn"
        write("small-only.icn", slice(0x2040 + 24 * 24 * 2));
        write("cut-large.icn", slice(0x24C0 + 1000));
        write("cut-small-start.icn", slice(0x2040));
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
const std::string TOO_SHORT_SMALL = " is too short for the small icon.\n";

}  // namespace

TEST_F(Catalogue, InputsCutAtEachBoundary)
{
    const std::vector<std::string> both = {"-s", "s.png", "-l", "b.png"};
    struct Cut {
        std::string file;
        std::string err;
        std::vector<Output> written;
    } cuts[] = {
        // Cut exactly at the start of the small block, inside it, at its end
        // (the start of the large block), inside the large block, one short.
        {"cut-small-start.icn",
         "cut-small-start.icn" + TOO_SHORT_SMALL + "cut-small-start.icn" + TOO_SHORT_LARGE, {}},
        {"mid-small.icn", "mid-small.icn" + TOO_SHORT_SMALL + "mid-small.icn" + TOO_SHORT_LARGE, {}},
        {"small-only.icn", "small-only.icn" + TOO_SHORT_LARGE, {{"s.png", 's'}}},
        {"cut-large.icn", "cut-large.icn" + TOO_SHORT_LARGE, {{"s.png", 's'}}},
        {"short-large.icn", "short-large.icn" + TOO_SHORT_LARGE, {{"s.png", 's'}}},
        {"a.icn", "", {{"s.png", 's'}, {"b.png", 'l'}}},  // exactly at the end: whole
    };
    for (const Cut& cut : cuts) {
        std::vector<std::string> args = {"-i", cut.file};
        args.insert(args.end(), both.begin(), both.end());
        expect_case({cut.file.c_str(), args, cut.err.empty() ? 0 : 3, "", cut.err, cut.written, {}});
        RemoveTree(dir + "/s.png");
    }
}

TEST_F(Catalogue, HostileNamesAndPlaces)
{
    const std::string snowman = "\xC3\xAF" "c\xC3\xB4ne \xE2\x98\x83.icn";
    const std::string long_input = long_path_to("a.icn", 4000);
    const std::string long_output = long_path_to("long out.png", 4000);
    ASSERT_EQ(4000u, long_input.size());
    ASSERT_EQ(4000u, long_output.size());
    const CliCase cases[] = {
        {"spaces", {"-i", "my icon.icn", "-s", "out dir/s p.png"}, 0, "", "", {{"out dir/s p.png", 's'}}, {}},
        {"spaces, one argument", {"my icon.icn"}, 0, "", "", {{"my icon.png", 'l'}}, {}},
        {"UTF-8 names", {"-i", snowman, "-l", "\xE2\x98\x83.png"}, 0, "", "", {{"\xE2\x98\x83.png", 'l'}}, {}},
        {"UTF-8, one argument", {snowman}, 0, "", "",
         {{"\xC3\xAF" "c\xC3\xB4ne \xE2\x98\x83.png", 'l'}}, {}},
        {"per-cent signs in failures", {"-i", "%n%s.icn", "-l", "%s/%n.png"}, 2, "Could not open %n%s.icn.\n", "",
         {}, {}},
        {"per-cent signs in an output failure", {"-i", "a.icn", "-l", "%s/%n.png"}, 3, "",
         "Could not write %s/%n.png: " + std::string(strerror(ENOENT)) + "\n", {}, {}},
        {"4000-character paths", {"-i", long_input, "-l", long_output}, 0, "", "", {{"long out.png", 'l'}}, {}},
        {"4000-character name, one argument", {long_input}, 1,
         "[!] Input File Name Too Large for Output buffer\n", "", {}, {}},
        {"one argument beginning with - that is missing", {"-nothing"}, 2, "Could not open -nothing.\n", "", {}, {}},
        {"magic alone, one argument", {"magic.icn"}, 3, "", "magic.icn" + TOO_SHORT_LARGE, {}, {}},
        {"same output for both icons, the second fails", {"-i", "no-large.icn", "-s", "x.png", "-l", "x.png"}, 3, "",
         "no-large.icn" + TOO_SHORT_LARGE, {{"x.png", 's'}}, {}},
        {"existing output kept when the input is refused", {"-i", "a.icn", "-s", "long.png", "-l", "hard.png"}, 1, "",
         "Refusing to overwrite the input file hard.png.\n", {}, {}},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
        RemoveTree(dir + "/x.png");
    }
}
