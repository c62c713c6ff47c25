#ifndef MEDIAKIND_H
#define MEDIAKIND_H
#include <QString>

// The renderer a file gets, by its MIME type.
enum MediaKind {
    MediaNone = 0,
    MediaHeif,          // heifThumbnail, ".jpg"
    MediaImage,         // imageThumbnail, ".jpg"
    MediaVideo,         // videoThumbnail, ".gif"
    MediaRaw            // a camera RAW's preview or development, ".jpg"
};

// The MIME type's name or one of its aliases, in any letter case, found in
// the HEIF, image or video list, in that order; failing that, a picture
// known by its first bytes (BigTIFF, Radiance HDR) is an image. A camera
// RAW the database does not know is a RAW by its suffix, whatever its
// content (most are TIFF-structured).
MediaKind mediaKindOf(const QString &path);
// What mediaKindOf routes, numbered: it grows whenever a type is added,
// so that files recorded as no media are looked at again.
constexpr int MEDIA_ROUTING_VERSION = 2;     // 2: camera RAW, Photoshop, JPEG XL and the other plug-in types

// Whether the render helper decodes it: every still picture.
bool isPicture(MediaKind kind);
// ".jpg", ".gif", or empty for MediaNone.
QString thumbnailSuffix(MediaKind kind);

#endif // MEDIAKIND_H
