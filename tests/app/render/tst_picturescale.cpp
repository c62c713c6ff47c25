#include "picturescale.h"

#include "mediafixture.h"

#include <QScopeGuard>

#include <cmath>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Gratings up to near the thumbnail's finest detail over noise: what an
// area average softens and a Lanczos kernel keeps.
QImage fineDetail(int w, int h)
{
    QRandomGenerator random(27);
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int c[3];
            for (int i = 0; i < 3; ++i)
                c[i] = qBound(0, int(128 + 60 * std::sin(x * (0.05 + 0.1 * i)) * std::cos(y * (0.16 - 0.04 * i)))
                                     + random.bounded(-40, 41), 255);
            img.setPixel(x, y, qRgb(c[0], c[1], c[2]));
        }
    }
    return img;
}

// The reference: ImageMagick's Lanczos filter over the whole picture, an
// implementation independent of ours. Null when convert failed.
QImage lanczosReference(const QImage &src, const QSize &size)
{
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in.png")), out = dir.filePath(QStringLiteral("out.png"));
    if (!src.save(in) || !runTool(QStringLiteral("convert"), {in, QStringLiteral("-filter"), QStringLiteral("Lanczos"),
                                                              QStringLiteral("-resize"),
                                                              QStringLiteral("%1x%2!").arg(size.width()).arg(size.height()),
                                                              out}))
        return QImage();
    return QImage(out);
}

double meanGradient(const QImage &img)
{
    double sum = 0;
    for (int y = 0; y + 1 < img.height(); ++y)
        for (int x = 0; x + 1 < img.width(); ++x) {
            const QRgb p = img.pixel(x, y), r = img.pixel(x + 1, y), d = img.pixel(x, y + 1);
            sum += std::hypot(qGray(r) - qGray(p), qGray(d) - qGray(p));
        }
    return sum / ((img.width() - 1) * (img.height() - 1));
}

} // namespace

class TestPictureScale : public QObject
{
    Q_OBJECT
private slots:
    void keepsDetail_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("format");
        QTest::addColumn<QSize>("size");
        const QSize thumb(200, 150);
        QTest::newRow("RGB32, 3x, Lanczos alone") << QSize(600, 450) << int(QImage::Format_RGB32) << thumb;
        QTest::newRow("RGB32, 7x, blocks then Lanczos") << QSize(1400, 1050) << int(QImage::Format_RGB32) << thumb;
        QTest::newRow("RGB888") << QSize(1400, 1050) << int(QImage::Format_RGB888) << thumb;
        QTest::newRow("grey") << QSize(1400, 1050) << int(QImage::Format_Grayscale8) << thumb;
        QTest::newRow("grey, 16-bit") << QSize(1400, 1050) << int(QImage::Format_Grayscale16) << thumb;
        QTest::newRow("RGB, 16-bit") << QSize(1400, 1050) << int(QImage::Format_RGBX64) << thumb;
        QTest::newRow("alpha, opaque") << QSize(1400, 1050) << int(QImage::Format_ARGB32) << thumb;
        QTest::newRow("palette") << QSize(1400, 1050) << int(QImage::Format_Indexed8) << thumb;
        QTest::newRow("enlarged") << QSize(100, 75) << int(QImage::Format_RGB32) << thumb;
    }

    // The thumbnail keeps 95% of the detail of a Lanczos3 reduction, and
    // its colours, whatever the decoded format.
    void keepsDetail()
    {
        QFETCH(QSize, source);
        QFETCH(int, format);
        QFETCH(QSize, size);
        if (!haveTool("convert"))
            QSKIP("ImageMagick's convert is not installed");
        const QImage picture = fineDetail(source.width(), source.height()).convertToFormat(QImage::Format(format));
        const QImage ours = finishPicture(picture, size);
        QCOMPARE(ours.size(), size);
        const QImage reference = lanczosReference(picture.convertToFormat(QImage::Format_RGB32), size);
        QCOMPARE(reference.size(), size);
        const double detail = meanGradient(ours) / meanGradient(reference);
        QVERIFY2(detail >= 0.95 && detail <= 1.05, qPrintable(QString::number(detail)));
        QVERIFY2(psnr(ours, reference) >= 30, qPrintable(QString::number(psnr(ours, reference))));
    }

    // The picture's last byte right before a page no one may read: a
    // resampler that reads past it ends the process.
    void readsNoFurtherThanThePicture_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("size");
        QTest::newRow("one pixel wide, enlarged") << QSize(1, 16) << QSize(2, 32);
        QTest::newRow("rows of 64 bytes") << QSize(16, 16) << QSize(40, 40);
        QTest::newRow("reduced") << QSize(300, 200) << QSize(200, 133);
    }

    void readsNoFurtherThanThePicture()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, size);
        const size_t bytes = size_t(source.width()) * 4 * size_t(source.height());
        const size_t page = size_t(::sysconf(_SC_PAGESIZE)), span = (bytes + page - 1) / page * page;
        uchar *map = static_cast<uchar *>(::mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        QVERIFY(map != MAP_FAILED && ::mprotect(map + span, page, PROT_NONE) == 0);
        const auto unmap = qScopeGuard([&] { ::munmap(map, span + page); });
        QImage picture(map + span - bytes, source.width(), source.height(), source.width() * 4, QImage::Format_RGB32);
        picture.fill(qRgb(30, 140, 200));
        const QImage ours = finishPicture(picture, size);
        QCOMPARE(ours.size(), size);
        QCOMPARE(colourMismatch(ours, {{{0.5, 0.5}, qRgb(30, 140, 200)}}, 3), QString());
    }
};

QTEST_GUILESS_MAIN(TestPictureScale)
#include "tst_picturescale.moc"
