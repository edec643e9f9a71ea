// Windows side of the platform layer, with the C runtime's descriptor and
// directory calls and the Win32 file-handle calls.
#include "platform.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// Names reach the layer in the process's ANSI code page, which the
// manifest makes UTF-8. The routines that the tool itself uses convert them
// once and call the wide functions, as the C runtime's fopen does: the ANSI
// functions convert through a buffer of MAX_PATH characters and refuse
// longer paths (error 206) even where the system takes them.
static wchar_t* wide_name(const char* name)
{
    int length = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    wchar_t* wide = length > 0 ? static_cast<wchar_t*>(malloc(sizeof(wchar_t) * static_cast<size_t>(length))) : nullptr;
    if (wide != nullptr && MultiByteToWideChar(CP_ACP, 0, name, -1, wide, length) != length) {
        free(wide);
        wide = nullptr;
    }
    if (wide == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return wide;
}

// Identity of the file behind a handle: volume and file index.
static int file_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, info) != 0;
}

static int same_identity(const BY_HANDLE_FILE_INFORMATION* a, const BY_HANDLE_FILE_INFORMATION* b)
{
    return a->dwVolumeSerialNumber == b->dwVolumeSerialNumber && a->nFileIndexHigh == b->nFileIndexHigh &&
           a->nFileIndexLow == b->nFileIndexLow;
}

static HANDLE stream_handle(FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Opens `path`, through any links, for nothing but its attributes.
static HANDLE open_for_identity(const wchar_t* path)
{
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int platform_same_file(FILE* stream, const char* path)
{
    BY_HANDLE_FILE_INFORMATION open_file;
    BY_HANDLE_FILE_INFORMATION named_file;
    wchar_t* name = wide_name(path);
    if (name == nullptr || !file_identity(stream_handle(stream), &open_file)) {
        free(name);
        return 0;
    }
    HANDLE named = open_for_identity(name);
    int same = file_identity(named, &named_file) && same_identity(&open_file, &named_file);
    if (named != INVALID_HANDLE_VALUE) {
        CloseHandle(named);
    }
    free(name);
    return same;
}

// Windows' error codes as the C runtime's errno values, for the messages.
static int errno_from_windows(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
        return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    default:
        return EIO;
    }
}

static int last_error()
{
    return errno_from_windows(GetLastError());
}

// The file an output's links finally name, and whether a rename can put a
// new file there.
struct Target {
    wchar_t* path;    // a heap string; null when there is no memory for it
    int replaceable;  // a file on a disk, or nothing yet
};

// Whether `name` exists as something other than a file on a disk (a device
// such as NUL, or a directory, which refuses).
static int is_device_or_directory(const wchar_t* name)
{
    HANDLE file = open_for_identity(name);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int other = GetFileType(file) != FILE_TYPE_DISK ||
                (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CloseHandle(file);
    return other;
}

// Follows `name` through its symbolic links, when it is one, to the file
// they finally name; otherwise the target is `name` itself.
static void final_target(const wchar_t* name, Target* target)
{
    target->replaceable = !is_device_or_directory(name);
    target->path = nullptr;
    DWORD attributes = GetFileAttributesW(name);
    HANDLE file = INVALID_HANDLE_VALUE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        file = open_for_identity(name);
    }
    if (file != INVALID_HANDLE_VALUE) {
        DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
        DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
        target->path = size != 0 ? static_cast<wchar_t*>(malloc(sizeof(wchar_t) * (size + 1))) : nullptr;
        if (target->path != nullptr && GetFinalPathNameByHandleW(file, target->path, size + 1, flags) - 1 >= size) {
            free(target->path);
            target->path = nullptr;
        }
        CloseHandle(file);
    }
    if (target->path == nullptr) {
        target->path = _wcsdup(name);
    }
}

// Writes the whole block to `file` and closes it; returns 0 or an errno value.
static int write_and_close(HANDLE file, const unsigned char* data, size_t size)
{
    int error = 0;
    while (size > 0 && error == 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
            error = last_error();
            break;
        }
        data += written;
        size -= written;
    }
    if (!CloseHandle(file) && error == 0) {
        error = last_error();
    }
    return error;
}

// The old way, for what cannot be replaced by a rename: truncate and write.
// A failure leaves what was written; nothing is removed.
static int write_in_place(const wchar_t* name, const unsigned char* data, size_t size)
{
    HANDLE file =
        CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    return write_and_close(file, data, size);
}

// Creates ".NAME.XXXXXX" beside the target, new and for writing alone;
// stores its name in `temp` (a heap string). Returns the handle, or
// INVALID_HANDLE_VALUE with the reason in the thread's last error.
static HANDLE create_temporary(const Target* target, wchar_t** temp)
{
    const wchar_t* name = target->path;
    for (const wchar_t* c = target->path; *c != 0; c++) {
        if (*c == L'/' || *c == L'\\') {
            name = c + 1;
        }
    }
    int dir_length = static_cast<int>(name - target->path);
    int name_length = static_cast<int>(wcsnlen(name, MAX_NAME_IN_TEMPORARY));
    size_t size = static_cast<size_t>(dir_length + name_length) + sizeof "..XXXXXX";
    *temp = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * size));
    if (*temp == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint32_t seed = static_cast<uint32_t>(now.QuadPart) ^ (GetCurrentProcessId() << 16);
    for (uint32_t attempt = 0; attempt < 100; attempt++) {
        // CREATE_NEW makes the name exclusive; the suffix only avoids retries.
        unsigned suffix = (seed + attempt * 2654435761u) % 0x1000000;
        _snwprintf(*temp, size, L"%.*ls.%.*ls.%06x", dir_length, target->path, name_length, name, suffix);
        HANDLE file = CreateFileW(*temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// Writes the bytes to a new temporary file beside the target and moves it
// to the target's place with `move_flags` (MOVEFILE_REPLACE_EXISTING: over
// whatever is there; 0: only where nothing is). Returns 0, or the errno
// value of the failed step (EEXIST for a place not free); on failure only
// the temporary file is removed. Stores in `*no_temporary` the system's
// error where no temporary file could be made, else 0.
static int write_through_temporary(const Target* target, const unsigned char* data, size_t size, DWORD move_flags,
                                   DWORD* no_temporary)
{
    wchar_t* temp = nullptr;
    HANDLE file = create_temporary(target, &temp);
    *no_temporary = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    int error = file == INVALID_HANDLE_VALUE ? last_error() : write_and_close(file, data, size);
    if (file != INVALID_HANDLE_VALUE && error == 0 && !MoveFileExW(temp, target->path, move_flags)) {
        error = last_error();
    }
    if (file != INVALID_HANDLE_VALUE && error != 0) {
        DeleteFileW(temp);
    }
    free(temp);
    return error;
}

// Writes the new file beside the target and moves it over the target.
static int replace_through_temporary(const wchar_t* name, const Target* target, const unsigned char* data, size_t size)
{
    DWORD no_temporary = 0;
    int error = write_through_temporary(target, data, size, MOVEFILE_REPLACE_EXISTING, &no_temporary);
    if (no_temporary == ERROR_ACCESS_DENIED) {
        // No new file may be made here: an output that is writable itself
        // is still written, in place.
        error = write_in_place(name, data, size);
    }
    return error;
}

int platform_replace_file(const char* path, const unsigned char* data, size_t size)
{
    wchar_t* name = wide_name(path);
    if (name == nullptr) {
        return ENOMEM;
    }
    Target target;
    final_target(name, &target);
    int error = target.path != nullptr && target.replaceable ? replace_through_temporary(name, &target, data, size)
                                                             : write_in_place(name, data, size);
    free(target.path);
    free(name);
    return error;
}

// Reads at most `limit` + 1 bytes of the open file into `bytes` and closes
// it. Returns 1 when every read succeeded.
static int read_and_close(HANDLE file, size_t limit, std::vector<uint8_t>* bytes)
{
    int read_all = 1;
    bytes->clear();
    uint8_t block[16384];
    while (bytes->size() <= limit) {
        DWORD got = 0;
        if (!ReadFile(file, block, sizeof block, &got, nullptr)) {
            read_all = 0;
            break;
        }
        if (got == 0) {
            break;
        }
        bytes->insert(bytes->end(), block, block + got);
    }
    CloseHandle(file);
    return read_all;
}

PlatformExisting platform_existing_output(const char* path, size_t limit, std::vector<uint8_t>* bytes)
{
    wchar_t* name = wide_name(path);
    DWORD attributes = name != nullptr ? GetFileAttributesW(name) : INVALID_FILE_ATTRIBUTES;
    DWORD error = GetLastError();
    PlatformExisting existing = EXISTING_UNREADABLE;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        existing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EXISTING_NONE : EXISTING_UNREADABLE;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        existing = EXISTING_LINK;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        existing = EXISTING_OTHER;
    } else {
        // Never through a reparse point put there meanwhile.
        HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
            CloseHandle(file);
            existing = EXISTING_OTHER;
        } else if (file != INVALID_HANDLE_VALUE) {
            existing = read_and_close(file, limit, bytes) ? EXISTING_FILE : EXISTING_UNREADABLE;
        }
    }
    free(name);
    return existing;
}

int platform_create_file(const char* path, const unsigned char* data, size_t size)
{
    wchar_t* name = wide_name(path);
    if (name == nullptr) {
        return ENOMEM;
    }
    Target target = {name, 1};
    DWORD no_temporary = 0;
    int error = write_through_temporary(&target, data, size, 0, &no_temporary);
    free(name);
    return error;
}

int platform_make_folders(const char* path, int parent_only)
{
    std::string folder = path;
    if (parent_only) {
        size_t slash = folder.find_last_of("/\\");
        folder.resize(slash == std::string::npos ? 0 : slash + 1);
    }
    if (folder.empty()) {
        return 0;  // the current folder
    }
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\') && folder[folder.size() - 2] != ':') {
        folder.pop_back();
    }
    if (platform_is_folder(folder.c_str())) {
        return 0;
    }
    size_t slash = folder.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0 && folder[slash - 1] != ':') {
        int error = platform_make_folders(folder.substr(0, slash).c_str(), 0);
        if (error != 0) {
            return error == EEXIST ? ENOTDIR : error;  // a file on the way
        }
    }
    wchar_t* name = wide_name(folder.c_str());
    int error = name == nullptr ? ENOMEM : CreateDirectoryW(name, nullptr) ? 0 : last_error();
    free(name);
    // Made meanwhile by another worker: as good.
    return error == EEXIST && platform_is_folder(folder.c_str()) ? 0 : error;
}

int platform_windows_names(const char*)
{
    return 1;
}

int platform_fill_empty_file(const char* path, const unsigned char* data, size_t size)
{
    wchar_t* name = wide_name(path);
    if (name == nullptr) {
        return -1;
    }
    HANDLE file = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    free(name);
    LARGE_INTEGER length;
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &length) || length.QuadPart != 0) {
        CloseHandle(file);
        return -1;
    }
    int error = write_and_close(file, data, size);
    if (error != 0) {
        platform_set_file_length(path, 0);
    }
    return error;
}

std::string platform_config_path(const char* folder, const char* name)
{
    const char* appdata = getenv("APPDATA");
    return appdata != nullptr && appdata[0] != 0 ? std::string(appdata) + "\\" + folder + "\\" + name : "";
}

void platform_ignore_file_size_signal() {}

int platform_seek_absolute(FILE* stream, int64_t offset)
{
    // The runtime's stream position is a plain 64-bit byte offset.
    fpos_t position = offset;
    return fsetpos(stream, &position);
}

FILE* platform_open_regular_file(const char* path)
{
    wchar_t* name = wide_name(path);
    DWORD attributes = name != nullptr ? GetFileAttributesW(name) : INVALID_FILE_ATTRIBUTES;
    FILE* file = nullptr;
    errno = 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EINVAL;
    } else if (name != nullptr) {
        file = _wfopen(name, L"rb");
    }
    // A device or a pipe by name (\\.\pipe\...): no file on a disk.
    if (file != nullptr && GetFileType(stream_handle(file)) != FILE_TYPE_DISK) {
        fclose(file);
        file = nullptr;
        errno = EINVAL;
    }
    free(name);
    return file;
}

int64_t platform_stream_position(FILE* stream)
{
    // ftell's long is 32 bits here and wraps past 4 GiB without failing.
    return _ftelli64(stream);
}

int64_t platform_stream_end(FILE* stream)
{
    return _fseeki64(stream, 0, SEEK_END) == 0 ? _ftelli64(stream) : -1;
}

int64_t platform_file_end(const char* path)
{
    int fd = _open(path, _O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    int64_t end = _lseeki64(fd, 0, SEEK_END);
    if (_close(fd) != 0) {
        return -1;
    }
    return end;
}

PlatformLengthResult platform_set_file_length(const char* path, uint64_t length)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return PLATFORM_LENGTH_NOT_OPENED;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(length);
    bool set = length <= static_cast<uint64_t>(INT64_MAX) && SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) &&
               SetEndOfFile(file);
    bool closed = CloseHandle(file) != 0;
    return set && closed ? PLATFORM_LENGTH_SET : PLATFORM_LENGTH_NOT_SET;
}

// The UTF-8 name of a wide one (the ANSI code page is UTF-8).
static std::string narrow_name(const wchar_t* wide)
{
    int length = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string name(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, -1, &name[0], length, nullptr, nullptr);
    name.resize(name.size() - 1);
    return name;
}

int platform_list_folder(const char* path, std::vector<PlatformEntry>* entries)
{
    wchar_t* pattern = wide_name((std::string(path) + "\\*").c_str());
    if (pattern == nullptr) {
        return ENOMEM;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    free(pattern);
    if (search == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        int is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        int is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        // A folder holds no devices or pipes on Windows: what is no folder is a file.
        entries->push_back(PlatformEntry{narrow_name(found.cFileName), is_folder, is_link, !is_folder});
    } while (FindNextFileW(search, &found));
    int error = GetLastError() == ERROR_NO_MORE_FILES ? 0 : last_error();
    FindClose(search);
    return error;
}

const char* platform_folder_separators()
{
    return "/\\";
}

int platform_is_folder(const char* path)
{
    wchar_t* wide = wide_name(path);
    DWORD attributes = wide != nullptr ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    free(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int platform_make_directory(const char* path)
{
    return _mkdir(path) == 0 ? 0 : -1;
}

char* platform_current_directory(char* buffer, int size)
{
    return _getcwd(buffer, size);
}
