#include "imagethumbnail.h"

#include "mediafixture.h"
#include "picturefit.h"

namespace {

QByteArray svg(const QByteArray &body)
{
    return "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' width='100' height='100'>"
        + body + "</svg>";
}

// png with a chunk of this type and body before its first IDAT.
QByteArray withChunk(QByteArray png, const QByteArray &type, const QByteArray &body)
{
    return png.insert(png.indexOf("IDAT") - 4, pngChunk(type, body));
}

} // namespace

class TestImageThumbnail : public QObject, MediaCase
{
    Q_OBJECT
    QSize render(const QString &name, int w, int h) const { return d->rendered(imageThumbnail(at(name), at("thumbs/t.jpg"), w, h)); }
    QImage thumb() const { return QImage(at("thumbs/t.jpg")); }

private slots:
    void init() { QVERIFY(fresh()); }

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
        QVERIFY(writeJpeg(at("o.jpg"), picture(400, 200), orientation));
        QImageReader reader(at("o.jpg"));
        reader.setAutoTransform(true);
        const QImage upright = reader.read();
        QCOMPARE(render("o.jpg", 200, 200), fitSize(upright.size(), 200, 200));
        Points want;
        for (const QPointF &p : {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)})
            want.append({p, upright.pixel(int(p.x() * upright.width()), int(p.y() * upright.height()))});
        QCOMPARE(colourMismatch(thumb(), want), QString());
    }

    // libjpeg cannot turn CMYK into RGB; such files go through Qt's reader.
    void cmykJpeg()
    {
        if (!haveTool("convert")) QSKIP("imagemagick not installed");
        QVERIFY(runTool("convert", {"-size", "400x300", "xc:red", "-colorspace", "CMYK", at("cmyk.jpg")}));
        QCOMPARE(render("cmyk.jpg", 200, 200), QSize(200, 150));
        QCOMPARE(colourMismatch(thumb(), {{{0.5, 0.5}, RED}}, 64), QString());
    }

    void sixteenBitKeys_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<QByteArray>("key");          // the tRNS body, big-endian samples; none when empty
        QTest::addColumn<QRgb>("shown");              // the left half's colour in the thumbnail
        QTest::newRow("grey") << QImage::Format_Grayscale16 << QByteArray() << qRgb(64, 64, 64);
        QTest::newRow("grey keyed") << QImage::Format_Grayscale16 << QByteArray("\x40\x40", 2) << qRgb(255, 255, 255);
        QTest::newRow("rgb") << QImage::Format_RGBX64 << QByteArray() << qRgb(64, 0, 128);
        QTest::newRow("rgb keyed") << QImage::Format_RGBX64 << QByteArray("\x40\x40\0\0\x80\x80", 6) << qRgb(255, 255, 255);
    }

    // Left half the key colour, right half light: the key shows white, like every transparent pixel.
    void sixteenBitKeys()
    {
        QFETCH(QImage::Format, format);
        QFETCH(QByteArray, key);
        QFETCH(QRgb, shown);
        QImage img(400, 200, format);
        img.fill(qRgb(192, 192, 192));
        QPainter(&img).fillRect(0, 0, 200, 200, format == QImage::Format_Grayscale16 ? qRgb(64, 64, 64) : qRgb(64, 0, 128));
        const QByteArray png = encoded(img, "png");
        QCOMPARE(png.at(24), char(16));                        // bit depth in the header
        QVERIFY(writeFile(at("k.png"), key.isEmpty() ? png : withChunk(png, "tRNS", key)));
        QCOMPARE(render("k.png", 200, 200), QSize(200, 100));
        QCOMPARE(colourMismatch(thumb(), {{{0.2, 0.5}, shown}, {{0.8, 0.5}, qRgb(192, 192, 192)}}, 16), QString());
    }

    // A PNG's gAMA says sample = light ^ gamma: mid-grey samples of a file
    // gamma of 1.0 are linear light, of 2.5 lighter still, shown in sRGB.
    void pngGamma_data()
    {
        QTest::addColumn<quint32>("gamma");          // the gAMA body, times 100000; none when 0
        QTest::addColumn<int>("shown");
        QTest::newRow("none") << 0u << 128;
        QTest::newRow("sRGB's") << 45455u << 128;
        QTest::newRow("linear") << 100000u << 188;
        QTest::newRow("2.5") << 250000u << 226;
    }

    void pngGamma()
    {
        QFETCH(quint32, gamma);
        QFETCH(int, shown);
        QImage grey(64, 64, QImage::Format_Grayscale8);
        grey.fill(qRgb(128, 128, 128));
        QVERIFY(writeFile(at("g.png"), gamma ? withChunk(encoded(grey, "png"), "gAMA", be32(gamma)) : encoded(grey, "png")));
        QCOMPARE(render("g.png", 200, 200), QSize(200, 200));
        QCOMPARE(colourMismatch(thumb(), {{{0.5, 0.5}, qRgb(shown, shown, shown)}}, 3), QString());
    }

    void decodeGuards_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("capMiB");
        QTest::addColumn<int>("box");
        QTest::addColumn<bool>("rendered");
        const QImage big = picture(2000, 2000, qRgb(90, 30, 160));
        const QByteArray baseline = jpegBytes(big), progressive = jpegBytes(big, true), png = encoded(big, "png");
        QTest::newRow("truncated baseline") << "a.jpg" << baseline.left(baseline.size() / 2) << 256 << 200 << false;
        QTest::newRow("garbage after SOI") << "a.jpg" << "\xFF\xD8\xFF" + QByteArray(4096, 'x') << 256 << 200 << false;
        // A 2000x2000 progressive JPEG needs 12 MB of coefficient buffers even at 1/8.
        QTest::newRow("progressive under cap") << "s.jpg" << progressive << 64 << 200 << true;
        QTest::newRow("progressive over cap") << "s.jpg" << progressive << 8 << 200 << false;
        QTest::newRow("baseline small cap") << "s.jpg" << baseline << 8 << 200 << true;
        QTest::newRow("huge box jpeg") << "s.jpg" << baseline << 256 << 100000 << false;
        // An icon whose directory says 16x16 while the PNG inside is 2000x2000:
        // the cap must judge what is decoded, not what the directory promises.
        // The one entry ends with the PNG's size and its offset, 22.
        QByteArray ico("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0" "\0\0\0\0" "\x16\0\0\0", 22);
        qToLittleEndian<quint32>(quint32(png.size()), ico.data() + 14);
        QTest::newRow("icon hides large png") << "i.ico" << ico + png << 8 << 200 << false;
        QTest::newRow("icon within cap") << "i.ico" << ico + png << 64 << 200 << true;
        // A PNG header claiming 12000 squared RGBA, under Qt's own 2 GB limit, with almost no data;
        // the same check refuses any picture over the cap through Qt's reader.
        const QString bomb = QFINDTESTDATA("../../data/header-only-12000.png");
        QVERIFY(!bomb.isEmpty());
        QTest::newRow("memory bomb under Qt's limit") << "b.png" << readFile(bomb) << 256 << 200 << false;
        // PCX reports no size before decoding: held to the cap by what it decoded to.
        const QByteArray pcx = encoded(big, "pcx");
        QTest::newRow("pcx decoded over cap") << "a.pcx" << pcx << 8 << 200 << false;
        QTest::newRow("pcx within cap") << "a.pcx" << pcx << 64 << 200 << true;
        // A Radiance header claiming 3000x3000: its floats alone would be 108 MB.
        // stb's reader never ends on a run of no pixels, and reads missing flat pixels as black.
        const QByteArray hdr("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n"), row = QByteArray("\x02\x02\x00\x08", 4) + QByteArray("\x88\x80").repeated(4);
        QTest::newRow("radiance runs") << "a.hdr" << hdr + row + row << 64 << 200 << true;
        QTest::newRow("radiance run of nothing") << "a.hdr" << hdr + row + row.left(4) + '\0' << 64 << 200 << false;
        QTest::newRow("radiance flat cut short") << "a.hdr" << QByteArray("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 4\n") + QByteArray(32, '\x80') << 64 << 200 << false;
        QTest::newRow("radiance over cap") << "a.hdr" << QByteArray("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 3000 +X 3000\n") << 64 << 200 << false;
        // SVG may embed pictures only as data: URIs; @RED@ names a private file.
        const QByteArray image("<image width='100' height='100' ");
        QTest::newRow("svg data uri image")
            << "s.svg" << svg(image + "xlink:href='data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1Pe"
                                      "AAAADElEQVR4nGP4z8AAAAMBAQDJ/pLvAAAAAElFTkSuQmCC'/>") << 256 << 200 << true;
        QTest::newRow("svg local file image") << "s.svg" << svg(image + "xlink:href='@RED@'/>") << 256 << 200 << false;
        QTest::newRow("svg plain href image") << "s.svg" << svg(image + "href='@RED@'/>") << 256 << 200 << false;
    }

    // A refused file leaves no thumbnail, no folder for it, and no trace in the peak memory.
    void decodeGuards()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(int, capMiB);
        QFETCH(int, box);
        QVERIFY(picture(100, 100, RED).save(d->mkdir("private") + "/red.png"));
        QVERIFY(writeFile(at(name), content.replace("@RED@", at("private/red.png").toUtf8())));
        if (QTest::currentDataTag() == QLatin1String("svg local file image"))      // Qt alone paints the private file
            QCOMPARE(colourMismatch(QImage(at(name)), {{{0.5, 0.5}, RED}}), QString());
        MediaDir::tune([&](RenderSettings &r) { r.memoryCap = qint64(capMiB) << 20; });
        const qint64 before = peakKiB();
        QTEST(render(name, box, box).isValid(), "rendered");
        const qint64 grown = peakKiB() - before;
        QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(grown)));
    }
};

QTEST_GUILESS_MAIN(TestImageThumbnail)
#include "tst_imagethumbnail.moc"
