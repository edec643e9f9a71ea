#include "batch_inputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "job.h"
#include "picture.h"
#include "platform.h"
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

// Takes the value of --into or --size into `options`. Returns 0, or the
// exit status after saying why it is wrong.
static int take_option_value(const char* option, const char* value, BatchOptions* options)
{
    if (strcmp(option, "--size") == 0) {
        options->size = value != nullptr ? ThumbnailSize(value) : 0;
        if (options->size == 0) {
            fprintf(stderr, "Invalid thumbnail size %s.\n", value != nullptr ? value : "");
            return EXIT_USAGE;
        }
        return EXIT_DONE;
    }
    if (value == nullptr || value[0] == 0) {
        fputs("--into needs a folder.\n", stderr);
        return EXIT_USAGE;
    }
    // An option where the folder should be is a slip, not a folder's name.
    if (value[0] == '-' && value[1] != 0) {
        fprintf(stderr, "--into needs a folder, not %s.\n", value);
        return EXIT_USAGE;
    }
    options->into = value;
    return EXIT_DONE;
}

int ParseBatchOptions(int argc, char** argv, BatchOptions* options, std::vector<const char*>* arguments)
{
    *options = BatchOptions();
    int after_options = 0;
    for (int i = 2; i < argc; i++) {
        const char* argument = argv[i];
        int* flag = strcmp(argument, "--force") == 0       ? &options->force
                    : strcmp(argument, "--verbose") == 0   ? &options->verbose
                    : strcmp(argument, "--retroarch") == 0 ? &options->retroarch
                    : strcmp(argument, "--animated") == 0  ? &options->animated
                                                           : nullptr;
        if (after_options) {
            arguments->push_back(argument);
        } else if (strcmp(argument, "--") == 0) {
            after_options = 1;
        } else if (flag != nullptr) {
            *flag = 1;
        } else if (strcmp(argument, "--into") == 0 || strcmp(argument, "--size") == 0) {
            const char* value = i + 1 < argc ? argv[++i] : nullptr;
            int status = take_option_value(argument, value, options);
            if (status != EXIT_DONE) {
                return status;
            }
        } else {
            arguments->push_back(argument);
        }
    }
    if (options->retroarch && options->into == nullptr) {
        fputs("--retroarch needs --into DIR.\n", stderr);
        return EXIT_USAGE;
    }
    return EXIT_DONE;
}

int PrepareBatchFolder(BatchOptions* options)
{
    if (options->into == nullptr) {
        return EXIT_DONE;
    }
    int error = platform_make_folders(options->into, 0);
    if (error == EEXIST) {
        fprintf(stderr, "%s is not a folder.\n", options->into);
        return EXIT_USAGE;
    }
    if (error != 0) {
        fprintf(stderr, "Could not make the folder %s: %s\n", options->into, strerror(error));
        return EXIT_CANNOT_OPEN;
    }
    options->windows_names = platform_windows_names(options->into);
    return EXIT_DONE;
}

// Appends the files of `folder` and of its subfolders, as ExpandBatchInputs
// says; `below` is the folder's path below the folder named ("" for it).
static void expand_folder(const std::string& folder, const std::string& below, std::vector<BatchInput>* inputs)
{
    std::vector<PlatformEntry> entries;
    if (platform_list_folder(folder.c_str(), &entries) != 0) {
        inputs->push_back(BatchInput{folder, below, 1});
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const PlatformEntry& a, const PlatformEntry& b) { return a.name < b.name; });
    std::string prefix = folder.back() == '/' || folder.back() == '\\' ? folder : folder + "/";
    for (const PlatformEntry& entry : entries) {
        // Never a FIFO, socket or device, whatever its name: a FIFO that no
        // one writes to would hold the batch for ever.
        if (entry.is_regular && has_extension_read(entry.name)) {
            inputs->push_back(BatchInput{prefix + entry.name, below + entry.name, 0});
        }
    }
    for (const PlatformEntry& entry : entries) {
        if (entry.is_folder && !entry.is_link) {
            expand_folder(prefix + entry.name, below + entry.name + "/", inputs);
        }
    }
}

// The file's own name in `path`: after its last folder separator (a '\' is
// one on Windows only; elsewhere it is a character of a name).
static std::string file_name(const std::string& path)
{
    size_t slash = path.find_last_of(platform_folder_separators());
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ExpandBatchInputs(const std::vector<const char*>& arguments, std::vector<BatchInput>* inputs)
{
    for (const char* argument : arguments) {
        if (platform_is_folder(argument)) {
            expand_folder(argument, "", inputs);
        } else {
            inputs->push_back(BatchInput{argument, file_name(argument), 0});
        }
    }
}

// RetroArch's thumbnail name for the file `name`: the name without its
// extension (from its last dot, never its first character), each of
// & * / : ` < > ? \ | made '_', as its playlists' labels are.
static std::string retroarch_name(const std::string& name)
{
    size_t dot = name.rfind('.');
    std::string label = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    for (char& c : label) {
        if (strchr("&*/:`<>?\\|", c) != nullptr) {
            c = '_';
        }
    }
    return label;
}

// Why Windows cannot hold `name` as a file or folder name, into `reason`;
// false where it can.
static bool breaks_windows_rules(const std::string& name, std::string* reason)
{
    for (char c : name) {
        if ((c >= 0 && c < 32) || strchr("<>:\"\\|?*", c) != nullptr) {
            *reason = c >= 0 && c < 32 ? "a name on that file system cannot hold a control character"
                                       : std::string("a name on that file system cannot hold '") + c + "'";
            return true;
        }
    }
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
        *reason = "a name on that file system cannot end in a dot or a space";
        return true;
    }
    // The devices' names, alone or before any extension.
    std::string stem = name.substr(0, name.find('.'));
    std::transform(stem.begin(), stem.end(), stem.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    stem.erase(stem.find_last_not_of(' ') + 1);
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    bool device = std::find_if(std::begin(devices), std::end(devices), [&stem](const char* d) { return stem == d; }) !=
                  std::end(devices);
    device |= stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
              stem[3] >= '1' && stem[3] <= '9';
    if (device) {
        *reason = "on that file system " + stem + " is the name of a device";
    }
    return device;
}

int BatchPngName(const BatchOptions* options, const BatchInput* input, char* png, int quiet)
{
    std::string name = input->path;
    size_t made_from = 0;  // where the names made under --into begin
    if (options->into != nullptr) {
        std::string into = options->into;
        if (into.back() != '/' && into.back() != '\\') {
            into += "/";
        }
        made_from = into.size();
        // `below` parts its folders with '/' alone: a '\' there is the name's own.
        std::string own_name = input->below.substr(input->below.rfind('/') + 1);
        name = into + (options->retroarch ? retroarch_name(own_name) + ".png" : input->below);
    }
    if (quiet && !derived_name_fits(DERIVED_NAME_SIZE, name.c_str(), ".png")) {
        return EXIT_USAGE;
    }
    if (append_filextention(png, DERIVED_NAME_SIZE, name.c_str(), ".png") != 0) {
        return EXIT_USAGE;
    }
    std::string made = png + made_from;
    for (size_t start = 0; options->into != nullptr && options->windows_names && start <= made.size();) {
        size_t end = std::min(made.find('/', start), made.size());
        std::string reason;
        if (breaks_windows_rules(made.substr(start, end - start), &reason)) {
            if (!quiet) {
                fprintf(stderr, "Could not write %s: %s\n", png, reason.c_str());
            }
            return EXIT_ICON_FAILED;
        }
        start = end + 1;
    }
    return EXIT_DONE;
}

std::string AnimatedPngName(const char* png)
{
    std::string name = png;
    const std::string png_ending = ".png";
    if (name.size() >= png_ending.size() &&
        name.compare(name.size() - png_ending.size(), png_ending.size(), png_ending) == 0) {
        name.resize(name.size() - png_ending.size());
    }
    return name + ".animated.png";
}
