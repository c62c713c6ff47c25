// PNG, WebP and TIFF chunks: ICC profiles (inflated for PNG), gAMA/cHRM,
// EXIF orientation.
#include "picturemetadata.h"

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    exifOrientation(bytes);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    readPictureMetadata(buffer);
    return 0;
}
