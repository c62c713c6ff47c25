#ifndef JPEGDECODER_H
#define JPEGDECODER_H
#include <QImage>
#include <QSize>
#include <QString>
#include <memory>

// Reads one JPEG file with libjpeg-turbo at the smallest DCT scale (1/8 to
// 8/8) whose output still covers a wanted size, so that a thumbnail never
// needs the full-size picture in memory. A progressive file decoded at 1/8
// stops as soon as what that output reads has arrived: the DC coefficients
// with at most their last refinement bit missing, and the first pass of the
// few AC coefficients a 2x2 chroma IDCT reads. Not exact, but within about
// one level of the full decode at the same scale, at a fraction of its time.
//
// Use: readHeader(), look at size() and orientation(), then decode() once.
class JpegDecoder
{
public:
    explicit JpegDecoder(const QString &path);
    // From a file's bytes, which must outlive the decoder.
    explicit JpegDecoder(const QByteArray &data);
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // True when the file's content starts with FF D8 FF, whatever its name.
    bool isJpeg() const;
    // False for an unreadable or corrupt header, and for one that declares
    // far more pixels than the file's length could encode.
    bool readHeader();
    // CMYK and YCCK files cannot be converted to RGB by the library.
    bool canDecode() const;
    QSize size() const;                 // as stored, before the EXIF orientation
    int orientation() const;            // EXIF orientation 1..8, 1 when absent
    QByteArray iccProfile() const;      // the embedded ICC profile (APP2 chunks joined), or empty
    // Bytes that decode(minSize) will hold at its peak: the output picture,
    // and for a progressive file the whole-image coefficient buffers.
    qint64 memoryNeeded(const QSize &minSize) const;
    // The picture, as stored (orientation not applied), at least minSize on
    // both sides unless the file itself is smaller, in the file's own
    // colours. A null image on any error, on data that runs out before the
    // last row (or before the last scan the output needs), or when libjpeg
    // would need more than memoryCap bytes.
    QImage decode(const QSize &minSize, qint64 memoryCap);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // JPEGDECODER_H
