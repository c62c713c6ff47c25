#ifndef PICTURETHUMBNAIL_H
#define PICTURETHUMBNAIL_H
#include "mediakind.h"
#include "renderresult.h"

#include <QByteArray>
#include <QString>

class SourceCopy;

// A still picture's or HEIF's thumbnail, decoded by the calling worker's
// render helper and written by the service. The source is opened here, as
// whoever the thread acts as, without blocking, and must be a regular file
// on the opened descriptor: a FIFO, device or socket swapped in at any
// moment is skipped at once. The helper never opens a path; it gets the
// descriptor, or the caller's sealed copy of the file when it has one (a
// SourceCopy: the first walk reads each picture once).
RenderResult pictureThumbnail(MediaKind kind, const QString &source, const QString &target, int width, int height,
                              const SourceCopy *copy = nullptr);

#endif // PICTURETHUMBNAIL_H
