// Fuzz target: the folder walk of --batch over a tree that arbitrary bytes
// lay out in a scratch folder (files of read and other extensions, folders,
// links to files and to folders, FIFOs, a subfolder cycle by a link). The
// inputs must be exactly the regular files (or links to them) of a read
// extension, found by another walk (std::filesystem's), in the documented
// order: names sorted bytewise, a folder's files before its subfolders', no
// link to a folder followed; and their PNG names under --into, mirrored,
// one for each input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "batch_inputs.h"
#include "job.h"

namespace fs = std::filesystem;

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_folders: %s\n", what);
        abort();
    }
}

const char* const EXTENSIONS[] = {".icn", ".CIA", ".3ds", ".txt", ".app", ".Bcci", ""};
const char* const NAMES[] = {"a", "B", "b", "a.b", "_", "z"};

// Lays out the tree: each byte pair says what to make (a file, a folder to
// enter, a link to a file or to a folder, a FIFO, or a step back up) and
// its name.
void lay_out(const fs::path& root, const uint8_t* data, size_t size)
{
    fs::path here = root;
    std::error_code error;
    for (size_t i = 0; i + 1 < size; i += 2) {
        std::string name = std::string(NAMES[data[i + 1] % 6]) + EXTENSIONS[(data[i + 1] / 6) % 7];
        fs::path place = here / name;
        switch (data[i] % 6) {
        case 0: {
            // Never through a link, nor waiting on a FIFO of the same name.
            int fd = open(place.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                close(fd);
            }
            break;
        }
        case 1:
            if (fs::create_directory(place, error)) {
                here = place;
            }
            break;
        case 2:
            fs::create_symlink(name + ".target", place, error);
            break;
        case 3:
            fs::create_directory_symlink(root, place, error);  // a cycle, were it followed
            break;
        case 4:
            mkfifo(place.c_str(), 0600);
            break;
        default:
            if (here != root) {
                here = here.parent_path();
            }
        }
    }
}

bool read_extension(const std::string& name)
{
    static const char* const READ[] = {".icn", ".cia", ".3ds", ".bcci"};
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return false;
    }
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) { return char(tolower(c)); });
    return std::find(std::begin(READ), std::end(READ), extension) != std::end(READ);
}

// The inputs another way: the entries of each folder sorted by name, the
// regular files (through links) first, then each real subfolder in turn.
void expected_inputs(const fs::path& folder, const std::string& shown, std::vector<std::string>* out)
{
    std::vector<fs::directory_entry> entries{fs::directory_iterator(folder), fs::directory_iterator()};
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename().string() < b.path().filename().string();
    });
    std::error_code error;
    for (const fs::directory_entry& entry : entries) {
        std::string name = entry.path().filename().string();
        if (fs::is_regular_file(entry.path(), error) && read_extension(name)) {
            out->push_back(shown + "/" + name);
        }
    }
    for (const fs::directory_entry& entry : entries) {
        if (!fs::is_symlink(entry.symlink_status()) && fs::is_directory(entry.symlink_status())) {
            expected_inputs(entry.path(), shown + "/" + entry.path().filename().string(), out);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 200) {
        return 0;  // a tree of at most 100 entries says all there is to say
    }
    char scratch[] = "/tmp/fuzz-folders-XXXXXX";
    require(mkdtemp(scratch) != nullptr, "no scratch folder");
    const fs::path root = fs::path(scratch) / "roms";
    fs::create_directory(root);
    lay_out(root, data, size);

    std::vector<BatchInput> inputs;
    ExpandBatchInputs({root.c_str()}, &inputs);
    std::vector<std::string> expected;
    expected_inputs(root, root.string(), &expected);
    require(inputs.size() == expected.size(), "not the files another walk finds");
    std::set<std::string> pngs;
    BatchOptions options = {"/out", 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < inputs.size(); i++) {
        require(inputs[i].path == expected[i], "not the files another walk finds, in its order");
        require(!inputs[i].unreadable_folder, "a folder of the scratch tree could not be read");
        require(inputs[i].path == root.string() + "/" + inputs[i].below, "its path below the folder is wrong");
        char png[DERIVED_NAME_SIZE];
        if (BatchPngName(&options, &inputs[i], png, 1) == 0) {
            pngs.insert(png);
        }
    }
    // Inputs that differ in their extension alone share a PNG; others never do.
    std::set<std::string> stems;
    for (const BatchInput& input : inputs) {
        std::string below = input.below;
        size_t slash = below.rfind('/');
        size_t dot = below.rfind('.');
        stems.insert(dot != std::string::npos && (slash == std::string::npos || dot > slash + 1) ? below.substr(0, dot)
                                                                                                 : below);
    }
    require(pngs.size() == stems.size(), "PNG names under --into collide where the inputs' names differ");
    fs::remove_all(scratch);
    return 0;
}
