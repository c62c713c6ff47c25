#ifndef RADIANCEPICTURE_H
#define RADIANCEPICTURE_H
#include "renderresult.h"

#include <QByteArray>
#include <QImage>

// Whether bytes, a file's first ones at least, start a Radiance HDR
// picture ("#?RADIANCE" or "#?RGBE" on the first line).
bool isRadiance(const QByteArray &bytes);

// A Radiance HDR picture's thumbnail, decoded by stb_image to linear
// light. Its values have no upper bound; instead of being clipped at 1.0
// they are brought into range by a global photographic tone mapping (the
// picture's log-average luminance to middle grey, then L / (1 + L)), each
// pixel keeping its colour's ratios, and encoded with the sRGB curve,
// fitted into the width x height box. The size is read from the header
// first, and a picture whose decode would exceed the memory cap is
// refused unread. held: bytes the caller keeps meanwhile (the file's),
// counted in the reservation.
//
// The finished picture, not yet encoded.
RenderResult radiancePicture(const QByteArray &data, int width, int height, qint64 held, QImage &picture);

#endif // RADIANCEPICTURE_H
