#include "png_writer.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <lodepng.h>

#include "main.h"
#include "platform.h"
#ifdef GALLIVOX_PNG_ENCODER
#include "png_encoder.h"
#endif

namespace {

// The image's PNG, from our encoder where the LodePNG loaded is the one whose
// bytes it reproduces (a shared library can be replaced after the build),
// else from LodePNG itself.
unsigned Encode(const uint8_t* image, unsigned side, std::vector<uint8_t>* png)
{
#ifdef GALLIVOX_PNG_ENCODER
    if (std::strcmp(LODEPNG_VERSION_STRING, PNG_ENCODER_LODEPNG_VERSION) == 0) {
        return EncodePngLikeLodePng(image, side, side, png);
    }
#endif
    unsigned char* bytes = nullptr;
    size_t size = 0;
    unsigned status = lodepng_encode32(&bytes, &size, image, side, side);
    if (status == 0) {
        png->assign(bytes, bytes + size);
    }
    free(bytes);
    return status;
}

}  // namespace

unsigned WritePng(const char* path, const uint8_t* image, unsigned side, OutputMode mode)
{
    std::vector<uint8_t> png;
    unsigned status = Encode(image, side, &png);
    if (status != ICON_OK) {
        return status;
    }
    int error = mode == OUTPUT_FILL_EMPTY ? platform_fill_empty_file(path, png.data(), png.size()) : -1;
    if (error == -1) {
        error = platform_replace_file(path, png.data(), png.size());
    }
    return error == 0 ? ICON_OK : ICON_WRITE_ERROR + static_cast<unsigned>(error);
}
