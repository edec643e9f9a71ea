// Replays saved inputs through a fuzz target without libFuzzer, so that the
// seed corpus and past findings run in every ordinary build.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool replay_file(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        fprintf(stderr, "Could not open %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    int c;
    while ((c = fgetc(file)) != EOF) {
        bytes.push_back(static_cast<uint8_t>(c));
    }
    bool read_ok = !ferror(file);
    fclose(file);
    if (!read_ok) {
        fprintf(stderr, "Could not read %s\n", path.c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char** argv)
{
    size_t replayed = 0;
    for (int i = 1; i < argc; i++) {
        struct stat info;
        if (stat(argv[i], &info) == 0 && S_ISDIR(info.st_mode)) {
            DIR* dir = opendir(argv[i]);
            if (dir == nullptr) {
                fprintf(stderr, "Could not open %s\n", argv[i]);
                return 1;
            }
            while (dirent* entry = readdir(dir)) {
                if (entry->d_name[0] != '.') {
                    replayed += replay_file(std::string(argv[i]) + "/" + entry->d_name) ? 1 : 0;
                }
            }
            closedir(dir);
        } else if (replay_file(argv[i])) {
            replayed++;
        } else {
            return 1;
        }
    }
    printf("replayed %zu inputs\n", replayed);
    return replayed == 0 ? 1 : 0;
}
