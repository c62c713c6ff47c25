#include "rawthumbnail.h"

#include "dngfixture.h"
#include "mediafixture.h"
#include "mediakind.h"

#include <QBuffer>

class TestRawThumbnail : public QObject
{
    Q_OBJECT

private slots:
    // Preview or development, turned upright by the RAW's orientation.
    void renders_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<Points>("colours");
        QImage preview = picture(320, 240, RED);
        QPainter(&preview).fillRect(0, 120, 320, 120, QColor(BLUE));      // the lower half
        const QByteArray jpeg = jpegBytes(preview);
        const Points upright = {{{0.5, 0.25}, RED}, {{0.5, 0.75}, BLUE}};
        // Turned clockwise, the preview's top is on the right.
        const Points turned = {{{0.75, 0.5}, RED}, {{0.25, 0.5}, BLUE}};
        QTest::newRow("preview") << DngFixture::dng(640, 480, 220, 40, 40, jpeg, 1, 320, 240) << QSize(200, 150) << upright;
        QTest::newRow("preview, oriented 6") << DngFixture::dng(640, 480, 220, 40, 40, jpeg, 6, 320, 240) << QSize(150, 200)
                                             << turned;
        // A preview smaller than the box, or none: the sensor data, red
        // sites bright, developed (and turned by LibRaw).
        const QByteArray small = jpegBytes(picture(64, 48, BLUE));
        QTest::newRow("preview too small") << DngFixture::dng(640, 480, 220, 40, 40, small, 1, 64, 48) << QSize(200, 150)
                                           << Points();
        QTest::newRow("no preview, oriented 6") << DngFixture::dng(640, 480, 220, 40, 40, QByteArray(), 6) << QSize(150, 200)
                                                << Points();
        // A TIFF that is no RAW, even under a RAW's name, is not rendered
        // through its TIFF structure (a 1x1 placeholder enlarged).
        QByteArray tiff;
        QBuffer buffer(&tiff);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && picture(1, 1, RED).save(&buffer, "TIFF"));
        QTest::newRow("a TIFF, no RAW") << tiff << QSize(0, 0) << Points();
    }
    void renders()
    {
        QFETCH(QByteArray, raw);
        QFETCH(Points, colours);
        QImage thumb;
        QFETCH(QSize, size);
        QCOMPARE(rawPicture(raw, 200, 200, thumb), size.isEmpty() ? RenderResult::DecodeFailed : RenderResult::Rendered);
        QCOMPARE(thumb.size(), size);
        if (size.isEmpty())
            return;
        if (!colours.isEmpty()) {
            QCOMPARE(colourMismatch(thumb, colours), QString());
        } else {
            const QRgb centre = thumb.pixel(thumb.width() / 2, thumb.height() / 2);
            QVERIFY2(qRed(centre) > qGreen(centre) + 60 && qRed(centre) > qBlue(centre) + 60,
                     qPrintable(QStringLiteral("developed as (%1,%2,%3)").arg(qRed(centre)).arg(qGreen(centre)).arg(qBlue(centre))));
        }
    }
};

QTEST_GUILESS_MAIN(TestRawThumbnail)
#include "tst_rawthumbnail.moc"
