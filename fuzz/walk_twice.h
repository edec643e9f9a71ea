// What the walk's fuzz targets share: the walk of bytes as a file that can
// seek and as a pipe that only reads forward, and a check that aborts.
#ifndef GALLIVOX_WALK_TWICE_H
#define GALLIVOX_WALK_TWICE_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container.h"

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz: %s\n", what);
        abort();
    }
}

struct Pipe {
    const std::vector<uint8_t>* bytes;
    size_t next;
};

ssize_t pipe_read(void* cookie, char* out, size_t size)
{
    Pipe* pipe = static_cast<Pipe*>(cookie);
    size_t left = pipe->bytes->size() - pipe->next;
    size_t n = size < left ? size : left;
    memcpy(out, pipe->bytes->data() + pipe->next, n);
    pipe->next += n;
    return static_cast<ssize_t>(n);
}

struct Walked {
    WalkStatus status;
    SmdhLocation location;
    std::vector<uint8_t> smdh;
};

Walked walk_stream(FILE* stream, int seekable)
{
    Require(stream != nullptr, "cannot open a stream");
    Walked w;
    WalkInput input;
    Require(BeginWalk(&input, stream, seekable) == 0, "the first read failed");
    w.status = LocateSmdh(&input, &w.location);
    if (w.status == WALK_FOUND) {
        w.smdh.resize(SMDH_SIZE);
        size_t size = 0;
        w.status = ReadSmdh(&input, &w.location, w.smdh.data(), &size);
        w.smdh.resize(size);
    }
    EndWalk(&input);
    fclose(stream);
    return w;
}

// The walk of `bytes` (not empty: fmemopen takes no empty buffer) as a file
// that can seek, and as a pipe.
Walked WalkAsFile(std::vector<uint8_t>& bytes)
{
    return walk_stream(fmemopen(bytes.data(), bytes.size(), "rb"), 1);
}

Walked WalkAsPipe(const std::vector<uint8_t>& bytes)
{
    Pipe pipe = {&bytes, 0};
    cookie_io_functions_t functions = {pipe_read, nullptr, nullptr, nullptr};
    return walk_stream(fopencookie(&pipe, "rb", functions), 0);
}

}  // namespace

#endif
