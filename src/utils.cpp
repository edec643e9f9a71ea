#include "utils.h"

#include <cstdio>
#include <cstring>

// Length of the part of `name` that is kept: the index of its last dot, or
// the whole name with its terminator when no dot stands at index 1 or later.
// A leading dot is never taken, so ".icn" keeps all of itself.
static size_t kept_name_length(const char* name)
{
    size_t length = strlen(name);
    for (size_t i = length; i-- > 1;) {
        if (name[i] == '.') {
            return i;
        }
    }
    return length + 1;
}

int32_t append_filextention(char* out, uint16_t out_size, const char* in, const char* extension)
{
    if (out == nullptr || in == nullptr || extension == nullptr) {
        puts("[!] Memory Error");
        return 1;
    }
    memset(out, 0, out_size);
    size_t kept = kept_name_length(in);
    if (kept + strlen(extension) >= out_size) {
        puts("[!] Input File Name Too Large for Output buffer");
        return 1;
    }
    // With no dot the copy takes the terminator too; either way the buffer
    // is zero after the copied text, so the extension lands right behind it.
    memcpy(out, in, kept);
    strcat(out, extension);
    return 0;
}
