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
            const QImage middle = thumb.copy((i % 4) * 50 + 15, (i / 4) * 50 + 15, 20, 20)
                                      .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const QString wrong = colourMismatch(middle, {{{0, 0}, want[i]}}, 12);
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("patch %1: %2").arg(i).arg(wrong)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSRgbConversion)
#include "tst_srgbconversion.moc"
