#include "picturescale.h"

#include <QRandomGenerator>
#include <QtMath>
#include <QtTest>

#include <cmath>
#include <vector>

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

// One axis of an independent Lanczos3 (in double, pixel centres aligned):
// `lines` lines of n samples each to out samples, written transposed, so
// that a second call does the other axis.
std::vector<double> lanczosLines(const std::vector<double> &in, int n, int lines, int out)
{
    const double scale = double(n) / out, stretch = qMax(scale, 1.0);
    std::vector<double> result(size_t(out) * lines);
    for (int o = 0; o < out; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        std::vector<std::pair<int, double>> taps;
        double total = 0;
        for (int i = int(std::floor(centre - 3 * stretch)); i <= int(std::ceil(centre + 3 * stretch)); ++i) {
            const double t = (i - centre) / stretch;
            const double w = t == 0 ? 1 : std::abs(t) >= 3 ? 0 : 3 * std::sin(M_PI * t) * std::sin(M_PI * t / 3) / (M_PI * M_PI * t * t);
            taps.emplace_back(qBound(0, i, n - 1), w);
            total += w;
        }
        for (int line = 0; line < lines; ++line) {
            double sum = 0;
            for (const auto &t : taps)
                sum += in[size_t(line) * n + t.first] * t.second;
            result[size_t(o) * lines + line] = sum / total;
        }
    }
    return result;
}

QImage lanczosReference(const QImage &src, const QSize &size)
{
    QImage out(size, QImage::Format_RGB32);
    std::vector<double> planes[3];
    for (int c = 0; c < 3; ++c) {
        std::vector<double> p(size_t(src.width()) * src.height());
        for (int y = 0; y < src.height(); ++y)
            for (int x = 0; x < src.width(); ++x) {
                const QRgb v = src.pixel(x, y);
                p[size_t(y) * src.width() + x] = c == 0 ? qRed(v) : c == 1 ? qGreen(v) : qBlue(v);
            }
        planes[c] = lanczosLines(lanczosLines(p, src.width(), src.height(), size.width()), src.height(), size.width(),
                                 size.height());
    }
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const size_t i = size_t(y) * size.width() + x;
            out.setPixel(x, y, qRgb(qBound(0, qRound(planes[0][i]), 255), qBound(0, qRound(planes[1][i]), 255),
                                    qBound(0, qRound(planes[2][i]), 255)));
        }
    return out;
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

double psnr(const QImage &a, const QImage &b)
{
    double se = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            se += qPow(qRed(p) - qRed(q), 2) + qPow(qGreen(p) - qGreen(q), 2) + qPow(qBlue(p) - qBlue(q), 2);
        }
    return 10 * std::log10(255.0 * 255.0 * 3 * a.width() * a.height() / qMax(se, 1.0));
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
        const QImage picture = fineDetail(source.width(), source.height()).convertToFormat(QImage::Format(format));
        const QImage ours = finishPicture(picture, size);
        QCOMPARE(ours.size(), size);
        const QImage reference = lanczosReference(picture.convertToFormat(QImage::Format_RGB32), size);
        const double detail = meanGradient(ours) / meanGradient(reference);
        QVERIFY2(detail >= 0.95 && detail <= 1.05, qPrintable(QString::number(detail)));
        QVERIFY2(psnr(ours, reference) >= 30, qPrintable(QString::number(psnr(ours, reference))));
    }
};

QTEST_GUILESS_MAIN(TestPictureScale)
#include "tst_picturescale.moc"
