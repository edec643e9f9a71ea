// Encrypted files opened with the user's own keys, all of them made up: the
// ciphers against answers computed elsewhere, then one table of key files
// and encrypted files of every kind, run as a process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "crypto.h"
#include "icn_writer.h"
#include "platform.h"
#include "utils.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

std::vector<uint8_t> hex(const std::string& text)
{
    std::vector<uint8_t> bytes(text.size() / 2);
    char_to_int_array(bytes.data(), text.c_str(), static_cast<int>(bytes.size()), 0, 16);
    return bytes;
}

// Made-up keys: none of them is any console's.
const std::vector<uint8_t> CONSTANT = hex("f0e1d2c3b4a5968778695a4b3c2d1e0f");
const std::vector<uint8_t> KEY_X_2C = hex("0123456789abcdeffedcba9876543210");
const std::vector<uint8_t> KEY_X_3D = hex("13579bdf02468ace13579bdf02468ace");
const std::vector<uint8_t> KEY_Y_NCCH = hex("00112233445566778899aabbccddeeff");
const std::vector<uint8_t> TITLE_KEY = hex("5a5a5a5a0f0f0f0fa5a5a5a5f0f0f0f0");

std::vector<uint8_t> common_y(int index)
{
    std::vector<uint8_t> key = hex("c0c1c2c3c4c5c6c7c8c9cacbcccdcecf");
    key[15] = static_cast<uint8_t>(index);
    return key;
}

std::vector<uint8_t> scrambled(const std::vector<uint8_t>& x, const std::vector<uint8_t>& y)
{
    std::vector<uint8_t> normal(16);
    ScrambleKey(x.data(), y.data(), CONSTANT.data(), normal.data());
    return normal;
}

}  // namespace

// The scrambler and both ciphers against answers from Python's
// `cryptography` package (AES) and big integers (the scrambler), pasted.
TEST(Ciphers, KnownAnswers)
{
    const std::vector<uint8_t> normal = scrambled(KEY_X_2C, KEY_Y_NCCH);
    EXPECT_EQ(hex("92a8dd22677abf05388bcff427f62a4d"), normal);
    std::vector<uint8_t> plain(48);
    for (size_t i = 0; i < plain.size(); i++) {
        plain[i] = static_cast<uint8_t>(i);
    }
    // The counter carries into byte 11 at the third block.
    const std::vector<uint8_t> counter = hex("000000000000000000000000fffffffe");
    std::vector<uint8_t> ctr = hex("7f03596a4156807e9350834318e3b99d8e2b1210b44362b63c69c579fd014206"
                                   "22635f4fe220501057e7a2cca1e328ec");
    std::vector<uint8_t> third(ctr.begin() + 32, ctr.end());
    AesCtrDecrypt(normal.data(), counter.data(), ctr.data(), ctr.size());
    EXPECT_EQ(plain, ctr);
    std::vector<uint8_t> later = counter;
    CounterAdd(later.data(), 2);
    AesCtrDecrypt(normal.data(), later.data(), third.data(), third.size());
    EXPECT_EQ(std::vector<uint8_t>(plain.begin() + 32, plain.end()), third);
    const std::vector<uint8_t> iv = hex("0005000000000000aabbccddeeff0011");
    std::vector<uint8_t> cbc = hex("0b14e2e331bee390b2ceee7569c0b958430615aecaccecf10680438a7289c2c7"
                                   "1e42d5d96cd9f11fe17c087452d59978");
    AesCbcDecrypt(normal.data(), iv.data(), cbc.data(), cbc.size());
    EXPECT_EQ(plain, cbc);
}

class Keys : public CommandLine {
protected:
    // A key file in the emulators' format, with a section, CRLF line ends,
    // spaces around '=' and empty values; `without` leaves a name out.
    std::string emulator_keys(const std::string& without = "", const std::vector<uint8_t>& key_x = KEY_X_2C)
    {
        std::string text = "# made-up keys\r\n:AES\r\nslot0x25KeyX=\r\n";
        auto line = [&](const std::string& name, const std::vector<uint8_t>& key) {
            if (name != without) {
                text += name + " = " + HexText(key.data(), 16, true) + "\r\n";
            }
        };
        line("generatorConstant", CONSTANT);
        line("slot0x2CKeyX", key_x);
        line("slot0x3DKeyX", KEY_X_3D);
        for (int i = 0; i < 6; i++) {
            line("common" + std::to_string(i), common_y(i));
        }
        return text + ":OTHER\r\nnot a key line\r\n";
    }
    void keys(const std::string& name, const std::string& text)
    {
        write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
};

TEST_F(Keys, EveryKindOpensWithTheUserKeysOrSaysWhyNot)
{
    const std::vector<uint8_t> key_2c = scrambled(KEY_X_2C, KEY_Y_NCCH);
    const std::vector<uint8_t> zero(16, 0);
    const std::vector<uint8_t> plain_ncch = WrapNcch(icn, false);
    const uint64_t partition = 0x0004000012345678;  // bytes that differ: the counter's order shows
    const std::vector<uint8_t> v0 = EncryptNcch(plain_ncch, key_2c.data(), 0, partition, KEY_Y_NCCH.data(), false);
    std::vector<uint8_t> system = WrapNcch(icn, false, {.title_id = 0x0004001000020000});
    const std::vector<uint8_t> common_0 = scrambled(KEY_X_3D, common_y(0));
    const std::vector<uint8_t> common_5 = scrambled(KEY_X_3D, common_y(5));
    const std::vector<uint8_t> cia = WrapEncryptedCia(v0, TITLE_KEY.data(), common_0.data(), 0, 0x0004000000123400);
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> files = {
        {"v0.cxi", v0},
        {"v1.cxi", EncryptNcch(plain_ncch, key_2c.data(), 1, partition, KEY_Y_NCCH.data(), false)},
        {"v2.cxi", EncryptNcch(plain_ncch, key_2c.data(), 2, partition, KEY_Y_NCCH.data(), false)},
        {"fixed.cxi", EncryptNcch(plain_ncch, zero.data(), 0, partition, KEY_Y_NCCH.data(), true)},
        {"system.cxi", EncryptNcch(system, zero.data(), 0, partition, KEY_Y_NCCH.data(), true)},
        {"card.3ds", WrapNcsd(v0)},
        {"game.cia", cia},
        {"plain-inside.cia", WrapEncryptedCia(plain_ncch, TITLE_KEY.data(), common_5.data(), 5, 1)},
        {"ds.cia", WrapEncryptedCia(MakeDsRom(MakeDsBanner(DsTestBanner(1))), TITLE_KEY.data(), common_0.data(), 0, 2)},
        {"game.zcxi", WrapZ3ds(v0, {.frame_size = 0x400})},
        {"game.bcia", MakeBundle({{"notes.txt", {'x'}}, {"game.cia", cia}}, TAR_GNU)},
        {"index6.cia", WrapEncryptedCia(v0, TITLE_KEY.data(), common_0.data(), 6, 1)},
    };
    for (const auto& [name, bytes] : files) {
        write(name, bytes);
    }
    // A CIA of 5 GiB, sparse: its content's size says so, and only its
    // first blocks are ever read and decrypted.
    std::vector<uint8_t> big = cia;
    const uint64_t five = uint64_t(5) << 30;
    for (size_t i = 0; i < 8; i++) {
        big[0x18 + i] = static_cast<uint8_t>(five >> (8 * i));
    }
    write("big.cia", big);
    // A CIA whose content is stated shorter than its NCCH, the SMDH beginning
    // inside it: the bytes past its end are never read as plain. An NCCH cut
    // before its ExeFS.
    std::vector<uint8_t> short_content = cia;
    const uint8_t smdh_magic[] = {'S', 'M', 'D', 'H'};
    const uint64_t cut =
        (std::search(plain_ncch.begin(), plain_ncch.end(), smdh_magic, smdh_magic + 4) - plain_ncch.begin()) + 0x100;
    for (size_t i = 0; i < 8; i++) {
        short_content[0x18 + i] = static_cast<uint8_t>(cut >> (8 * i));
    }
    write("short-content.cia", short_content);
    write("cut.cxi", std::vector<uint8_t>(v0.begin(), v0.begin() + 0x200));
    ASSERT_EQ(PLATFORM_LENGTH_SET, platform_set_file_length((dir + "/big.cia").c_str(), CIA_CONTENT + five));
    keys("keys.txt", emulator_keys());
    keys("no-constant.txt", emulator_keys("generatorConstant"));
    keys("no-2c.txt", emulator_keys("slot0x2CKeyX"));
    keys("no-common0.txt", emulator_keys("common0"));
    keys("wrong.txt", emulator_keys("", KEY_X_3D));
    std::string ini = "[Other]\nctr-scrambler=00\n[Keys]\nctr-scrambler=" + HexText(CONSTANT.data(), 16, false) +
                      "\nctr-Slot0x2CKeyX=" + HexText(KEY_X_2C.data(), 16, false) +
                      "\nctr-Slot0x3DKeyX=" + HexText(KEY_X_3D.data(), 16, false) +
                      "\nctr-Slot0x3DKeyY-0=\nctr-Slot0x3DKeyNormal-5=" + HexText(common_5.data(), 16, false) + "\n";
    keys("keys.conf", ini);
    keys("no-line.txt", "slot0x2CKeyX\n");
    keys("bad-value.txt", "generatorConstant=00\n");
    keys("twice.txt", "common1=" + std::string(32, 'a') + "\ncommon1=" + std::string(32, 'b') + "\n");
    keys("large.txt", std::string((1 << 20) + 1, '#'));
    // As Windows' editors save it; a comment after each value; a comment
    // that looks like a section (an emulator's file, never INI).
    keys("bom.txt", "\xEF\xBB\xBFgeneratorConstant=" + HexText(CONSTANT.data(), 16, false) +
                        "\nslot0x2CKeyX=" + HexText(KEY_X_2C.data(), 16, false) + "\n");
    std::string commented;
    const std::string plain = emulator_keys();
    for (size_t at = 0, end = 0; (end = plain.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::string line = plain.substr(at, end - at);
        commented += line + (line.find(" = ") != std::string::npos ? " # mine\r\n" : "\r\n");
    }
    keys("comments.txt", commented);
    keys("note.txt", "#[note]\n" + emulator_keys());
    keys("blank.txt", "generatorConstant=" + HexText(CONSTANT.data(), 16, false) +
                          "\r\n  \r\nslot0x2CKeyX=" + HexText(KEY_X_2C.data(), 16, false) + "\r\n");
    MakeDir(dir + "/folder.txt");
#ifndef _WIN32
    ASSERT_EQ(0, mkfifo((dir + "/fifo.txt").c_str(), 0600));  // no one writes to it
#endif
    const std::string encrypted = " is encrypted";
    const struct {
        const char* keys;  // GALLIVOX_KEYS; null: none, and none at the default place
        const char* file;
        int status;
        std::string err;
    } rows[] = {
        {"keys.txt", "v0.cxi", 0, ""},
        {"keys.txt", "v1.cxi", 0, ""},
        {"keys.txt", "v2.cxi", 0, ""},
        {nullptr, "fixed.cxi", 0, ""},
        {"keys.txt", "card.3ds", 0, ""},
        {"keys.txt", "game.cia", 0, ""},
        {"keys.txt", "big.cia", 0, ""},
        {"keys.txt", "game.zcxi", 0, ""},
        {"keys.txt", "game.bcia", 0, ""},
        {"keys.conf", "plain-inside.cia", 0, ""},
        {"keys.txt", "ds.cia", 0, ""},
        {nullptr, "v0.cxi", 1, "v0.cxi is encrypted; its icon cannot be read.\n"},
        {nullptr, "game.cia", 1, "game.cia is encrypted; its icon cannot be read.\n"},
        {"keys.txt", "system.cxi", 1, "system.cxi is encrypted; its icon cannot be read.\n"},
        {"no-2c.txt", "v0.cxi", 1, "v0.cxi is encrypted; the key file no-2c.txt has no slot0x2CKeyX.\n"},
        {"no-constant.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file no-constant.txt has no generatorConstant (an older emulator's file "
         "lacks it: add its line, see README).\n"},
        {"no-common0.txt", "game.cia", 1, "game.cia is encrypted; the key file no-common0.txt has no common0.\n"},
        {"keys.conf", "game.cia", 1, "game.cia is encrypted; the key file keys.conf has no ctr-Slot0x3DKeyY-0.\n"},
        {"wrong.txt", "v0.cxi", 1, "v0.cxi is encrypted, and the keys do not open it.\n"},
        {"keys.txt", "index6.cia", 1, "index6.cia is damaged: its ticket names an unknown common key.\n"},
        {"no-line.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file no-line.txt cannot be used: line 1: a line has no '='.\n"},
        {"bad-value.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file bad-value.txt cannot be used: line 1: the value of generatorConstant is "
         "not 32 hexadecimal digits.\n"},
        {"twice.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file twice.txt cannot be used: line 2: common1 is given twice with different "
         "values.\n"},
        {"large.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file large.txt cannot be used: it is larger than 1 MiB.\n"},
        {"missing.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file missing.txt cannot be used: it does not exist.\n"},
        {"missing.txt", "a.icn", 0, ""},  // a bad key file is nothing to a file that needs none
        {"keys.txt", "short-content.cia", 3, "short-content.cia is too short for the large icon.\n"},
        {"keys.txt", "cut.cxi", 1, "cut.cxi is damaged: its ExeFS lies past its end.\n"},
        {nullptr, "cut.cxi", 1, "cut.cxi is encrypted; its icon cannot be read.\n"},
        {"bom.txt", "v0.cxi", 0, ""},
        {"comments.txt", "game.cia", 0, ""},
        {"note.txt", "v0.cxi", 0, ""},
        {"blank.txt", "v0.cxi", 0, ""},
        {"folder.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file folder.txt cannot be used: it is not a regular file.\n"},
#ifndef _WIN32
        {"fifo.txt", "v0.cxi", 1,
         "v0.cxi is encrypted; the key file fifo.txt cannot be used: it is not a regular file.\n"},
#endif
    };
    for (const auto& row : rows) {
        std::string name = std::string(row.file) + " with " + (row.keys ? row.keys : "no keys");
        SetEnvironment("GALLIVOX_KEYS", row.keys);
        bool ds = strcmp(row.file, "ds.cia") == 0;
        ProcessResult r = run({"-i", row.file, "-l", "l.png"});
        EXPECT_EQ(row.status, r.status) << name;
        EXPECT_EQ(Native(row.err), r.err) << name;
        if (row.status == 0) {
            std::vector<uint8_t> expected = ds ? ExpectedDsImage(DsTestBanner(1)) : ExpectedImage(large);
            EXPECT_EQ(expected, DecodePngFile(dir + "/l.png").rgba) << name;
        }
        RemoveTree(dir + "/l.png");
#ifndef _WIN32
        if (row.status == 0) {
            // Through a pipe, read forward only: the same icon.
            std::string command = std::string("cat '") + row.file + "' | '" + BINARY + "' -i /dev/stdin -l p.png";
            ProcessResult piped = RunProcess({"/bin/sh", "-c", command}, dir);
            EXPECT_EQ(0, piped.status) << name << piped.err;
            EXPECT_EQ(ds ? ExpectedDsImage(DsTestBanner(1)) : ExpectedImage(large), DecodePngFile(dir + "/p.png").rgba)
                << name;
            RemoveTree(dir + "/p.png");
        }
#endif
    }
    RemoveTree(dir + "/big.cia");
}

// Keys never leave the process: not in any stream or file of a run that
// opens every kind, nor in one that fails with each of them.
TEST_F(Keys, NeverInAnyOutput)
{
    const std::vector<uint8_t> key_2c = scrambled(KEY_X_2C, KEY_Y_NCCH);
    const std::vector<uint8_t> common_0 = scrambled(KEY_X_3D, common_y(0));
    const std::vector<uint8_t> v0 = EncryptNcch(WrapNcch(icn, false), key_2c.data(), 0, 7, KEY_Y_NCCH.data(), false);
    write("game.cxi", v0);
    write("game.cia", WrapEncryptedCia(v0, TITLE_KEY.data(), common_0.data(), 0, 0x0004000000123400));
    keys("keys.txt", emulator_keys());
    keys("wrong.txt", emulator_keys("", KEY_X_3D));
    std::vector<std::vector<uint8_t>> secrets = {CONSTANT, KEY_X_2C, KEY_X_3D, TITLE_KEY, key_2c, common_0};
    for (int i = 0; i < 6; i++) {
        secrets.push_back(common_y(i));
    }
    for (const char* key_file : {"keys.txt", "wrong.txt"}) {
        SetEnvironment("GALLIVOX_KEYS", key_file);
        std::string seen;
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"--info", "game.cxi", "game.cia"},
                                                   {"--batch", "game.cxi", "game.cia"},
                                                   {"--thumbnail", "96", "game.cia", "t.png"}}) {
            ProcessResult r = run(args);
            seen += r.out + r.err;
        }
        for (const char* png : {"game.png", "t.png"}) {
            if (PathExists(dir + "/" + png)) {
                std::vector<uint8_t> bytes = ReadFileBytes(dir + "/" + png);
                seen += std::string(bytes.begin(), bytes.end());
                RemoveTree(dir + "/" + png);
            }
        }
        EXPECT_NE(std::string::npos,
                  seen.find(key_file == std::string("keys.txt") ? "\"encrypted\": true" : "do not open"));
        for (const std::vector<uint8_t>& secret : secrets) {
            for (const std::string& form : {HexText(secret.data(), 16, true), HexText(secret.data(), 16, false),
                                            std::string(secret.begin(), secret.end())}) {
                EXPECT_EQ(std::string::npos, seen.find(form)) << key_file << ": a key in the output";
            }
        }
    }
}
