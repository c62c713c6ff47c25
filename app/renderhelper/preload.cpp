#include "preload.h"

#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "srgbconversion.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <lcms2.h>

namespace {

// A reader for every format creates its handler, which loads its plug-in
// (asking for an option creates the handler without reading).
void loadImagePlugins()
{
    QByteArray none;
    for (const QByteArray &format : QImageReader::supportedImageFormats()) {
        QBuffer empty(&none);
        empty.open(QIODevice::ReadOnly);
        QImageReader(&empty, format).supportsOption(QImageIOHandler::Size);
    }
}

// The faces SVG text most often asks for; fontconfig maps any other name
// onto one of them.
void loadFonts()
{
    QFontDatabase().families();
    QImage canvas(64, 32, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    for (const char *family : {"sans-serif", "serif", "monospace"}) {
        for (const bool bold : {false, true}) {
            QFont font{QLatin1String(family)};
            font.setBold(bold);
            painter.setFont(font);
            painter.drawText(2, 24, QStringLiteral("Hi"));
        }
    }
}

void loadColourConversion()
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(srgb, TYPE_BGRA_8, srgb, TYPE_BGRA_8, INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
    if (transform)
        cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    QImage tagged(8, 8, QImage::Format_RGB32);
    tagged.fill(Qt::red);
    convertToSRgb(tagged, QByteArray(), QColorSpace(QColorSpace::DisplayP3));
}

// Every format Qt both writes and reads, through the renderer, and the
// result through the thumbnail's JPEG writer. EPS is no picture the
// service renders, and its writer prints through CUPS, which would
// connect to a print server.
void renderSamples()
{
    QImage sample(16, 16, QImage::Format_ARGB32);
    sample.fill(QColor(40, 90, 160, 200));
    for (const QByteArray &format : QImageWriter::supportedImageFormats()) {
        if (format.startsWith("eps"))
            continue;
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!QImageWriter(&buffer, format).write(sample))
            continue;
        QImage picture;
        if (imagePicture(QStringLiteral("sample.") + QLatin1String(format), 8, 8, &bytes, picture) == RenderResult::Rendered) {
            QBuffer out;
            out.open(QIODevice::WriteOnly);
            QImageWriter(&out, "jpg").write(picture);
        }
    }
    const QByteArray svg("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"40\">"
                         "<text x=\"5\" y=\"30\" font-size=\"30\">Hi</text></svg>");
    QImage picture;
    imagePicture(QStringLiteral("sample.svg"), 50, 20, &svg, picture);
    for (const QString &name : {QStringLiteral(":/renderhelper/warmup/tiny.heic"), QStringLiteral(":/renderhelper/warmup/tiny.avif")}) {
        QFile file(name);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        heifPicture(name, 8, 8, &bytes, picture);
    }
}

} // namespace

void preloadEverything()
{
    loadImagePlugins();
    loadFonts();
    loadColourConversion();
    renderSamples();
}
