#include "mzthumbgen.h"

#include "br2utils.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>

#include <libheif/heif.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool haveProgram(const QString &name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

bool runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Four solid quadrants: red, green / blue, yellow; orientation and
// shearing show up as colours in the wrong corner.
QImage quadrants(const QSize &size)
{
    QImage img(size, QImage::Format_RGB32);
    const int hw = size.width() / 2, hh = size.height() / 2;
    for (int y = 0; y < size.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = y < hh ? (x < hw ? qRgb(255, 0, 0) : qRgb(0, 255, 0)) : (x < hw ? qRgb(0, 0, 255) : qRgb(255, 255, 0));
    }
    return img;
}

// EXIF APP1 segment holding only the orientation tag, little-endian TIFF.
QByteArray exifSegment(int orientation)
{
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    char entry[2 + 12 + 4] = {};
    qToLittleEndian<quint16>(1, entry);
    qToLittleEndian<quint16>(0x0112, entry + 2);
    qToLittleEndian<quint16>(3, entry + 4);
    qToLittleEndian<quint32>(1, entry + 6);
    qToLittleEndian<quint16>(quint16(orientation), entry + 10);
    tiff.append(entry, sizeof entry);
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray seg("\xFF\xE1", 2);
    char len[2];
    qToBigEndian<quint16>(quint16(payload.size() + 2), len);
    return seg + QByteArray(len, 2) + payload;
}

bool writeJpeg(const QString &path, const QImage &img, bool progressive = false, int orientation = 0, int quality = 90)
{
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QImageWriter w(&buf, "jpeg");
    w.setQuality(quality);
    w.setProgressiveScanWrite(progressive);
    if (!w.write(img))
        return false;
    QByteArray data = buf.data();
    if (orientation > 0)
        data.insert(2, exifSegment(orientation));
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

quint32 crc32(const QByteArray &data)
{
    quint32 c = 0xFFFFFFFFu;
    for (char ch : data) {
        c ^= uchar(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

QByteArray pngChunk(const char *type, const QByteArray &body)
{
    char len[4];
    qToBigEndian<quint32>(quint32(body.size()), len);
    const QByteArray typed = QByteArray(type, 4) + body;
    char crc[4];
    qToBigEndian<quint32>(crc32(typed), crc);
    return QByteArray(len, 4) + typed + QByteArray(crc, 4);
}

// A PNG that declares a huge picture but holds almost no data.
QByteArray pngHeaderOnly(quint32 w, quint32 h)
{
    char ihdr[13] = {};
    qToBigEndian<quint32>(w, ihdr);
    qToBigEndian<quint32>(h, ihdr + 4);
    ihdr[8] = 8;    // bit depth
    ihdr[9] = 6;    // RGBA
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", QByteArray(ihdr, 13))
        + pngChunk("IDAT", qCompress(QByteArray(64, '\0')).mid(4)) + pngChunk("IEND", QByteArray());
}

qint64 peakRssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Uncompressed true-colour TGA with the version 2 footer Qt's reader wants.
QByteArray tga(const QImage &img)
{
    QByteArray out(18, '\0');
    out[2] = 2;
    qToLittleEndian<quint16>(quint16(img.width()), out.data() + 12);
    qToLittleEndian<quint16>(quint16(img.height()), out.data() + 14);
    out[16] = 24;
    out[17] = 0x20;     // top-left origin
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            out.append(char(qBlue(p))).append(char(qGreen(p))).append(char(qRed(p)));
        }
    return out + QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.\0", 18);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

bool writeScript(const QString &path, const QByteArray &body)
{
    if (!writeFile(path, "#!/bin/sh\n" + body))
        return false;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QSize imageSize(const QString &path)
{
    return QImageReader(path).size();
}

bool near(QRgb a, QRgb b, int tolerance = 48)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

QString colourText(QRgb c)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

// Files of a folder, hidden ones included.
QStringList folderEntries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

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
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

class TestMZThumbgen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void fitRule_data();
    void fitRule();
    void orientation_data();
    void orientation();
    void progressiveMatchesBaseline();
    void transparencyOnWhite_data();
    void transparencyOnWhite();
    void heifStrideAndThumbnail();
    void badSources_data();
    void badSources();
    void memoryCap_data();
    void memoryCap();
    void memoryBombHeader();
    void svgLocalImageRefused_data();
    void svgLocalImageRefused();
    void mimeClass_data();
    void mimeClass();

    void ffmpegArguments();
    void ffmpegFailures_data();
    void ffmpegFailures();
    void ffmpegStop();
    void realVideo();
    void playlistNamedAviRefused();

    void layouts();
    void cloudStaleness();
    void identicalPhotosShareSnapvault();
    void unreadableSkipped();
    void danglingLinkNotFollowed();
    void leftoversRemoved();
    void stopDuringWalk();

private:
    QString makeVideo(const QString &dir, const QString &name, const QString &format = QString(), int seconds = 1);
    bool m_ffmpeg = false;
    bool m_heifEnc = false;
};

void TestMZThumbgen::initTestCase()
{
    m_ffmpeg = haveProgram(QStringLiteral("ffmpeg"));
    m_heifEnc = haveProgram(QStringLiteral("heif-enc"));
}

void TestMZThumbgen::cleanup()
{
    MZThumbgen::clearStop();
    MZThumbgen::setMemoryCap(qint64(256) << 20);
    MZThumbgen::setVideoTimeoutMs(300000);
    MZThumbgen::setFfmpegProgram(QStringLiteral("ffmpeg"));
}

QString TestMZThumbgen::makeVideo(const QString &dir, const QString &name, const QString &format, int seconds)
{
    const QString path = QDir(dir).filePath(name);
    QStringList args = {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                        QStringLiteral("-f"), QStringLiteral("lavfi"),
                        QStringLiteral("-i"), QStringLiteral("testsrc=size=64x48:rate=10"),
                        QStringLiteral("-t"), QString::number(seconds), QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p")};
    if (!format.isEmpty())
        args << QStringLiteral("-f") << format;
    args << path;
    return runTool(QStringLiteral("ffmpeg"), args) ? path : QString();
}

void TestMZThumbgen::fitRule_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("box");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<bool>("heif");
    const QSize box(200, 200);
    QTest::newRow("4000x3000") << QSize(4000, 3000) << box << QSize(200, 150) << false;
    QTest::newRow("3000x4000") << QSize(3000, 4000) << box << QSize(150, 200) << false;
    QTest::newRow("100x50 enlarged") << QSize(100, 50) << box << QSize(200, 100) << true;
    QTest::newRow("50x100 enlarged") << QSize(50, 100) << box << QSize(100, 200) << true;
    QTest::newRow("200x100 kept") << QSize(200, 100) << box << QSize(200, 100) << true;
    QTest::newRow("150x200 kept") << QSize(150, 200) << box << QSize(150, 200) << true;
    QTest::newRow("200x200 kept") << QSize(200, 200) << box << QSize(200, 200) << true;
    QTest::newRow("250x150") << QSize(250, 150) << box << QSize(200, 120) << true;
    QTest::newRow("150x250") << QSize(150, 250) << box << QSize(120, 200) << true;
    QTest::newRow("1000x2 keeps a pixel") << QSize(1000, 2) << box << QSize(200, 1) << true;
    QTest::newRow("1366x768 rounds down") << QSize(1366, 768) << box << QSize(200, 112) << true;
    QTest::newRow("box 160x120") << QSize(640, 480) << QSize(160, 120) << QSize(160, 120) << true;
}

void TestMZThumbgen::fitRule()
{
    QFETCH(QSize, source);
    QFETCH(QSize, box);
    QFETCH(QSize, expected);
    QFETCH(bool, heif);
    QCOMPARE(MZThumbgen::fitSize(source, box.width(), box.height()), expected);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QImage img(source, QImage::Format_RGB32);
    img.fill(qRgb(40, 120, 200));
    const QString jpg = dir.filePath(QStringLiteral("s.jpg"));
    const QString png = dir.filePath(QStringLiteral("s.png"));
    QVERIFY(writeJpeg(jpg, img));
    QVERIFY(img.save(png));
    const MZThumbgen gen;
    const QString out1 = dir.filePath(QStringLiteral("t/jpeg.jpg"));
    QVERIFY(gen.imageThumbSave(jpg, out1, box.width(), box.height()));
    QCOMPARE(imageSize(out1), expected);
    const QString out2 = dir.filePath(QStringLiteral("t/png.jpg"));
    QVERIFY(gen.imageThumbSave(png, out2, box.width(), box.height()));
    QCOMPARE(imageSize(out2), expected);
    if (heif && m_heifEnc) {
        const QString heic = dir.filePath(QStringLiteral("s.heic"));
        QVERIFY(runTool(QStringLiteral("heif-enc"), {QStringLiteral("-q"), QStringLiteral("60"), png, QStringLiteral("-o"), heic}));
        const QString out3 = dir.filePath(QStringLiteral("t/heic.jpg"));
        QVERIFY(gen.imageThumbHeicSave(heic, out3, box.width(), box.height()));
        QCOMPARE(imageSize(out3), expected);
    }
}

void TestMZThumbgen::orientation_data()
{
    QTest::addColumn<int>("orientation");
    for (int o = 1; o <= 8; ++o)
        QTest::addRow("orientation %d", o) << o;
}

// The thumbnail must look like Qt's own upright reading of the file.
void TestMZThumbgen::orientation()
{
    QFETCH(int, orientation);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("o.jpg"));
    QVERIFY(writeJpeg(src, quadrants(QSize(400, 200)), false, orientation));
    QImageReader reader(src);
    reader.setAutoTransform(true);
    const QImage upright = reader.read();
    QVERIFY(!upright.isNull());

    const QString out = dir.filePath(QStringLiteral("t.jpg"));
    QVERIFY(MZThumbgen().imageThumbSave(src, out, 200, 200));
    const QImage thumb(out);
    QCOMPARE(thumb.size(), MZThumbgen::fitSize(upright.size(), 200, 200));
    for (const QPointF &at : {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)}) {
        const QRgb want = upright.pixel(int(at.x() * upright.width()), int(at.y() * upright.height()));
        const QRgb got = thumb.pixel(int(at.x() * thumb.width()), int(at.y() * thumb.height()));
        QVERIFY2(near(want, got), qPrintable(colourText(want) + QStringLiteral(" vs ") + colourText(got)));
    }
}

// The DC-only decode of a progressive file gives the same picture as the
// full decode of the same photo stored as baseline.
void TestMZThumbgen::progressiveMatchesBaseline()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QImage img(1600, 1200, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, qRgb(x * 255 / img.width(), y * 255 / img.height(), (x + y) % 256 < 128 ? 60 : 190));
    const QString base = dir.filePath(QStringLiteral("b.jpg"));
    const QString prog = dir.filePath(QStringLiteral("p.jpg"));
    QVERIFY(writeJpeg(base, img, false, 0, 95));
    QVERIFY(writeJpeg(prog, img, true, 0, 95));
    const MZThumbgen gen;
    QVERIFY(gen.imageThumbSave(base, dir.filePath(QStringLiteral("tb.jpg")), 160, 160));
    QVERIFY(gen.imageThumbSave(prog, dir.filePath(QStringLiteral("tp.jpg")), 160, 160));
    const QImage a(dir.filePath(QStringLiteral("tb.jpg")));
    const QImage b(dir.filePath(QStringLiteral("tp.jpg")));
    QCOMPARE(a.size(), QSize(160, 120));
    QCOMPARE(b.size(), a.size());
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    const double mean = sum / (3.0 * a.width() * a.height());
    QVERIFY2(mean < 4.0, qPrintable(QString::number(mean)));
}

void TestMZThumbgen::transparencyOnWhite_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("png") << QStringLiteral("png");
    QTest::newRow("heif") << QStringLiteral("heif");
}

void TestMZThumbgen::transparencyOnWhite()
{
    QFETCH(QString, kind);
    if (kind == QLatin1String("heif") && !m_heifEnc)
        QSKIP("heif-enc not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Left half fully transparent (with black behind the alpha), right half opaque blue.
    QImage img(400, 200, QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, x < 200 ? qRgba(0, 0, 0, 0) : qRgba(0, 0, 255, 255));
    const QString png = dir.filePath(QStringLiteral("a.png"));
    QVERIFY(img.save(png));
    const QString out = dir.filePath(QStringLiteral("t.jpg"));
    const MZThumbgen gen;
    if (kind == QLatin1String("png")) {
        QVERIFY(gen.imageThumbSave(png, out, 200, 200));
    } else {
        const QString heic = dir.filePath(QStringLiteral("a.heic"));
        QVERIFY(runTool(QStringLiteral("heif-enc"), {QStringLiteral("-q"), QStringLiteral("80"), png, QStringLiteral("-o"), heic}));
        QVERIFY(gen.imageThumbHeicSave(heic, out, 200, 200));
    }
    const QImage thumb(out);
    QCOMPARE(thumb.size(), QSize(200, 100));
    QVERIFY2(near(thumb.pixel(40, 50), qRgb(255, 255, 255)), qPrintable(colourText(thumb.pixel(40, 50))));
    QVERIFY2(near(thumb.pixel(160, 50), qRgb(0, 0, 255), 64), qPrintable(colourText(thumb.pixel(160, 50))));
}

// libheif pads rows; a 333-pixel RGB row (999 bytes) gets a longer stride,
// which must be honoured or the rows shear and the channels rotate.
void TestMZThumbgen::heifStrideAndThumbnail()
{
    if (!m_heifEnc)
        QSKIP("heif-enc not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString png = dir.filePath(QStringLiteral("q.png"));
    QVERIFY(quadrants(QSize(334, 200)).copy(0, 0, 333, 200).save(png));
    const QString heic = dir.filePath(QStringLiteral("q.heic"));
    QVERIFY(runTool(QStringLiteral("heif-enc"), {QStringLiteral("-q"), QStringLiteral("90"), png, QStringLiteral("-o"), heic}));

    {   // the fixture really has a padded stride
        heif_context *ctx = heif_context_alloc();
        QCOMPARE(heif_context_read_from_file(ctx, heic.toUtf8().constData(), nullptr).code, heif_error_Ok);
        heif_image_handle *h = nullptr;
        heif_context_get_primary_image_handle(ctx, &h);
        heif_image *im = nullptr;
        QCOMPARE(heif_decode_image(h, &im, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code, heif_error_Ok);
        int stride = 0;
        heif_image_get_plane_readonly(im, heif_channel_interleaved, &stride);
        heif_image_release(im);
        heif_image_handle_release(h);
        heif_context_free(ctx);
        QVERIFY2(stride > 3 * 333, qPrintable(QString::number(stride)));
    }
    const QString out = dir.filePath(QStringLiteral("t.jpg"));
    QVERIFY(MZThumbgen().imageThumbHeicSave(heic, out, 200, 200));
    const QImage thumb(out);
    QCOMPARE(thumb.size(), QSize(200, 120));
    QVERIFY(near(thumb.pixel(20, 10), qRgb(255, 0, 0)));
    QVERIFY(near(thumb.pixel(180, 10), qRgb(0, 255, 0)));
    QVERIFY2(near(thumb.pixel(20, 110), qRgb(0, 0, 255)), qPrintable(colourText(thumb.pixel(20, 110))));
    QVERIFY2(near(thumb.pixel(180, 110), qRgb(255, 255, 0)), qPrintable(colourText(thumb.pixel(180, 110))));

    // With an embedded 320-pixel thumbnail the result has the same size and look.
    const QString big = dir.filePath(QStringLiteral("big.png"));
    QVERIFY(quadrants(QSize(1200, 800)).save(big));
    const QString heicThumb = dir.filePath(QStringLiteral("t320.heic"));
    QVERIFY(runTool(QStringLiteral("heif-enc"), {QStringLiteral("-t"), QStringLiteral("320"), big, QStringLiteral("-o"), heicThumb}));
    const QString out2 = dir.filePath(QStringLiteral("t2.jpg"));
    QVERIFY(MZThumbgen().imageThumbHeicSave(heicThumb, out2, 200, 200));
    const QImage thumb2(out2);
    QCOMPARE(thumb2.size(), QSize(200, 133));
    QVERIFY(near(thumb2.pixel(180, 120), qRgb(255, 255, 0)));
}

void TestMZThumbgen::badSources_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QImage img(640, 480, QImage::Format_RGB32);
    img.fill(Qt::darkGreen);
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG");
    const QByteArray jpeg = buf.data();
    QBuffer pbuf;
    pbuf.open(QIODevice::WriteOnly);
    QImageWriter w(&pbuf, "jpeg");
    w.setProgressiveScanWrite(true);
    w.write(img);
    QByteArray random(4096, '\0');
    for (int i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919 + 13) % 251);
    QTest::newRow("truncated baseline") << jpeg.left(jpeg.size() / 2) << QStringLiteral("a.jpg");
    QTest::newRow("truncated progressive") << pbuf.data().left(700) << QStringLiteral("a.jpg");
    QTest::newRow("random bytes") << random << QStringLiteral("a.jpg");
    QTest::newRow("random after JPEG magic") << QByteArray("\xFF\xD8\xFF", 3) + random << QStringLiteral("a.jpg");
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("a.jpg");
    QTest::newRow("text as heif") << QByteArray("hello") << QStringLiteral("a.heic");
}

void TestMZThumbgen::badSources()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(name);
    QVERIFY(writeFile(src, content));
    const QString thumbs = dir.filePath(QStringLiteral("thumbs"));
    const QString out = thumbs + QStringLiteral("/t.jpg");
    const MZThumbgen gen;
    QVERIFY(!gen.imageThumbSave(src, out, 200, 200));
    QVERIFY(!gen.imageThumbHeicSave(src, out, 200, 200));
    QVERIFY2(!QFileInfo::exists(thumbs), "no folder for a picture that could not be read");
}

void TestMZThumbgen::memoryCap_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<QSize>("box");
    QTest::addColumn<bool>("expected");
    const qint64 MiB = 1 << 20;
    // A 2000x2000 progressive JPEG needs 12 MB of coefficient buffers even at 1/8.
    QTest::newRow("progressive under cap") << QStringLiteral("progressive") << 64 * MiB << QSize(200, 200) << true;
    QTest::newRow("progressive over cap") << QStringLiteral("progressive") << 8 * MiB << QSize(200, 200) << false;
    QTest::newRow("baseline small cap") << QStringLiteral("baseline") << 8 * MiB << QSize(200, 200) << true;
    QTest::newRow("png over cap") << QStringLiteral("png") << 8 * MiB << QSize(200, 200) << false;
    QTest::newRow("png under cap") << QStringLiteral("png") << 64 * MiB << QSize(200, 200) << true;
    QTest::newRow("huge box jpeg") << QStringLiteral("baseline") << 256 * MiB << QSize(100000, 100000) << false;
    QTest::newRow("huge box png") << QStringLiteral("png") << 256 * MiB << QSize(100000, 100000) << false;
    QTest::newRow("huge box heif") << QStringLiteral("heif") << 256 * MiB << QSize(100000, 100000) << false;
}

void TestMZThumbgen::memoryCap()
{
    QFETCH(QString, kind);
    QFETCH(qint64, cap);
    QFETCH(QSize, box);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QImage img(2000, 2000, QImage::Format_RGB32);
    img.fill(qRgb(90, 30, 160));
    QString src;
    if (kind == QLatin1String("png")) {
        src = dir.filePath(QStringLiteral("s.png"));
        QVERIFY(img.save(src));
    } else if (kind == QLatin1String("heif")) {
        if (!m_heifEnc)
            QSKIP("heif-enc not installed");
        const QString png = dir.filePath(QStringLiteral("s.png"));
        QVERIFY(img.scaled(64, 64).save(png));
        src = dir.filePath(QStringLiteral("s.heic"));
        QVERIFY(runTool(QStringLiteral("heif-enc"), {png, QStringLiteral("-o"), src}));
    } else {
        src = dir.filePath(QStringLiteral("s.jpg"));
        QVERIFY(writeJpeg(src, img, kind == QLatin1String("progressive")));
    }
    MZThumbgen::setMemoryCap(cap);
    const QString out = dir.filePath(QStringLiteral("t.jpg"));
    const MZThumbgen gen;
    const bool ok = kind == QLatin1String("heif") ? gen.imageThumbHeicSave(src, out, box.width(), box.height())
                                                   : gen.imageThumbSave(src, out, box.width(), box.height());
    QCOMPARE(ok, expected);
    QCOMPARE(QFileInfo::exists(out), expected);
}

void TestMZThumbgen::memoryBombHeader()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("bomb.png"));
    QVERIFY(writeFile(src, pngHeaderOnly(30000, 30000)));
    const QString mid = dir.filePath(QStringLiteral("mid.png"));
    QVERIFY(writeFile(mid, pngHeaderOnly(12000, 12000)));        // under Qt's own 2 GB limit
    const qint64 before = peakRssKiB();
    const MZThumbgen gen;
    QVERIFY(!gen.imageThumbSave(src, dir.filePath(QStringLiteral("t.jpg")), 200, 200));
    QVERIFY(!gen.imageThumbSave(mid, dir.filePath(QStringLiteral("t.jpg")), 200, 200));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("t.jpg"))));
    const qint64 after = peakRssKiB();
    QVERIFY2(after - before < 64 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(after - before)));
}

void TestMZThumbgen::svgLocalImageRefused_data()
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

void TestMZThumbgen::svgLocalImageRefused()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString red = dir.filePath(QStringLiteral("private/red.png"));
    QDir().mkpath(QFileInfo(red).absolutePath());
    QImage r(100, 100, QImage::Format_RGB32);
    r.fill(Qt::red);
    QVERIFY(r.save(red));
    body.replace("@RED@", red.toUtf8());
    const QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
                           "width='100' height='100'>" + body + "</svg>";
    const QString src = dir.filePath(QStringLiteral("s.svg"));
    QVERIFY(writeFile(src, svg));
    QCOMPARE(MZThumbgen::mimeClass(src), MZThumbgen::MediaImage);
    if (QTest::currentDataTag() == QLatin1String("local file image")) {
        const QImage leaked(src);   // Qt alone paints the private file
        QVERIFY(!leaked.isNull() && near(leaked.pixel(50, 50), qRgb(255, 0, 0)));
    }
    const QString out = dir.filePath(QStringLiteral("t/t.jpg"));
    QCOMPARE(MZThumbgen().imageThumbSave(src, out, 200, 200), expected);
    QCOMPARE(QFileInfo::exists(out), expected);
    if (expected)
        QCOMPARE(imageSize(out), QSize(200, 200));
}

void TestMZThumbgen::mimeClass_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("make");       // how the file is made
    QTest::addColumn<int>("expected");
    QTest::newRow("jpeg") << QStringLiteral("a.jpg") << QStringLiteral("jpeg") << int(MZThumbgen::MediaImage);
    QTest::newRow("upper-case name") << QStringLiteral("PHOTO.JPG") << QStringLiteral("jpeg") << int(MZThumbgen::MediaImage);
    QTest::newRow("png named jpg") << QStringLiteral("p.jpg") << QStringLiteral("png") << int(MZThumbgen::MediaImage);
    QTest::newRow("tga alias") << QStringLiteral("a.tga") << QStringLiteral("tga") << int(MZThumbgen::MediaImage);
    QTest::newRow("icon") << QStringLiteral("a.ico") << QStringLiteral("ico") << int(MZThumbgen::MediaImage);
    QTest::newRow("text") << QStringLiteral("a.txt") << QStringLiteral("text") << int(MZThumbgen::MediaNone);
    QTest::newRow("heic alias") << QStringLiteral("a.heic") << QStringLiteral("heif") << int(MZThumbgen::MediaHeif);
    QTest::newRow("mpeg-ts case") << QStringLiteral("a.ts") << QStringLiteral("mpegts") << int(MZThumbgen::MediaVideo);
    QTest::newRow("asf alias") << QStringLiteral("a.asf") << QStringLiteral("asf") << int(MZThumbgen::MediaVideo);
    QTest::newRow("mp4") << QStringLiteral("a.mp4") << QStringLiteral("mp4") << int(MZThumbgen::MediaVideo);
}

void TestMZThumbgen::mimeClass()
{
    QFETCH(QString, name);
    QFETCH(QString, make);
    QFETCH(int, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(name);
    QImage img(64, 48, QImage::Format_RGB32);
    img.fill(Qt::cyan);
    if (make == QLatin1String("jpeg") || make == QLatin1String("png")) {
        QVERIFY(img.save(path, make.toLatin1().constData()));
    } else if (make == QLatin1String("ico")) {
        QVERIFY(img.save(path, "ico"));
    } else if (make == QLatin1String("tga")) {
        QVERIFY(writeFile(path, tga(img)));
    } else if (make == QLatin1String("text")) {
        QVERIFY(writeFile(path, "just words\n"));
    } else if (make == QLatin1String("heif")) {
        if (!m_heifEnc)
            QSKIP("heif-enc not installed");
        const QString png = dir.filePath(QStringLiteral("x.png"));
        QVERIFY(img.save(png));
        QVERIFY(runTool(QStringLiteral("heif-enc"), {png, QStringLiteral("-o"), path}));
    } else {
        if (!m_ffmpeg)
            QSKIP("ffmpeg not installed");
        QVERIFY(!makeVideo(dir.path(), name, make).isEmpty());
    }
    QCOMPARE(int(MZThumbgen::mimeClass(path)), expected);
    if (expected == MZThumbgen::MediaImage) {
        const QString out = dir.filePath(QStringLiteral("t.jpg"));
        QVERIFY(MZThumbgen().imageThumbSave(path, out, 200, 200));
        QCOMPARE(imageSize(out), QSize(200, 150));
    }
}

// The fake records its arguments and writes a small file to the last one.
void TestMZThumbgen::ffmpegArguments()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fake = dir.filePath(QStringLiteral("fake-ffmpeg"));
    const QString log = dir.filePath(QStringLiteral("args.txt"));
    QVERIFY(writeScript(fake, "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + log.toUtf8() + "'; done\n"
                              "for a in \"$@\"; do last=$a; done\nprintf 'GIF89a' > \"$last\"\n"));
    MZThumbgen::setFfmpegProgram(fake);
    const QString src = dir.filePath(QStringLiteral("my \"clip\" 1.mp4"));
    QVERIFY(writeFile(src, "x"));
    const QString target = dir.filePath(QStringLiteral("new/sub/v.gif"));
    QVERIFY(MZThumbgen().videoThumbSave(src, target, 160, 120));
    QVERIFY(QFileInfo(target).isFile());
    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QStringList args = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(args.takeLast(), QString());
    QCOMPARE(args.size(), 22);
    const QString tmp = args.takeLast();
    QVERIFY2(QFileInfo(tmp).fileName().startsWith(MZThumbgen::temporaryPrefix()), qPrintable(tmp));
    QCOMPARE(QFileInfo(tmp).absolutePath(), QFileInfo(target).absolutePath());
    QCOMPARE(args.mid(0, 5), QStringList({"-y", "-t", "15", "-ss", "00:00:00"}));
    QCOMPARE(args.mid(5, 3), QStringList({"-protocol_whitelist", "file", "-format_whitelist"}));
    const QStringList demuxers = args.at(8).split(QLatin1Char(','));
    for (const char *needed : {"mov", "matroska", "avi", "asf", "mpegts", "flv", "mpeg"})
        QVERIFY2(demuxers.contains(QLatin1String(needed)), needed);
    for (const char *banned : {"hls", "concat", "image2", "tee"})
        QVERIFY2(!demuxers.contains(QLatin1String(banned)), banned);
    QCOMPARE(args.mid(9), QStringList({"-i", src, "-s", "160x120", "-r", "5", "-threads", "1", "-preset", "veryslow", "-f", "gif"}));
    QCOMPARE(folderEntries(QFileInfo(target).absolutePath()), QStringList({"v.gif"}));
    QCOMPARE(QFileInfo(target).permissions() & QFile::ReadOther, QFile::ReadOther);
}

void TestMZThumbgen::ffmpegFailures_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QSize>("box");
    QTest::newRow("hangs") << QByteArray("exec sleep 60\n") << QSize(200, 200);
    QTest::newRow("half a file, then fails") << QByteArray("for a in \"$@\"; do last=$a; done\nprintf 'GIF89a\\001' > \"$last\"\nexit 1\n") << QSize(200, 200);
    QTest::newRow("exits 0, writes nothing") << QByteArray("exit 0\n") << QSize(200, 200);
    QTest::newRow("crashes") << QByteArray("kill -SEGV $$\n") << QSize(200, 200);
    QTest::newRow("side above 8192") << QByteArray("for a in \"$@\"; do last=$a; done\nprintf 'GIF89a' > \"$last\"\n") << QSize(8193, 100);
    QTest::newRow("program missing") << QByteArray() << QSize(200, 200);
}

void TestMZThumbgen::ffmpegFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(QSize, box);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fake = dir.filePath(QStringLiteral("fake-ffmpeg"));
    if (!script.isEmpty())
        QVERIFY(writeScript(fake, script));
    MZThumbgen::setFfmpegProgram(fake);
    MZThumbgen::setVideoTimeoutMs(500);
    const QString src = dir.filePath(QStringLiteral("v.mp4"));
    QVERIFY(writeFile(src, "x"));
    const QString thumbs = dir.filePath(QStringLiteral("thumbs"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!MZThumbgen().videoThumbSave(src, thumbs + QStringLiteral("/v.gif"), box.width(), box.height()));
    QVERIFY2(clock.elapsed() < 10000, "the time limit applies");
    QCOMPARE(folderEntries(thumbs), QStringList());
}

void TestMZThumbgen::ffmpegStop()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fake = dir.filePath(QStringLiteral("fake-ffmpeg"));
    const QString started = dir.filePath(QStringLiteral("started"));
    QVERIFY(writeScript(fake, "touch '" + started.toUtf8() + "'\nexec sleep 60\n"));
    MZThumbgen::setFfmpegProgram(fake);
    const QString src = dir.filePath(QStringLiteral("v.mp4"));
    QVERIFY(writeFile(src, "x"));
    const QString thumbs = dir.filePath(QStringLiteral("thumbs"));
    bool result = true;
    QScopedPointer<QThread> worker(QThread::create([&] {
        result = MZThumbgen().videoThumbSave(src, thumbs + QStringLiteral("/v.gif"), 200, 200);
    }));
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(started), 10000);
    QElapsedTimer clock;
    clock.start();
    MZThumbgen::requestStop();
    QVERIFY(worker->wait(10000));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!result);
    QCOMPARE(folderEntries(thumbs), QStringList());
}

void TestMZThumbgen::realVideo()
{
    if (!m_ffmpeg)
        QSKIP("ffmpeg not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = makeVideo(dir.path(), QStringLiteral("clip one.mp4"));
    QVERIFY(!src.isEmpty());
    const QString target = dir.filePath(QStringLiteral("thumbs/v.gif"));
    QVERIFY(MZThumbgen().videoThumbSave(src, target, 160, 120));
    QImageReader reader(target);
    QCOMPARE(reader.format(), QByteArray("gif"));
    QCOMPARE(reader.size(), QSize(160, 120));
    QVERIFY(reader.imageCount() > 1 || reader.supportsAnimation());
    QCOMPARE(folderEntries(dir.filePath(QStringLiteral("thumbs"))), QStringList({"v.gif"}));
}

// A five-line HLS playlist named .avi pointing at a video in another folder
// must not turn that video into a thumbnail.
void TestMZThumbgen::playlistNamedAviRefused()
{
    if (!m_ffmpeg)
        QSKIP("ffmpeg not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir().mkpath(dir.filePath(QStringLiteral("private")));
    const QString ts = makeVideo(dir.filePath(QStringLiteral("private")), QStringLiteral("secret.ts"), QStringLiteral("mpegts"), 3);
    QVERIFY(!ts.isEmpty());
    const QString avi = dir.filePath(QStringLiteral("upload/clip.avi"));
    QDir().mkpath(QFileInfo(avi).absolutePath());
    QVERIFY(writeFile(avi, "#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXTINF:3,\n" + ts.toUtf8() + "\n#EXT-X-ENDLIST\n"));
    // The playlist is a working attack on the bare argument list.
    const QString leaked = dir.filePath(QStringLiteral("leaked.gif"));
    runTool(QStringLiteral("ffmpeg"), {"-v", "quiet", "-y", "-t", "15", "-ss", "00:00:00", "-i", avi, "-s", "200x200", "-r", "5",
                                       "-threads", "1", "-preset", "veryslow", "-f", "gif", leaked});
    QVERIFY2(QFileInfo(leaked).size() > 0, "fixture no longer reaches the private file");
    const QString thumbs = dir.filePath(QStringLiteral("thumbs"));
    QVERIFY(!MZThumbgen().videoThumbSave(avi, thumbs + QStringLiteral("/v.gif"), 200, 200));
    QCOMPARE(folderEntries(thumbs), QStringList());
}

// A JPEG, an MP4, a text file, a hidden JPEG and a subfolder with a JPEG.
void TestMZThumbgen::layouts()
{
    if (!m_ffmpeg)
        QSKIP("ffmpeg not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(src + QStringLiteral("/sub"));
    QImage img(640, 480, QImage::Format_RGB32);
    img.fill(Qt::magenta);
    QVERIFY(writeJpeg(src + QStringLiteral("/photo.jpg"), img));
    QVERIFY(writeJpeg(src + QStringLiteral("/.hidden.jpg"), img));
    QVERIFY(writeJpeg(src + QStringLiteral("/sub/deep.jpg"), img));
    QVERIFY(!makeVideo(src, QStringLiteral("clip.mp4")).isEmpty());
    QVERIFY(writeFile(src + QStringLiteral("/notes.txt"), "words\n"));

    const MZThumbgen gen;
    const QString cloud = dir.filePath(QStringLiteral("cloud"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QVERIFY2(clock.elapsed() >= 150, "one pause after each of the three files");
    const QString photoName = QString::fromLatin1(md5hex(QFileInfo(src + QStringLiteral("/photo.jpg")).absoluteFilePath())) + QStringLiteral(".jpg");
    const QString clipName = QString::fromLatin1(md5hex(QFileInfo(src + QStringLiteral("/clip.mp4")).absoluteFilePath())) + QStringLiteral(".gif");
    QStringList expected = {photoName, clipName};
    expected.sort();
    QCOMPARE(folderEntries(cloud), expected);
    QCOMPARE(imageSize(cloud + QLatin1Char('/') + photoName), QSize(200, 150));

    // A second walk renders nothing.
    const qint64 photoTime = mtimeNs(cloud + QLatin1Char('/') + photoName);
    const qint64 clipTime = mtimeNs(cloud + QLatin1Char('/') + clipName);
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QCOMPARE(mtimeNs(cloud + QLatin1Char('/') + photoName), photoTime);
    QCOMPARE(mtimeNs(cloud + QLatin1Char('/') + clipName), clipTime);

    const QString vault = dir.filePath(QStringLiteral("vault"));
    QVERIFY(gen.snapvault(src, vault, 200, 200));
    QStringList vaultExpected = {QString::fromLatin1(fileMd5hex(src + QStringLiteral("/photo.jpg"))) + QStringLiteral(".jpg"),
                                 QString::fromLatin1(fileMd5hex(src + QStringLiteral("/clip.mp4"))) + QStringLiteral(".gif")};
    vaultExpected.sort();
    QCOMPARE(folderEntries(vault), vaultExpected);

    // The cloud layout given a file does nothing; the photo layout renders it.
    const QString cloud2 = dir.filePath(QStringLiteral("cloud2"));
    QVERIFY(gen.pellowcloud(src + QStringLiteral("/sub/deep.jpg"), cloud2, 200, 200));
    QVERIFY(!QFileInfo::exists(cloud2));
    const QString vault2 = dir.filePath(QStringLiteral("vault2"));
    QVERIFY(gen.snapvault(src + QStringLiteral("/sub/deep.jpg"), vault2, 200, 200));
    QCOMPARE(folderEntries(vault2).size(), 1);
}

void TestMZThumbgen::cloudStaleness()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    const QString photo = src + QStringLiteral("/p.jpg");
    QImage img(400, 300, QImage::Format_RGB32);
    img.fill(Qt::red);
    QVERIFY(writeJpeg(photo, img));
    const QString cloud = dir.filePath(QStringLiteral("cloud"));
    const QString thumb = cloud + QLatin1Char('/') + QString::fromLatin1(md5hex(QFileInfo(photo).absoluteFilePath())) + QStringLiteral(".jpg");
    const MZThumbgen gen;
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QVERIFY(near(QImage(thumb).pixel(10, 10), qRgb(255, 0, 0)));

    // Edited after its thumbnail was made: rendered again, over the old one.
    setMtime(thumb, -3600);
    img.fill(Qt::blue);
    QVERIFY(writeJpeg(photo, img));
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QVERIFY(near(QImage(thumb).pixel(10, 10), qRgb(0, 0, 255)));
    QCOMPARE(folderEntries(cloud).size(), 1);

    // Unchanged: not rendered again.
    const qint64 t = mtimeNs(thumb);
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QCOMPARE(mtimeNs(thumb), t);

    // Dated in the future: not rendered on every walk.
    setMtime(photo, 86400);
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QCOMPARE(mtimeNs(thumb), t);

    // An empty file (left by a crash before its data reached the disk) does not.
    QVERIFY(writeFile(thumb, QByteArray()));
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QCOMPARE(imageSize(thumb), QSize(200, 150));

    // A folder at the target name counts as present.
    QVERIFY(QFile::remove(thumb));
    QVERIFY(QDir().mkdir(thumb));
    setMtime(photo, -7200);
    setMtime(thumb, -86400);
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QVERIFY(QFileInfo(thumb).isDir());
}

void TestMZThumbgen::identicalPhotosShareSnapvault()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    QImage img(300, 300, QImage::Format_RGB32);
    img.fill(Qt::green);
    QVERIFY(writeJpeg(src + QStringLiteral("/a.jpg"), img));
    QVERIFY(QFile::copy(src + QStringLiteral("/a.jpg"), src + QStringLiteral("/b.jpg")));
    const MZThumbgen gen;
    QVERIFY(gen.snapvault(src, dir.filePath(QStringLiteral("vault")), 200, 200));
    const QStringList vault = folderEntries(dir.filePath(QStringLiteral("vault")));
    QCOMPARE(vault.size(), 1);
    // An empty file under the name is rendered again; a full one is kept.
    const QString thumb = dir.filePath(QStringLiteral("vault/") + vault.first());
    QVERIFY(writeFile(thumb, QByteArray()));
    QVERIFY(gen.snapvault(src, dir.filePath(QStringLiteral("vault")), 200, 200));
    QCOMPARE(imageSize(thumb), QSize(200, 200));
    const qint64 t = mtimeNs(thumb);
    QVERIFY(gen.snapvault(src, dir.filePath(QStringLiteral("vault")), 200, 200));
    QCOMPARE(mtimeNs(thumb), t);
    QVERIFY(gen.pellowcloud(src, dir.filePath(QStringLiteral("cloud")), 200, 200));
    QCOMPARE(folderEntries(dir.filePath(QStringLiteral("cloud"))).size(), 2);
}

// No thumbnail is ever written under the bare suffix ".jpg".
void TestMZThumbgen::unreadableSkipped()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString vault = dir.filePath(QStringLiteral("vault"));
    const MZThumbgen gen;
    // A missing path is handed on unchanged and has no content hash.
    QVERIFY(gen.snapvault(dir.filePath(QStringLiteral("gone.jpg")), vault, 200, 200));
    QVERIFY(!QFileInfo::exists(vault));
    if (::geteuid() == 0)
        QSKIP("root ignores file modes");
    const QString src = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    QImage img(300, 300, QImage::Format_RGB32);
    img.fill(Qt::green);
    QVERIFY(writeJpeg(src + QStringLiteral("/locked.jpg"), img));
    QVERIFY(QFile::setPermissions(src + QStringLiteral("/locked.jpg"), QFileDevice::Permissions()));
    QVERIFY(gen.snapvault(src, vault, 200, 200));
    QVERIFY(!QFileInfo::exists(vault + QStringLiteral("/.jpg")));
}

void TestMZThumbgen::danglingLinkNotFollowed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    const QString cloud = dir.filePath(QStringLiteral("cloud"));
    QDir().mkpath(src);
    QDir().mkpath(cloud);
    QImage img(300, 300, QImage::Format_RGB32);
    img.fill(Qt::green);
    const QString photo = src + QStringLiteral("/p.jpg");
    QVERIFY(writeJpeg(photo, img));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere.jpg"));
    const QString thumb = cloud + QLatin1Char('/') + QString::fromLatin1(md5hex(QFileInfo(photo).absoluteFilePath())) + QStringLiteral(".jpg");
    QVERIFY(QFile::link(elsewhere, thumb));
    const MZThumbgen gen;
    QVERIFY(gen.pellowcloud(src, cloud, 200, 200));
    QVERIFY(!QFileInfo::exists(elsewhere));
    QVERIFY(QFileInfo(thumb).isSymLink());
    // A renderer told to write there replaces the link itself.
    QVERIFY(gen.imageThumbSave(photo, thumb, 200, 200));
    QVERIFY(!QFileInfo::exists(elsewhere));
    QVERIFY(!QFileInfo(thumb).isSymLink());
    QCOMPARE(imageSize(thumb), QSize(200, 200));
}

void TestMZThumbgen::leftoversRemoved()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    const QString cloud = dir.filePath(QStringLiteral("cloud"));
    QDir().mkpath(src);
    QDir().mkpath(cloud);
    const QString old = cloud + QLatin1Char('/') + MZThumbgen::temporaryPrefix() + QStringLiteral("aaaaaa");
    const QString fresh = cloud + QLatin1Char('/') + MZThumbgen::temporaryPrefix() + QStringLiteral("bbbbbb");
    const QString other = cloud + QStringLiteral("/.keepme");
    QVERIFY(writeFile(old, "GIF8"));
    QVERIFY(writeFile(fresh, "GIF8"));
    QVERIFY(writeFile(other, "x"));
    setMtime(old, -2 * 3600);
    setMtime(other, -2 * 3600);
    QVERIFY(MZThumbgen().pellowcloud(src, cloud, 200, 200));
    QCOMPARE(folderEntries(cloud), QStringList({QFileInfo(fresh).fileName(), QStringLiteral(".keepme")}));
}

void TestMZThumbgen::stopDuringWalk()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    for (int i = 0; i < 100; ++i)
        QVERIFY(writeFile(src + QStringLiteral("/n%1.txt").arg(i), "x"));
    for (int layout = 0; layout < 2; ++layout) {
        MZThumbgen::clearStop();
        bool result = true;
        QScopedPointer<QThread> worker(QThread::create([&] {
            const MZThumbgen gen;
            result = layout == 0 ? gen.pellowcloud(src, dir.filePath(QStringLiteral("c")), 200, 200)
                                 : gen.snapvault(src, dir.filePath(QStringLiteral("v")), 200, 200);
        }));
        worker->start();
        QTest::qWait(120);      // let the walk get into its pauses; 100 files take 5 s
        QElapsedTimer clock;
        clock.start();
        MZThumbgen::requestStop();
        QVERIFY(worker->wait(10000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!result);
    }
}

QTEST_GUILESS_MAIN(TestMZThumbgen)
#include "tst_mzthumbgen.moc"
