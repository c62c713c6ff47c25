#include "mediakind.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QMimeDatabase>
#include <QStringList>

#include <libheif/heif.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const QStringList IMAGE_MIME_TYPES_HEIF = {
    QStringLiteral("image/heif"),
};
// PCX is image/vnd.zbrush.pcx in current shared-mime-info and image/x-pcx
// in older releases (now its alias). PSD, XCF, JPEG XL, OpenEXR, PCX,
// Krita and OpenRaster are read by the extra image plug-ins
// (kimageformat-plugins), Netpbm, XPM and XBM by Qt itself, Radiance HDR
// by stb_image (the renderer tone-maps it). Krita and OpenRaster files
// are zip archives; the plug-ins read the flattened picture the painting
// programs store in them.
const QStringList IMAGE_MIME_TYPES = {
    QStringLiteral("image/jpeg"), QStringLiteral("image/png"), QStringLiteral("image/bmp"),
    QStringLiteral("image/gif"), QStringLiteral("image/vnd.zbrush.pcx"), QStringLiteral("image/x-pcx"),
    QStringLiteral("image/x-targa"),
    QStringLiteral("image/tiff"), QStringLiteral("image/svg+xml"), QStringLiteral("image/x-icon"),
    QStringLiteral("image/webp"), QStringLiteral("image/vnd.microsoft.icon"),
    QStringLiteral("image/vnd.adobe.photoshop"), QStringLiteral("image/x-xcf"), QStringLiteral("image/jxl"),
    QStringLiteral("image/x-exr"), QStringLiteral("image/vnd.radiance"),
    QStringLiteral("image/x-portable-pixmap"), QStringLiteral("image/x-portable-graymap"),
    QStringLiteral("image/x-portable-bitmap"), QStringLiteral("image/x-portable-anymap"),
    QStringLiteral("image/x-xpixmap"), QStringLiteral("image/x-xbitmap"),
    QStringLiteral("application/x-krita"), QStringLiteral("image/openraster"),
};
// Pictures older MIME databases do not know by their content: BigTIFF
// (shared-mime-info 2.2 types it, and any .btf file, as
// application/octet-stream) and Radiance HDR (no type of its own before
// 2.3; its header line FORMAT= makes it a subtitle file there). Consulted
// only when the database's answer routes nowhere.
const std::pair<QByteArray, const char *> IMAGE_MAGIC[] = {
    {QByteArrayLiteral("II+\0"), "image/tiff"},
    {QByteArrayLiteral("MM\0+"), "image/tiff"},
    {QByteArrayLiteral("#?RADIANCE\n"), "image/vnd.radiance"},
    {QByteArrayLiteral("#?RGBE\n"), "image/vnd.radiance"},
};
// Camera RAW files, decoded by LibRaw: their previews or sensor data, never
// their TIFF structure. Under image/x-dcraw, the database's parent type of
// them all, fall the makers' types it adds later.
const QStringList RAW_MIME_TYPES = {
    QStringLiteral("image/x-dcraw"), QStringLiteral("image/x-adobe-dng"), QStringLiteral("image/x-canon-cr2"),
    QStringLiteral("image/x-canon-cr3"), QStringLiteral("image/x-canon-crw"), QStringLiteral("image/x-nikon-nef"),
    QStringLiteral("image/x-nikon-nrw"), QStringLiteral("image/x-sony-arw"), QStringLiteral("image/x-sony-sr2"),
    QStringLiteral("image/x-sony-srf"), QStringLiteral("image/x-olympus-orf"), QStringLiteral("image/x-panasonic-rw"),
    QStringLiteral("image/x-panasonic-rw2"), QStringLiteral("image/x-fuji-raf"), QStringLiteral("image/x-pentax-pef"),
    QStringLiteral("image/x-sigma-x3f"), QStringLiteral("image/x-minolta-mrw"), QStringLiteral("image/x-kodak-dcr"),
    QStringLiteral("image/x-kodak-kdc"), QStringLiteral("image/x-kodak-k25"), QStringLiteral("image/x-samsung-srw"),
    QStringLiteral("image/x-phaseone-iiq"), QStringLiteral("image/x-hasselblad-3fr"),
    QStringLiteral("image/x-leica-rwl"), QStringLiteral("image/x-epson-erf"), QStringLiteral("image/x-mamiya-mef"),
};
// RAW suffixes the database does not know (it takes such files for the
// TIFF files they are built as): Samsung, Phase One, Hasselblad, Leica,
// Epson, Mamiya and Leaf.
const QStringList RAW_SUFFIXES = {
    QStringLiteral("srw"), QStringLiteral("iiq"), QStringLiteral("3fr"), QStringLiteral("fff"),
    QStringLiteral("rwl"), QStringLiteral("erf"), QStringLiteral("mef"), QStringLiteral("mos"),
};
const QStringList VIDEO_MIME_TYPES = {
    QStringLiteral("video/x-msvideo"), QStringLiteral("video/x-ms-wmv"),
    QStringLiteral("application/vnd.rn-realmedia"), QStringLiteral("application/vnd.rn-realmedia-vbr"),
    QStringLiteral("video/x-matroska"), QStringLiteral("video/3gpp"), QStringLiteral("video/x-f4v"),
    QStringLiteral("video/x-m4v"), QStringLiteral("video/mpeg"), QStringLiteral("video/x-flv"),
    QStringLiteral("video/x-ms-vob"), QStringLiteral("video/quicktime"), QStringLiteral("video/mp4"),
    QStringLiteral("video/x-dv"), QStringLiteral("video/x-ms-asf"), QStringLiteral("video/MP2T"),
    QStringLiteral("video/MP2T"), QStringLiteral("video/x-msvideo"), QStringLiteral("video/x-msvideo"),
    QStringLiteral("video/mpeg"), QStringLiteral("video/MP2T"), QStringLiteral("video/MP2T"),
    QStringLiteral("video/x-tivo-mpeg"), QStringLiteral("video/hevc"), QStringLiteral("video/x-ms-asf"),
    QStringLiteral("video/webm"), QStringLiteral("video/dv"),
};

// AVIF pictures go through libheif when it has an AV1 decoder (Debian 12's
// libheif1 carries one; later releases ship it as a plug-in package).
bool avifDecodable()
{
    static const bool yes = (heif_init(nullptr), heif_have_decoder_for_format(heif_compression_AV1) != 0);
    return yes;
}

// Lower-cased list entry -> renderer; the first list holding a name wins.
const QHash<QString, MediaKind> &mimeIndex()
{
    static const QHash<QString, MediaKind> index = [] {
        QHash<QString, MediaKind> h;
        const std::pair<const QStringList *, MediaKind> lists[] = {
            {&IMAGE_MIME_TYPES_HEIF, MediaHeif},
            {&IMAGE_MIME_TYPES, MediaImage},
            {&VIDEO_MIME_TYPES, MediaVideo},
            {&RAW_MIME_TYPES, MediaRaw},
        };
        for (const auto &l : lists) {
            for (const QString &name : *l.first) {
                const QString key = name.toLower();
                if (!h.contains(key))
                    h.insert(key, l.second);
            }
        }
        if (avifDecodable())
            h.insert(QStringLiteral("image/avif"), MediaHeif);
        return h;
    }();
    return index;
}

// The first bytes the MIME database looks at (it reads as many itself).
// Opened without blocking and checked on the descriptor: a FIFO or device
// swapped in for the file after the walk's check gives nothing rather than
// a read that never returns.
QByteArray head(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return QByteArray();
    QByteArray bytes;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        bytes.resize(16384);
        const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
        bytes.resize(n > 0 ? int(n) : 0);
    }
    ::close(fd);
    return bytes;
}

} // namespace

MediaKind mediaKindOf(const QString &path)
{
    static const QMimeDatabase db;
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot > path.lastIndexOf(QLatin1Char('/')) && RAW_SUFFIXES.contains(path.mid(dot + 1).toLower()))
        return MediaRaw;
    const QByteArray bytes = head(path);
    const QMimeType type = db.mimeTypeForFileNameAndData(path, bytes);
    const QHash<QString, MediaKind> &index = mimeIndex();
    MediaKind best = MediaNone;
    auto consider = [&](const QString &name) {
        const MediaKind k = index.value(name.toLower(), MediaNone);
        if (k != MediaNone && (best == MediaNone || k < best))
            best = k;
    };
    consider(type.name());
    for (const QString &alias : type.aliases())
        consider(alias);
    if (best == MediaNone && type.inherits(QStringLiteral("image/x-dcraw")))
        best = MediaRaw;
    for (const auto &magic : IMAGE_MAGIC) {
        if (best == MediaNone && bytes.startsWith(magic.first))
            consider(QLatin1String(magic.second));
    }
    return best;
}

bool isPicture(MediaKind kind)
{
    return kind == MediaImage || kind == MediaHeif || kind == MediaRaw;
}

QString thumbnailSuffix(MediaKind kind)
{
    switch (kind) {
    case MediaHeif:
    case MediaImage:
    case MediaRaw:
        return QStringLiteral(".jpg");
    case MediaVideo:
        return QStringLiteral(".gif");
    case MediaNone:
        break;
    }
    return QString();
}

