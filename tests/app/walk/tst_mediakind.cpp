#include "mediakind.h"

#include "mediafixture.h"

class TestMediaKind : public QObject
{
    Q_OBJECT
private slots:
    void kindOf_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");     // "ffmpeg": a real video of the name's format
        QTest::addColumn<int>("expected");
        QTest::newRow("upper-case name") << "PHOTO.JPG" << jpegBytes(picture(64, 48, GREEN)) << int(MediaImage);
        QTest::newRow("text") << "a.txt" << QByteArray("just words\n") << int(MediaNone);
        QTest::newRow("heic alias") << "a.heic" << QByteArray("\0\0\0\x18" "ftypheic", 12) << int(MediaHeif);
        QTest::newRow("mpeg-ts case") << "a.ts" << QByteArray("ffmpeg") << int(MediaVideo);
        QTest::newRow("xcf") << "a.xcf" << QByteArray("gimp xcf file\0\0\0\0\x40", 18) << int(MediaImage);
        QTest::newRow("pcx") << "a.pcx" << QByteArray("\x0a\x05\x01\x08", 4) + QByteArray(124, '\0') << int(MediaImage);
        // Known by their first bytes where the MIME database does not know them.
        QTest::newRow("bigtiff") << "a.btf" << QByteArray("II+\0\x08\0\0\0", 8) + QByteArray(120, '\0') << int(MediaImage);
        QTest::newRow("radiance") << "a.hdr" << QByteArray("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n\x80\x80\x80\x80")
                                  << int(MediaImage);
        // Camera RAW files are LibRaw's, never read as the TIFF files most are.
        const QByteArray tiff("II*\0\x08\0\0\0", 8);
        QTest::newRow("dng") << "a.DNG" << tiff + QByteArray(120, '\0') << int(MediaRaw);
        QTest::newRow("iiq, unknown to the database") << "a.iiq" << tiff + QByteArray(120, '\0') << int(MediaRaw);
        QTest::newRow("tiff") << "a.tif" << tiff + QByteArray(120, '\0') << int(MediaImage);
        QTest::newRow("avif, decoded by libheif") << "a.avif" << QByteArray("\0\0\0\x18" "ftypavif\0\0\0\0avifmif1", 24) << int(MediaHeif);
    }

    void kindOf()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        if (content == "ffmpeg" && !haveTool("ffmpeg")) QSKIP("ffmpeg not installed");
        QVERIFY(dir.isValid() && (content == "ffmpeg" ? !makeVideo(path, QFileInfo(name).suffix().replace("ts", "mpegts")).isEmpty()
                                                      : writeFile(path, content)));
        QTEST(int(mediaKindOf(path)), "expected");
    }
};

QTEST_GUILESS_MAIN(TestMediaKind)
#include "tst_mediakind.moc"
