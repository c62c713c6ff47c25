#ifndef RAWTHUMBNAIL_H
#define RAWTHUMBNAIL_H
#include "renderresult.h"

#include <QByteArray>
#include <QImage>

// A camera RAW file's thumbnail, read by LibRaw from the file's bytes.
// The embedded preview LibRaw picks (the largest it finds, a JPEG or a
// bitmap) is used when it covers the width x height box; otherwise the
// sensor data are developed at the smallest size that covers it (half
// size where that suffices). Either is turned upright by the RAW's own
// orientation, in sRGB, fitted into the box, within the memory cap. A
// RAW is never read through its TIFF structure by any other decoder.
//
// The finished picture, not yet encoded.
RenderResult rawPicture(const QByteArray &data, int width, int height, QImage &picture);

// LibRaw's orientation code (bit 4: transposed, 2: upside down, 1:
// mirrored) as the EXIF orientation 1..8 it stands for.
int rawFlipToOrientation(int flip);

#endif // RAWTHUMBNAIL_H
