// Thumbnail sharpness against a Lanczos3 reference, both resamplers of the
// last reduction side by side: Lanczos (libswscale) and Qt's smooth
// transform it replaced.
//
//   bench_quality [--corpus DIR] [FILE...]
//
// For every picture the reference is the full-size decode (Qt's, or
// heif-convert's for HEIF) reduced to the thumbnail's size by ImageMagick
// (convert -filter Lanczos -resize), then written by the thumbnail's own
// JPEG writer. Printed for each resampler: detail, the mean gradient of the
// thumbnail over the reference's, and the PSNR against the reference. The
// corpus is generated (into DIR when given, kept for later runs): fractal
// photos as JPEG, PNG and HEIF, and a zone plate, whose rings alias into
// false patterns wherever a kernel lets through what the box cannot show;
// FILEs are added to it (the photos of bench_thumbs' corpus, real ones).
#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "rendersettings.h"
#include "thumbnailfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kBox = 200;

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool isHeif(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("heic") || suffix == QLatin1String("heif") || suffix == QLatin1String("avif");
}

// Rings whose frequency grows from nothing at the centre to the finest a
// pixel holds in the corners.
QImage zonePlate(int w, int h)
{
    QImage img(w, h, QImage::Format_Grayscale8);
    const double k = M_PI / (2 * std::hypot(w / 2.0, h / 2.0));
    for (int y = 0; y < h; ++y) {
        uchar *line = img.scanLine(y);
        for (int x = 0; x < w; ++x) {
            const double dx = x - w / 2.0 + 0.5, dy = y - h / 2.0 + 0.5;
            line[x] = uchar(std::lround(127.5 + 127 * std::cos(k * (dx * dx + dy * dy))));
        }
    }
    return img;
}

QStringList makeCorpus(const QString &dir)
{
    QDir().mkpath(dir);
    QStringList files;
    const auto made = [&](const QString &name, const std::function<bool(const QString &)> &make) {
        const QString path = dir + QLatin1Char('/') + name;
        if (!QFileInfo::exists(path)) {
            fprintf(stderr, "corpus: %s\n", qPrintable(path));
            if (!make(path))
                qFatal("cannot make %s", qPrintable(path));
        }
        files << path;
    };
    const struct { int w, h, seed; } photos[] = {{1600, 1200, 1}, {3000, 2000, 2}, {4000, 3000, 3}, {6000, 4000, 4}};
    for (const auto &p : photos) {
        const QString base = QStringLiteral("fractal-%1x%2").arg(p.w).arg(p.h);
        const QString png = dir + QLatin1Char('/') + base + QStringLiteral(".png");
        made(base + QStringLiteral(".png"), [&](const QString &path) {
            return run(QStringLiteral("convert"), {"-size", QStringLiteral("%1x%2").arg(p.w).arg(p.h), "-seed",
                                                   QString::number(p.seed), "plasma:fractal", "-blur", "0x0.7",
                                                   "-depth", "8", path});
        });
        made(base + QStringLiteral(".jpg"),
             [&](const QString &path) { return run(QStringLiteral("convert"), {png, "-quality", "92", path}); });
        if (p.seed == 3)
            made(base + QStringLiteral(".heic"),
                 [&](const QString &path) { return run(QStringLiteral("heif-enc"), {"-q", "90", png, "-o", path}); });
    }
    // As BMP, which Qt reads at full size, the zone plate meets the block
    // average and Lanczos; as JPEG, the scaled decode first.
    made(QStringLiteral("zoneplate.bmp"), [](const QString &path) { return zonePlate(2400, 1800).save(path); });
    made(QStringLiteral("zoneplate.jpg"), [](const QString &path) { return zonePlate(2400, 1800).save(path, "jpg", 95); });
    return files;
}

// Red, green or blue of p: c 0, 1 or 2.
int sample(QRgb p, int c)
{
    return int((p >> (16 - 8 * c)) & 0xff);
}

double meanGradient(const QImage &img)
{
    double sum = 0;
    for (int y = 0; y + 1 < img.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        const QRgb *below = reinterpret_cast<const QRgb *>(img.constScanLine(y + 1));
        for (int x = 0; x + 1 < img.width(); ++x) {
            for (int c = 0; c < 3; ++c) {
                const int here = sample(line[x], c);
                sum += std::hypot(sample(line[x + 1], c) - here, sample(below[x], c) - here);
            }
        }
    }
    return sum / (3.0 * (img.width() - 1) * (img.height() - 1));
}

double psnr(const QImage &a, const QImage &b)
{
    double se = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb *p = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const QRgb *q = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            for (int c = 0; c < 3; ++c)
                se += std::pow(sample(p[x], c) - sample(q[x], c), 2);
        }
    }
    const double mse = se / (3.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

QImage rgb(const QString &path)
{
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}

// The thumbnail with the chosen resampler, as the service writes it.
QImage ours(const QString &file, const QString &target, bool smooth)
{
    RenderSettings settings = RenderSettings::current();
    settings.smoothScaling = smooth;
    RenderSettings::set(settings);
    const RenderResult result = isHeif(file) ? heifThumbnail(file, target, kBox, kBox) : imageThumbnail(file, target, kBox, kBox);
    return result == RenderResult::Rendered ? rgb(target) : QImage();
}

// The full-size decode, upright, reduced by ImageMagick's Lanczos to size
// and written as a thumbnail is.
QImage reference(const QString &file, const QSize &size, const QString &work)
{
    const QString full = work + QStringLiteral("/full.png"), reduced = work + QStringLiteral("/reduced.png"),
                  written = work + QStringLiteral("/reference.jpg");
    if (isHeif(file)) {
        if (!run(QStringLiteral("heif-convert"), {file, full}))
            return QImage();
    } else {
        QImageReader reader(file);
        reader.setAutoTransform(true);
        // Transparent pixels on white, as the thumbnail shows them.
        const QImage decoded = reader.read();
        QImage flat(decoded.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter(&flat).drawImage(0, 0, decoded);
        if (decoded.isNull() || !flat.save(full))
            return QImage();
    }
    if (!run(QStringLiteral("convert"), {full, "-filter", "Lanczos", "-resize",
                                         QStringLiteral("%1x%2!").arg(size.width()).arg(size.height()), reduced}))
        return QImage();
    return writeThumbnail(rgb(reduced), written) ? rgb(written) : QImage();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    for (const char *tool : {"convert", "heif-enc", "heif-convert"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            fprintf(stderr, "%s not found (scripts/bootstrap installs it)\n", tool);
            return 1;
        }
    }
    QTemporaryDir tmp;
    QString corpusDir = tmp.filePath(QStringLiteral("corpus"));
    if (args.value(0) == QLatin1String("--corpus")) {
        corpusDir = args.value(1);
        args = args.mid(2);
    }
    QStringList files = makeCorpus(corpusDir);
    files += args;

    printf("Box %dx%d; reference: the full-size decode through convert -filter Lanczos -resize, written as a thumbnail\n\n",
           kBox, kBox);
    printf("%-34s %11s  %16s  %16s\n", "file", "thumbnail", "Qt smooth", "Lanczos");
    printf("%-34s %11s  %7s %8s  %7s %8s\n", "", "", "detail", "PSNR dB", "detail", "PSNR dB");
    std::vector<double> detail[2], psnrs[2];
    std::vector<double> zone[2];
    for (const QString &file : files) {
        const QImage smooth = ours(file, tmp.filePath(QStringLiteral("smooth.jpg")), true);
        const QImage lanczos = ours(file, tmp.filePath(QStringLiteral("lanczos.jpg")), false);
        const QImage ref = lanczos.isNull() ? QImage() : reference(file, lanczos.size(), tmp.path());
        if (ref.isNull() || smooth.size() != ref.size()) {
            printf("%-34s failed\n", qPrintable(QFileInfo(file).fileName()));
            continue;
        }
        const double refDetail = meanGradient(ref);
        const double d[2] = {meanGradient(smooth) / refDetail, meanGradient(lanczos) / refDetail};
        const double p[2] = {psnr(smooth, ref), psnr(lanczos, ref)};
        printf("%-34s %5dx%-5d  %7.3f %8.1f  %7.3f %8.1f\n", qPrintable(QFileInfo(file).fileName()), ref.width(),
               ref.height(), d[0], p[0], d[1], p[1]);
        for (int i = 0; i < 2; ++i) {
            if (QFileInfo(file).fileName().startsWith(QLatin1String("zoneplate."))) {
                zone[i].push_back(p[i]);
            } else {
                detail[i].push_back(d[i]);
                psnrs[i].push_back(p[i]);
            }
        }
    }
    if (detail[1].empty())
        return 1;
    const double worst[2] = {*std::min_element(detail[0].begin(), detail[0].end()),
                             *std::min_element(detail[1].begin(), detail[1].end())};
    printf("\nPhotos (%zu): detail worst %.3f / %.3f, median %.3f / %.3f; PSNR median %.1f / %.1f dB (Qt smooth / Lanczos)\n",
           detail[1].size(), worst[0], worst[1], median(detail[0]), median(detail[1]), median(psnrs[0]), median(psnrs[1]));
    const auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
    printf("\nGoals (Lanczos)\n");
    printf("  detail >= 0.95 of the reference on every photo: %.3f  %s\n", worst[1], verdict(worst[1] >= 0.95));
    printf("  PSNR median > 35 dB:                             %.1f dB  %s\n", median(psnrs[1]),
           verdict(median(psnrs[1]) > 35));
    const double zoneWorst = *std::min_element(zone[1].begin(), zone[1].end());
    printf("  zone plate >= 32 dB (worst of BMP, JPEG):        %.1f dB  %s\n", zoneWorst, verdict(zoneWorst >= 32));
    return 0;
}
