#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "layoutwalk.h"
#include "mediakind.h"
#include "picturefit.h"
#include "rendersettings.h"
#include "stopflag.h"
#include "thumbnailfile.h"
#include "videothumbnail.h"

#include "br2utils.h"

#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QtTest>

#include <libheif/heif.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QRgb RED = qRgb(255, 0, 0), GREEN = qRgb(0, 255, 0), BLUE = qRgb(0, 0, 255), YELLOW = qRgb(255, 255, 0);

bool runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool heifEnc(const QString &png, const QString &heic, const QStringList &extra = {})
{
    return runTool("heif-enc", extra + QStringList{png, "-o", heic});
}

// Solid colour, or the quadrants red, green / blue, yellow that show a wrong orientation or a shear.
QImage picture(int w, int h, QRgb colour = 0)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(colour);
    for (int y = 0; y < h && !colour; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, y < h / 2 ? (x < w / 2 ? RED : GREEN) : (x < w / 2 ? BLUE : YELLOW));
    return img;
}

QByteArray jpegBytes(const QImage &img, bool progressive = false, int quality = 90)
{
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QImageWriter w(&buf, "jpeg");
    w.setQuality(quality);
    w.setProgressiveScanWrite(progressive);
    return w.write(img) ? buf.data() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// With orientation > 0, an EXIF APP1 segment holding only that tag (little-endian TIFF, one IFD entry).
bool writeJpeg(const QString &path, const QImage &img, bool progressive = false, int orientation = 0, int quality = 90)
{
    QByteArray data = jpegBytes(img, progressive, quality);
    QByteArray exif("\xFF\xE1\x00\x22" "Exif\0\0" "II*\0\x08\0\0\0" "\x01\0" "\x12\x01\x03\0\x01\0\0\0\0\0\0\0" "\0\0\0\0", 36);
    exif[28] = char(orientation);
    if (orientation > 0)
        data.insert(2, exif);
    return !data.isEmpty() && writeFile(path, data);
}

bool writeScript(const QString &path, const QByteArray &body)
{
    return writeFile(path, "#!/bin/sh\n" + body)
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray pngChunk(const char *type, const QByteArray &body)
{
    const QByteArray typed = QByteArray(type, 4) + body;
    quint32 c = 0xFFFFFFFFu;
    for (char ch : typed) {
        c ^= uchar(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    char len[4], crc[4];
    qToBigEndian<quint32>(quint32(body.size()), len);
    qToBigEndian<quint32>(~c, crc);
    return QByteArray(len, 4) + typed + QByteArray(crc, 4);
}

// A valid PNG that declares a huge square RGBA picture but holds almost no data.
QByteArray pngHeaderOnly(quint32 side)
{
    char ihdr[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 6, 0, 0, 0};
    qToBigEndian<quint32>(side, ihdr);
    qToBigEndian<quint32>(side, ihdr + 4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", QByteArray(ihdr, 13))
        + pngChunk("IDAT", qCompress(QByteArray(64, '\0')).mid(4)) + pngChunk("IEND", QByteArray());
}

qint64 peakRssKiB()
{
    QFile f("/proc/self/status");
    const QByteArray status = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const int at = status.indexOf("VmHWM:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong();
}

// Uncompressed grey true-colour TGA (w, h < 256), top-left origin, with the version 2 footer Qt's reader wants.
QByteArray tga(int w, int h)
{
    QByteArray head(18, '\0');
    head[2] = 2, head[12] = char(w), head[14] = char(h), head[16] = 24, head[17] = 0x20;
    return head + QByteArray(3 * w * h, '\x80') + QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.\0", 18);
}

QSize imageSize(const QString &path) { return QImageReader(path).size(); }

// Empty when the image has each colour at its point (fractions of the size), else what it has instead.
QString colourMismatch(const QImage &img, const QVector<QPair<QPointF, QRgb>> &want, int tolerance = 48)
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

// Files of a folder, hidden ones included.
QStringList entries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString cloudName(const QString &source, const char *suffix) { return md5hex(QFileInfo(source).absoluteFilePath()) + suffix; }

void setMtime(const QString &path, qint64 secsFromNow)
{
    struct timespec ts[2];
    ::clock_gettime(CLOCK_REALTIME, &ts[0]);
    ts[0].tv_sec += secsFromNow;
    ts[1] = ts[0];
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), ts, AT_SYMLINK_NOFOLLOW);
}

qint64 mtimeNs(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) ? -1 : qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Runs job on a thread and requests a stop once started() holds; how long the job then took to return, -1 on a timeout.
qint64 stopWhileRunning(const std::function<bool()> &job, const std::function<bool()> &started, bool &result)
{
    result = true;
    QScopedPointer<QThread> worker(QThread::create([&] { result = job(); }));
    worker->start();
    const bool began = QTest::qWaitFor(started, 10000);
    QElapsedTimer clock;
    clock.start();
    requestStop();
    return worker->wait(10000) && began ? clock.elapsed() : -1;
}

} // namespace

class TestMZThumbgen : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;    // one per test function
    // The renderers' verdicts as the cases read them: a thumbnail or none.
    static bool imageThumbSave(const QString &s, const QString &t, int w, int h) { return imageThumbnail(s, t, w, h) == RenderResult::Rendered; }
    static bool imageThumbHeicSave(const QString &s, const QString &t, int w, int h) { return heifThumbnail(s, t, w, h) == RenderResult::Rendered; }
    static bool videoThumbSave(const QString &s, const QString &t, int w, int h) { return videoThumbnail(s, t, w, h) == RenderResult::Rendered; }
    static void tune(const std::function<void(RenderSettings &)> &change)
    {
        RenderSettings settings = RenderSettings::current();
        change(settings);
        RenderSettings::set(settings);
    }
    const bool m_ffmpeg = !QStandardPaths::findExecutable("ffmpeg").isEmpty();
    const bool m_heifEnc = !QStandardPaths::findExecutable("heif-enc").isEmpty();

    QString at(const QString &name) const { return m_dir->filePath(name); }
    QString mkdirAt(const QString &name) const { return QDir().mkpath(at(name)) ? at(name) : QString(); }

    // Renders into thumbs/t.jpg with the image or the HEIF renderer: the thumbnail's size, invalid on false.
    QSize render(const QString &src, int w, int h, bool heif = false) const
    {
        const QString out = at("thumbs/t.jpg");
        QFile::remove(out);
        const bool ok = heif ? imageThumbHeicSave(src, out, w, h) : imageThumbSave(src, out, w, h);
        return ok ? imageSize(out) : QSize();
    }
    QImage thumb() const { return QImage(at("thumbs/t.jpg")); }

    // A source folder "src" holding one solid 300x300 JPEG.
    QString photoFolder(const QString &name = "p.jpg", QRgb colour = GREEN) const
    {
        return writeJpeg(mkdirAt("src") + '/' + name, picture(300, 300, colour)) ? at("src") : QString();
    }

    QString makeVideo(const QString &dir, const QString &name, const QString &format = "mp4", int seconds = 1) const
    {
        return runTool("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10",
                                  "-t", QString::number(seconds), "-pix_fmt", "yuv420p", "-f", format, dir + '/' + name})
            ? dir + '/' + name : QString();
    }

    // A fake ffmpeg with this script body (none: a missing program), and a one-byte "video" v.mp4.
    bool fakeFfmpeg(const QByteArray &script) const
    {
        tune([&](RenderSettings &r) { r.ffmpegProgram = at("fake-ffmpeg"); });
        return (script.isEmpty() || writeScript(at("fake-ffmpeg"), script)) && writeFile(at("v.mp4"), "x");
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    }

    void cleanup()
    {
        m_dir.reset();
        clearStop();
        RenderSettings::set(RenderSettings());
    }

    void fitRule_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("expected");
        const QSize box(200, 200);
        QTest::newRow("4000x3000") << QSize(4000, 3000) << box << QSize(200, 150);
        QTest::newRow("3000x4000") << QSize(3000, 4000) << box << QSize(150, 200);
        QTest::newRow("100x50 enlarged") << QSize(100, 50) << box << QSize(200, 100);
        QTest::newRow("50x100 enlarged") << QSize(50, 100) << box << QSize(100, 200);
        QTest::newRow("200x100 kept") << QSize(200, 100) << box << QSize(200, 100);
        QTest::newRow("150x250") << QSize(150, 250) << box << QSize(120, 200);
        QTest::newRow("1000x2 keeps a pixel") << QSize(1000, 2) << box << QSize(200, 1);
        QTest::newRow("1366x768 rounds down") << QSize(1366, 768) << box << QSize(200, 112);
        QTest::newRow("box 160x120") << QSize(640, 480) << QSize(160, 120) << QSize(160, 120);
    }

    // Through both image renderers, from JPEG, PNG and (below 4 MP) HEIF files of that size.
    void fitRule()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, box);
        QFETCH(QSize, expected);
        QCOMPARE(fitSize(source, box.width(), box.height()), expected);
        const QImage img = picture(source.width(), source.height(), qRgb(40, 120, 200));
        QVERIFY(writeJpeg(at("s.jpg"), img) && img.save(at("s.png")));
        QCOMPARE(render(at("s.jpg"), box.width(), box.height()), expected);
        QCOMPARE(render(at("s.png"), box.width(), box.height()), expected);
        if (m_heifEnc && source.width() * source.height() < 4000000) {
            QVERIFY(heifEnc(at("s.png"), at("s.heic"), {"-q", "60"}));
            QCOMPARE(render(at("s.heic"), box.width(), box.height(), true), expected);
        }
    }

    void orientation_data()
    {
        QTest::addColumn<int>("orientation");
        for (int o = 1; o <= 8; ++o)
            QTest::addRow("orientation %d", o) << o;
    }

    // The thumbnail must look like Qt's own upright reading of the file.
    void orientation()
    {
        QFETCH(int, orientation);
        QVERIFY(writeJpeg(at("o.jpg"), picture(400, 200), false, orientation));
        QImageReader reader(at("o.jpg"));
        reader.setAutoTransform(true);
        const QImage upright = reader.read();
        QCOMPARE(render(at("o.jpg"), 200, 200), fitSize(upright.size(), 200, 200));
        QVector<QPair<QPointF, QRgb>> want;
        for (const QPointF &p : {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)})
            want.append({p, upright.pixel(int(p.x() * upright.width()), int(p.y() * upright.height()))});
        QCOMPARE(colourMismatch(thumb(), want), QString());
    }

    // The DC-only decode of a progressive file matches the full decode of the same photo stored as baseline.
    void progressiveMatchesBaseline()
    {
        QImage img(1600, 1200, QImage::Format_RGB32), thumbs[2];
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                img.setPixel(x, y, qRgb(x * 255 / img.width(), y * 255 / img.height(), (x + y) % 256 < 128 ? 60 : 190));
        for (int progressive = 0; progressive < 2; ++progressive) {
            QVERIFY(writeJpeg(at("s.jpg"), img, progressive, 0, 95));
            QCOMPARE(render(at("s.jpg"), 160, 160), QSize(160, 120));
            thumbs[progressive] = thumb();
        }
        double mean = 0;
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x) {
                const QRgb p = thumbs[0].pixel(x, y), q = thumbs[1].pixel(x, y);
                mean += (qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q))) / (3.0 * 160 * 120);
            }
        QVERIFY2(mean < 4.0, qPrintable(QString::number(mean)));
    }

    // libjpeg cannot turn CMYK into RGB; such files go through Qt's reader.
    void cmykJpeg()
    {
        if (QStandardPaths::findExecutable("convert").isEmpty()) QSKIP("imagemagick not installed");
        QVERIFY(runTool("convert", {"-size", "400x300", "xc:red", "-colorspace", "CMYK", at("cmyk.jpg")}));
        QCOMPARE(render(at("cmyk.jpg"), 200, 200), QSize(200, 150));
        QCOMPARE(colourMismatch(thumb(), {{{0.5, 0.5}, RED}}, 64), QString());
    }

    void transparencyOnWhite_data()
    {
        QTest::addColumn<bool>("heif");
        QTest::newRow("png") << false;
        QTest::newRow("heif") << true;
    }

    // Left half fully transparent (black behind the alpha), right half opaque blue.
    void transparencyOnWhite()
    {
        QFETCH(bool, heif);
        if (heif && !m_heifEnc) QSKIP("heif-enc not installed");
        QImage img(400, 200, QImage::Format_ARGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                img.setPixel(x, y, x < 200 ? qRgba(0, 0, 0, 0) : qRgba(0, 0, 255, 255));
        QVERIFY(img.save(at("a.png")));
        QVERIFY(!heif || heifEnc(at("a.png"), at("a.heic"), {"-q", "80"}));
        QCOMPARE(render(at(heif ? "a.heic" : "a.png"), 200, 200, heif), QSize(200, 100));
        QCOMPARE(colourMismatch(thumb(), {{{0.2, 0.5}, qRgb(255, 255, 255)}}), QString());
        QCOMPARE(colourMismatch(thumb(), {{{0.8, 0.5}, BLUE}}, 64), QString());
    }

    // libheif pads rows; a 333-pixel RGB row (999 bytes) gets a longer stride,
    // which must be honoured or the rows shear and the channels rotate.
    void heifStrideAndThumbnail()
    {
        if (!m_heifEnc) QSKIP("heif-enc not installed");
        QVERIFY(picture(334, 200).copy(0, 0, 333, 200).save(at("q.png")) && heifEnc(at("q.png"), at("q.heic"), {"-q", "90"}));
        int stride = 0;     // the fixture really has a padded stride
        heif_context *ctx = heif_context_alloc();
        heif_image_handle *h = nullptr;
        heif_image *im = nullptr;
        if (heif_context_read_from_file(ctx, at("q.heic").toUtf8().constData(), nullptr).code == heif_error_Ok
            && heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok
            && heif_decode_image(h, &im, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code == heif_error_Ok)
            heif_image_get_plane_readonly(im, heif_channel_interleaved, &stride);
        heif_image_release(im);
        heif_image_handle_release(h);
        heif_context_free(ctx);
        QVERIFY2(stride > 3 * 333, qPrintable(QString::number(stride)));
        QCOMPARE(render(at("q.heic"), 200, 200, true), QSize(200, 120));
        QCOMPARE(colourMismatch(thumb(), {{{0.1, 0.1}, RED}, {{0.9, 0.1}, GREEN}, {{0.1, 0.9}, BLUE}, {{0.9, 0.9}, YELLOW}}),
                 QString());

        // With an embedded 320-pixel thumbnail the result has the same size and look.
        QVERIFY(picture(1200, 800).save(at("big.png")) && heifEnc(at("big.png"), at("t320.heic"), {"-t", "320"}));
        QCOMPARE(render(at("t320.heic"), 200, 200, true), QSize(200, 133));
        QCOMPARE(colourMismatch(thumb(), {{{0.1, 0.1}, RED}, {{0.9, 0.9}, YELLOW}}), QString());
    }

    void badSources_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray jpeg = jpegBytes(picture(640, 480, GREEN));
        QByteArray random(4096, '\0');
        for (int i = 0; i < random.size(); ++i)
            random[i] = char((i * 7919 + 13) % 251);
        QTest::newRow("truncated baseline") << jpeg.left(jpeg.size() / 2);
        QTest::newRow("truncated progressive") << jpegBytes(picture(640, 480, GREEN), true).left(700);
        QTest::newRow("random bytes") << random;
        QTest::newRow("random after JPEG magic") << QByteArray("\xFF\xD8\xFF", 3) + random;
        QTest::newRow("empty file") << QByteArray();
    }

    // Both renderers give false, and make no folder for a picture that could not be read.
    void badSources()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeFile(at("a.jpg"), content));
        QCOMPARE(render(at("a.jpg"), 200, 200), QSize());
        QCOMPARE(render(at("a.jpg"), 200, 200, true), QSize());
        QVERIFY(!QFileInfo::exists(at("thumbs")));
    }

    void memoryCap_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("capMiB");
        QTest::addColumn<int>("box");
        QTest::addColumn<bool>("expected");
        // A 2000x2000 progressive JPEG needs 12 MB of coefficient buffers even at 1/8.
        QTest::newRow("progressive under cap") << "progressive" << 64 << 200 << true;
        QTest::newRow("progressive over cap") << "progressive" << 8 << 200 << false;
        QTest::newRow("baseline small cap") << "baseline" << 8 << 200 << true;
        QTest::newRow("png over cap") << "png" << 8 << 200 << false;
        QTest::newRow("png under cap") << "png" << 64 << 200 << true;
        QTest::newRow("huge box jpeg") << "baseline" << 256 << 100000 << false;
        QTest::newRow("huge box png") << "png" << 256 << 100000 << false;
        QTest::newRow("huge box heif") << "heif" << 256 << 100000 << false;
    }

    void memoryCap()
    {
        QFETCH(QString, kind);
        QFETCH(int, capMiB);
        QFETCH(int, box);
        QFETCH(bool, expected);
        const bool heif = kind == QLatin1String("heif");
        if (heif && !m_heifEnc) QSKIP("heif-enc not installed");
        const QImage img = picture(2000, 2000, qRgb(90, 30, 160));
        const QString src = at(kind == QLatin1String("png") ? "s.png" : heif ? "s.heic" : "s.jpg");
        if (kind == QLatin1String("png"))
            QVERIFY(img.save(src));
        else if (heif)
            QVERIFY(img.scaled(64, 64).save(at("s.png")) && heifEnc(at("s.png"), src));
        else
            QVERIFY(writeJpeg(src, img, kind == QLatin1String("progressive")));
        tune([&](RenderSettings &r) { r.memoryCap = qint64(capMiB) << 20; });
        QCOMPARE(render(src, box, box, heif).isValid(), expected);
        QCOMPARE(QFileInfo::exists(at("thumbs/t.jpg")), expected);
    }

    // An icon whose directory says 16x16 while the PNG inside is 2000x2000:
    // the cap must judge what is decoded, not what the directory promises.
    void iconHidesLargePng()
    {
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && picture(2000, 2000, qRgb(10, 200, 90)).save(&buffer, "PNG"));
        QByteArray ico("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0", 14);
        for (quint32 v : {quint32(png.size()), quint32(22)})
            for (int i = 0; i < 4; ++i)
                ico.append(char((v >> (8 * i)) & 0xff));
        QVERIFY(writeFile(at("bomb.ico"), ico + png));
        tune([&](RenderSettings &r) { r.memoryCap = qint64(8) << 20; });
        QCOMPARE(render(at("bomb.ico"), 200, 200), QSize());
        QVERIFY(!QFileInfo::exists(at("thumbs/t.jpg")));
        tune([&](RenderSettings &r) { r.memoryCap = qint64(64) << 20; });
        QCOMPARE(render(at("bomb.ico"), 200, 200), QSize(200, 200));
    }

    // 12000 squared is under Qt's own 2 GB limit; neither is decoded.
    void memoryBombHeader()
    {
        QVERIFY(writeFile(at("bomb.png"), pngHeaderOnly(30000)) && writeFile(at("mid.png"), pngHeaderOnly(12000)));
        const qint64 before = peakRssKiB();
        QCOMPARE(render(at("bomb.png"), 200, 200), QSize());
        QCOMPARE(render(at("mid.png"), 200, 200), QSize());
        QVERIFY(!QFileInfo::exists(at("thumbs/t.jpg")));
        const qint64 grown = peakRssKiB() - before;
        QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(grown)));
    }

    void svgLocalImageRefused_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("expected");
        QTest::newRow("plain shapes") << QByteArray("<rect width='100' height='100' fill='blue'/>") << true;
        QTest::newRow("data uri image")
            << QByteArray("<image width='100' height='100' xlink:href='data:image/png;base64,"
                          "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGP4z8AAAAMBAQDJ/pLvAAAAAElFTkSuQmCC'/>")
            << true;
        QTest::newRow("local file image") << QByteArray("<image width='100' height='100' xlink:href='@RED@'/>") << false;
        QTest::newRow("file url image") << QByteArray("<image width='100' height='100' xlink:href='file://@RED@'/>") << false;
        QTest::newRow("plain href image") << QByteArray("<image width='100' height='100' href='@RED@'/>") << false;
    }

    void svgLocalImageRefused()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, expected);
        QVERIFY(picture(100, 100, RED).save(mkdirAt("private") + "/red.png"));
        body.replace("@RED@", at("private/red.png").toUtf8());
        QVERIFY(writeFile(at("s.svg"), "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
                                       "width='100' height='100'>" + body + "</svg>"));
        QCOMPARE(mediaKindOf(at("s.svg")), MediaImage);
        if (QTest::currentDataTag() == QLatin1String("local file image"))      // Qt alone paints the private file
            QCOMPARE(colourMismatch(QImage(at("s.svg")), {{{0.5, 0.5}, RED}}), QString());
        QCOMPARE(render(at("s.svg"), 200, 200), expected ? QSize(200, 200) : QSize());
        QCOMPARE(QFileInfo::exists(at("thumbs/t.jpg")), expected);
    }

    void mimeClass_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("make");       // how the file is made
        QTest::addColumn<int>("expected");
        QTest::newRow("upper-case name") << "PHOTO.JPG" << "jpeg" << int(MediaImage);
        QTest::newRow("png named jpg") << "p.jpg" << "png" << int(MediaImage);
        QTest::newRow("tga alias") << "a.tga" << "tga" << int(MediaImage);
        QTest::newRow("text") << "a.txt" << "text" << int(MediaNone);
        QTest::newRow("heic alias") << "a.heic" << "heif" << int(MediaHeif);
        QTest::newRow("mpeg-ts case") << "a.ts" << "mpegts" << int(MediaVideo);
        QTest::newRow("asf alias") << "a.asf" << "asf" << int(MediaVideo);
    }

    // Images of a listed type are also rendered.
    void mimeClass()
    {
        QFETCH(QString, name);
        QFETCH(QString, make);
        QFETCH(int, expected);
        const QImage img = picture(64, 48, qRgb(0, 255, 255));
        if (make == QLatin1String("jpeg") || make == QLatin1String("png"))
            QVERIFY(img.save(at(name), make.toLatin1().constData()));
        else if (make == QLatin1String("tga") || make == QLatin1String("text"))
            QVERIFY(writeFile(at(name), make == QLatin1String("tga") ? tga(64, 48) : QByteArray("just words\n")));
        else if (make == QLatin1String("heif") ? !m_heifEnc : !m_ffmpeg)
            QSKIP("heif-enc or ffmpeg not installed");
        else if (make == QLatin1String("heif"))
            QVERIFY(img.save(at("x.png")) && heifEnc(at("x.png"), at(name)));
        else
            QVERIFY(!makeVideo(m_dir->path(), name, make).isEmpty());
        QCOMPARE(int(mediaKindOf(at(name))), expected);
        if (expected == MediaImage)
            QCOMPARE(render(at(name), 200, 200), QSize(200, 150));
    }

    // The fake records its arguments and writes a small file to the last one.
    void ffmpegArguments()
    {
        const QString src = at("my \"clip\" 1.mp4"), target = at("new/sub/v.gif");
        QVERIFY(fakeFfmpeg("for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + at("args.txt").toUtf8() + "'; done\n"
                           + "printf 'GIF89a'\n") && writeFile(src, "x"));
        QVERIFY(videoThumbSave(src, target, 160, 120));
        QFile f(at("args.txt"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList args = QString::fromUtf8(f.readAll()).split('\n');
        QCOMPARE(args.takeLast(), QString());
        QCOMPARE(args.size(), 22);
        // Output goes to a file the service opened itself, never by name.
        QCOMPARE(args.takeLast(), QStringLiteral("pipe:1"));
        QCOMPARE(entries(at("new/sub")), QStringList({"v.gif"}));
        QCOMPARE(args.mid(0, 8),
                 QStringList({"-y", "-t", "15", "-ss", "00:00:00", "-protocol_whitelist", "file", "-format_whitelist"}));
        const QStringList demuxers = args.at(8).split(',');
        for (const char *needed : {"mov", "matroska", "avi", "asf", "mpegts", "flv", "mpeg"})
            QVERIFY2(demuxers.contains(QLatin1String(needed)), needed);
        for (const char *banned : {"hls", "concat", "image2", "tee"})
            QVERIFY2(!demuxers.contains(QLatin1String(banned)), banned);
        QCOMPARE(args.mid(9),
                 QStringList({"-i", src, "-s", "160x120", "-r", "5", "-threads", "1", "-preset", "veryslow", "-f", "gif"}));
        QCOMPARE(entries(at("new/sub")), QStringList({"v.gif"}));
        QCOMPARE(QFileInfo(target).permissions() & QFile::ReadOther, QFile::ReadOther);
    }

    void ffmpegFailures_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("width");
        QTest::newRow("hangs") << QByteArray("exec sleep 60\n") << 200;
        QTest::newRow("half a file, then fails") << QByteArray("printf 'GIF89a\\001'\nexit 1\n") << 200;
        QTest::newRow("exits 0, writes nothing") << QByteArray("exit 0\n") << 200;
        QTest::newRow("crashes") << QByteArray("kill -SEGV $$\n") << 200;
        QTest::newRow("side above 8192") << QByteArray("printf 'GIF89a'\n") << 8193;
        QTest::newRow("program missing") << QByteArray() << 200;
    }

    // False within the (shortened) time limit, and nothing in the thumbnail folder.
    void ffmpegFailures()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, width);
        QVERIFY(fakeFfmpeg(script));
        tune([&](RenderSettings &r) { r.videoTimeoutMs = 500; });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!videoThumbSave(at("v.mp4"), at("thumbs/v.gif"), width, 100));
        QVERIFY2(clock.elapsed() < 10000, "the time limit applies");
        QCOMPARE(entries(at("thumbs")), QStringList());
    }

    void ffmpegStop()
    {
        QVERIFY(fakeFfmpeg("touch '" + at("started").toUtf8() + "'\nexec sleep 60\n"));
        bool result = true;
        const qint64 ms = stopWhileRunning([&] { return videoThumbSave(at("v.mp4"), at("thumbs/v.gif"), 200, 200); },
                                           [&] { return QFileInfo::exists(at("started")); }, result);
        QVERIFY2(ms >= 0 && ms < 3000, qPrintable(QString::number(ms)));
        QVERIFY(!result);
        QCOMPARE(entries(at("thumbs")), QStringList());
    }

    // A five-line HLS playlist named .avi pointing at a video in another folder
    // must not turn that video into a thumbnail.
    void playlistNamedAviRefused()
    {
        if (!m_ffmpeg) QSKIP("ffmpeg not installed");
        const QString ts = makeVideo(mkdirAt("private"), "secret.ts", "mpegts", 3), avi = mkdirAt("upload") + "/clip.avi";
        QVERIFY(!ts.isEmpty());
        QVERIFY(writeFile(avi, "#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXTINF:3,\n" + ts.toUtf8() + "\n#EXT-X-ENDLIST\n"));
        // The playlist is a working attack on the bare argument list.
        runTool("ffmpeg", {"-v", "quiet", "-y", "-t", "15", "-ss", "00:00:00", "-i", avi, "-s", "200x200", "-r", "5",
                           "-threads", "1", "-preset", "veryslow", "-f", "gif", at("leaked.gif")});
        QVERIFY2(QFileInfo(at("leaked.gif")).size() > 0, "fixture no longer reaches the private file");
        QVERIFY(!videoThumbSave(avi, at("thumbs/v.gif"), 200, 200));
        QCOMPARE(entries(at("thumbs")), QStringList());
    }

    // A JPEG, an MP4 (through the real ffmpeg), a text file, a hidden JPEG and a subfolder with a JPEG.
    void layouts()
    {
        if (!m_ffmpeg) QSKIP("ffmpeg not installed");
        const QString src = photoFolder("photo.jpg"), photo = src + "/photo.jpg", deep = mkdirAt("src/sub") + "/deep.jpg";
        const QString clip = makeVideo(src, "clip one.mp4");
        QVERIFY(QFile::copy(photo, src + "/.hidden.jpg") && QFile::copy(photo, deep) && !clip.isEmpty());
        QVERIFY(writeFile(src + "/notes.txt", "words\n"));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QVERIFY2(clock.elapsed() >= 150, "one pause after each of the three files");
        const QString photoThumb = at("cloud/" + cloudName(photo, ".jpg")), clipThumb = at("cloud/" + cloudName(clip, ".gif"));
        QStringList expected = {QFileInfo(photoThumb).fileName(), QFileInfo(clipThumb).fileName()};
        expected.sort();
        QCOMPARE(entries(at("cloud")), expected);
        QCOMPARE(imageSize(photoThumb), QSize(200, 200));
        QImageReader gif(clipThumb);
        QCOMPARE(gif.format(), QByteArray("gif"));
        QCOMPARE(gif.size(), QSize(200, 200));
        QVERIFY(gif.imageCount() > 1 || gif.supportsAnimation());

        // A second walk renders nothing.
        const qint64 photoTime = mtimeNs(photoThumb), clipTime = mtimeNs(clipThumb);
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(mtimeNs(photoThumb), photoTime);
        QCOMPARE(mtimeNs(clipThumb), clipTime);

        QVERIFY(snapvaultWalk(src, at("vault"), 200, 200));
        expected = QStringList{QString::fromLatin1(fileMd5hex(photo)) + ".jpg", QString::fromLatin1(fileMd5hex(clip)) + ".gif"};
        expected.sort();
        QCOMPARE(entries(at("vault")), expected);

        // The cloud layout given a file does nothing; the photo layout renders it.
        QVERIFY(pellowcloudWalk(deep, at("cloud2"), 200, 200));
        QVERIFY(!QFileInfo::exists(at("cloud2")));
        QVERIFY(snapvaultWalk(deep, at("vault2"), 200, 200));
        QCOMPARE(entries(at("vault2")).size(), 1);
    }

    void cloudStaleness()
    {
        const QString src = photoFolder("p.jpg", RED), photo = src + "/p.jpg", thumb = at("cloud/" + cloudName(photo, ".jpg"));
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(colourMismatch(QImage(thumb), {{{0.1, 0.1}, RED}}), QString());

        // Edited after its thumbnail was made: rendered again, over the old one.
        setMtime(thumb, -3600);
        QVERIFY(writeJpeg(photo, picture(400, 300, BLUE)));
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(colourMismatch(QImage(thumb), {{{0.1, 0.1}, BLUE}}), QString());
        QCOMPARE(entries(at("cloud")).size(), 1);

        // Unchanged, or dated in the future: not rendered again.
        const qint64 t = mtimeNs(thumb);
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(mtimeNs(thumb), t);
        setMtime(photo, 86400);
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(mtimeNs(thumb), t);

        // An empty file (left by a crash before its data reached the disk) does not count.
        QVERIFY(writeFile(thumb, QByteArray()));
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(imageSize(thumb), QSize(200, 150));

        // A folder at the target name counts as present, however old.
        QVERIFY(QFile::remove(thumb) && QDir().mkdir(thumb));
        setMtime(photo, -7200);
        setMtime(thumb, -86400);
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QVERIFY(QFileInfo(thumb).isDir());
    }

    // An empty file under the shared name is rendered again; a full one is kept.
    void identicalPhotosShareSnapvault()
    {
        const QString src = photoFolder("a.jpg");
        QVERIFY(QFile::copy(src + "/a.jpg", src + "/b.jpg"));
        QVERIFY(snapvaultWalk(src, at("vault"), 200, 200));
        QCOMPARE(entries(at("vault")).size(), 1);
        const QString thumb = at("vault/" + entries(at("vault")).first());
        QVERIFY(writeFile(thumb, QByteArray()));
        QVERIFY(snapvaultWalk(src, at("vault"), 200, 200));
        QCOMPARE(imageSize(thumb), QSize(200, 200));
        const qint64 t = mtimeNs(thumb);
        QVERIFY(snapvaultWalk(src, at("vault"), 200, 200));
        QCOMPARE(mtimeNs(thumb), t);
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QCOMPARE(entries(at("cloud")).size(), 2);
    }

    // No thumbnail is ever written under the bare suffix ".jpg".
    void unreadableSkipped()
    {
        // A missing path is handed on unchanged and has no content hash.
        QVERIFY(snapvaultWalk(at("gone.jpg"), at("vault"), 200, 200));
        QVERIFY(!QFileInfo::exists(at("vault")));
        if (::geteuid() == 0) QSKIP("root ignores file modes");
        const QString src = photoFolder("locked.jpg");
        QVERIFY(QFile::setPermissions(src + "/locked.jpg", QFileDevice::Permissions()));
        QVERIFY(snapvaultWalk(src, at("vault"), 200, 200));
        QVERIFY(!QFileInfo::exists(at("vault/.jpg")));
    }

    void danglingLinkNotFollowed()
    {
        const QString src = photoFolder(), photo = src + "/p.jpg", thumb = mkdirAt("cloud") + '/' + cloudName(photo, ".jpg");
        QVERIFY(QFile::link(at("elsewhere.jpg"), thumb));
        QVERIFY(pellowcloudWalk(src, at("cloud"), 200, 200));
        QVERIFY(!QFileInfo::exists(at("elsewhere.jpg")) && QFileInfo(thumb).isSymLink());
        // A renderer told to write there replaces the link itself.
        QVERIFY(imageThumbSave(photo, thumb, 200, 200));
        QVERIFY(!QFileInfo::exists(at("elsewhere.jpg")) && !QFileInfo(thumb).isSymLink());
        QCOMPARE(imageSize(thumb), QSize(200, 200));
    }

    // Temporary files older than the process go (they used to stay for an
    // hour); fresh ones and other dot-files stay.
    void leftoversRemoved()
    {
        const QString cloud = mkdirAt("cloud") + '/', old = temporaryPrefix() + "aaaaaa";
        const QString fresh = temporaryPrefix() + "bbbbbb";
        for (const QString &name : {old, fresh, QStringLiteral(".keepme")})
            QVERIFY(writeFile(cloud + name, "GIF8"));
        setMtime(cloud + old, -600);
        setMtime(cloud + ".keepme", -2 * 3600);
        QVERIFY(pellowcloudWalk(mkdirAt("src"), cloud, 200, 200));
        QCOMPARE(entries(cloud), QStringList({fresh, ".keepme"}));
    }

    // A folder that is its own thumbnail folder: the thumbnails are never
    // thumbnailed in turn, however often it is walked.
    void ownThumbnailsNotWalked_data()
    {
        QTest::addColumn<bool>("cloud");
        QTest::newRow("pellowcloud") << true;
        QTest::newRow("snapvault") << false;
    }

    void ownThumbnailsNotWalked()
    {
        QFETCH(bool, cloud);
        const QString src = photoFolder();
        QVERIFY(writeJpeg(src + "/q.jpg", picture(300, 200, GREEN)));
        for (int walk = 0; walk < 3; ++walk)
            QVERIFY(cloud ? pellowcloudWalk(src, src + "/.", 200, 200) : snapvaultWalk(src, src, 200, 200));
        QCOMPARE(entries(src).size(), 4);
    }

    // 400 files take 20 s of pauses; the stop must cut the walk short in either layout.
    void stopDuringWalk()
    {
        const QString src = mkdirAt("src");
        for (int i = 0; i < 400; ++i)
            QVERIFY(writeFile(src + QStringLiteral("/n%1.txt").arg(i), "x"));
        for (int layout = 0; layout < 2; ++layout) {
            clearStop();
            QElapsedTimer walking;
            walking.start();
            bool result = true;
            const qint64 ms = stopWhileRunning(
                [&] { return layout == 0 ? pellowcloudWalk(src, at("c"), 200, 200) : snapvaultWalk(src, at("v"), 200, 200); },
                [&] { return walking.elapsed() >= 120; }, result);
            QVERIFY2(ms >= 0 && ms < 5000, qPrintable(QString::number(ms)));
            QVERIFY(!result);
        }
    }
};

QTEST_GUILESS_MAIN(TestMZThumbgen)
#include "tst_mzthumbgen.moc"
