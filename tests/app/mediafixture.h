#ifndef MEDIAFIXTURE_H
#define MEDIAFIXTURE_H
#include "renderresult.h"
#include "rendersettings.h"
#include "stopflag.h"
#include "../testhelpers.h"

#include <QtGui>
#include <QtTest>

#include <cmath>
#include <functional>
#include <zlib.h>

// Pictures, videos, fake programs and file checks shared by the renderer
// and walk tests.

constexpr QRgb RED = qRgb(255, 0, 0), GREEN = qRgb(0, 255, 0), BLUE = qRgb(0, 0, 255), YELLOW = qRgb(255, 255, 0);

inline bool haveTool(const char *name) { return !QStandardPaths::findExecutable(QLatin1String(name)).isEmpty(); }

inline bool runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Solid colour, or the quadrants red, green / blue, yellow that show a wrong orientation or a shear.
inline QImage picture(int w, int h, QRgb colour = 0)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(colour);
    for (int y = 0; y < h && !colour; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, y < h / 2 ? (x < w / 2 ? RED : GREEN) : (x < w / 2 ? BLUE : YELLOW));
    return img;
}

// Fine detail everywhere, so that the compressed data is large and every
// scan carries some of it.
inline QImage detailed(int w, int h, int seed = 1)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 7 * seed) ^ y, (y * 5 + seed) ^ x, (x * y + seed) & 255));
    return img;
}

// Left half fully transparent (black behind the alpha), right half opaque blue.
inline QImage halfTransparent()
{
    QImage img(400, 200, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter(&img).fillRect(200, 0, 200, 200, QColor(BLUE));
    return img;
}

// The picture in format by Qt's own writer or a plug-in's; empty when none writes it.
inline QByteArray encoded(const QImage &img, const char *format)
{
    QBuffer buffer;
    return buffer.open(QIODevice::WriteOnly) && QImageWriter(&buffer, format).write(img) ? buffer.data() : QByteArray();
}

inline QByteArray jpegBytes(const QImage &img, bool progressive = false, int quality = 90)
{
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QImageWriter w(&buf, "jpeg");
    w.setQuality(quality);
    w.setProgressiveScanWrite(progressive);
    return w.write(img) ? buf.data() : QByteArray();
}

// An EXIF block holding only the orientation tag (little-endian TIFF, one IFD entry).
inline QByteArray exifOrientation(int orientation)
{
    QByteArray b("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\0\0\0\0\0\0\0\0", 26);
    b[18] = char(orientation);
    return b;
}

// A JPEG with that block in its APP1 segment.
inline bool writeJpeg(const QString &path, const QImage &img, int orientation)
{
    const QByteArray data = jpegBytes(img);
    const QByteArray app1 = QByteArray("\xFF\xE1\x00\x22" "Exif\0\0", 10) + exifOrientation(orientation);
    return !data.isEmpty() && writeFile(path, QByteArray(data).insert(2, app1));
}

inline QByteArray be32(quint32 v)
{
    QByteArray b(4, '\0');
    qToBigEndian(v, b.data());
    return b;
}

// A PNG chunk: length, type, body and the CRC of type and body.
inline QByteArray pngChunk(const QByteArray &type, const QByteArray &body)
{
    const QByteArray typed = type + body;
    return be32(quint32(body.size())) + typed
        + be32(quint32(crc32(0, reinterpret_cast<const Bytef *>(typed.constData()), uInt(typed.size()))));
}

// A short test-pattern video made by the real ffmpeg; empty on failure.
inline QString makeVideo(const QString &path, const QString &format = QStringLiteral("mp4"), int seconds = 1)
{
    return runTool(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-t",
                                              QString::number(seconds), "-pix_fmt", "yuv420p", "-f", format, path})
        ? path : QString();
}

// Colours a thumbnail must show, at points given as fractions of its size.
using Points = QVector<QPair<QPointF, QRgb>>;

// Empty when the image has each colour at its point, else what it has instead.
inline QString colourMismatch(const QImage &img, const Points &want, int tolerance = 48)
{
    QString out = img.isNull() ? QStringLiteral("no image") : QString();
    for (int i = 0; i < want.size() && !img.isNull(); ++i) {
        const QRgb got = img.pixel(int(want[i].first.x() * img.width()), int(want[i].first.y() * img.height()));
        if (qAbs(qRed(got) - qRed(want[i].second)) > tolerance || qAbs(qGreen(got) - qGreen(want[i].second)) > tolerance
            || qAbs(qBlue(got) - qBlue(want[i].second)) > tolerance)
            out += QStringLiteral("point %1: (%2,%3,%4) ").arg(i).arg(qRed(got)).arg(qGreen(got)).arg(qBlue(got));
    }
    return out;
}

// The peak signal-to-noise ratio of b against a, over the three channels, in dB.
inline double psnr(const QImage &a, const QImage &b)
{
    double se = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            se += qPow(qRed(p) - qRed(q), 2) + qPow(qGreen(p) - qGreen(q), 2) + qPow(qBlue(p) - qBlue(q), 2);
        }
    return 10 * std::log10(255.0 * 255.0 * 3 * a.width() * a.height() / qMax(se, 1.0));
}

// Entries of a folder, hidden ones included.
inline QStringList entries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs job on a thread and requests a stop once started() holds; how long
// the job then took to return, -1 on a timeout.
inline qint64 stopWhileRunning(const std::function<bool()> &job, const std::function<bool()> &started, bool &result)
{
    QScopedPointer<QThread> worker(QThread::create([&] { result = job(); }));
    worker->start();
    const bool began = QTest::qWaitFor(started, 10000);
    QElapsedTimer clock;
    clock.start();
    requestStop();
    return worker->wait(10000) && began ? clock.elapsed() : -1;
}

// A test function's own folder; on the way out it puts the render settings
// and the stop request back as a fresh process has them.
class MediaDir : public QTemporaryDir
{
public:
    ~MediaDir()
    {
        RenderSettings::set(RenderSettings());
        clearStop();
    }
    QString at(const QString &name) const { return filePath(name); }
    QString mkdir(const QString &name) const { return QDir().mkpath(at(name)) ? at(name) : QString(); }
    // "thumbs/t.jpg" after render(source, "thumbs/t.jpg", w, h): its size; invalid when the renderer
    // failed, 0x0 when it failed but still made the thumbnail folder.
    QSize rendered(RenderResult result) const
    {
        if (result == RenderResult::Rendered)
            return QImageReader(at(QStringLiteral("thumbs/t.jpg"))).size();
        return QFileInfo::exists(at(QStringLiteral("thumbs"))) ? QSize(0, 0) : QSize();
    }
    static void tune(const std::function<void(RenderSettings &)> &change)
    {
        RenderSettings settings = RenderSettings::current();
        change(settings);
        RenderSettings::set(settings);
    }
    // Makes the renderers run a fake ffmpeg with this script body (none: a missing program).
    bool fakeFfmpeg(const QByteArray &script) const
    {
        const QString path = at(QStringLiteral("fake-ffmpeg"));
        tune([&](RenderSettings &r) { r.ffmpegProgram = path; });
        return script.isEmpty()
            || (writeFile(path, "#!/bin/sh\n" + script) && QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner));
    }
};

// A test class's fresh MediaDir per test function: init() calls fresh(),
// which ends the previous test's folder, settings and stop request first.
struct MediaCase
{
    QScopedPointer<MediaDir> d;
    QString at(const QString &name) const { return d->at(name); }
    bool fresh()
    {
        d.reset(new MediaDir);
        return d->isValid();
    }
};

#endif // MEDIAFIXTURE_H
