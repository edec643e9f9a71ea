#include "support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <lodepng.h>

#include "icn_writer.h"

std::string MakeScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "gallivox-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
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

bool PathExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::symlink_status(path, ignored).type() != std::filesystem::file_type::not_found;
}

static std::string slurp_and_remove(const std::string& path)
{
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    std::remove(path.c_str());
    return std::string(bytes.begin(), bytes.end());
}

// GALLIVOX_TEST_WRAPPER, split at spaces: a command that every child runs
// under, such as valgrind with its options.
static std::vector<std::string> wrapper_words()
{
    std::vector<std::string> words;
    const char* wrapper = getenv("GALLIVOX_TEST_WRAPPER");
    std::string word;
    for (const char* c = wrapper != nullptr ? wrapper : ""; ; c++) {
        if (*c == ' ' || *c == 0) {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
            if (*c == 0) {
                break;
            }
        } else {
            word += *c;
        }
    }
    return words;
}

[[noreturn]] static void exec_child(const std::vector<std::string>& argv, const std::string& cwd,
                                    const std::string& out_path, const std::string& err_path,
                                    uint64_t file_size_limit)
{
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
        _exit(127);
    }
    if (file_size_limit != 0) {
        // A write past the limit then fails with EFBIG instead of a signal.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<std::string> words = wrapper_words();
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (const std::string& word : words) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         uint64_t file_size_limit)
{
    std::string capture_dir = MakeScratchDir();
    std::string out_path = capture_dir + "/stdout";
    std::string err_path = capture_dir + "/stderr";
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        exec_child(argv, cwd, out_path, err_path, file_size_limit);
    }
    int wait_status = 0;
    if (waitpid(pid, &wait_status, 0) != pid) {
        throw std::runtime_error("waitpid failed");
    }
    ProcessResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = slurp_and_remove(out_path);
    result.err = slurp_and_remove(err_path);
    RemoveTree(capture_dir);
    return result;
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

std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgba, unsigned side)
{
    unsigned char* png = nullptr;
    size_t size = 0;
    if (lodepng_encode32(&png, &size, rgba.data(), side, side) != 0) {
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
        std::string name = fs::relative(entry.path(), root).string();
        fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            tree[name] = "link:" + fs::read_symlink(entry.path()).string();
        } else if (fs::is_directory(status)) {
            tree[name] = "dir";
        } else {
            std::vector<uint8_t> bytes = ReadFileBytes(entry.path().string());
            tree[name] = "file:" + std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}
