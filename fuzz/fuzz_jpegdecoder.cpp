// A JPEG's header, markers, EXIF orientation, ICC chunks and the size
// bound, then a decode at a small size.
#include "jpegdecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    JpegDecoder jpeg(bytes);
    if (!jpeg.isJpeg() || !jpeg.readHeader())
        return 0;
    jpeg.orientation();
    jpeg.iccProfile();
    if (jpeg.canDecode() && jpeg.memoryNeeded(QSize(16, 16)) < (qint64(64) << 20))
        jpeg.decode(QSize(16, 16), qint64(64) << 20);
    return 0;
}
