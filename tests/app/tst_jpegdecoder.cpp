#include "jpegdecoder.h"

#include "mediafixture.h"

class TestJpegDecoder : public QObject, MediaCase
{
    Q_OBJECT
    // Enough detail that the scans carry real data.
    static QImage detailed()
    {
        QImage img(640, 480, QImage::Format_RGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                img.setPixel(x, y, qRgb((x * 7) ^ y, (y * 5) ^ x, (x * y) & 255));
        return img;
    }
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
    void cleanup() { d.reset(); }

    // Data that runs out before the last row (or the last scan the output
    // needs) is a failure; the end of the file alone, after it, is not.
    void damaged_data()
    {
        QTest::addColumn<bool>("progressive");
        QTest::addColumn<double>("kept");          // share of the file's bytes kept; 0: all but the EOI
        QTest::addColumn<QSize>("minSize");
        QTest::addColumn<bool>("decodes");
        const QSize full(640, 480), eighth(80, 60);
        QTest::newRow("baseline, whole") << false << 1.0 << full << true;
        QTest::newRow("baseline, no EOI") << false << 0.0 << full << true;
        QTest::newRow("baseline, cut in its data") << false << 0.6 << full << false;
        QTest::newRow("baseline at 1/8, cut in its data") << false << 0.6 << eighth << false;
        QTest::newRow("progressive, no EOI") << true << 0.0 << full << true;
        QTest::newRow("progressive, last scans cut") << true << 0.7 << full << false;
        QTest::newRow("progressive at 1/8, AC scans cut") << true << 0.7 << eighth << true;
    }

    void damaged()
    {
        QFETCH(bool, progressive);
        QFETCH(double, kept);
        QFETCH(QSize, minSize);
        const QByteArray whole = jpegBytes(detailed(), progressive);
        const QByteArray bytes = kept == 0 ? whole.left(whole.size() - 2) : whole.left(int(whole.size() * kept));
        QTEST(!decode(bytes, minSize).isNull(), "decodes");
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

    // 4:1:1 chroma would be a quarter of the output at the covering scale:
    // the scale goes up until it is half the box; 4:2:0 stays at 1/8.
    void chromaPlaneCoversHalfTheBox()
    {
        QFile f411(QFINDTESTDATA("../data/stripes-411.jpg"));
        QVERIFY(f411.open(QIODevice::ReadOnly));
        QCOMPARE(decode(f411.readAll(), QSize(100, 50)).size(), QSize(200, 100));
        QCOMPARE(decode(jpegBytes(picture(800, 400)), QSize(100, 50)).size(), QSize(100, 50));
    }
};

QTEST_GUILESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
