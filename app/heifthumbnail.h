#ifndef HEIFTHUMBNAIL_H
#define HEIFTHUMBNAIL_H
#include "renderresult.h"

#include <QString>

// A HEIF picture's thumbnail through libheif: from the smallest embedded
// thumbnail that still covers the result, else from the primary image,
// in sRGB, fitted into the width x height box, within the memory budget.
RenderResult heifThumbnail(const QString &source, const QString &target, int width, int height);

#endif // HEIFTHUMBNAIL_H
