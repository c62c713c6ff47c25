#include "imagethumbnail.h"
#include "picturemetadata.h"

#include "mediafixture.h"

class TestPictureMetadata : public QObject, MediaCase
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(fresh()); }

    void read_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<bool>("declared");
        const QByteArray png = encoded(picture(32, 16), "png");
        const auto withChunks = [&](const QByteArray &chunks) { return QByteArray(png).insert(33, chunks); };   // after IHDR
        QByteArray webp = encoded(picture(32, 16), "webp") + "EXIF" + QByteArray("\x20\0\0\0", 4) + QByteArray("Exif\0\0", 6)
            + exifOrientation(8);
        qToLittleEndian(quint32(webp.size() - 8), webp.data() + 4);
        QTest::newRow("PNG eXIf") << withChunks(pngChunk("eXIf", exifOrientation(6))) << 6 << false;
        QTest::newRow("WebP EXIF") << webp << 8 << false;
        // Photoshop: a named resource before the EXIF one.
        QByteArray photoshop("8BPS\0\1", 6);
        photoshop += QByteArray(6, '\0') + QByteArray("\0\3\0\0\0\x10\0\0\0\x20\0\x08\0\3", 14) + be32(0);
        const QByteArray resources = QByteArray("8BIM\x03\xed\x03" "abc", 10) + be32(2) + "xy" + QByteArray("8BIM\x04\x22\0\0", 8)
            + be32(quint32(exifOrientation(6).size())) + exifOrientation(6);
        photoshop += be32(quint32(resources.size())) + resources + be32(0) + QByteArray(2, '\0') + QByteArray(3 * 16 * 32, '\x40');
        QTest::newRow("PSD EXIF") << photoshop << 6 << false;
        QTest::newRow("PNG gAMA and sRGB") << withChunks(pngChunk("sRGB", "\0") + pngChunk("gAMA", be32(45455))) << 1 << false;
        QTest::newRow("PNG chunk longer than the file") << withChunks(be32(0x7ffffff0) + "eXIf") << 1 << false;
        QTest::newRow("EXIF offset past its end") << withChunks(pngChunk("eXIf", exifOrientation(6).left(20))) << 1 << false;
    }

    void read()
    {
        QFETCH(QByteArray, file);
        QVERIFY(writeFile(at("p"), file));
        const PictureMetadata meta = readPictureMetadata(at("p"));
        QTEST(meta.orientation, "orientation");
        QTEST(meta.declared.isValid(), "declared");
        // Qt's plug-ins ignore these tags; the thumbnail must not.
        if (meta.orientation >= 5)
            QCOMPARE(d->rendered(imageThumbnail(at("p"), at("thumbs/t.jpg"), 200, 200)), QSize(100, 200));
    }
};

QTEST_GUILESS_MAIN(TestPictureMetadata)
#include "tst_picturemetadata.moc"
