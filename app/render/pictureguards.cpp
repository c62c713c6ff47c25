#include "pictureguards.h"

#include "picturefit.h"

#include <QXmlStreamReader>

// Qt's SVG renderer paints <image> elements that name local files; an SVG
// may embed pictures only as data: URIs. Compressed SVG cannot be checked
// without inflating it and is refused as well.
bool svgIsSelfContained(QIODevice &file)
{
    const QByteArray head = file.peek(2);
    if (head.size() == 2 && uchar(head[0]) == 0x1f && uchar(head[1]) == 0x8b)
        return false;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("a"))
            continue;                               // hyperlinks are not followed
        for (const QXmlStreamAttribute &a : xml.attributes()) {
            if (a.name() != QLatin1String("href"))
                continue;
            const QStringRef v = a.value().trimmed();
            if (v.isEmpty() || v.startsWith(QLatin1Char('#')) || v.startsWith(QLatin1String("data:"), Qt::CaseInsensitive))
                continue;
            return false;
        }
    }
    return !xml.hasError();
}

// An icon's directory promises sides of at most 256, but Qt decodes each
// entry at the size of the entry's own header: a PNG inside an icon can
// declare 20000x20000. Every entry must fit the cap by its own header.
bool iconEntriesFit(QIODevice &f)
{
    const QByteArray head = f.read(6);
    if (head.size() < 6)
        return false;
    const auto le = [](const char *p, int n) {
        quint32 v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | uchar(p[i]);
        return v;
    };
    const auto be = [](const char *p) {
        return (quint32(uchar(p[0])) << 24) | (quint32(uchar(p[1])) << 16) | (quint32(uchar(p[2])) << 8) | uchar(p[3]);
    };
    const int count = int(le(head.constData() + 4, 2));
    const QByteArray dir = f.read(qint64(count) * 16);
    if (dir.size() < count * 16)
        return false;
    for (int i = 0; i < count; ++i) {
        if (!f.seek(le(dir.constData() + i * 16 + 12, 4)))
            return false;
        const QByteArray data = f.read(24);
        qint64 w = 0;
        qint64 h = 0;
        if (data.size() >= 24 && data.startsWith("\x89PNG\r\n\x1a\n")) {
            w = be(data.constData() + 16);
            h = be(data.constData() + 20);
        } else if (data.size() >= 12) {
            // BITMAPINFOHEADER: the height counts the mask rows too.
            w = qAbs(qint64(qint32(le(data.constData() + 4, 4))));
            h = qAbs(qint64(qint32(le(data.constData() + 8, 4)))) / 2;
        } else {
            return false;
        }
        if (w > 65535 || h > 65535 || overMemoryCap(w * h * 4))
            return false;
    }
    return true;
}
