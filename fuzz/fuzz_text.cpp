// Fuzz target: arbitrary text through the two text-reading utilities,
// append_filextention (as the name and as the extension) and
// char_to_int_array, with guard bytes around every output buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "utils.h"

namespace {

const size_t GUARD = 16;
const uint8_t GUARD_BYTE = 0x5A;

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_text: %s\n", what);
        abort();
    }
}

void require_guards(const std::vector<uint8_t>& buffer, size_t size)
{
    for (size_t i = 0; i < GUARD; i++) {
        require(buffer[i] == GUARD_BYTE && buffer[GUARD + size + i] == GUARD_BYTE, "wrote outside the buffer");
    }
}

void derive(const char* name, const char* extension, uint16_t size)
{
    std::vector<uint8_t> buffer(size + 2 * GUARD, GUARD_BYTE);
    char* out = reinterpret_cast<char*>(buffer.data() + GUARD);
    int32_t result = append_filextention(out, size, name, extension);
    require_guards(buffer, size);
    if (result == 0) {
        size_t length = strnlen(out, size);
        require(length < size, "result not terminated inside the buffer");
        require(length >= strlen(extension) && strcmp(out + length - strlen(extension), extension) == 0,
                "result does not end with the extension");
        require(strncmp(out, name, length - strlen(extension)) == 0, "result does not begin with the name");
    } else {
        require(result == 1, "result is neither 0 nor 1");
        for (uint16_t i = 0; i < size; i++) {
            require(out[i] == 0, "buffer not cleared after a failure");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    const uint16_t buffer_size = static_cast<uint16_t>(data[0] * 5);
    const int order = data[1] % 3;
    const int base = data[2] % 38;  // 0, valid bases 2 to 36, and invalid ones
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);  // may hold NULs
    const char* c_text = text.c_str();

    derive(c_text, ".png", buffer_size);
    derive("icon.icn", c_text, buffer_size);

    // The text provides 2·count bytes, its terminator included.
    const int count = static_cast<int>(std::min<size_t>(data[3], (strlen(c_text) + 1) / 2));
    std::vector<uint8_t> bytes(count + 2 * GUARD, GUARD_BYTE);
    char_to_int_array(bytes.data() + GUARD, c_text, count, order, base);
    require_guards(bytes, static_cast<size_t>(count));
    if (order == 2) {
        for (int i = 0; i < count; i++) {
            require(bytes[GUARD + i] == 0, "other selector must leave zeros");
        }
    }
    return 0;
}
