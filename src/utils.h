// Shared utility routines: file naming, byte order, hex output and file helpers.
#ifndef GALLIVOX_UTILS_H
#define GALLIVOX_UTILS_H

#include <cstdint>

// Writes into `out` (of `out_size` bytes, cleared whole first) the name `in`
// with the text from its last "." (searched back to index 1, across directory
// separators) replaced by `extension`; without such a dot the extension is
// appended to the whole name. Returns 0 on success; 1 after printing
// "[!] Memory Error" when a pointer is null (the buffer is then untouched) or
// "[!] Input File Name Too Large for Output buffer" when the result does not
// fit (the buffer is then all zero).
int32_t append_filextention(char* out, uint16_t out_size, const char* in, const char* extension);

#endif
