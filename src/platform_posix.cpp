// POSIX side of the platform layer. 64-bit file offsets are asked for in the
// build (_FILE_OFFSET_BITS=64), so off_t reaches past 2 GiB on 32-bit hosts.
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

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

// A link chain longer than this is a loop, as the kernel counts them.
const int MAX_LINK_HOPS = 40;

// The part of a link's own name that stays when it is replaced by its text:
// up to and including the last '/', or nothing.
static size_t directory_length(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

// What the link `link` (of `link_size` bytes of text) points at, as a path
// from the same place as `link`'s own; a heap string, or null.
static char* link_destination(const char* link, off_t link_size)
{
    size_t text_size = link_size > 0 ? static_cast<size_t>(link_size) : PATH_MAX;
    char* text = static_cast<char*>(malloc(text_size + 1));
    ssize_t got = text != nullptr ? readlink(link, text, text_size + 1) : -1;
    if (got < 0 || static_cast<size_t>(got) > text_size) {
        free(text);
        return nullptr;
    }
    text[got] = 0;
    if (text[0] == '/') {
        return text;
    }
    size_t kept = directory_length(link);
    char* joined = static_cast<char*>(malloc(kept + static_cast<size_t>(got) + 1));
    if (joined != nullptr) {
        memcpy(joined, link, kept);
        memcpy(joined + kept, text, static_cast<size_t>(got) + 1);
    }
    free(text);
    return joined;
}

// Follows `path` through its symbolic links to the file they finally name,
// which need not exist yet; `*exists` tells whether it does, and `*found`
// holds its status then. Returns a heap string, or null when the chain
// cannot be followed (a loop, a link under /proc such as /dev/stdout, whose
// text names a descriptor rather than a file): such a path is written in place.
static char* final_target(const char* path, struct stat* found, int* exists)
{
    char* current = strdup(path);
    // Up to MAX_LINK_HOPS links are followed, so one more name is looked at.
    for (int hop = 0; current != nullptr && hop <= MAX_LINK_HOPS; hop++) {
        if (strncmp(current, "/proc/", 6) == 0) {
            break;
        }
        *exists = lstat(current, found) == 0;
        if (!*exists || !S_ISLNK(found->st_mode)) {
            return current;
        }
        char* next = link_destination(current, found->st_size);
        free(current);
        current = next;
    }
    free(current);
    return nullptr;
}

static int error_or_eio()
{
    return errno != 0 ? errno : EIO;
}

// Writes the whole block to `fd`; returns 0 or an errno value.
static int write_all(int fd, const unsigned char* data, size_t size)
{
    while (size > 0) {
        errno = 0;
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return error_or_eio();
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

// The old way, for what cannot be replaced by a rename: truncate and write,
// as fopen(path, "wb") would. A failure leaves what was written; nothing is
// removed.
static int write_in_place(const char* path, const unsigned char* data, size_t size)
{
    errno = 0;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return error_or_eio();
    }
    int error = write_all(fd, data, size);
    errno = 0;
    if (close(fd) != 0 && error == 0) {
        error = error_or_eio();
    }
    return error;
}

// Longest part of the output's name carried into its temporary file's name,
// so that ".NAME.XXXXXX" fits in a directory entry on any file system.
const size_t MAX_NAME_IN_TEMPORARY = 128;

// "DIR/.NAME.XXXXXX" for the file `target`, as mkstemp wants it; a heap string.
static char* temporary_template(const char* target)
{
    size_t dir_length = directory_length(target);
    const char* name = target + dir_length;
    size_t name_length = strnlen(name, MAX_NAME_IN_TEMPORARY);
    size_t size = dir_length + name_length + sizeof "..XXXXXX";
    char* temp = static_cast<char*>(malloc(size));
    if (temp != nullptr) {
        snprintf(temp, size, "%.*s.%.*s.XXXXXX", static_cast<int>(dir_length), target,
                 static_cast<int>(name_length), name);
    }
    return temp;
}

static mode_t creation_mode()
{
    // umask can only be read by setting it; it is put back at once.
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes, closes and renames the temporary file `fd`, named `temp`, over
// `target`; removes it on any failure. Returns 0 or an errno value.
static int finish_temporary(int fd, const char* temp, const char* target, mode_t mode,
                            const unsigned char* data, size_t size)
{
    int error = 0;
    // FAT file systems (memory cards among them) refuse permission bits:
    // the file then keeps the bits they give it.
    if (fchmod(fd, mode) != 0 && errno != EPERM && errno != ENOTSUP) {
        error = error_or_eio();
    }
    if (error == 0) {
        error = write_all(fd, data, size);
    }
    errno = 0;
    if (close(fd) != 0 && error == 0) {
        error = error_or_eio();
    }
    errno = 0;
    if (error == 0 && rename(temp, target) != 0) {
        error = error_or_eio();
    }
    if (error != 0) {
        unlink(temp);
    }
    return error;
}

int platform_replace_file(const char* path, const unsigned char* data, size_t size)
{
    struct stat existing;
    int exists = 0;
    char* target = final_target(path, &existing, &exists);
    if (target == nullptr || (exists && !S_ISREG(existing.st_mode))) {
        free(target);
        return write_in_place(path, data, size);
    }
    char* temp = temporary_template(target);
    errno = 0;
    int fd = temp != nullptr ? mkstemp(temp) : -1;
    int error = 0;
    if (fd >= 0) {
        mode_t mode = exists ? existing.st_mode & 07777 : creation_mode();
        error = finish_temporary(fd, temp, target, mode, data, size);
    } else if (errno == EACCES || errno == EPERM) {
        // No new file may be made here: an output that is writable itself
        // is still written, in place.
        error = write_in_place(path, data, size);
    } else {
        error = error_or_eio();
    }
    free(temp);
    free(target);
    return error;
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
