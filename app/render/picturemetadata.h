#ifndef PICTUREMETADATA_H
#define PICTUREMETADATA_H
#include <QByteArray>
#include <QColorSpace>
#include <QIODevice>
#include <QString>

// What a picture file says about its colours and its orientation where
// Qt's image plug-ins drop it or cannot read it: PNG (iCCP, sRGB, gAMA,
// cHRM, eXIf), WebP (ICCP, EXIF), TIFF (the ICC profile tag) and Photoshop
// (the ICC profile and EXIF image resources).
struct PictureMetadata
{
    QByteArray iccProfile;      // the embedded ICC profile, empty when none
    QColorSpace declared;       // a PNG's gAMA/cHRM when it has neither profile nor sRGB chunk
    int orientation = 1;        // EXIF orientation of a PNG, WebP or PSD file, 1 when absent
};

// By content; a file of another format, or a malformed one, gives the defaults.
PictureMetadata readPictureMetadata(const QString &path);
PictureMetadata readPictureMetadata(QIODevice &file);     // an open, seekable device

// The orientation tag (1..8) of an EXIF block in TIFF form (what follows
// "Exif\0\0"), 1 when it has none or is malformed.
int exifOrientation(const QByteArray &tiff);

#endif // PICTUREMETADATA_H
