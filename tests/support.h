// Helpers shared by the tests: scratch directories, whole files, child processes.
#ifndef GALLIVOX_TEST_SUPPORT_H
#define GALLIVOX_TEST_SUPPORT_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "icn_writer.h"

// Creates a fresh empty directory under the system's temporary directory.
std::string MakeScratchDir();
void RemoveTree(const std::string& path);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool PathExists(const std::string& path);
// Reads a whole file as text and removes it.
std::string TakeFileText(const std::string& path);

struct ProcessResult {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program's path and its own name) in `cwd`,
// with an empty file as standard input; `file_size_limit`, when not 0, caps
// the size of any file the child writes. The environment variable
// GALLIVOX_TEST_WRAPPER names a command to run it under (valgrind, say).
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd, uint64_t file_size_limit = 0);

// Sets the environment variable `name` for this process and the programs it
// starts; a null `value` removes it.
void SetEnvironment(const char* name, const char* value);

// An ICN file whose 24×24 and 48×48 icons hold the given row-order pixels.
std::vector<uint8_t> MakeIcn(const std::vector<uint16_t>& small, const std::vector<uint16_t>& large);

// Deterministic pixels that differ from tile to tile and pixel to pixel.
std::vector<uint16_t> PatternPixels(size_t side, uint32_t seed);

// A DS banner of `version` for the tests: an asymmetric icon (indices that
// differ along each row and column and across tiles, index 0, transparent,
// in the top left corner only, three channels that differ in every colour),
// titles of one and of several lines, and an animation of two frames.
DsBannerFields DsTestBanner(uint16_t version);

// The RGBA image a DS icon must give, computed from its row-order indices.
std::vector<uint8_t> ExpectedDsImage(const DsBannerFields& fields);

// DsTestBanner(0x0103) with eight bitmaps that differ from each other and
// from their mirror images, eight palettes that differ in every colour,
// and `tokens` as its sequence.
DsBannerFields DsAnimatedTestBanner(const std::vector<uint16_t>& tokens);

// The RGBA image the frame of `token` must show, from the fields' row-order
// bitmaps and palettes.
std::vector<uint8_t> ExpectedDsFrame(const DsBannerFields& fields, uint16_t token);

// The RGBA8 image that row-order RGB565 pixels must decode to: each field
// shifted up to 8 bits with zero low bits, alpha opaque.
std::vector<uint8_t> ExpectedImage(const std::vector<uint16_t>& pixels);

struct DecodedPng {
    unsigned error;  // LodePNG's decoder result, 0 when decoded
    unsigned width;
    unsigned height;
    std::vector<uint8_t> rgba;
};
DecodedPng DecodePngFile(const std::string& path);

// The PNG bytes that LodePNG's default encoder makes of a width×height
// RGBA8 image.
std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgba, unsigned width, unsigned height);

// Every path below a directory (relative to it, with forward slashes,
// links not followed) with
// what it is: "dir", "link:<target>", "file:<bytes>", or "other" (a device).
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::string& root);

void MakeDir(const std::string& path);

// The stream's position as a 64-bit count (long is 32 bits on Windows).
int64_t StreamPosition(FILE* stream);

// What the runtime reports when a directory is opened for writing, and the
// console's line end, which a text stream on Windows writes as CR LF.
#ifdef _WIN32
const int DIRECTORY_WRITE_ERRNO = EACCES;
#else
const int DIRECTORY_WRITE_ERRNO = EISDIR;
#endif

#ifdef _WIN32
// The straight RGBA pixels (rows top down) of the 32-bit top-down bitmap
// `bitmap` (an HBITMAP), which is deleted; its side in `side`.
std::vector<uint8_t> BitmapRgba(void* bitmap, unsigned* side);
#endif

// `text` as a text stream of this platform writes it.
std::string Native(const std::string& text);

// The `size` bytes at `bytes` as hexadecimal digits, two a byte.
std::string HexText(const uint8_t* bytes, size_t size, bool upper = false);

#endif
