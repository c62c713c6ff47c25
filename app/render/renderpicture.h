#ifndef RENDERPICTURE_H
#define RENDERPICTURE_H
#include "renderresult.h"

#include <QByteArray>
#include <QString>

// One request of the render helper: a picture the service opened, to the
// finished thumbnail's JPEG bytes.
namespace RenderPicture {

// The kinds a request names: the walk's MediaKind numbers for HEIF, for
// other still pictures and for camera RAW files.
enum Kind { Heif = 1, Image = 2, Raw = 4 };

// Reads the picture from source, a descriptor of a regular file or of a
// sealed memfd (from its start, whatever its offset, without closing it),
// and renders it fitted into the width x height box within the memory cap
// of the render settings. length: how much of the source is the picture
// (0: all of it). name: the file's name, whose suffix is the first guess
// of the format; nothing is opened by it. A picture longer than the cap is
// refused before it is read.
RenderResult render(int kind, int source, qint64 length, const QString &name, int width, int height,
                    QByteArray &jpeg);

} // namespace RenderPicture

#endif // RENDERPICTURE_H
