// The calls that differ between operating systems, one source file per
// platform, so that the modules above carry no conditional code.
#ifndef GALLIVOX_PLATFORM_H
#define GALLIVOX_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Longest part of an output's name carried into the name of its temporary
// file, so that ".NAME.XXXXXX" fits in a directory entry on any file system.
const size_t MAX_NAME_IN_TEMPORARY = 128;

// Returns 1 when `path` exists and names the file open on `stream` (a link or
// another spelling of the same file counts), 0 otherwise.
int platform_same_file(FILE* stream, const char* path);

// Replaces the content of the file `path` with the `size` bytes at `data` in
// one step: they go to a new hidden file beside it (".NAME.XXXXXX", with the
// old file's permission bits, or 0666 less the umask), which is renamed over
// it once every write and the close have succeeded, so a kill or a failure
// leaves the old file or the new one, never a mix. A symbolic link stays a
// link: the file it finally points at is replaced. A hard link is split off:
// the other names keep the old content. Written in place instead, as by
// fopen, and never removed: what is not a regular file (a device, a FIFO, a
// descriptor link such as /dev/stdout), and an output in a directory where no
// new file may be created. Returns 0, or the errno value of the failed step
// (never 0 then); on failure only the temporary file is removed.
int platform_replace_file(const char* path, const unsigned char* data, size_t size);

// What lies at an output's path before a batch writes it.
enum PlatformExisting {
    EXISTING_NONE,        // nothing: the name is free
    EXISTING_FILE,        // a regular file, whose bytes were read
    EXISTING_LINK,        // a symbolic link (on Windows, any reparse point), never followed
    EXISTING_OTHER,       // a folder, a FIFO, a device or a socket
    EXISTING_UNREADABLE,  // something that cannot be looked at or read
};

// Looks at `path` without following a link and, where it is a regular file,
// stores its bytes in `bytes`, at most `limit` + 1 of them (more than
// `limit` tells a larger file). Never waits on a FIFO or a device.
PlatformExisting platform_existing_output(const char* path, size_t limit, std::vector<uint8_t>* bytes);

// Creates the file `path` holding the `size` bytes at `data` in one step, as
// platform_replace_file does, but never in place of anything: where `path`
// exists, or comes to exist meanwhile, nothing is changed and the result is
// EEXIST. Returns 0, or the errno value of the failed step; on failure only
// the temporary file is removed.
int platform_create_file(const char* path, const unsigned char* data, size_t size);

// Makes the folder `path` (with `parent_only`, the folder that holds the
// file `path`) with any missing parents, as mkdir -p does. Returns 0 (also
// when it is there already), or the errno value of the failure: EEXIST
// where a file has its name, ENOTDIR where a file has a parent's.
int platform_make_folders(const char* path, int parent_only);

// Returns 1 when the names of files made in the folder `path` must keep
// Windows' rules: always on Windows; elsewhere, where the folder lies on a
// FAT, exFAT or NTFS file system (a memory card, a disk shared with Windows).
int platform_windows_names(const char* path);

// Writes the `size` bytes at `data` into `path` in place, when it names an
// existing regular file that is empty (a thumbnail service made it, and reads
// it back through its own descriptor): the same file, never a new one. A
// failure cuts it back to empty. Returns 0, the errno value of the failed
// step, or -1 (having done nothing) when `path` is no such file.
int platform_fill_empty_file(const char* path, const unsigned char* data, size_t size);

// Makes a write past the file-size limit fail with EFBIG, as every other
// failed write does, instead of killing the process half-way through an
// output that is written in place. Nothing where there is no such signal.
void platform_ignore_file_size_signal();

// Positions `stream` at `offset` bytes from the start of its file, for
// offsets beyond what a long can hold. Returns 0, or nonzero on failure.
int platform_seek_absolute(FILE* stream, int64_t offset);

// Opens `path` for binary reading where it is a regular file (or a link to
// one), never waiting on a FIFO or a device. Returns the stream; or null
// with errno set, EINVAL where it is something other than a regular file.
FILE* platform_open_regular_file(const char* path);

// Returns the position of `stream` as a 64-bit byte count, or -1.
int64_t platform_stream_position(FILE* stream);

// Returns the size of the file open on `stream` (moving the stream to its
// end), or -1 when it cannot be found.
int64_t platform_stream_end(FILE* stream);

// Opens `path` read-only, finds the position of its end and closes it again.
// Returns that position (the file's size), or -1 when any step fails.
int64_t platform_file_end(const char* path);

// Results of platform_set_file_length.
enum PlatformLengthResult {
    PLATFORM_LENGTH_SET = 0,
    PLATFORM_LENGTH_NOT_OPENED = 1,  // missing, or not openable for writing
    PLATFORM_LENGTH_NOT_SET = 2,     // opened, but the length could not be set
};

// Makes the existing file `path` exactly `length` bytes long, cutting it or
// growing it (with zero bytes); never creates a file.
PlatformLengthResult platform_set_file_length(const char* path, uint64_t length);

// The path of `name` in the user's configuration folder for `folder`:
// $XDG_CONFIG_HOME/folder/name, by default ~/.config/folder/name; on
// Windows %APPDATA%\folder\name. Empty when the environment names none.
std::string platform_config_path(const char* folder, const char* name);

// An entry of a folder: its name, and what it is.
struct PlatformEntry {
    std::string name;
    int is_folder;   // a folder, or a link to one
    int is_link;     // a symbolic link (or, on Windows, another reparse point)
    int is_regular;  // a regular file, or a link to one: no FIFO, socket or device
};

// Stores the entries of the folder `path` (but "." and "..") in `entries`,
// in no particular order. Returns 0, or the errno value of the failure.
int platform_list_folder(const char* path, std::vector<PlatformEntry>* entries);

// The characters that part a path's folders: "/" here, "/\\" on Windows.
const char* platform_folder_separators();

// Returns 1 when `path` names a folder (through links), else 0.
int platform_is_folder(const char* path);

// Creates the directory `path`; returns 0, or -1 when it exists or cannot be made.
int platform_make_directory(const char* path);

// Stores the current working directory in `buffer` of `size` (0 or more)
// bytes; returns `buffer`, or null when it does not fit or cannot be found.
char* platform_current_directory(char* buffer, int size);

#endif
