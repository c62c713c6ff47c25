// What a walk costs in reading, with the file identity store and without
// it (the walk as written), in the same run.
//
//   bench_walk [--photos N] [--tiny N]
//
// A snapvault folder of photos (about 2 MB each, generated): the first
// walk and the second, each with the store on and off, timed without the
// pause after each file, with the bytes the process read (rchar) and its
// read calls (syscr). Then a folder of tiny files: the peak RSS of a walk
// over it against the idle RSS.
#include "fileidentitystore.h"
#include "layoutwalk.h"
#include "rendersettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <cstdio>

namespace {

qint64 procField(const char *file, const char *key)
{
    QFile f(QString::fromLatin1(file));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct Cost
{
    double msPerFile = 0;
    qint64 bytes = 0;
    qint64 reads = 0;
};

Cost walk(const QString &source, const QString &thumbs, int files)
{
    const qint64 bytes0 = procField("/proc/self/io", "rchar:"), reads0 = procField("/proc/self/io", "syscr:");
    QElapsedTimer clock;
    clock.start();
    snapvaultWalk(source, thumbs, 200, 200);
    return Cost{clock.nsecsElapsed() / 1e6 / files, procField("/proc/self/io", "rchar:") - bytes0,
                procField("/proc/self/io", "syscr:") - reads0};
}

void print(const char *what, const Cost &c, qint64 folderBytes)
{
    std::printf("%-34s %8.2f ms/file  %12lld bytes read (%6.2fx the folder)  %9lld read calls\n", what, c.msPerFile,
                c.bytes, double(c.bytes) / folderBytes, c.reads);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int photos = qMax(1, args.value(args.indexOf(QStringLiteral("--photos")) + 1, QStringLiteral("200")).toInt());
    const int tiny = qMax(1, args.value(args.indexOf(QStringLiteral("--tiny")) + 1, QStringLiteral("100000")).toInt());
    QTemporaryDir dir;
    RenderSettings settings;
    settings.walkPauseMs = 0;
    RenderSettings::set(settings);
    QImageReader::supportedImageFormats();

    const QString src = dir.filePath(QStringLiteral("photos"));
    QDir().mkpath(src);
    qint64 folderBytes = 0;
    for (int i = 0; i < photos; ++i) {
        QImage img(2000, 1500, QImage::Format_RGB32);
        quint32 s = quint32(i) * 2654435761u + 1;
        for (int y = 0; y < img.height(); ++y) {
            QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                s = s * 1664525u + 1013904223u;
                line[x] = qRgb((x + i) & 255, (y * 3) & 255, int(s >> 24));
            }
        }
        const QString path = QStringLiteral("%1/p%2.jpg").arg(src).arg(i);
        img.save(path, "jpeg", 85);
        folderBytes += QFileInfo(path).size();
    }
    std::printf("%d photos, %.1f MB, box 200x200, no pause after files\n\n", photos, folderBytes / 1e6);

    const Cost plainFirst = walk(src, dir.filePath(QStringLiteral("plain")), photos);
    const Cost plainSecond = walk(src, dir.filePath(QStringLiteral("plain")), photos);
    // Trusted at once: the photos were written moments ago.
    FileIdentityStore::open(dir.filePath(QStringLiteral("queue.db")), 0);
    const Cost storeFirst = walk(src, dir.filePath(QStringLiteral("stored")), photos);
    const Cost storeSecond = walk(src, dir.filePath(QStringLiteral("stored")), photos);
    print("first walk, without the store", plainFirst, folderBytes);
    print("first walk, with the store", storeFirst, folderBytes);
    print("second walk, without the store", plainSecond, folderBytes);
    print("second walk, with the store", storeSecond, folderBytes);

    const QString many = dir.filePath(QStringLiteral("tiny"));
    QDir().mkpath(many);
    for (int i = 0; i < tiny; ++i) {
        QFile f(QStringLiteral("%1/n%2.txt").arg(many).arg(i));
        if (f.open(QIODevice::WriteOnly))
            f.write("x");
    }
    // Peak RSS from here on (writing 5 resets VmHWM to the current RSS).
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    const qint64 idle = procField("/proc/self/status", "VmRSS:");
    QElapsedTimer clock;
    clock.start();
    snapvaultWalk(many, dir.filePath(QStringLiteral("tinythumbs")), 200, 200);
    const double ms = clock.nsecsElapsed() / 1e6;
    const qint64 peak = procField("/proc/self/status", "VmHWM:");
    std::printf("\n%d tiny files: %.1f us a file, peak RSS %.1f MiB over the RSS before the walk (%.1f MiB)\n", tiny,
                ms * 1000 / tiny, (peak - idle) / 1024.0, idle / 1024.0);

    std::printf("\nGoals\n");
    std::printf("  second walk with the store reads < 1%% of the walk without: %.3f%%  %s\n",
                100.0 * storeSecond.bytes / qMax<qint64>(1, plainSecond.bytes),
                storeSecond.bytes * 100 < plainSecond.bytes ? "met" : "MISSED");
    std::printf("  second walk with the store < 50 us a file: %.1f us  %s\n", storeSecond.msPerFile * 1000,
                storeSecond.msPerFile < 0.05 ? "met" : "MISSED");
    std::printf("  first walk reads <= 1.05x the folder: %.2fx  %s\n", double(storeFirst.bytes) / folderBytes,
                storeFirst.bytes <= folderBytes * 1.05 ? "met" : "MISSED (the hash and the decode read apart)");
    std::printf("  tiny files: peak <= +32 MiB: +%.1f MiB  %s\n", (peak - idle) / 1024.0,
                peak - idle <= 32 * 1024 ? "met" : "MISSED");
    return 0;
}
