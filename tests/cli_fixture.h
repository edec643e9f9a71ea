// The fixture of the command-line tests: a scratch directory of ICN files,
// the tool run as a process in it, and the checks made after every run.
#ifndef GALLIVOX_CLI_FIXTURE_H
#define GALLIVOX_CLI_FIXTURE_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace {

const std::string BINARY = GALLIVOX_BINARY;
// What an existing output holds before a run replaces it.
const std::vector<uint8_t> OLD = {'o', 'l', 'd'};

struct Output {
    std::string path;
    char slot;  // 's' or 'l': which icon the file must hold; 'd': a DS icon, which the caller checks
};

// One run of the tool, named field by field; what a row leaves out is
// empty (no output expected, no file written or checked absent).
struct CliCase {
    const char* name = "";
    std::vector<std::string> args = {};
    int status = 0;
    std::string out = {};
    std::string err = {};
    std::vector<Output> written = {};
    std::vector<std::string> absent = {};
    uint64_t file_size_limit = 0;  // caps every file the run writes, when not 0
};

class CommandLine : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeScratchDir();
        // No key file but a test's own: none from the machine's user.
        SetEnvironment("GALLIVOX_KEYS", nullptr);
        SetEnvironment("XDG_CONFIG_HOME", dir.c_str());
        SetEnvironment("APPDATA", dir.c_str());
        small = PatternPixels(24, 11);
        large = PatternPixels(48, 12);
        icn = MakeIcn(small, large);
        MakeDir(dir + "/dir");
        MakeDir(dir + "/my.dir");
        for (const char* name : {"a.icn", "icon.icn", "dir/icon", "-a.icn", "icon.png", "100%s%n.icn", "my.dir/icon"}) {
            write(name, icn);
        }
        for (const char* name : {"old.png", "h1.png", "target.png"}) {
            write(name, OLD);
        }
        std::vector<uint8_t> smdx = icn;
        smdx[3] = 'X';
        write("bad.icn", smdx);
        write("empty.icn", {});
        write("three.icn", {'S', 'M', 'D'});
        write("magic.icn", {'S', 'M', 'D', 'H'});
        write("cut-small-start.icn", slice(0x2040));
        write("mid-small.icn", slice(0x2040 + 100));
        write("no-large.icn", slice(0x24C0));
        write("cut-large.icn", slice(0x24C0 + 1000));
        write("short-large.icn", slice(icn.size() - 1));
        std::error_code error;
        std::filesystem::create_hard_link(dir + "/a.icn", dir + "/hard.png", error);
        ASSERT_FALSE(error) << "hard link: " << error.message();
        std::filesystem::create_hard_link(dir + "/h1.png", dir + "/h2.png", error);
        ASSERT_FALSE(error) << "hard link: " << error.message();
        // Windows may lack the privilege for symbolic links: those cases skip.
        std::filesystem::create_symlink("a.icn", dir + "/sym.png", error);
        have_symlinks = !error;
        if (have_symlinks) {
            std::filesystem::create_symlink("target.png", dir + "/link.png", error);
        }
    }
    void TearDown() override { RemoveTree(dir); }

    void write(const std::string& name, const std::vector<uint8_t>& bytes) { WriteFileBytes(dir + "/" + name, bytes); }
    std::vector<uint8_t> slice(size_t size) { return std::vector<uint8_t>(icn.begin(), icn.begin() + size); }

    ProcessResult run(const std::vector<std::string>& args, uint64_t file_size_limit = 0)
    {
        std::vector<std::string> argv = {BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, dir, file_size_limit);
    }

    void expect_case(const CliCase& c)
    {
        TreeSnapshot before = SnapshotTree(dir);
        ProcessResult r = run(c.args, c.file_size_limit);
        EXPECT_EQ(c.status, r.status) << c.name;
        EXPECT_EQ(Native(c.out), r.out) << c.name;
        EXPECT_EQ(Native(c.err), r.err) << c.name;
        for (const Output& o : c.written) {
            if (o.slot == 'd') {
                continue;
            }
            DecodedPng png = DecodePngFile(dir + "/" + o.path);
            ASSERT_EQ(0u, png.error) << c.name << ": " << o.path;
            EXPECT_EQ(ExpectedImage(o.slot == 's' ? small : large), png.rgba) << c.name << ": " << o.path;
        }
        for (const std::string& path : c.absent) {
            EXPECT_FALSE(PathExists(dir + "/" + path)) << c.name << ": " << path;
        }
        expect_nothing_else_changed(c, before);
    }

    // Every path of the scratch tree but the written outputs (and the
    // folders made for them) is as it was: nothing clobbered, nothing
    // removed, no partial file left behind.
    void expect_nothing_else_changed(const CliCase& c, TreeSnapshot before)
    {
        TreeSnapshot after = SnapshotTree(dir);
        for (const Output& o : c.written) {
            before.erase(o.path);
            after.erase(o.path);
            for (size_t slash = o.path.rfind('/'); slash != std::string::npos && slash > 0;
                 slash = o.path.rfind('/', slash - 1)) {
                std::string folder = o.path.substr(0, slash);
                if (before.count(folder) == 0 && after.count(folder) != 0 && after[folder] == "dir") {
                    after.erase(folder);
                }
            }
        }
        for (const auto& [path, state] : before) {
            auto found = after.find(path);
            EXPECT_TRUE(found != after.end() && found->second == state) << c.name << ": " << path << " changed";
        }
        for (const auto& [path, state] : after) {
            EXPECT_TRUE(before.count(path)) << c.name << ": " << path << " left behind";
        }
    }

    std::string dir;
    bool have_symlinks = false;
    std::vector<uint16_t> small;
    std::vector<uint16_t> large;
    std::vector<uint8_t> icn;
};

const std::string NO_SUCH = std::string(": ") + strerror(ENOENT) + "\n";

}  // namespace

#endif
