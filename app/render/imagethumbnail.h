#ifndef IMAGETHUMBNAIL_H
#define IMAGETHUMBNAIL_H
#include "renderresult.h"

#include <QByteArray>
#include <QImage>
#include <QString>

class JpegDecoder;

// A still picture's thumbnail: JPEG files through the scaled JPEG decoder,
// Radiance HDR files tone-mapped (radiancepicture.h), everything else
// through Qt's image plug-ins, upright (EXIF orientation), in sRGB,
// fitted into the width x height box, written as target's format.
// Decode guards refuse what would exceed the memory cap before it is
// decoded, SVG files that reach for other files, and icons whose entries
// lie about their size; a render waits for its share of the memory budget.
// data: the file's bytes when the caller has read them already (they are
// then decoded from memory, and counted in the memory the render needs;
// source then only names the format by its suffix).
//
// The finished picture, not yet encoded.
RenderResult imagePicture(const QString &source, int width, int height, const QByteArray *data, QImage &picture);
// A JPEG whose header jpeg has read, rendered as a JPEG file is but turned
// by orientation (a camera RAW's preview takes the RAW's); held: bytes the
// caller keeps meanwhile, counted in the reservation.
RenderResult jpegPicture(JpegDecoder &jpeg, int width, int height, qint64 held, int orientation, QImage &picture);
// EXIF orientation 1..8 applied the way viewers do: mirror, then turn 90
// degrees clockwise where the tag says so.
QImage orientPicture(const QImage &img, int orientation);
// The picture written as target.
RenderResult imageThumbnail(const QString &source, const QString &target, int width, int height,
                            const QByteArray *data = nullptr);

#endif // IMAGETHUMBNAIL_H
