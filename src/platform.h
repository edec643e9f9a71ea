// The calls that differ between operating systems, one source file per platform.
#ifndef GALLIVOX_PLATFORM_H
#define GALLIVOX_PLATFORM_H

#include <cstdio>

// Returns 1 when `path` exists and names the file open on `stream` (a link or
// another spelling of the same file counts), 0 otherwise.
int platform_same_file(FILE* stream, const char* path);

// Returns 1 when `path` itself, not a link to it, is a regular file and is
// the file open on `stream`; only such a file may be removed after a failed
// write without losing anything the caller did not ask to replace.
int platform_is_own_regular_file(FILE* stream, const char* path);

#endif
