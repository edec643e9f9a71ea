#include "png_writer.h"

#include <cstdlib>

#include <lodepng.h>

#include "main.h"
#include "platform.h"

unsigned WritePng(const char* path, const uint8_t* image, unsigned side, OutputMode mode)
{
    unsigned char* png = nullptr;
    size_t png_size = 0;
    unsigned status = lodepng_encode32(&png, &png_size, image, side, side);
    if (status == ICON_OK) {
        int error = mode == OUTPUT_FILL_EMPTY ? platform_fill_empty_file(path, png, png_size) : -1;
        if (error == -1) {
            error = platform_replace_file(path, png, png_size);
        }
        if (error != 0) {
            status = ICON_WRITE_ERROR + static_cast<unsigned>(error);
        }
    }
    free(png);
    return status;
}
