// POSIX side of the platform layer. 64-bit file offsets are asked for in the
// build (_FILE_OFFSET_BITS=64), so off_t reaches past 2 GiB on 32-bit hosts.
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

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

int platform_seek_absolute(FILE* stream, int64_t offset)
{
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET);
}

int64_t platform_stream_position(FILE* stream)
{
    return ftello(stream);
}

int64_t platform_file_end(const char* path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    off_t end = lseek(fd, 0, SEEK_END);
    if (close(fd) != 0) {
        return -1;
    }
    return end;
}

PlatformLengthResult platform_set_file_length(const char* path, uint64_t length)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0) {
        return PLATFORM_LENGTH_NOT_OPENED;
    }
    bool set = length <= static_cast<uint64_t>(INT64_MAX) && ftruncate(fd, static_cast<off_t>(length)) == 0;
    bool closed = close(fd) == 0;
    return set && closed ? PLATFORM_LENGTH_SET : PLATFORM_LENGTH_NOT_SET;
}

int platform_make_directory(const char* path)
{
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

char* platform_current_directory(char* buffer, int size)
{
    return getcwd(buffer, static_cast<size_t>(size));
}
