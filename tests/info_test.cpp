// gallivox --info, run as a process: its JSON parsed by a real parser
// (Python's json) and compared as values; --help and --version.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "icn_writer.h"

namespace {

#ifndef _WIN32
// Stores `text` (UTF-16 code units) at `at`, low byte first.
void put_utf16(std::vector<uint8_t>& smdh, size_t at, const std::u16string& text)
{
    for (size_t i = 0; i < text.size(); i++) {
        smdh[at + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        smdh[at + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
}

// The place of a title entry's text: 0 short, 1 long, 2 publisher.
size_t title_at(size_t language, int text)
{
    const size_t offsets[3] = {0x000, 0x080, 0x180};
    return 0x0008 + language * 0x200 + offsets[text];
}

// What every row's object holds unless the row says otherwise.
std::string object(const std::string& file, const std::string& fields)
{
    std::string defaults =
        R"("format": "SMDH", "compression": null, "bundle": null, "encrypted": false, "smdh_offset": 0, "banner_offset": null, "title_id": null, "product_code": null,
        "maker_code": null, "title_version": null, "version": 0, "titles": {}, "ratings": {},
        "region_lockout": 0, "regions": [], "flags": 0, "flag_names": [], "eula_version": "0.0",
        "icons": {"small": true, "large": true}, "animation": null)";
    // Later keys win in Python's json: the row's fields override the defaults.
    return "{\"file\": \"" + file + "\", " + defaults + (fields.empty() ? "" : ", " + fields) + "}";
}

// The object of a file whose titles cannot be read: what its headers say.
std::string headers_only(const std::string& file, const std::string& fields)
{
    return object(file, R"("smdh_offset": null, "version": null, "titles": null, "ratings": null,
        "region_lockout": null, "regions": null, "flags": null, "flag_names": null, "eula_version": null,
        "icons": {"small": false, "large": false}, )" +
                            fields);
}
#endif

class Info : public CommandLine {
protected:
    // Whether the two JSON texts hold the same value; `actual` must also be
    // valid UTF-8. Python's json is the parser: nothing of ours judges ours.
    bool same_json(const std::string& expected, const std::string& actual)
    {
        WriteFileBytes(dir + "/expected.json", std::vector<uint8_t>(expected.begin(), expected.end()));
        WriteFileBytes(dir + "/actual.json", std::vector<uint8_t>(actual.begin(), actual.end()));
        std::string command = "python3 -c 'import json, sys\n"
                              "load = lambda name: json.load(open(name, encoding=\"utf-8\", errors=\"strict\"))\n"
                              "sys.exit(load(sys.argv[1]) != load(sys.argv[2]))' '" +
                              dir + "/expected.json' '" + dir + "/actual.json'";
        bool same = std::system(command.c_str()) == 0;
        RemoveTree(dir + "/expected.json");
        RemoveTree(dir + "/actual.json");
        return same;
    }
};

}  // namespace

#ifndef _WIN32
TEST_F(Info, TitlesRatingsRegionsAndFlags)
{
    std::vector<uint8_t> titles = icn;
    put_utf16(titles, title_at(1, 0), u"Gallivox");
    put_utf16(titles, title_at(1, 1), u"A tale\nof \"icons\" \\ and\ttabs\x01\r\b\f\x1F");
    put_utf16(titles, title_at(1, 2), u"Orrimand");
    put_utf16(titles, title_at(0, 0), u"アイコン");
    put_utf16(titles, title_at(10, 2), u"Значок");
    put_utf16(titles, title_at(6, 1), u"图标");
    put_utf16(titles, title_at(12, 0), u"never shown");
    std::vector<uint8_t> full = icn;
    put_utf16(full, title_at(3, 0), std::u16string(64, u'x'));
    put_utf16(full, title_at(3, 1), u"L");  // right after the full field
    put_utf16(full, title_at(4, 0), std::u16string(63, u'y') + u"\xD83D");
    std::vector<uint8_t> surrogates = icn;
    put_utf16(surrogates, title_at(5, 0),
              u"\xD83D\xDE00 \xD800"
              u"A\xDC00\xDC00\xD800");
    std::vector<uint8_t> settings = slice(0x24C0);
    const uint8_t ratings[16] = {0x8C, 0x20, 0x8F, 0xC0, 0xA0, 0, 0x8A, 0x99, 0x92, 0x01, 0x80, 0x85};
    std::copy(ratings, ratings + 16, settings.begin() + 0x2008);
    settings[0x2018] = 0x02;  // North America alone
    settings[0x2028] = 0x05;  // visible, allow_3d
    settings[0x2029] = 0x92;  // new_3ds; 0x200 and 0x8000 unknown
    settings[0x202C] = 2;     // EULA minor
    settings[0x202D] = 1;     // EULA major
    settings[0x0004] = 3;     // version
    std::vector<uint8_t> free_region = slice(0x2040);
    free_region[0x2018] = 0xFF;
    free_region[0x2019] = 0xFF;
    free_region[0x201A] = 0xFF;
    free_region[0x201B] = 0x7F;
    write("titles.icn", titles);
    write("full.icn", full);
    write("surrogates.icn", surrogates);
    write("settings.icn", settings);
    write("free.icn", free_region);
    // Two-byte UTF-8 from U+0080 and with a second byte of 0x80, another
    // astral character, a pair after the start, two high surrogates; names
    // that are no UTF-8.
    std::vector<uint8_t> text = icn;
    put_utf16(text, title_at(8, 0), u"\u00A9\u0440\U00020BB7");
    put_utf16(text, title_at(9, 0), u"a\U0001F600\U00010000");
    put_utf16(text, title_at(11, 0), u"\xD800\xDBFF");
    write("a\xFF\x80.icn", text);
    write("\xED\xA0\x80.icn", icn);
    write("\xF4\x90\x80\x80.icn", icn);  // past U+10FFFF
    // The lowest sequence of each four-byte lead, the highest character, and
    // an overlong form.
    for (const char* name :
         {"\xF0\x90\x80\x80.icn", "\xF1\x80\x80\x80.icn", "\xF4\x8F\xBF\xBF.icn", "\xF0\x80\x80\x80.icn"}) {
        write(name, icn);
    }

    std::string expected = "[" + object("titles.icn", R"("titles": {
            "ja": {"short": "アイコン", "long": "", "publisher": ""},
            "en": {"short": "Gallivox", "long": "A tale\nof \"icons\" \\ and\ttabs\u0001\r\b\f\u001f", "publisher": "Orrimand"},
            "zh-Hans": {"short": "", "long": "图标", "publisher": ""},
            "ru": {"short": "", "long": "", "publisher": "Значок"}})") +
                           "," + object("full.icn", R"("titles": {
            "de": {"short": ")" + std::string(64, 'x') + R"(", "long": "L", "publisher": ""},
            "it": {"short": ")" + std::string(63, 'y') + R"(\ufffd", "long": "", "publisher": ""}})") +
                           "," +
                           object("surrogates.icn",
                                  R"("titles": {"es": {"short": "\ud83d\ude00 \ufffdA\ufffd\ufffd\ufffd", "long": "",
            "publisher": ""}})") +
                           "," + object("settings.icn", R"("version": 3, "ratings": {
            "CERO": {"age": 12, "pending": false, "no_restriction": false},
            "USK": {"age": 0, "pending": true, "no_restriction": false},
            "PEGI GEN": {"age": 0, "pending": false, "no_restriction": true},
            "PEGI PRT": {"age": 10, "pending": false, "no_restriction": false},
            "PEGI BBFC": {"age": 25, "pending": false, "no_restriction": false},
            "COB": {"age": 18, "pending": false, "no_restriction": false},
            "CGSRR": {"age": 0, "pending": false, "no_restriction": false}},
            "region_lockout": 2, "regions": ["North America"], "flags": 37381,
            "flag_names": ["visible", "allow_3d", "new_3ds"], "eula_version": "1.2",
            "icons": {"small": true, "large": false})") +
                           "," +
                           object("free.icn",
                                  R"("region_lockout": 2147483647, "regions": ["Japan", "North America", "Europe",
            "Australia", "China", "Korea", "Taiwan"], "icons": {"small": false, "large": false})") +
                           "]";
    expected = expected.substr(0, expected.size() - 1) + "," + object("a\ufffd\ufffd.icn", R"("titles": {
            "nl": {"short": "\u00a9\u0440\ud842\udfb7", "long": "", "publisher": ""},
            "pt": {"short": "a\ud83d\ude00\ud800\udc00", "long": "", "publisher": ""},
            "zh-Hant": {"short": "\ufffd\ufffd", "long": "", "publisher": ""}})") +
               "," + object("\ufffd\ufffd\ufffd.icn", "") + "," + object("\ufffd\ufffd\ufffd\ufffd.icn", "") + "," +
               object("\xF0\x90\x80\x80.icn", "") + "," + object("\xF1\x80\x80\x80.icn", "") + "," +
               object("\xF4\x8F\xBF\xBF.icn", "") + "," + object("\ufffd\ufffd\ufffd\ufffd.icn", "") + "]";
    ProcessResult r = run({"--info", "titles.icn", "full.icn", "surrogates.icn", "settings.icn", "free.icn",
                           "a\xFF\x80.icn", "\xED\xA0\x80.icn", "\xF4\x90\x80\x80.icn", "\xF0\x90\x80\x80.icn",
                           "\xF1\x80\x80\x80.icn", "\xF4\x8F\xBF\xBF.icn", "\xF0\x80\x80\x80.icn"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(same_json(expected, r.out)) << r.out;
}

TEST_F(Info, ContainersFailuresAndNames)
{
    const TitleFields card = {
        .title_id = 0x0004000000123400, .product_code = "CTR-P-ABCD", .maker_code = "01", .title_version = 0};
    // The TMD's title ID differs from the content's program ID: the TMD's wins.
    const TitleFields tmd = {
        .title_id = 0x000400000ABCDE00, .product_code = "", .maker_code = "", .title_version = 1040};
    const TitleFields odd = {.title_id = 0,
                             .product_code = std::string("CTR\x01\x7F\xC3\xA9\"", 8),
                             .maker_code = "\xFF",
                             .title_version = 0};
    write("game.3dsx", Wrap3dsx(icn));
    write("game.cxi", WrapNcch(icn, true, card));
    write("game.3ds", WrapNcsd(WrapNcch(icn, true, card)));
    const std::vector<uint8_t> content = WrapNcch(icn, true, card);
    std::vector<uint8_t> cia = WrapCia(content, icn, false, tmd);
    write("game.cia", cia);
    // Compressed, with the SMDH as a metadata item: format and identity come
    // from the frames, so frames that fail are damage here, though it converts.
    std::vector<uint8_t> zcia = WrapZ3ds(cia, {.items = {{"smdh", icn}}});
    write("game.zcia", zcia);
    write("short-item.zcia", WrapZ3ds(cia, {.items = {{"smdh", slice(0x2040)}}}));  // titles, no icons
    std::fill_n(zcia.begin() + 0x20 + (zcia[0x0C] | zcia[0x0D] << 8), 64, 0xFF);    // frame 0's start
    write("corrupt.zcia", zcia);
    write("game.zcci", WrapZ3ds(WrapNcsd(content)));
    write("plain.cia", WrapCia(content, {}, false, tmd));
    write("data.cia", WrapCia(std::vector<uint8_t>(0x200, 7), icn, false, tmd));  // content 0 no NCCH
    cia[CIA_TMD] = 0x77;  // an unknown signature type: the TMD's fields are gone, the content's stay
    write("signature.cia", cia);
    write("odd.cxi", WrapNcch(icn, true, odd));
    write("zero.cxi", WrapNcch(icn, true));
    write("full-code.cxi", WrapNcch(icn, true, {.product_code = "CTR-P-ABCDEFGHIJ", .maker_code = "01"}));  // no end
    write("crypt.cxi", Scramble(WrapNcch(icn, false), NCCH_EXEFS));
    write("titles-cut.icn", slice(0x2000));
    // Files whose icon cannot be shown: an object of what their headers say.
    const std::vector<uint8_t> made_up(16, 0xA5);
    write("crypt.cia", WrapEncryptedCia(WrapNcch(icn, false, card), MADE_UP_TITLE_KEY, made_up.data(), 0, 1));
    write("crypt.3ds", WrapNcsd(Scramble(WrapNcch(icn, false, card), NCCH_EXEFS)));
    write("system.cxi",
          EncryptNcch(WrapNcch(icn, false, {.title_id = 0x0004001000020000, .product_code = "CTR-N-HOME"}),
                      made_up.data(), 0, 0x0004001000020000, made_up.data(), true));
    std::vector<uint8_t> rom =
        MakeDsRom(MakeDsBanner(DsTestBanner(1)), {.product_code = "ASME", .maker_code = "01", .title_version = 2});
    std::fill_n(rom.begin() + 0x68, 4, 0);  // no banner, its header's CRC made again
    const uint16_t rom_crc = DsLayoutCrc16(rom.data(), 0x15E);
    rom[0x15E] = static_cast<uint8_t>(rom_crc);
    rom[0x15F] = static_cast<uint8_t>(rom_crc >> 8);
    write("no-banner.nds", rom);
    std::vector<uint8_t> no_smdh = Wrap3dsx(icn);
    no_smdh[4] = 0x20;  // a header of 0x20 bytes: no extended header, so no SMDH
    write("no-smdh.3dsx", no_smdh);
    const std::string cia_offset = std::to_string(CiaAround(content.size(), icn, false).meta_offset + 0x400);
    // A stray byte and a cut sequence; the last two-byte and the first
    // three-byte characters, then a three-byte sequence cut at its third.
    const std::string non_utf8 = "n\xFF\xC3(\xDF\xBF\xE0\xA0\x80\xE2\x82(.icn";
    write(non_utf8, icn);

    const std::vector<std::string> args = {
        "--info",          "game.3dsx",      "game.cxi",  "missing.icn", "game.3ds",      "bad.icn",
        "game.cia",        "titles-cut.icn", "crypt.cxi", "dir",         non_utf8,        "plain.cia",
        "data.cia",        "signature.cia",  "odd.cxi",   "zero.cxi",    "full-code.cxi", "game.zcia",
        "short-item.zcia", "corrupt.zcia",   "game.zcci", "crypt.cia",   "crypt.3ds",     "system.cxi",
        "no-banner.nds",   "no-smdh.3dsx"};
    // A folder stands for its files of the extensions read, as in --batch.
    write("dir/in.icn", icn);
    ProcessResult r = run(args);
    EXPECT_EQ(2, r.status);  // a file that cannot be opened outranks one too short
    EXPECT_EQ("Could not open missing.icn.\nbad.icn is not an ICN file\n"
              "titles-cut.icn is too short for its titles.\ncrypt.cxi is encrypted; its icon cannot be read.\n"
              "corrupt.zcia is damaged: a frame fails to decompress.\n"
              "crypt.cia is encrypted; its icon cannot be read.\ncrypt.3ds is encrypted; its icon cannot be read.\n"
              "system.cxi is encrypted; its icon cannot be read.\nno-banner.nds holds no icon.\n"
              "no-smdh.3dsx holds no icon.\n",
              r.err);
    const std::string codes_json = R"("product_code": "CTR-P-ABCD", "maker_code": "01")";
    const std::string card_json = R"("title_id": "0004000000123400", )" + codes_json;
    const std::string tmd_json = R"("title_id": "000400000ABCDE00", "title_version": 1040)";
    const std::string cia_json = R"("format": "CIA", "smdh_offset": )" + cia_offset + ", ";
    const std::string expected =
        "[" + object("game.3dsx", R"("format": "3DSX", "smdh_offset": 4140)") + "," +
        object("game.cxi", R"("format": "NCCH", "smdh_offset": 2048, )" + card_json) + "," +
        object("game.3ds", R"("format": "NCSD", "smdh_offset": 18432, )" + card_json) + "," +
        object("game.cia", cia_json + codes_json + ", " + tmd_json) + "," +
        headers_only("titles-cut.icn", R"("smdh_offset": 0)") + "," +
        headers_only("crypt.cxi", R"("format": "NCCH", "encrypted": true, "title_id": "0000000000000000")") + "," +
        object("dir/in.icn", "") + "," + object("n\ufffd\ufffd(\u07ff\u0800\ufffd\ufffd(.icn", "") + "," +
        object("plain.cia", R"("format": "CIA", "smdh_offset": 16640, )" + codes_json + ", " + tmd_json) + "," +
        object("data.cia", R"("format": "CIA", "smdh_offset": 16128, )" + tmd_json) + "," +
        object("signature.cia", cia_json + codes_json) + "," +
        object("odd.cxi", R"("format": "NCCH", "smdh_offset": 2048, "title_id": "0000000000000000",
            "product_code": "CTR\ufffd\ufffd\ufffd\ufffd\"", "maker_code": "\ufffd")") +
        "," + object("zero.cxi", R"("format": "NCCH", "smdh_offset": 2048, "title_id": "0000000000000000")") + "," +
        object("full-code.cxi", R"("format": "NCCH", "smdh_offset": 2048, "title_id": "0000000000000000",
            "product_code": "CTR-P-ABCDEFGHIJ", "maker_code": "01")") +
        "," +
        object("game.zcia",
               R"("format": "CIA", "compression": "Z3DS", "smdh_offset": null, )" + codes_json + ", " + tmd_json) +
        "," +
        object("short-item.zcia", R"("format": "CIA", "compression": "Z3DS", "smdh_offset": null, )" + codes_json +
                                      ", " + tmd_json + R"(, "icons": {"small": false, "large": false})") +
        "," + object("game.zcci", R"("format": "NCSD", "compression": "Z3DS", "smdh_offset": 18432, )" + card_json) +
        "," + headers_only("crypt.cia", R"("format": "CIA", "encrypted": true, "title_id": "0000000000000000",
            "title_version": 0)") +
        "," + headers_only("crypt.3ds", R"("format": "NCSD", "encrypted": true, )" + card_json) + "," +
        headers_only("system.cxi", R"("format": "NCCH", "encrypted": true, "title_id": "0004001000020000",
            "product_code": "CTR-N-HOME")") +
        "," + headers_only("no-banner.nds", R"("format": "NDS", "product_code": "ASME", "maker_code": "01",
            "title_version": 2)") +
        "," + headers_only("no-smdh.3dsx", R"("format": "3DSX")") + "]";
    EXPECT_TRUE(same_json(expected, r.out)) << r.out;

    // Nothing but the PNGs is ever written: a container's SMDH stays in
    // memory, so --info holds where no file may grow (its output is a pipe).
    // (Its status goes out through a descriptor that is a pipe too.)
    ProcessResult limited = RunProcess({"/bin/sh", "-c",
                                        "status=$( ( (ulimit -f 0; '" + BINARY +
                                            "' --info game.cia game.zcci; echo $? >&3) | wc -l >&2) 3>&1); "
                                            "echo status $status"},
                                       dir);
    EXPECT_EQ("status 0\n", limited.out) << limited.err;

    // Through a pipe, the same object: every field lies ahead of the SMDH.
    ProcessResult piped = RunProcess({"/bin/sh", "-c", "cat game.cia | '" + BINARY + "' --info /dev/stdin"}, dir);
    EXPECT_EQ(0, piped.status);
    EXPECT_TRUE(same_json("[" + object("/dev/stdin", cia_json + codes_json + ", " + tmd_json) + "]", piped.out))
        << piped.out;
    // And a file whose icon cannot be shown: the same headers' object.
    piped = RunProcess({"/bin/sh", "-c", "cat crypt.3ds | '" + BINARY + "' --info /dev/stdin"}, dir);
    EXPECT_EQ(1, piped.status);
    // (Its message first: a memory checker's report of the shell may follow.)
    EXPECT_EQ(0u, piped.err.rfind("/dev/stdin is encrypted; its icon cannot be read.\n", 0)) << piped.err;
    EXPECT_TRUE(same_json(
        "[" + headers_only("/dev/stdin", R"("format": "NCSD", "encrypted": true, )" + card_json) + "]", piped.out))
        << piped.out;

    // No place for a key file at all (no GALLIVOX_KEYS, XDG_CONFIG_HOME or
    // HOME): encrypted as without one; under memcheck, nothing read unset.
    const char* home = getenv("HOME");
    const std::string kept_home = home != nullptr ? home : "";
    SetEnvironment("HOME", nullptr);
    SetEnvironment("XDG_CONFIG_HOME", nullptr);
    ProcessResult no_place = run({"--info", "crypt.cxi"});
    EXPECT_EQ(1, no_place.status);
    EXPECT_EQ("crypt.cxi is encrypted; its icon cannot be read.\n", no_place.err);
    EXPECT_TRUE(same_json("[" + headers_only("crypt.cxi", R"("format": "NCCH", "encrypted": true,
        "title_id": "0000000000000000")") +
                              "]",
                          no_place.out))
        << no_place.out;
    SetEnvironment("HOME", home != nullptr ? kept_home.c_str() : nullptr);
    SetEnvironment("XDG_CONFIG_HOME", dir.c_str());

    // No file described: still an array.
    expect_case({.name = "nothing described",
                 .args = {"--info", "missing.icn", "my.dir"},
                 .status = 2,
                 .out = "[]\n",
                 .err = "Could not open missing.icn.\n"});
}

// The README's example, byte for byte: the file it describes is built here
// and its --info output must be the text the README shows.
TEST_F(Info, ReadmeExampleByteForByte)
{
    std::vector<uint8_t> smdh = icn;
    put_utf16(smdh, title_at(0, 0), u"ギャリヴォックス");
    put_utf16(smdh, title_at(0, 1), u"アイコンの物語");
    put_utf16(smdh, title_at(0, 2), u"Orrimand");
    put_utf16(smdh, title_at(1, 0), u"Gallivox");
    put_utf16(smdh, title_at(1, 1), u"A tale of icons");
    put_utf16(smdh, title_at(1, 2), u"Orrimand");
    smdh[0x2008 + 4] = 0x87;  // PEGI GEN: 7
    const uint8_t region_free[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    std::copy(region_free, region_free + 4, smdh.begin() + 0x2018);
    smdh[0x2028] = 0x05;  // visible, allow_3d
    smdh[0x202D] = 1;     // EULA 1.0
    const TitleFields title = {
        .title_id = 0x0004000000123400, .product_code = "CTR-P-ABCD", .maker_code = "01", .title_version = 1040};
    write("game.cia", WrapCia(WrapNcch(smdh, true, title), smdh, false, title));
    const std::string readme_path =
        std::string(SAMPLE_ICN).substr(0, std::string(SAMPLE_ICN).rfind("samples/")) + "README.md";
    const std::vector<uint8_t> bytes = ReadFileBytes(readme_path);
    const std::string readme(bytes.begin(), bytes.end());
    const std::string command = "    $ gallivox --info game.cia\n";
    size_t at = readme.find(command);
    ASSERT_NE(std::string::npos, at) << readme_path;
    // The indented lines after the command, up to the blank line, unindented.
    std::string example;
    for (at += command.size(); at < readme.size() && readme[at] != '\n';) {
        size_t end = readme.find('\n', at);
        example += readme.substr(at + 4, end + 1 - (at + 4));
        at = end + 1;
    }
    expect_case({.name = "README example", .args = {"--info", "game.cia"}, .out = example});
}

// DS banners: their titles split into lines, their animation, the SMDH's
// own keys null, and the identity of each kind of DS file.
TEST_F(Info, DsBanners)
{
    const TitleFields rom = {
        .title_id = 0x00030004ABCDEF00, .product_code = "ASME", .maker_code = "01", .title_version = 5};
    const TitleFields tmd = {
        .title_id = 0x0004800442414200, .product_code = "", .maker_code = "", .title_version = 1040};
    const std::vector<uint8_t> v3 = MakeDsRom(MakeDsBanner(DsTestBanner(3)), rom);
    std::vector<uint8_t> no_chinese = MakeDsBanner(DsTestBanner(2));
    no_chinese[4] ^= 1;
    const std::vector<uint8_t> dsi = MakeDsRom(MakeDsBanner(DsTestBanner(0x0103)), rom, true);
    write("v3.nds", v3);
    write("dsi.nds", dsi);
    write("cut.dsi", std::vector<uint8_t>(dsi.begin(), dsi.end() - 1));  // the animation cut short
    write("no-chinese.bnr", no_chinese);
    write("ds.cia", WrapCia(v3, {}, false, tmd));
    // Compressed, with an smdh item: the item is the icon, not the banner.
    write("ds.zcia", WrapZ3ds(WrapCia(v3, {}, false, tmd), {.items = {{"smdh", icn}}}));
    DsBannerFields full = DsTestBanner(1);
    // No terminator before the next title; a title of two lines.
    full.titles = {u"", u"", u"", std::u16string(128, u'x'), u"y\nz"};
    write("full.bnr", MakeDsBanner(full));
    std::vector<uint8_t> trailing = MakeDsBanner(DsTestBanner(1));
    trailing.resize(0xA40);
    trailing.insert(trailing.end(), {'x', 0});  // where a ninth title would be: none
    write("trailing.bnr", trailing);

    ProcessResult r = run(
        {"--info", "v3.nds", "dsi.nds", "cut.dsi", "no-chinese.bnr", "ds.cia", "ds.zcia", "full.bnr", "trailing.bnr"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    const std::string banner = R"("smdh_offset": null, "banner_offset": 4096, "version": null, "ratings": null,
        "region_lockout": null, "regions": null, "flags": null, "flag_names": null, "eula_version": null,
        "icons": {"small": false, "large": true}, )";
    const std::string six = R"("ja": {"short": "ギャリヴォックス", "long": "ギャリヴォックス", "publisher": ""},
          "en": {"short": "Gallivox", "long": "\nGallivox\nA tale\nOrrimand\n", "publisher": "Orrimand"},
          "fr": {"short": "Gallivox", "long": "Gallivox", "publisher": ""})";
    const std::string eight =
        R"("titles": {)" + six + R"(, "zh-Hans": {"short": "图标", "long": "图标", "publisher": ""},
          "ko": {"short": "아이콘", "long": "아이콘", "publisher": ""}}, )";
    const std::string rom_identity = R"("product_code": "ASME", "maker_code": "01", "title_version": 5)";
    const std::string dsi_identity = rom_identity + R"(, "title_id": "00030004ABCDEF00")";
    const std::string animation = R"(, "animation": [
        {"bitmap": 1, "palette": 0, "flip_h": false, "flip_v": true, "duration": 5},
        {"bitmap": 1, "palette": 1, "flip_h": true, "flip_v": false, "duration": 255}])";
    const std::string expected =
        "[" + object("v3.nds", R"("format": "NDS", )" + banner + eight + rom_identity) + "," +
        object("dsi.nds", R"("format": "NDS", )" + banner + eight + dsi_identity + animation) + "," +
        object("cut.dsi", R"("format": "NDS", )" + banner + eight + dsi_identity) + "," +
        object("no-chinese.bnr",
               R"("format": "NDS-BANNER", )" + banner + R"("banner_offset": 0, "titles": {)" + six + "}") +
        "," +
        object("ds.cia", R"("format": "CIA", )" + banner + eight +
                             R"("product_code": "ASME", "maker_code": "01", "banner_offset": 18688,
                                "title_id": "0004800442414200", "title_version": 1040)") +
        "," + object("ds.zcia", R"("format": "CIA", "compression": "Z3DS", "smdh_offset": null, "product_code": "ASME",
                             "maker_code": "01", "title_id": "0004800442414200", "title_version": 1040)") +
        "," +
        object("full.bnr", R"("format": "NDS-BANNER", )" + banner +
                               R"("banner_offset": 0, "titles": {"de": {"short": ")" + std::string(128, 'x') +
                               R"(", "long": ")" + std::string(128, 'x') + R"(", "publisher": ""},
            "it": {"short": "y", "long": "y\nz", "publisher": "z"}})") +
        "," +
        object("trailing.bnr",
               R"("format": "NDS-BANNER", )" + banner + R"("banner_offset": 0, "titles": {)" + six + "}") +
        "]";
    EXPECT_TRUE(same_json(expected, r.out)) << r.out;
}

#endif

TEST_F(Info, HelpVersionAndLoneOptionsKeepWhatWorked)
{
    ProcessResult help = run({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ("", help.err);
    for (const char* part : {"Gallivox v0.4 by Orrimand\n", "-i FILE -l LARGE.png -s SMALL.png -a ANIMATED.png\n",
                             "gallivox FILE ", "--batch [OPTION]... [--] FILE-OR-FOLDER...", "--force", "--animated",
                             "--info FILE-OR-FOLDER...", "3DSX", "CIA", "NCSD", "NCCH", "Exit status", "gallivox(1)"}) {
        EXPECT_NE(std::string::npos, help.out.find(Native(part))) << part;
    }
    const CliCase cases[] = {
        {.name = "version", .args = {"--version"}, .status = 0, .out = "Gallivox v0.4 by Orrimand\n"},
        {.name = "lone --info is an input", .args = {"--info"}, .status = 2, .out = "Could not open --info.\n"},
        {.name = "--info beside an input",
         .args = {"--info", "-i", "a.icn", "-l", "b.png"},
         .status = 0,
         .written = {{"b.png", 'l'}}},
        {.name = "--version among others",
         .args = {"--version", "a.icn"},
         .status = 1,
         .err = "No input ICN data specified."},
    };
    for (const CliCase& c : cases) {
        expect_case(c);
    }
    // A file of that name is converted, as a single argument always was.
    write("--help", icn);
    expect_case({.name = "file named --help", .args = {"--help"}, .status = 0, .written = {{"--help.png", 'l'}}});
}
