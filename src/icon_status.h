// What became of an icon or a picture on its way to a PNG file: the results
// of the icon path and of the writer, and their texts.
#ifndef GALLIVOX_ICON_STATUS_H
#define GALLIVOX_ICON_STATUS_H

// Results of ConvertIcon. Values from 1 below ICON_TRUNCATED are LodePNG's
// own error codes; the two system error bases carry the errno value added.
enum IconStatus : unsigned {
    ICON_OK = 0,
    ICON_OUT_OF_MEMORY = 83,  // LodePNG's own code, for our buffers too
    ICON_TRUNCATED = 1000,    // the file ends inside the icon block
    ICON_BAD_SIDE = 1001,     // side not a multiple of 8 from 8 to 128
    // An output that was there already, left as it is where a batch keeps
    // what it did not make (see OUTPUT_KEEP):
    ICON_KEPT_DIFFERENT = 1010,   // a file that holds another picture, or no PNG
    ICON_KEPT_LINK = 1011,        // a symbolic link
    ICON_KEPT_NOT_FILE = 1012,    // a folder, a FIFO, a device
    ICON_KEPT_UNREADABLE = 1013,  // something that cannot be read
    ICON_READ_ERROR = 0x10000,    // + errno: the icon block could not be read
    ICON_WRITE_ERROR = 0x20000,   // + errno: the PNG file could not be written
};

// What a ConvertIcon result is: success, the file cut short inside the
// icon, a failed read, a failed write, the encoder's refusal (LodePNG's
// codes, an unsupported side), or an existing output kept.
enum IconFailure {
    ICON_FAILED_NOT,
    ICON_FAILED_TRUNCATED,
    ICON_FAILED_READ,
    ICON_FAILED_WRITE,
    ICON_FAILED_ENCODING,
    ICON_FAILED_KEPT,
};
IconFailure IconFailureKind(unsigned status);

// The reason for a failed ConvertIcon result, as one short text.
const char* IconStatusText(unsigned status);

#endif
