#include "batch_inputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "job.h"
#include "platform.h"
#include "thumbnail.h"
#include "utils.h"

// The extensions taken from a folder, in any case; .app and .bin are too
// common elsewhere: such files are named on the command line.
static const char* const EXTENSIONS[] = {".icn", ".smdh", ".3dsx", ".cia",  ".3ds",   ".cci", ".cxi",
                                         ".cfa", ".zcia", ".zcci", ".zcxi", ".z3dsx", ".nds", ".dsi",
                                         ".srl", ".bnr",  ".bcia", ".bcci", ".bcxi"};

static int has_extension_read(const std::string& name)
{
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return 0;
    }
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (const char* known : EXTENSIONS) {
        if (extension == known) {
            return 1;
        }
    }
    return 0;
}

int ParseBatchOptions(int argc, char** argv, BatchOptions* options, int* first)
{
    options->into = nullptr;
    options->size = 0;
    int i = 2;
    for (; i < argc; i += 2) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(option, "--") == 0) {
            i++;
            break;
        }
        if (strcmp(option, "--into") == 0) {
            if (value == nullptr || value[0] == 0) {
                fputs("--into needs a folder.\n", stderr);
                return EXIT_USAGE;
            }
            options->into = value;
        } else if (strcmp(option, "--size") == 0) {
            options->size = value != nullptr ? ThumbnailSize(value) : 0;
            if (options->size == 0) {
                fprintf(stderr, "Invalid thumbnail size %s.\n", value != nullptr ? value : "");
                return EXIT_USAGE;
            }
        } else {
            break;
        }
    }
    *first = i;
    return EXIT_DONE;
}

int PrepareBatchFolder(const char* into)
{
    if (into == nullptr || platform_is_folder(into)) {
        return EXIT_DONE;
    }
    errno = 0;
    if (platform_make_directory(into) == 0) {
        return EXIT_DONE;
    }
    if (errno == EEXIST) {
        fprintf(stderr, "%s is not a folder.\n", into);
        return EXIT_USAGE;
    }
    fprintf(stderr, "Could not make the folder %s: %s\n", into, strerror(errno != 0 ? errno : EIO));
    return EXIT_CANNOT_OPEN;
}

// Appends the files of `folder` and of its subfolders, as ExpandBatchInputs says.
static void expand_folder(const std::string& folder, std::vector<BatchInput>* inputs)
{
    std::vector<PlatformEntry> entries;
    if (platform_list_folder(folder.c_str(), &entries) != 0) {
        inputs->push_back(BatchInput{folder, 1});
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const PlatformEntry& a, const PlatformEntry& b) { return a.name < b.name; });
    std::string prefix = folder.back() == '/' || folder.back() == '\\' ? folder : folder + "/";
    for (const PlatformEntry& entry : entries) {
        if (!entry.is_folder && has_extension_read(entry.name)) {
            inputs->push_back(BatchInput{prefix + entry.name, 0});
        }
    }
    for (const PlatformEntry& entry : entries) {
        if (entry.is_folder && !entry.is_link) {
            expand_folder(prefix + entry.name, inputs);
        }
    }
}

void ExpandBatchInputs(int argc, char** argv, int first, std::vector<BatchInput>* inputs)
{
    for (int i = first; i < argc; i++) {
        if (platform_is_folder(argv[i])) {
            expand_folder(argv[i], inputs);
        } else {
            inputs->push_back(BatchInput{argv[i], 0});
        }
    }
}

int BatchPngName(const BatchOptions* options, const char* input, char* png, int quiet)
{
    std::string name = input;
    if (options->into != nullptr) {
        size_t slash = name.find_last_of("/\\");
        std::string into = options->into;
        if (into.back() != '/' && into.back() != '\\') {
            into += "/";
        }
        name = into + (slash == std::string::npos ? name : name.substr(slash + 1));
    }
    if (quiet && !derived_name_fits(DERIVED_NAME_SIZE, name.c_str(), ".png")) {
        return 1;
    }
    return append_filextention(png, DERIVED_NAME_SIZE, name.c_str(), ".png") == 0 ? 0 : 1;
}
