#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "srgbconversion.h"

#include "mediafixture.h"

// The pictures under tests/data hold eight saturated sRGB patches (4 x 2,
// 32 pixels a side), converted into a wide-gamut space and saved with that
// space's profile; a thumbnail must show the sRGB patches again.
class TestSRgbConversion : public QObject, MediaCase
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(fresh()); }

    void wideGamut_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("JPEG, Adobe RGB") << "patches-adobergb.jpg";
        QTest::newRow("JPEG, Display P3") << "patches-displayp3.jpg";
        QTest::newRow("JPEG, LUT-based profile (lcms)") << "patches-lutprofile.jpg";
        QTest::newRow("PNG, Adobe RGB") << "patches-adobergb.png";
        QTest::newRow("PNG, Display P3") << "patches-displayp3.png";
        QTest::newRow("HEIF, Display P3 profile") << "patches-displayp3.heic";
        QTest::newRow("AVIF, Display P3 nclx") << "patches-displayp3-nclx.avif";
    }

    void wideGamut()
    {
        QFETCH(QString, file);
        const QString source = QFINDTESTDATA("../../data/" + file);
        QVERIFY(!source.isEmpty());
        const QString target = d->at("thumbs/t.jpg");
        const RenderResult r = file.endsWith(".heic") || file.endsWith(".avif") ? heifThumbnail(source, target, 200, 200)
                                                      : imageThumbnail(source, target, 200, 200);
        QCOMPARE(r, RenderResult::Rendered);
        const QImage thumb(target);
        QCOMPARE(thumb.size(), QSize(200, 100));
        QVERIFY(!thumb.colorSpace().isValid());           // written untagged, as sRGB
        static const QRgb want[8] = {qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(0, 0, 255),   qRgb(0, 255, 255),
                                     qRgb(255, 0, 255), qRgb(255, 255, 0), qRgb(255, 128, 0), qRgb(96, 160, 64)};
        for (int i = 0; i < 8; ++i) {
            // The mean of a patch's middle, away from the edges JPEG blurs.
            qint64 sum[3] = {0, 0, 0};
            int n = 0;
            for (int y = (i / 4) * 50 + 15; y < (i / 4) * 50 + 35; ++y)
                for (int x = (i % 4) * 50 + 15; x < (i % 4) * 50 + 35; ++x, ++n) {
                    const QRgb p = thumb.pixel(x, y);
                    sum[0] += qRed(p), sum[1] += qGreen(p), sum[2] += qBlue(p);
                }
            const int got[3] = {int(sum[0] / n), int(sum[1] / n), int(sum[2] / n)};
            const int exp[3] = {qRed(want[i]), qGreen(want[i]), qBlue(want[i])};
            for (int c = 0; c < 3; ++c)
                QVERIFY2(qAbs(got[c] - exp[c]) <= 12, qPrintable(QString("patch %1 channel %2: %3, want %4").arg(i).arg(c).arg(got[c]).arg(exp[c])));
        }
    }
};

QTEST_GUILESS_MAIN(TestSRgbConversion)
#include "tst_srgbconversion.moc"
