#include "main.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "batch.h"
#include "info.h"
#include "job.h"
#include "platform.h"
#include "thumbnail.h"
#include "utils.h"

// Scans options from index 1 up to argc - 2: the last argument is only ever
// a value. An option whose value begins with "-" is ignored.
static void parse_options(int argc, char** argv, Job* job)
{
    for (int i = 1; i < argc - 1; i++) {
        const char* value = argv[i + 1];
        if (value[0] == '-') {
            continue;
        }
        if (strcmp(argv[i], "-i") == 0) {
            job->input = value;
        } else if (strcmp(argv[i], "-l") == 0) {
            job->outputs[SLOT_LARGE] = value;
        } else if (strcmp(argv[i], "-s") == 0) {
            job->outputs[SLOT_SMALL] = value;
        } else if (strcmp(argv[i], "-a") == 0) {
            job->animated = value;
        }
    }
}

// The one-argument form: the large icon of `input`, beside it as NAME.png.
static int run_beside(const char* input, KeyRing* keys)
{
    char derived_name[DERIVED_NAME_SIZE] = {0};
    if (append_filextention(derived_name, DERIVED_NAME_SIZE, input, ".png") != 0) {
        return EXIT_USAGE;
    }
    Job job = {input, {nullptr, derived_name}, nullptr, "", stdout, nullptr, keys, 0, OUTPUT_REPLACE, 0, 0};
    return RunJob(&job);
}

// Returns 1 when `path` names no file at all, so that a lone "--help" can
// mean the option, yet a file of that name is still converted.
static int names_no_file(const char* path)
{
    errno = 0;
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
        fclose(file);
        return 0;
    }
    return errno == ENOENT;
}

static void print_help()
{
    fputs("Gallivox v0.4 by Orrimand\n"
          "Writes the icons of ICN (SMDH) icon files as PNG images, and of the files that\n"
          "carry one: 3DSX executables, CIA archives, NCSD card images (.3ds, .cci) and\n"
          "NCCH images (.cxi, .cfa, .app), each also compressed (Z3DS: .zcia, .zcci,\n"
          ".zcxi, .z3dsx), the emulator's bundles of them (.bcci, .bcxi, .bcia: the\n"
          "application's icon), and the DS banner of DS ROM images (.nds, .dsi, .srl),\n"
          "raw banners (banner.bin, .bnr) and CIAs of DS titles: its 32x32 icon is the\n"
          "large icon (-s: none), transparent where the palette says. Formats are told\n"
          "apart by their first bytes; pipes work too. Encrypted files open with your own\n"
          "keys: the key file GALLIVOX_KEYS names, or keys.txt in your configuration\n"
          "folder for gallivox (see README).\n"
          "\n"
          "Usage:\n"
          "  gallivox -i FILE -l LARGE.png -s SMALL.png -a ANIMATED.png\n"
          "                            the 48x48 and 24x24 icons, and a DSi title's\n"
          "                            animated icon as an animated PNG (any of them)\n"
          "  gallivox FILE             the large icon, beside FILE as NAME.png\n"
          "  gallivox --batch [OPTION]... [--] FILE-OR-FOLDER...\n"
          "                            each FILE as by the form above, in one process; a\n"
          "                            folder stands for its files. A file already at a\n"
          "                            PNG's name is left as it is: done where it holds the\n"
          "                            same picture, else kept (one line counts them).\n"
          "                            Options, anywhere before --:\n"
          "      --into DIR            the PNGs in DIR (made as needed), each folder named\n"
          "                            mirrored below it\n"
          "      --retroarch           with --into: every PNG straight in DIR, named as\n"
          "                            RetroArch looks for it (&*/:`<>?\\| become _)\n"
          "      --size N              the picture of --thumbnail N\n"
          "      --force               replace the existing files that differ\n"
          "      --verbose             name each existing file kept, and why\n"
          "      --animated            each DSi animated icon too, as NAME.animated.png\n"
          "  gallivox --info FILE-OR-FOLDER...\n"
          "                            titles, ratings, regions and flags, as JSON\n"
          "  gallivox --thumbnail SIZE FILE OUTPUT\n"
          "                            a thumbnail of at most SIZE pixels a side (1 to 4096):\n"
          "                            the icon enlarged, pixels kept sharp\n"
          "  gallivox --help | --version\n"
          "\n"
          "Exit status:\n"
          "  0  every icon was written (or every file described)\n"
          "  1  usage error, or no icon to read: not an ICN file, no icon, encrypted,\n"
          "     damaged\n"
          "  2  an input cannot be opened or read\n"
          "  3  an icon was not written, or a file's titles cannot be read\n"
          "  4  with --batch: existing files that differ were kept; all else was done\n"
          "  With --batch and --info, the gravest status of all the files, in the order\n"
          "  2, 3, 1, 4, 0.\n"
          "\n"
          "See the manual page, gallivox(1), for every message, and the guide,\n" GALLIVOX_GUIDE
          ", for examples and recipes.\n",
          stdout);
}

int GallivoxMain(int argc, char** argv)
{
    platform_ignore_file_size_signal();
    // The user's key file, read only when an encrypted file is met.
    KeyRing keys;
    if (argc <= 1) {
        puts("Gallivox v0.4 by Orrimand");
        printf("Usage: %s -i <ICN File> -l <Large Icon> -s <Small Icon>\n", argc == 1 ? argv[0] : "gallivox");
        return EXIT_USAGE;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0 && names_no_file(argv[1])) {
        puts("Gallivox v0.4 by Orrimand");
        return EXIT_DONE;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0 && names_no_file(argv[1])) {
        print_help();
        return EXIT_DONE;
    }
    if (argc == 2) {
        return run_beside(argv[1], &keys);
    }
    Job job = {nullptr, {nullptr, nullptr}, nullptr, "", stdout, nullptr, &keys, 0, OUTPUT_REPLACE, 0, 0};
    parse_options(argc, argv, &job);
    // Only where the options name no input, which was an error before.
    if (job.input == nullptr && strcmp(argv[1], "--batch") == 0) {
        return RunBatch(argc, argv, &keys);
    }
    if (job.input == nullptr && strcmp(argv[1], "--info") == 0) {
        return RunInfo(argc, argv, &keys);
    }
    if (job.input == nullptr && strcmp(argv[1], "--thumbnail") == 0) {
        return RunThumbnail(argc, argv, &keys);
    }
    if (job.input == nullptr) {
        fputs("No input ICN data specified.", stderr);
        return EXIT_USAGE;
    }
    if (job.outputs[SLOT_LARGE] == nullptr && job.outputs[SLOT_SMALL] == nullptr && job.animated == nullptr) {
        fputs("Nothing to do.", stderr);
        return EXIT_USAGE;
    }
    return RunJob(&job);
}
