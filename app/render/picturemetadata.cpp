#include "picturemetadata.h"

#include <QFile>
#include <QPointF>
#include <QtEndian>

#include <zlib.h>

namespace {

// Real profiles are a few KiB, LUT-based ones up to a few hundred; a
// larger one is not read (the picture is then taken as sRGB).
const int MAX_PROFILE_BYTES = 4 << 20;
const int MAX_EXIF_BYTES = 1 << 20;
const int MAX_CHUNKS = 100000;

quint32 be32(const char *p)
{
    return qFromBigEndian<quint32>(p);
}

quint32 le32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

// A zlib stream inflated to at most MAX_PROFILE_BYTES; empty when it is
// broken or larger.
QByteArray inflateBounded(const QByteArray &compressed)
{
    z_stream zs = {};
    if (inflateInit(&zs) != Z_OK)
        return QByteArray();
    QByteArray out;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.constData()));
    zs.avail_in = uInt(compressed.size());
    int rc = Z_OK;
    while (rc == Z_OK && out.size() < MAX_PROFILE_BYTES) {
        const int before = out.size();
        out.resize(qMin(MAX_PROFILE_BYTES, before + 65536));
        zs.next_out = reinterpret_cast<Bytef *>(out.data() + before);
        zs.avail_out = uInt(out.size() - before);
        rc = inflate(&zs, Z_NO_FLUSH);
        out.resize(out.size() - int(zs.avail_out));
        if (rc == Z_BUF_ERROR && zs.avail_out != 0)
            break;
    }
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? out : QByteArray();
}

// Chunk headers are read one by one, so a large file costs a few system
// calls per chunk and never its whole data.
void readPng(QIODevice &file, PictureMetadata &meta)
{
    bool srgb = false;
    double gamma = 0;
    bool chrm = false;
    QPointF white(0.3127, 0.3290), red(0.64, 0.33), green(0.30, 0.60), blue(0.15, 0.06);   // sRGB's
    qint64 at = 8;
    for (int i = 0; i < MAX_CHUNKS && file.seek(at); ++i) {
        char head[8];
        if (file.read(head, 8) != 8)
            break;
        const quint32 length = be32(head);
        const QByteArray type(head + 4, 4);
        if (type == "IEND" || length > 0x7fffffff)
            break;
        if (type == "iCCP" && length <= quint32(MAX_PROFILE_BYTES)) {
            const QByteArray data = file.read(length);
            const int nameEnd = data.indexOf('\0');
            if (nameEnd > 0 && nameEnd + 1 < data.size() && data.at(nameEnd + 1) == 0)
                meta.iccProfile = inflateBounded(data.mid(nameEnd + 2));
        } else if (type == "sRGB") {
            srgb = true;
        } else if (type == "gAMA" && length == 4) {
            const QByteArray data = file.read(4);
            if (data.size() == 4)
                gamma = be32(data.constData()) / 100000.0;
        } else if (type == "cHRM" && length == 32) {
            const QByteArray data = file.read(32);
            if (data.size() == 32) {
                const auto point = [&](int i) {
                    return QPointF(be32(data.constData() + i * 8) / 100000.0, be32(data.constData() + i * 8 + 4) / 100000.0);
                };
                white = point(0);
                red = point(1);
                green = point(2);
                blue = point(3);
                chrm = true;
            }
        } else if (type == "eXIf" && length <= quint32(MAX_EXIF_BYTES)) {
            meta.orientation = exifOrientation(file.read(length));
        }
        at += 12 + qint64(length);
    }
    // A file gamma outside 0.2..1 (display gamma 1..5) is a broken chunk.
    if (meta.iccProfile.isEmpty() && !srgb && (chrm || (gamma >= 0.2 && gamma <= 1.0))) {
        const float displayGamma = gamma >= 0.2 && gamma <= 1.0 ? float(1.0 / gamma) : 2.2f;
        meta.declared = QColorSpace(white, red, green, blue, QColorSpace::TransferFunction::Gamma, displayGamma);
    }
}

void readWebp(QIODevice &file, PictureMetadata &meta)
{
    qint64 at = 12;
    for (int i = 0; i < MAX_CHUNKS && file.seek(at); ++i) {
        char head[8];
        if (file.read(head, 8) != 8)
            break;
        const quint32 length = le32(head + 4);
        const QByteArray type(head, 4);
        if (type == "ICCP" && length <= quint32(MAX_PROFILE_BYTES)) {
            meta.iccProfile = file.read(length);
        } else if (type == "EXIF" && length <= quint32(MAX_EXIF_BYTES)) {
            QByteArray exif = file.read(length);
            if (exif.startsWith(QByteArray("Exif\0\0", 6)))
                exif.remove(0, 6);
            meta.orientation = exifOrientation(exif);
        }
        at += 8 + qint64(length) + (length & 1);
    }
}

// The ICC profile tag (34675) of the first directory: Qt's TIFF plug-in
// reads it too, but drops what it cannot parse.
void readTiff(QIODevice &file, PictureMetadata &meta)
{
    const QByteArray head = file.read(8);
    const bool little = head.startsWith("II");
    const auto u16 = [little](const char *p) {
        return little ? qFromLittleEndian<quint16>(p) : qFromBigEndian<quint16>(p);
    };
    const auto u32 = [little](const char *p) {
        return little ? qFromLittleEndian<quint32>(p) : qFromBigEndian<quint32>(p);
    };
    if (head.size() < 8 || u16(head.constData() + 2) != 42 || !file.seek(u32(head.constData() + 4)))
        return;
    const QByteArray countBytes = file.read(2);
    if (countBytes.size() < 2)
        return;
    const QByteArray entries = file.read(qint64(u16(countBytes.constData())) * 12);
    for (int at = 0; at + 12 <= entries.size(); at += 12) {
        const char *e = entries.constData() + at;
        if (u16(e) != 34675)
            continue;
        const quint32 count = u32(e + 4);
        if (count > 4 && count <= quint32(MAX_PROFILE_BYTES) && file.seek(u32(e + 8)))
            meta.iccProfile = file.read(count);
        return;
    }
}

// Photoshop's image resources: the ICC profile (1039) and the EXIF block
// (1058), neither of which the PSD plug-in reads. Each resource is
// "8BIM", its number, a padded Pascal name, its length and its data.
void readPsd(QIODevice &file, PictureMetadata &meta)
{
    char length[4];
    if (!file.seek(26) || file.read(length, 4) != 4 || !file.seek(30 + qint64(be32(length))) || file.read(length, 4) != 4)
        return;
    const qint64 end = file.pos() + be32(length);
    for (int i = 0; i < MAX_CHUNKS && file.pos() + 12 <= end; ++i) {
        const QByteArray head = file.read(7);
        if (head.size() < 7 || !head.startsWith("8BIM"))
            return;
        const quint16 id = qFromBigEndian<quint16>(head.constData() + 4);
        const int nameLength = quint8(head[6]);
        // The name with its length byte is padded to an even size.
        if (!file.seek(file.pos() + ((nameLength + 2) & ~1) - 1) || file.read(length, 4) != 4)
            return;
        const quint32 size = be32(length);
        const qint64 next = file.pos() + size + (size & 1);
        if (id == 1039 && size <= quint32(MAX_PROFILE_BYTES)) {
            meta.iccProfile = file.read(size);
        } else if (id == 1058 && size <= quint32(MAX_EXIF_BYTES)) {
            QByteArray exif = file.read(size);
            if (exif.startsWith(QByteArray("Exif\0\0", 6)))
                exif.remove(0, 6);
            meta.orientation = exifOrientation(exif);
        }
        if (next > end || !file.seek(next))
            return;
    }
}

} // namespace

PictureMetadata readPictureMetadata(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return PictureMetadata();
    return readPictureMetadata(file);
}

PictureMetadata readPictureMetadata(QIODevice &file)
{
    PictureMetadata meta;
    if (!file.seek(0))
        return meta;
    const QByteArray magic = file.read(12);
    if (magic.startsWith("\x89PNG\r\n\x1a\n"))
        readPng(file, meta);
    else if (magic.size() == 12 && magic.startsWith("RIFF") && magic.mid(8) == "WEBP")
        readWebp(file, meta);
    else if (magic.startsWith("8BPS"))
        readPsd(file, meta);
    else if ((magic.startsWith("II*") || magic.startsWith(QByteArray("MM\0*", 4))) && file.seek(0))
        readTiff(file, meta);
    return meta;
}

int exifOrientation(const QByteArray &tiff)
{
    const int n = tiff.size();
    if (n < 8)
        return 1;
    const uchar *b = reinterpret_cast<const uchar *>(tiff.constData());
    bool little;
    if (b[0] == 'I' && b[1] == 'I')
        little = true;
    else if (b[0] == 'M' && b[1] == 'M')
        little = false;
    else
        return 1;
    auto u16 = [&](int at) -> quint32 { return little ? qFromLittleEndian<quint16>(b + at) : qFromBigEndian<quint16>(b + at); };
    auto u32 = [&](int at) -> quint32 { return little ? qFromLittleEndian<quint32>(b + at) : qFromBigEndian<quint32>(b + at); };
    if (u16(2) != 42)
        return 1;
    const quint32 ifd = u32(4);
    if (ifd > quint32(n) - 2)
        return 1;
    const quint32 entries = u16(int(ifd));
    for (quint32 i = 0; i < entries; ++i) {
        const quint64 at = quint64(ifd) + 2 + quint64(i) * 12;
        if (at + 12 > quint64(n))
            return 1;
        if (u16(int(at)) == 0x0112) {
            if (u16(int(at) + 2) != 3)      // SHORT
                return 1;
            const quint32 v = u16(int(at) + 8);
            return v >= 1 && v <= 8 ? int(v) : 1;
        }
    }
    return 1;
}
