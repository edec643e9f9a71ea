#include "platform.h"

#include <sys/stat.h>

static int same_inode(const struct stat* a, const struct stat* b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

int platform_same_file(FILE* stream, const char* path)
{
    struct stat open_file;
    struct stat named_file;
    if (fstat(fileno(stream), &open_file) != 0 || stat(path, &named_file) != 0) {
        return 0;
    }
    return same_inode(&open_file, &named_file);
}

int platform_is_own_regular_file(FILE* stream, const char* path)
{
    struct stat open_file;
    struct stat named_file;
    if (fstat(fileno(stream), &open_file) != 0 || lstat(path, &named_file) != 0) {
        return 0;
    }
    return S_ISREG(named_file.st_mode) && same_inode(&open_file, &named_file);
}
