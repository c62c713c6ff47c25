#ifndef PICTUREGUARDS_H
#define PICTUREGUARDS_H
#include <QIODevice>

// Checks made before Qt's plug-ins decode a picture, on a device open at
// the picture's start.

// An SVG may embed pictures only as data: URIs: Qt's renderer would paint
// <image> elements that name other local files. Compressed SVG is refused.
bool svgIsSelfContained(QIODevice &file);
// Every entry of an icon file fits the memory cap by its own header.
bool iconEntriesFit(QIODevice &file);

#endif // PICTUREGUARDS_H
