#ifndef SRGBCONVERSION_H
#define SRGBCONVERSION_H
#include <QByteArray>
#include <QColorSpace>
#include <QImage>

// Thumbnails are sRGB: a decoded picture is converted from the colours its
// file declares, in this order:
// - an embedded ICC profile, through Qt where it can read the profile
//   (matrix/TRC profiles: Adobe RGB, Display P3, sRGB, ...) and through
//   lcms2 where it cannot (LUT-based, Lab or XYZ connected profiles);
// - else the colour space given (a PNG's gAMA/cHRM, a HEIF's nclx);
// - else the colour space Qt's reader attached to the picture.
// A picture with none of these, or with a profile for other than RGB data
// (grey, CMYK: those pixels are already what they should show), is taken
// as sRGB and returned as it is. The result carries no colour space.
QImage convertToSRgb(const QImage &picture, const QByteArray &iccProfile, const QColorSpace &declared = QColorSpace());

#endif // SRGBCONVERSION_H
