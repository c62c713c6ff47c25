#ifndef HEIFTHUMBNAIL_H
#define HEIFTHUMBNAIL_H
#include "renderresult.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// A HEIF picture's thumbnail through libheif: from the smallest embedded
// thumbnail that still covers the result, else from the primary image,
// in sRGB, fitted into the width x height box, within the memory budget.
// data: the file's bytes when the caller has read them already; fd: the
// file open for reading, read where libheif asks, the first length bytes
// of it when length is given (source is opened in neither case).
//
// The finished picture, not yet encoded.
RenderResult heifPicture(const QString &source, int width, int height, const QByteArray *data, QImage &picture,
                         int fd = -1, qint64 length = 0);
// The picture written as target.
RenderResult heifThumbnail(const QString &source, const QString &target, int width, int height,
                           const QByteArray *data = nullptr);

#endif // HEIFTHUMBNAIL_H
