#include "jpegdecoder.h"

#include "mediafixture.h"

#include <cmath>

class TestJpegDecoder : public QObject, MediaCase
{
    Q_OBJECT
    QImage decode(const QByteArray &bytes, const QSize &min, bool *header = nullptr) const
    {
        if (!writeFile(at("f.jpg"), bytes))
            return QImage();
        JpegDecoder jpeg(at("f.jpg"));
        const bool read = jpeg.readHeader();
        if (header)
            *header = read;
        return read ? jpeg.decode(min, qint64(256) << 20) : QImage();
    }

private slots:
    void init() { QVERIFY(fresh()); }

    // Data that runs out before the last row (or the last scan the output
    // needs) is a failure; the end of the file alone, after it, is not.
    // Decoded at the smallest scale that covers minSize; 0x0: failed.
    void decodedSize_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("minSize");
        QTest::addColumn<QSize>("size");
        const QByteArray baseline = jpegBytes(detailed(640, 480)), progressive = jpegBytes(detailed(640, 480), true);
        const auto noEoi = [](const QByteArray &b) { return b.left(b.size() - 2); };
        const auto cut = [](const QByteArray &b, double kept) { return b.left(int(b.size() * kept)); };
        const QSize full(640, 480), eighth(80, 60), failed(0, 0);
        QTest::newRow("baseline, whole") << baseline << full << full;
        QTest::newRow("baseline, no EOI") << noEoi(baseline) << full << full;
        QTest::newRow("baseline, cut in its data") << cut(baseline, 0.6) << full << failed;
        QTest::newRow("baseline at 1/8, cut in its data") << cut(baseline, 0.6) << eighth << failed;
        QTest::newRow("progressive, no EOI") << noEoi(progressive) << full << full;
        QTest::newRow("progressive, last scans cut") << cut(progressive, 0.7) << full << failed;
        QTest::newRow("progressive at 1/8, AC scans cut") << cut(progressive, 0.7) << eighth << eighth;
        // Several scans without progression (one component each): the library
        // keeps no coefficient bits for them, and the 1/8 shortcut must not look.
        const QString data = QFINDTESTDATA("../../data/") + '/';
        QTest::newRow("non-interleaved at 1/8") << readFile(data + "noninterleaved.jpg") << QSize(40, 30) << QSize(40, 30);
        // 4:1:1 chroma would be a quarter of the output at the covering scale:
        // the scale goes up until it is half the box; 4:2:0 stays at 1/8.
        QTest::newRow("4:1:1 at half the box") << readFile(data + "stripes-411.jpg") << QSize(100, 50) << QSize(200, 100);
        QTest::newRow("4:2:0 at 1/8") << jpegBytes(picture(800, 400)) << QSize(100, 50) << QSize(100, 50);
    }

    void decodedSize()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, minSize);
        QTEST(decode(bytes, minSize).size(), "size");
    }

    // The 1/8 shortcut of a progressive file stops before the last DC bit
    // and most AC data: within 40 dB of the whole file decoded at 1/8 (its
    // baseline twin holds the same coefficients).
    void progressiveEighthClose_data()
    {
        QTest::addColumn<bool>("grey");
        QTest::addColumn<int>("quality");
        QTest::newRow("4:2:0, quality 75") << false << 75;
        QTest::newRow("4:2:0, quality 95") << false << 95;
        QTest::newRow("grey, quality 75") << true << 75;
    }

    void progressiveEighthClose()
    {
        QFETCH(bool, grey);
        QFETCH(int, quality);
        // Photo-like: smooth shapes with a little sensor noise.
        QImage photo(640, 480, QImage::Format_RGB32);
        for (int y = 0; y < photo.height(); ++y)
            for (int x = 0; x < photo.width(); ++x)
                photo.setPixel(x, y, qRgb(int(127 + 100 * std::sin(x / 40.0) * std::cos(y / 30.0)) + (x * y) % 7,
                                          int(127 + 100 * std::sin((x + 2 * y) / 50.0)), int(127 + 100 * std::cos(x * y / 9000.0))));
        const QImage source = grey ? photo.convertToFormat(QImage::Format_Grayscale8) : photo;
        const QImage fast = decode(jpegBytes(source, true, quality), QSize(80, 60));
        const QImage whole = decode(jpegBytes(source, false, quality), QSize(80, 60));
        QVERIFY(!fast.isNull() && fast.size() == whole.size());
        QVERIFY2(psnr(fast, whole) >= 40, qPrintable(QString::number(psnr(fast, whole))));
    }

    // 600 APP1 and APP2 markers of 60 KB (36 MB) after the EXIF block:
    // the orientation still comes from the first, and the markers cost no
    // memory (the library's own saving would hold all 36 MB).
    void manyMarkersKeptBounded()
    {
        const QByteArray exif = QByteArray("\xFF\xE1\x00\x22" "Exif\0\0", 10) + exifOrientation(6);
        QByteArray junk;
        for (int i = 0; i < 600; ++i) {
            const QByteArray body = (i % 2 ? QByteArray("ICC_PROFILE\0\x01\x01", 14) : QByteArray("Exif\0\0", 6)) + QByteArray(60000, char(i));
            junk += QByteArray(i % 2 ? "\xFF\xE2" : "\xFF\xE1", 2) + char((body.size() + 2) >> 8) + char((body.size() + 2) & 0xff) + body;
        }
        QByteArray bytes = jpegBytes(detailed(64, 48));
        bytes.insert(2, exif + junk);
        QVERIFY(writeFile(at("f.jpg"), bytes));
        QVERIFY(writeFile(QStringLiteral("/proc/self/clear_refs"), "5"));
        const qint64 before = peakKiB();
        JpegDecoder jpeg(at("f.jpg"));
        QVERIFY(jpeg.readHeader());
        QCOMPARE(jpeg.orientation(), 6);
        QVERIFY(!jpeg.decode(QSize(64, 48), qint64(256) << 20).isNull());
        QVERIFY2(peakKiB() - before < 8 * 1024, qPrintable(QString::number(peakKiB() - before)));
    }

    // A header that claims far more pixels than the file could encode.
    void implausibleSize()
    {
        QByteArray bytes = jpegBytes(picture(64, 64, GREEN));
        const int sof = bytes.indexOf("\xFF\xC0");
        QVERIFY(sof > 0);
        bytes.replace(sof + 5, 4, QByteArray("\xFD\xE8\xFD\xE8", 4));     // 65000 x 65000
        bool header = true;
        QVERIFY(decode(bytes, QSize(200, 200), &header).isNull());
        QVERIFY(!header);
    }
};

QTEST_GUILESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
