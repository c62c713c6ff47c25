#ifndef JPEGDECODER_H
#define JPEGDECODER_H
#include <QImage>
#include <QSize>
#include <QString>
#include <memory>

// Reads one JPEG file with libjpeg-turbo at the smallest DCT scale (1/8 to
// 8/8) whose output still covers a wanted size, so that a thumbnail never
// needs the full-size picture in memory. A progressive file decoded at 1/8
// stops after the scans that complete the DC coefficients: at that scale the
// AC coefficients do not change a single output pixel.
//
// Use: readHeader(), look at size() and orientation(), then decode() once.
class JpegDecoder
{
public:
    explicit JpegDecoder(const QString &path);
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // True when the file's content starts with FF D8 FF, whatever its name.
    bool isJpeg() const;
    // False for an unreadable or corrupt header.
    bool readHeader();
    // CMYK and YCCK files cannot be converted to RGB by the library.
    bool canDecode() const;
    QSize size() const;                 // as stored, before the EXIF orientation
    int orientation() const;            // EXIF orientation 1..8, 1 when absent
    // Bytes that decode(minSize) will hold at its peak: the output picture,
    // and for a progressive file the whole-image coefficient buffers.
    qint64 memoryNeeded(const QSize &minSize) const;
    // The picture, as stored (orientation not applied), at least minSize on
    // both sides unless the file itself is smaller. A null image on any
    // error, on a file that ends before its last scan, or when libjpeg would
    // need more than memoryCap bytes.
    QImage decode(const QSize &minSize, qint64 memoryCap);

    // Orientation tag of an EXIF block (the APP1 payload after "Exif\0\0"),
    // 1 when it has none or is malformed.
    static int exifOrientation(const QByteArray &tiff);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // JPEGDECODER_H
