// POSIX side of the platform layer. 64-bit file offsets are asked for in the
// build (_FILE_OFFSET_BITS=64), so off_t reaches past 2 GiB on 32-bit hosts.
#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

static int same_identity(const struct stat* a, const struct stat* b)
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
    return same_identity(&open_file, &named_file);
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

static int last_error()
{
    return errno != 0 ? errno : EIO;
}

// The file an output's links finally name, and whether a rename can put a
// new file there.
struct Target {
    char* path;       // a heap string; null when the links cannot be followed
    int replaceable;  // a regular file, or nothing yet
    mode_t mode;      // the permission bits its new file takes
};

// The process's umask, as the kernel reports it in /proc/self/status: read
// without setting it, which other threads (a batch's workers) would see.
// Where that cannot be read, by setting it and putting it back at once.
static mode_t current_umask()
{
    FILE* status = fopen("/proc/self/status", "re");
    char line[256];
    unsigned mask = 0;
    int found = 0;
    while (status != nullptr && !found && fgets(line, sizeof line, status) != nullptr) {
        found = sscanf(line, "Umask: %o", &mask) == 1;
    }
    if (status != nullptr) {
        fclose(status);
    }
    if (found) {
        return static_cast<mode_t>(mask);
    }
    mode_t set = umask(0);
    umask(set);
    return set;
}

static mode_t creation_mode()
{
    return 0666 & ~current_umask();
}

// Follows `name` through its symbolic links to the file they finally name,
// which need not exist yet. The path stays null when the chain cannot be
// followed (a loop, a link under /proc such as /dev/stdout, whose text names
// a descriptor rather than a file): such an output is written in place.
static void final_target(const char* name, Target* target)
{
    target->path = nullptr;
    char* current = strdup(name);
    // Up to MAX_LINK_HOPS links are followed, so one more name is looked at.
    for (int hop = 0; current != nullptr && hop <= MAX_LINK_HOPS; hop++) {
        if (strncmp(current, "/proc/", 6) == 0) {
            break;
        }
        struct stat found;
        int exists = lstat(current, &found) == 0;
        if (!exists || !S_ISLNK(found.st_mode)) {
            target->path = current;
            target->replaceable = !exists || S_ISREG(found.st_mode);
            target->mode = exists ? found.st_mode & 07777 : creation_mode();
            return;
        }
        char* next = link_destination(current, found.st_size);
        free(current);
        current = next;
    }
    free(current);
}

// Writes the whole block to `fd` and closes it; returns 0 or an errno value.
static int write_and_close(int fd, const unsigned char* data, size_t size)
{
    int error = 0;
    while (size > 0 && error == 0) {
        errno = 0;
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error = last_error();
            break;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    errno = 0;
    if (close(fd) != 0 && error == 0) {
        error = last_error();
    }
    return error;
}

// The old way, for what cannot be replaced by a rename: truncate and write,
// as fopen(name, "wb") would. A failure leaves what was written; nothing is
// removed.
static int write_in_place(const char* name, const unsigned char* data, size_t size)
{
    errno = 0;
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return last_error();
    }
    return write_and_close(fd, data, size);
}

// Creates ".NAME.XXXXXX" beside the target, new, with the target's
// permission bits; stores its name in `temp` (a heap string). Returns the
// descriptor, or -1 with the reason in errno.
static int create_temporary(const Target* target, char** temp)
{
    size_t dir_length = directory_length(target->path);
    const char* name = target->path + dir_length;
    size_t name_length = strnlen(name, MAX_NAME_IN_TEMPORARY);
    size_t size = dir_length + name_length + sizeof "..XXXXXX";
    errno = 0;
    *temp = static_cast<char*>(malloc(size));
    if (*temp == nullptr) {
        return -1;
    }
    snprintf(*temp, size, "%.*s.%.*s.XXXXXX", static_cast<int>(dir_length), target->path, static_cast<int>(name_length),
             name);
    int fd = mkstemp(*temp);
    // FAT file systems (memory cards among them) refuse permission bits:
    // the file then keeps the bits they give it.
    if (fd >= 0 && fchmod(fd, target->mode) != 0 && errno != EPERM && errno != ENOTSUP) {
        int error = errno;
        close(fd);
        unlink(*temp);
        errno = error;
        fd = -1;
    }
    return fd;
}

// Puts the finished temporary file `temp` at `path`, unless something is
// there. Returns 0, EEXIST, or the errno value of the failure.
static int move_to_free_name(const char* temp, const char* path)
{
    errno = 0;
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, path, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return last_error();
    }
    // A file system without that rename: a new hard link is as exclusive.
    errno = 0;
    if (link(temp, path) == 0) {
        unlink(temp);
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) {
        return last_error();
    }
    // Nor links (FAT): a look just before the rename leaves the least gap.
    struct stat found;
    if (lstat(path, &found) == 0) {
        return EEXIST;
    }
    errno = 0;
    return rename(temp, path) == 0 ? 0 : last_error();
}

// How a finished temporary file takes the target's place: over whatever is
// there, or only where nothing is.
enum Placing { PLACE_OVER, PLACE_IF_FREE };

// Writes the bytes to a new temporary file beside the target and puts it in
// the target's place as `placing` says. Returns 0, or the errno value of the
// failed step (EEXIST for a place not free); on failure only the temporary
// file is removed. Sets `*no_temporary` where none could be made.
static int write_through_temporary(const Target* target, const unsigned char* data, size_t size, Placing placing,
                                   int* no_temporary)
{
    char* temp = nullptr;
    int fd = create_temporary(target, &temp);
    *no_temporary = fd < 0;
    int error = fd < 0 ? last_error() : write_and_close(fd, data, size);
    if (fd >= 0 && error == 0) {
        errno = 0;
        error = placing == PLACE_IF_FREE          ? move_to_free_name(temp, target->path)
                : rename(temp, target->path) == 0 ? 0
                                                  : last_error();
    }
    if (fd >= 0 && error != 0) {
        unlink(temp);
    }
    free(temp);
    return error;
}

// Writes the new file beside the target and renames it over the target.
static int replace_through_temporary(const char* name, const Target* target, const unsigned char* data, size_t size)
{
    int no_temporary = 0;
    int error = write_through_temporary(target, data, size, PLACE_OVER, &no_temporary);
    if (no_temporary && (error == EACCES || error == EPERM)) {
        // No new file may be made here: an output that is writable itself
        // is still written, in place.
        error = write_in_place(name, data, size);
    }
    return error;
}

int platform_replace_file(const char* path, const unsigned char* data, size_t size)
{
    Target target;
    final_target(path, &target);
    int error = target.path != nullptr && target.replaceable ? replace_through_temporary(path, &target, data, size)
                                                             : write_in_place(path, data, size);
    free(target.path);
    return error;
}

// Reads at most `limit` + 1 bytes of the open regular file `fd` into `bytes`
// and closes it. Returns 0, or the errno value of a failed read.
static int read_and_close(int fd, size_t limit, std::vector<uint8_t>* bytes)
{
    int error = 0;
    bytes->clear();
    uint8_t block[16384];
    while (bytes->size() <= limit) {
        errno = 0;
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? last_error() : 0;
            break;
        }
        bytes->insert(bytes->end(), block, block + got);
    }
    close(fd);
    return error;
}

PlatformExisting platform_existing_output(const char* path, size_t limit, std::vector<uint8_t>* bytes)
{
    struct stat found;
    if (lstat(path, &found) != 0) {
        // A missing folder on the way is no file either: the write says why.
        return errno == ENOENT || errno == ENOTDIR ? EXISTING_NONE : EXISTING_UNREADABLE;
    }
    if (S_ISLNK(found.st_mode)) {
        return EXISTING_LINK;
    }
    if (!S_ISREG(found.st_mode)) {
        return EXISTING_OTHER;
    }
    // Not through a link, nor waiting on what was put there meanwhile.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ELOOP ? EXISTING_LINK : EXISTING_UNREADABLE;
    }
    if (fstat(fd, &found) != 0 || !S_ISREG(found.st_mode)) {
        close(fd);
        return EXISTING_OTHER;
    }
    return read_and_close(fd, limit, bytes) == 0 ? EXISTING_FILE : EXISTING_UNREADABLE;
}

int platform_create_file(const char* path, const unsigned char* data, size_t size)
{
    Target target = {strdup(path), 1, creation_mode()};
    if (target.path == nullptr) {
        return ENOMEM;
    }
    int no_temporary = 0;
    int error = write_through_temporary(&target, data, size, PLACE_IF_FREE, &no_temporary);
    free(target.path);
    return error;
}

int platform_make_folders(const char* path, int parent_only)
{
    std::string folder = path;
    if (parent_only) {
        size_t slash = folder.rfind('/');
        folder.resize(slash == std::string::npos ? 0 : slash + 1);
    }
    if (folder.empty()) {
        return 0;  // the current folder
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    if (platform_is_folder(folder.c_str())) {
        return 0;
    }
    size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        int error = platform_make_folders(folder.substr(0, slash).c_str(), 0);
        if (error != 0) {
            return error == EEXIST ? ENOTDIR : error;  // a file on the way
        }
    }
    errno = 0;
    if (mkdir(folder.c_str(), 0777) == 0 || (errno == EEXIST && platform_is_folder(folder.c_str()))) {
        return 0;  // made, or made meanwhile by another worker
    }
    return last_error();
}

int platform_windows_names(const char* path)
{
#ifdef __linux__
    // The file systems' own numbers (linux/magic.h): FAT, exFAT, NTFS (ntfs3
    // and the older driver).
    const unsigned long windows_kinds[] = {0x4d44, 0x2011BAB0, 0x7366746e, 0x5346544e};
    struct statfs found;
    if (statfs(path, &found) != 0) {
        return 0;
    }
    for (unsigned long kind : windows_kinds) {
        if (static_cast<unsigned long>(found.f_type) == kind) {
            return 1;
        }
    }
#else
    (void)path;
#endif
    return 0;
}

int platform_fill_empty_file(const char* path, const unsigned char* data, size_t size)
{
    // Without blocking: a FIFO that no one reads is not waited for (it is no
    // empty file either).
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status;
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 0) {
        close(fd);
        return -1;
    }
    int error = write_and_close(fd, data, size);
    if (error != 0) {
        platform_set_file_length(path, 0);
    }
    return error;
}

std::string platform_config_path(const char* folder, const char* name)
{
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return std::string(config) + "/" + folder + "/" + name;
    }
    const char* home = getenv("HOME");
    return home != nullptr && home[0] != 0 ? std::string(home) + "/.config/" + folder + "/" + name : "";
}

void platform_ignore_file_size_signal()
{
    signal(SIGXFSZ, SIG_IGN);
}

int platform_seek_absolute(FILE* stream, int64_t offset)
{
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET);
}

FILE* platform_open_regular_file(const char* path)
{
    errno = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat found;
    int regular = fstat(fd, &found) == 0 && S_ISREG(found.st_mode);
    // Blocking again for the reads, as a plain stream is.
    int flags = regular ? fcntl(fd, F_GETFL) : -1;
    FILE* file = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        int error = regular ? last_error() : EINVAL;
        close(fd);
        errno = error;
    }
    return file;
}

int64_t platform_stream_position(FILE* stream)
{
    return ftello(stream);
}

int64_t platform_stream_end(FILE* stream)
{
    return fseeko(stream, 0, SEEK_END) == 0 ? ftello(stream) : -1;
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

int platform_list_folder(const char* path, std::vector<PlatformEntry>* entries)
{
    DIR* folder = opendir(path);
    if (folder == nullptr) {
        return errno != 0 ? errno : EIO;
    }
    std::string prefix = std::string(path) + "/";
    errno = 0;
    for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        // The entry's type where the file system gives it, else its status.
        int is_link = entry->d_type == DT_LNK;
        int is_folder = entry->d_type == DT_DIR;
        int is_regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || is_link) {
            std::string full = prefix + entry->d_name;
            struct stat own;
            struct stat target;
            is_link = lstat(full.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
            int found = stat(full.c_str(), &target) == 0;
            is_folder = found && S_ISDIR(target.st_mode);
            is_regular = found && S_ISREG(target.st_mode);
        }
        entries->push_back(PlatformEntry{entry->d_name, is_folder, is_link, is_regular});
        errno = 0;
    }
    int error = errno;
    closedir(folder);
    return error;
}

const char* platform_folder_separators()
{
    return "/";
}

int platform_is_folder(const char* path)
{
    struct stat status;
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

int platform_make_directory(const char* path)
{
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

char* platform_current_directory(char* buffer, int size)
{
    return getcwd(buffer, static_cast<size_t>(size));
}
