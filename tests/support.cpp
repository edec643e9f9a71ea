#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <lodepng.h>

#include "icn_writer.h"

std::string MakeScratchDir()
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[32];
        snprintf(name, sizeof name, "gallivox-test-%08x", static_cast<unsigned>(random()));
        std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
        std::error_code error;
        if (std::filesystem::create_directory(dir, error)) {
            return dir.string();
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

void RemoveTree(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string TakeFileText(const std::string& path)
{
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    std::remove(path.c_str());
    return std::string(bytes.begin(), bytes.end());
}

bool PathExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::symlink_status(path, ignored).type() != std::filesystem::file_type::not_found;
}

std::vector<uint8_t> MakeIcn(const std::vector<uint16_t>& small, const std::vector<uint16_t>& large)
{
    std::vector<uint8_t> file(ICN_FILE_SIZE);
    BuildIcnFile(small.data(), large.data(), file.data());
    return file;
}

std::vector<uint16_t> PatternPixels(size_t side, uint32_t seed)
{
    std::vector<uint16_t> pixels(side * side);
    uint32_t state = seed * 2654435761u + 1;
    for (uint16_t& pixel : pixels) {
        state = state * 1664525u + 1013904223u;
        pixel = static_cast<uint16_t>(state >> 16);
    }
    return pixels;
}

std::vector<uint8_t> ExpectedImage(const std::vector<uint16_t>& pixels)
{
    std::vector<uint8_t> rgba;
    for (uint16_t v : pixels) {
        rgba.push_back(static_cast<uint8_t>((v >> 11) << 3));
        rgba.push_back(static_cast<uint8_t>(((v >> 5) & 0x3F) << 2));
        rgba.push_back(static_cast<uint8_t>((v & 0x1F) << 3));
        rgba.push_back(0xFF);
    }
    return rgba;
}

DecodedPng DecodePngFile(const std::string& path)
{
    DecodedPng png{0, 0, 0, {}};
    unsigned char* pixels = nullptr;
    png.error = lodepng_decode32_file(&pixels, &png.width, &png.height, path.c_str());
    if (png.error == 0) {
        png.rgba.assign(pixels, pixels + 4ull * png.width * png.height);
    }
    free(pixels);
    return png;
}

std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgba, unsigned width, unsigned height)
{
    unsigned char* png = nullptr;
    size_t size = 0;
    if (lodepng_encode32(&png, &size, rgba.data(), width, height) != 0) {
        free(png);
        throw std::runtime_error("lodepng_encode32 failed");
    }
    std::vector<uint8_t> bytes(png, png + size);
    free(png);
    return bytes;
}

TreeSnapshot SnapshotTree(const std::string& root)
{
    namespace fs = std::filesystem;
    TreeSnapshot tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        std::string name = entry.path().lexically_relative(root).generic_string();
        fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            tree[name] = "link:" + fs::read_symlink(entry.path()).string();
        } else if (fs::is_directory(status)) {
            tree[name] = "dir";
        } else if (!fs::is_regular_file(status)) {
            tree[name] = "other";  // a device or a FIFO: reading it may never end
        } else {
            std::vector<uint8_t> bytes = ReadFileBytes(entry.path().string());
            tree[name] = "file:" + std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}

void MakeDir(const std::string& path)
{
    std::filesystem::create_directory(path);
}

int64_t StreamPosition(FILE* stream)
{
#ifdef _WIN32
    return _ftelli64(stream);
#else
    return ftello(stream);
#endif
}

std::string Native(const std::string& text)
{
#ifdef _WIN32
    std::string native;
    for (char c : text) {
        native += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return native;
#else
    return text;
#endif
}

// An asymmetric DS icon: indices that differ along each row and column and
// across tiles, index 0 (transparent) in the top left corner only, and a
// palette whose three channels differ in every colour.
DsBannerFields DsTestBanner(uint16_t version)
{
    DsBannerFields fields;
    fields.version = version;
    for (size_t y = 0; y < 32; y++) {
        for (size_t x = 0; x < 32; x++) {
            fields.pixels[32 * y + x] = x < 3 && y < 2 ? 0 : static_cast<uint8_t>(1 + (5 * x + 3 * y + x / 8) % 15);
        }
    }
    for (uint16_t i = 0; i < 16; i++) {
        fields.palette[i] = static_cast<uint16_t>((2 * i) | (31 - i) << 5 | ((7 * i) % 32) << 10);
    }
    fields.titles = {
        u"ギャリヴォックス", u"\nGallivox\nA tale\nOrrimand\n", u"Gallivox", u"", u"", u"", u"图标", u"아이콘"};
    fields.tokens = {0x8105, 0x49FF, 0};  // each flip alone
    return fields;
}

DsBannerFields DsAnimatedTestBanner(const std::vector<uint16_t>& tokens)
{
    DsBannerFields fields = DsTestBanner(0x0103);
    for (size_t b = 0; b < 8; b++) {
        std::vector<uint8_t> pixels(32 * 32);
        for (size_t i = 0; i < pixels.size(); i++) {
            // A diagonal of colours whose slope and start differ by bitmap.
            pixels[i] = static_cast<uint8_t>((i / 32 * (b + 2) + i % 32 + 3 * b) % 16);
        }
        fields.bitmaps.push_back(pixels);
        std::vector<uint16_t> palette(16);
        for (size_t c = 0; c < 16; c++) {
            palette[c] = static_cast<uint16_t>((2 * c + b) % 32 | (31 - c) << 5 | (4 * b) << 10);
        }
        fields.palettes.push_back(palette);
    }
    fields.tokens = tokens;
    return fields;
}

std::vector<uint8_t> ExpectedDsFrame(const DsBannerFields& fields, uint16_t token)
{
    const bool flip_v = token & 0x8000;
    const bool flip_h = token & 0x4000;
    DsBannerFields frame;
    frame.palette = fields.palettes[token >> 11 & 7];
    const std::vector<uint8_t>& bitmap = fields.bitmaps[token >> 8 & 7];
    for (size_t y = 0; y < 32; y++) {
        for (size_t x = 0; x < 32; x++) {
            frame.pixels[32 * y + x] = bitmap[32 * (flip_v ? 31 - y : y) + (flip_h ? 31 - x : x)];
        }
    }
    return ExpectedDsImage(frame);
}

// The RGBA image a DS icon must give, from its row-order indices.
std::vector<uint8_t> ExpectedDsImage(const DsBannerFields& fields)
{
    std::vector<uint8_t> rgba;
    for (uint8_t index : fields.pixels) {
        uint16_t c = fields.palette[index];
        std::vector<uint8_t> pixel = {uint8_t((c & 31) << 3), uint8_t((c >> 5 & 31) << 3), uint8_t((c >> 10 & 31) << 3),
                                      255};
        rgba.insert(rgba.end(), index == 0 ? 4 : 0, 0);
        rgba.insert(rgba.end(), index == 0 ? pixel.end() : pixel.begin(), pixel.end());
    }
    return rgba;
}

std::string HexText(const uint8_t* bytes, size_t size, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i != size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}
