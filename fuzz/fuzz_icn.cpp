// Fuzz target: arbitrary bytes as an input file through the whole tool, from
// the format check to both PNGs, in a scratch directory, by GallivoxMain,
// the tool's own driver. Every run is checked against what the bytes must
// give: the exit status, which PNGs exist, their pixels (expected by the
// Morton rule, not the decoder's walk), and no stray file.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <lodepng.h>

#include "icn_writer.h"
#include "main.h"

namespace {

const size_t SMALL_END = ICN_SMALL_OFFSET + 24 * 24 * 2;
const size_t LARGE_END = ICN_LARGE_OFFSET + 48 * 48 * 2;

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_icn: %s\n", what);
        abort();
    }
}

// A new scratch directory for one input; the input removes it, empty, when
// it is done, so no run leaves one behind.
std::string scratch_dir()
{
    char pattern[] = "/tmp/gallivox-fuzz-XXXXXX";
    require(mkdtemp(pattern) != nullptr, "mkdtemp failed");
    return std::string(pattern);
}

size_t entries_in(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    require(d != nullptr, "opendir failed");
    size_t count = 0;
    while (dirent* entry = readdir(d)) {
        count += strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
    }
    closedir(d);
    return count;
}

// Every file of the input's run is gone: the directory is removed, empty.
void remove_scratch(const std::string& dir)
{
    require(entries_in(dir) == 0, "a stray file was left behind");
    require(rmdir(dir.c_str()) == 0, "cannot remove the scratch directory");
}

// Checks the PNG at `path` against the icon block at `offset`, then removes it.
void check_icon(const std::string& path, const uint8_t* data, size_t offset, unsigned side)
{
    unsigned char* rgba = nullptr;
    unsigned width = 0;
    unsigned height = 0;
    require(lodepng_decode32_file(&rgba, &width, &height, path.c_str()) == 0, "PNG does not decode");
    require(width == side && height == side, "PNG has the wrong size");
    for (size_t k = 0; k < size_t(side) * side; k++) {
        size_t x = 0;
        size_t y = 0;
        TiledPosition(k, side, &x, &y);
        unsigned v = data[offset + 2 * k] | (data[offset + 2 * k + 1] << 8);
        const unsigned char* p = rgba + 4 * (y * side + x);
        require(p[0] == ((v >> 11) << 3) && p[1] == (((v >> 5) & 0x3F) << 2) && p[2] == ((v & 0x1F) << 3) &&
                    p[3] == 0xFF,
                "pixel differs");
    }
    free(rgba);
    require(remove(path.c_str()) == 0, "cannot remove PNG");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string dir = scratch_dir();
    std::string input = dir + "/in.icn";
    std::string small = dir + "/s.png";
    std::string large = dir + "/l.png";
    FILE* file = fopen(input.c_str(), "wb");
    // An empty input may come with a null pointer, which fwrite must not see.
    require(file != nullptr && (size == 0 || fwrite(data, 1, size, file) == size) && fclose(file) == 0,
            "cannot write input");

    char* argv[] = {const_cast<char*>("gallivox"),
                    const_cast<char*>("-i"),
                    &input[0],
                    const_cast<char*>("-s"),
                    &small[0],
                    const_cast<char*>("-l"),
                    &large[0],
                    nullptr};
    int status = GallivoxMain(7, argv);

    bool icn = size >= 4 && memcmp(data, "SMDH", 4) == 0;
    if (!icn) {
        // A container, or nothing: its walk has a target of its own. Here the
        // run must only keep its word: every PNG for 0, none for 1 or 2.
        int pngs = (access(small.c_str(), F_OK) == 0) + (access(large.c_str(), F_OK) == 0);
        require(status >= 0 && status <= 3, "unknown exit status");
        require(status == 0 ? pngs == 2 : status == 3 ? pngs < 2 : pngs == 0, "PNGs disagree with the status");
        remove(small.c_str());
        remove(large.c_str());
        require(remove(input.c_str()) == 0, "cannot remove input");
        remove_scratch(dir);
        return 0;
    }
    int expected = size >= LARGE_END ? 0 : 3;
    require(status == expected, "unexpected exit status");
    require((access(small.c_str(), F_OK) == 0) == (icn && size >= SMALL_END), "small PNG presence is wrong");
    require((access(large.c_str(), F_OK) == 0) == (icn && size >= LARGE_END), "large PNG presence is wrong");
    if (icn && size >= SMALL_END) {
        check_icon(small, data, ICN_SMALL_OFFSET, 24);
    }
    if (icn && size >= LARGE_END) {
        check_icon(large, data, ICN_LARGE_OFFSET, 48);
    }
    require(remove(input.c_str()) == 0, "cannot remove input");
    remove_scratch(dir);
    return 0;
}
