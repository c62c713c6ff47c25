#include "imagethumbnail.h"

#include "jpegdecoder.h"
#include "memorybudget.h"
#include "picturefit.h"
#include "picturescale.h"
#include "pictureguards.h"
#include "picturemetadata.h"
#include "radiancepicture.h"
#include "rendersettings.h"
#include "srgbconversion.h"
#include "thumbnailfile.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QRgba64>
#include <QTransform>
#include <QtEndian>

#include <memory>

QImage orientPicture(const QImage &img, int orientation)
{
    static const int flags[9] = {0, 0, 1, 3, 2, 6, 4, 5, 7};     // bit 1 mirror, 2 flip, 4 rotate 90
    const int f = orientation >= 1 && orientation <= 8 ? flags[orientation] : 0;
    if (f == 0)
        return img;
    QImage out = (f & 3) ? img.mirrored(f & 1, f & 2) : img;
    if (f & 4)
        out = out.transformed(QTransform().rotate(90));
    return out;
}

namespace {

// A picture's bytes, from its file or from memory; every reader gets a
// device of its own, open at the start (a failed open reads as empty).
struct PictureBytes
{
    QString path;
    const QByteArray *data;

    std::unique_ptr<QIODevice> open() const
    {
        std::unique_ptr<QIODevice> device;
        if (data)
            device.reset(new QBuffer(const_cast<QByteArray *>(data)));
        else
            device.reset(new QFile(path));
        device->open(QIODevice::ReadOnly);
        return device;
    }
};

// Qt's PNG reader takes a 16-bit RGB picture with a transparent colour
// (tRNS) for one with an alpha sample, which libpng does not add: three
// samples a pixel fill rows laid out for four, and the picture comes out
// as stripes. Such a file is read without its tRNS chunk, which Qt reads
// right, and the colour made transparent here. 16-bit grey is read right.
// Where the tRNS chunk starts, its colour in key; -1 for any other file.
qint64 rgb16KeyChunk(QIODevice &file, QRgba64 &key)
{
    const QByteArray head = file.read(26);
    if (head.size() < 26 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR" || head[24] != 16
        || head[25] != 2)
        return -1;
    // The chunks before the first IDAT, the only place for a tRNS.
    for (qint64 at = 8; at + 8 <= file.size() && file.seek(at);) {
        const QByteArray chunk = file.read(14);
        if (chunk.size() < 8 || chunk.mid(4, 4) == "IDAT")
            return -1;
        if (chunk.size() == 14 && chunk.mid(4, 4) == "tRNS" && qFromBigEndian<quint32>(chunk.constData()) == 6) {
            const char *c = chunk.constData() + 8;
            key = QRgba64::fromRgba64(qFromBigEndian<quint16>(c), qFromBigEndian<quint16>(c + 2),
                                      qFromBigEndian<quint16>(c + 4), 0xffff);
            return at;
        }
        at += 12 + qint64(qFromBigEndian<quint32>(chunk.constData()));
    }
    return -1;
}

// Pixels of exactly the key colour made transparent; the picture is read
// at its stored size with 16 bits a sample, so the comparison is exact.
void makeTransparent(QImage &img, QRgba64 key)
{
    img.convertTo(QImage::Format_RGBA64);
    for (int y = 0; y < img.height(); ++y) {
        QRgba64 *row = reinterpret_cast<QRgba64 *>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            if (quint64(row[x]) == quint64(key))
                row[x] = QRgba64::fromRgba64(0, 0, 0, 0);
        }
    }
}

// The plug-ins for OpenEXR, PCX, Krita and OpenRaster learn the size only
// while decoding. Such a picture holds the whole cap while it is decoded:
// in the render helper a decode that grows past it meets the helper's
// data limit and fails, and a result larger than the cap is refused all
// the same. A file larger than the cap would decode larger still, and is
// refused unread. held: the file's bytes when in memory.
RenderResult unsizedPicture(QImageReader &reader, qint64 held, const PictureMetadata &meta, int width, int height,
                            QImage &picture)
{
    if (overMemoryCap(reader.device()->size()))
        return RenderResult::OverMemoryCap;
    const MemoryReservation hold(RenderSettings::current().memoryCap);
    if (!hold.granted())
        return reservationRefused();
    QImage img;
    if (!reader.read(&img))
        return RenderResult::DecodeFailed;
    const QSize fit = fitSize(img.size(), width, height);
    if (!fit.isValid())
        return RenderResult::DecodeFailed;
    if (overMemoryCap(pixelBytes(img.size(), img.depth() > 32 ? 8 : 4) * 2 + pixelBytes(fit) + held))
        return RenderResult::OverMemoryCap;
    picture = finishPicture(convertToSRgb(img, meta.iccProfile, meta.declared), fit);
    return picture.isNull() ? RenderResult::OverMemoryCap : RenderResult::Rendered;
}

// Through Qt's image plug-ins, at reduced size where the plug-in can (JPEG,
// SVG), upright, refusing what would not fit the memory cap. Qt applies
// the EXIF orientation of JPEG and TIFF files; that of PNG and WebP files,
// which its plug-ins ignore, is applied here.
RenderResult qtPicture(const PictureBytes &file, int width, int height, QImage &picture)
{
    const PictureMetadata meta = readPictureMetadata(*file.open());
    QRgba64 key = QRgba64::fromRgba64(0);
    const qint64 keyAt = rgb16KeyChunk(*file.open(), key);
    QByteArray unkeyed;         // the file without its tRNS chunk, read in its place
    if (keyAt > 0) {
        const std::unique_ptr<QIODevice> device = file.open();
        if (overMemoryCap(device->size()))
            return RenderResult::OverMemoryCap;
        unkeyed = device->readAll().remove(int(keyAt), 18);
    }
    const PictureBytes source = keyAt > 0 ? PictureBytes{file.path, &unkeyed} : file;
    // The name's suffix is the first guess of the format, as when Qt is
    // given the file's name.
    const std::unique_ptr<QIODevice> device = source.open();
    QImageReader reader(device.get(), QFileInfo(source.path).suffix().toLower().toLatin1());
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty())
        return reader.canRead() ? unsizedPicture(reader, file.data ? file.data->size() : 0, meta, width, height, picture)
                                : RenderResult::DecodeFailed;
    const int orientation = reader.transformation() == QImageIOHandler::TransformationNone ? meta.orientation : 1;
    // Qt applies the scaled size before its own transform, and so do we.
    const bool turned = (reader.transformation() & QImageIOHandler::TransformationRotate90) || orientation >= 5;
    const QSize shown = turned ? stored.transposed() : stored;
    const QSize fit = fitSize(shown, width, height);
    if (!fit.isValid())
        return RenderResult::DecodeFailed;
    if (overMemoryCap(pixelBytes(fit)))
        return RenderResult::OverMemoryCap;
    // The icon handler leaves format() empty once it has read the
    // directory; ask by content instead.
    const QByteArray format = reader.format().isEmpty() ? QImageReader::imageFormat(source.open().get()) : reader.format();
    const bool vector = format.startsWith("svg");
    if (vector && !svgIsSelfContained(*source.open()))
        return RenderResult::DecodeFailed;
    if ((format == "ico" || format == "cur") && !iconEntriesFit(*source.open()))
        return RenderResult::OverMemoryCap;
    const int depth = QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel();
    const int bytesPerPixel = depth > 32 ? 8 : 4;
    // A reader that cannot shrink while loading hands over the stored size,
    // and flattening or smooth scaling makes one more full-size copy.
    // The key is compared at the stored size, before any scaling blends it.
    const bool shrinks = keyAt < 0 && reader.supportsOption(QImageIOHandler::ScaledSize);
    const qint64 need = pixelBytes(vector ? fit : stored, bytesPerPixel) * (shrinks || vector ? 1 : 2) + pixelBytes(fit)
        + (file.data ? file.data->size() : 0) + unkeyed.size();
    if (overMemoryCap(need))
        return RenderResult::OverMemoryCap;
    const MemoryReservation hold(need);
    if (!hold.granted())
        return reservationRefused();
    const QSize readFit = turned ? fit.transposed() : fit;
    if (shrinks)
        reader.setScaledSize(readFit);
    QImage img;
    if (!reader.read(&img))
        return RenderResult::DecodeFailed;
    if (keyAt > 0)
        makeTransparent(img, key);
    const QImage out = orientPicture(finishPicture(convertToSRgb(img, meta.iccProfile, meta.declared),
                                                   orientation >= 5 ? readFit : fit),
                                     orientation);
    if (out.isNull())
        return RenderResult::OverMemoryCap;
    picture = out;
    return RenderResult::Rendered;
}

// A Radiance HDR picture, tone-mapped: Qt's plug-in would clip its values
// above 1.0 to white. A file not yet in memory is read whole.
RenderResult radianceFile(const PictureBytes &file, int width, int height, QImage &picture)
{
    if (file.data)
        return radiancePicture(*file.data, width, height, file.data->size(), picture);
    const std::unique_ptr<QIODevice> device = file.open();
    if (overMemoryCap(device->size()))
        return RenderResult::OverMemoryCap;
    const QByteArray bytes = device->readAll();
    return radiancePicture(bytes, width, height, bytes.size(), picture);
}

} // namespace

// Through the scaled JPEG decoder: only the DCT scale that covers the box
// is decoded, then converted to sRGB from the file's profile.
RenderResult jpegPicture(JpegDecoder &jpeg, int width, int height, qint64 held, int orientation, QImage &picture)
{
    const bool turned = orientation >= 5;
    const QSize shown = turned ? jpeg.size().transposed() : jpeg.size();
    const QSize fit = fitSize(shown, width, height);
    if (!fit.isValid())
        return RenderResult::DecodeFailed;
    const QSize storedFit = turned ? fit.transposed() : fit;
    const qint64 need = jpeg.memoryNeeded(storedFit) + pixelBytes(fit) + held;
    if (overMemoryCap(pixelBytes(fit)) || overMemoryCap(need))
        return RenderResult::OverMemoryCap;
    const MemoryReservation hold(need);
    if (!hold.granted())
        return reservationRefused();
    const QImage raw = jpeg.decode(storedFit, RenderSettings::current().memoryCap);
    if (raw.isNull())
        return RenderResult::DecodeFailed;
    picture = orientPicture(finishPicture(convertToSRgb(raw, jpeg.iccProfile()), storedFit), orientation);
    return picture.isNull() ? RenderResult::OverMemoryCap : RenderResult::Rendered;
}

RenderResult imagePicture(const QString &source, int width, int height, const QByteArray *data, QImage &picture)
{
    if (width <= 0 || height <= 0)
        return RenderResult::DecodeFailed;
    {
        std::unique_ptr<JpegDecoder> jpeg(data ? new JpegDecoder(*data) : new JpegDecoder(source));
        if (jpeg->isJpeg()) {
            if (!jpeg->readHeader())
                return RenderResult::DecodeFailed;
            // CMYK and YCCK files take Qt's path, which converts them.
            if (jpeg->canDecode())
                return jpegPicture(*jpeg, width, height, data ? data->size() : 0, jpeg->orientation(), picture);
        }
    }
    const PictureBytes file{source, data};
    if (isRadiance(data ? *data : file.open()->read(16)))
        return radianceFile(file, width, height, picture);
    return qtPicture(file, width, height, picture);
}

RenderResult imageThumbnail(const QString &source, const QString &target, int width, int height, const QByteArray *data)
{
    QImage picture;
    const RenderResult result = imagePicture(source, width, height, data, picture);
    if (result != RenderResult::Rendered)
        return result;
    return writeThumbnail(picture, target) ? RenderResult::Rendered : RenderResult::CannotWrite;
}
