#include "heifthumbnail.h"

#include "mediafixture.h"
#include "picturefit.h"

#include <libheif/heif.h>

class TestHeifThumbnail : public QObject, MediaCase
{
    Q_OBJECT
    QSize render(const QString &name, int box = 200) const { return d->rendered(heifThumbnail(at(name), at("thumbs/t.jpg"), box, box)); }
    // img encoded as s.heic with these heif-enc options.
    bool heic(const QImage &img, const QStringList &options) const
    {
        return img.save(at("s.png")) && runTool("heif-enc", options + QStringList{at("s.png"), "-o", at("s.heic")});
    }

    // img encoded by libheif as s.heic, to be shown as the EXIF orientation
    // says (libheif writes irot and imir for it); an odd size, padded to an
    // even one, gets a clap box. libheif 1.15 writes the shown size in ispe;
    // cameras write the stored size there, which is put back.
    bool heicTransformed(const QImage &img, int orientation) const
    {
        const QImage rgb = img.convertToFormat(QImage::Format_RGB888);
        heif_context *ctx = heif_context_alloc();
        heif_encoder *encoder = nullptr;
        heif_image *image = nullptr;
        heif_encoding_options *options = heif_encoding_options_alloc();
        options->image_orientation = heif_orientation(orientation);
        options->macOS_compatibility_workaround = 0;
        int stride = 0;
        bool ok = heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code == heif_error_Ok
            && heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code == heif_error_Ok
            && heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), 8).code == heif_error_Ok;
        for (int y = 0; ok && y < rgb.height(); ++y)
            memcpy(heif_image_get_plane(image, heif_channel_interleaved, &stride) + y * stride, rgb.constScanLine(y), size_t(rgb.width() * 3));
        ok = ok && heif_context_encode_image(ctx, image, encoder, options, nullptr).code == heif_error_Ok
            && heif_context_write_to_file(ctx, at("s.heic").toUtf8().constData()).code == heif_error_Ok;
        heif_encoding_options_free(options);
        heif_image_release(image);
        heif_encoder_release(encoder);
        heif_context_free(ctx);
        QByteArray bytes = readFile(at("s.heic"));
        const int ispe = ok ? bytes.indexOf("ispe") : -1;
        if (ispe < 0 || ispe + 16 > bytes.size())
            return false;
        qToBigEndian<quint32>(quint32(img.width() + 1) & ~1u, bytes.data() + ispe + 8);
        qToBigEndian<quint32>(quint32(img.height() + 1) & ~1u, bytes.data() + ispe + 12);
        return writeFile(at("s.heic"), bytes);
    }

private slots:
    void init()
    {
        if (!haveTool("heif-enc")) QSKIP("heif-enc not installed");
        QVERIFY(fresh());
    }

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

    void transformed_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("orientation");
        // Upright, mirrored, a quarter turn, and both: every branch of the fit.
        for (int o : {1, 2, 6, 7})
            QTest::addRow("orientation %d", o) << QSize(400, 200) << o;
        QTest::newRow("odd size, cropped") << QSize(333, 199) << 1;
    }

    // Upright as libheif decodes it, which is as Qt shows a JPEG with that EXIF orientation.
    void transformed()
    {
        QFETCH(QSize, size);
        QFETCH(int, orientation);
        QVERIFY(heicTransformed(picture(size.width(), size.height()), orientation));
        QVERIFY(writeJpeg(at("o.jpg"), picture(size.width(), size.height()), orientation));
        QImageReader reader(at("o.jpg"));
        reader.setAutoTransform(true);
        const QImage upright = reader.read();
        QCOMPARE(render("s.heic"), fitSize(upright.size(), 200, 200));
        Points want;
        for (const QPointF &p : {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)})
            want.append({p, upright.pixel(int(p.x() * upright.width()), int(p.y() * upright.height()))});
        QCOMPARE(colourMismatch(QImage(at("thumbs/t.jpg")), want, 64), QString());
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
