// Windows side of the platform layer, with the C runtime's descriptor and
// directory calls and the Win32 file-handle calls.
#include "platform.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>

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

// Opens `path` for nothing but its attributes, following links when asked.
static HANDLE open_for_identity(const char* path, int follow_links)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

static int stream_is_path(FILE* stream, const char* path, int follow_links)
{
    BY_HANDLE_FILE_INFORMATION open_file;
    BY_HANDLE_FILE_INFORMATION named_file;
    if (!file_identity(stream_handle(stream), &open_file)) {
        return 0;
    }
    HANDLE named = open_for_identity(path, follow_links);
    int same = file_identity(named, &named_file) && same_identity(&open_file, &named_file);
    if (named != INVALID_HANDLE_VALUE) {
        CloseHandle(named);
    }
    return same;
}

int platform_same_file(FILE* stream, const char* path)
{
    return stream_is_path(stream, path, 1);
}

int platform_is_own_regular_file(FILE* stream, const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        GetFileType(stream_handle(stream)) != FILE_TYPE_DISK) {
        return 0;
    }
    return stream_is_path(stream, path, 0);
}

int platform_seek_absolute(FILE* stream, int64_t offset)
{
    // The runtime's stream position is a plain 64-bit byte offset.
    fpos_t position = offset;
    return fsetpos(stream, &position);
}

int64_t platform_stream_position(FILE* stream)
{
    // ftell's long is 32 bits here and wraps past 4 GiB without failing.
    return _ftelli64(stream);
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

int platform_make_directory(const char* path)
{
    return _mkdir(path) == 0 ? 0 : -1;
}

char* platform_current_directory(char* buffer, int size)
{
    return _getcwd(buffer, size);
}
