#ifndef PICTUREFIT_H
#define PICTUREFIT_H
#include "renderresult.h"

#include <QSize>

// Fitting a picture into the thumbnail box, shared by the renderers.

// The size a picture gets in a width x height box, enlarged or reduced,
// keeping its aspect ratio; invalid when the picture or the box is empty.
QSize fitSize(const QSize &picture, int width, int height);
// Bytes of a picture, and whether bytes exceed the configured memory cap.
qint64 pixelBytes(const QSize &s, int bytesPerPixel = 4);
bool overMemoryCap(qint64 bytes);
// What a render whose memory reservation was not granted comes to:
// stopped when a stop was requested, else over the cap (the service
// refused a render helper's estimate).
RenderResult reservationRefused();

#endif // PICTUREFIT_H
