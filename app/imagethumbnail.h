#ifndef IMAGETHUMBNAIL_H
#define IMAGETHUMBNAIL_H
#include "renderresult.h"

#include <QString>

// A still picture's thumbnail: JPEG files through the scaled JPEG decoder,
// everything else through Qt's image plug-ins, upright (EXIF orientation),
// in sRGB, fitted into the width x height box, written as target's format.
// Decode guards refuse what would exceed the memory cap before it is
// decoded, SVG files that reach for other files, and icons whose entries
// lie about their size; a render waits for its share of the memory budget.
RenderResult imageThumbnail(const QString &source, const QString &target, int width, int height);

#endif // IMAGETHUMBNAIL_H
