#include "heifthumbnail.h"

#include "mediafixture.h"

class TestHeifThumbnail : public QObject, MediaCase
{
    Q_OBJECT
    QSize render(const QString &name, int box = 200) const { return d->rendered(heifThumbnail(at(name), at("thumbs/t.jpg"), box, box)); }
    // img encoded as s.heic with these heif-enc options.
    bool heic(const QImage &img, const QStringList &options) const
    {
        return img.save(at("s.png")) && runTool("heif-enc", options + QStringList{at("s.png"), "-o", at("s.heic")});
    }

private slots:
    void init()
    {
        if (!haveTool("heif-enc")) QSKIP("heif-enc not installed");
        QVERIFY(fresh());
    }
    void cleanup() { d.reset(); }

    void pictures_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QSize>("expected");
        QTest::addColumn<Points>("colours");
        const Points quadrants = {{{0.1, 0.1}, RED}, {{0.9, 0.1}, GREEN}, {{0.1, 0.9}, BLUE}, {{0.9, 0.9}, YELLOW}};
        // libheif pads rows; a 333-pixel RGB row (999 bytes) gets a longer stride,
        // which must be honoured or the rows shear and the channels rotate.
        QTest::newRow("padded stride") << picture(334, 200).copy(0, 0, 333, 200) << QStringList{"-q", "90"} << QSize(200, 120)
                                       << quadrants;
        QTest::newRow("embedded thumbnail") << picture(1200, 800) << QStringList{"-t", "320"} << QSize(200, 133) << quadrants;
        QTest::newRow("transparency on white") << halfTransparent() << QStringList{"-q", "80"} << QSize(200, 100)
                                               << Points{{{0.2, 0.5}, qRgb(255, 255, 255)}, {{0.8, 0.5}, BLUE}};
    }

    void pictures()
    {
        QFETCH(QImage, image);
        QFETCH(QStringList, options);
        QFETCH(Points, colours);
        QVERIFY(heic(image, options));
        QTEST(render("s.heic"), "expected");
        QCOMPARE(colourMismatch(QImage(at("thumbs/t.jpg")), colours, 64), QString());
    }

    void refused()
    {
        QVERIFY(heic(picture(64, 64, GREEN), {}));
        QCOMPARE(render("s.heic", 100000), QSize());       // over the memory cap
        const QByteArray bytes = readFile(at("s.heic"));
        for (const QByteArray &bad : {bytes.left(bytes.size() / 2), bytes.left(64), QByteArray(4096, 'x'), QByteArray()}) {
            QVERIFY(writeFile(at("bad.heic"), bad));
            QCOMPARE(render("bad.heic"), QSize());
        }
    }
};

QTEST_GUILESS_MAIN(TestHeifThumbnail)
#include "tst_heifthumbnail.moc"
