#include "icon_status.h"

#include <cstring>

#include <lodepng.h>

IconFailure IconFailureKind(unsigned status)
{
    if (status == ICON_OK) {
        return ICON_FAILED_NOT;
    }
    if (status >= ICON_WRITE_ERROR) {
        return ICON_FAILED_WRITE;
    }
    if (status >= ICON_READ_ERROR) {
        return ICON_FAILED_READ;
    }
    if (status >= ICON_KEPT_DIFFERENT && status <= ICON_KEPT_UNREADABLE) {
        return ICON_FAILED_KEPT;
    }
    return status == ICON_TRUNCATED ? ICON_FAILED_TRUNCATED : ICON_FAILED_ENCODING;
}

const char* IconStatusText(unsigned status)
{
    switch (IconFailureKind(status)) {
    case ICON_FAILED_WRITE:
        return strerror(static_cast<int>(status - ICON_WRITE_ERROR));
    case ICON_FAILED_READ:
        return strerror(static_cast<int>(status - ICON_READ_ERROR));
    case ICON_FAILED_TRUNCATED:
        return "the file ends inside the icon";
    case ICON_FAILED_KEPT:
        return status == ICON_KEPT_DIFFERENT  ? "it holds something else"
               : status == ICON_KEPT_LINK     ? "it is a symbolic link"
               : status == ICON_KEPT_NOT_FILE ? "it is not a regular file"
                                              : "it cannot be read";
    case ICON_FAILED_ENCODING:
    case ICON_FAILED_NOT:
        break;
    }
    return status == ICON_BAD_SIDE ? "unsupported icon side" : lodepng_error_text(status);
}
