// The pixels of a bitmap that Explorer's thumbnail provider hands over, as
// the tests compare them.
#include <windows.h>

#include "support.h"

std::vector<uint8_t> BitmapRgba(void* handle, unsigned* side)
{
    HBITMAP bitmap = static_cast<HBITMAP>(handle);
    BITMAP info;
    GetObject(bitmap, sizeof info, &info);
    *side = static_cast<unsigned>(info.bmWidth);
    BITMAPINFO header = {};
    header.bmiHeader.biSize = sizeof header.bmiHeader;
    header.bmiHeader.biWidth = info.bmWidth;
    header.bmiHeader.biHeight = -info.bmHeight;
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 32;
    std::vector<uint8_t> rgba(4 * size_t(*side) * *side);
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, *side, rgba.data(), &header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(bitmap);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        std::swap(rgba[i], rgba[i + 2]);  // BGRA to RGBA
    }
    return rgba;
}
