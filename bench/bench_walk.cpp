// What a walk costs in reading, with the file identity store and without
// it (the walk as written), in the same run.
//
//   bench_walk [--photos N] [--tiny N] [--bars N]
//
// A snapvault folder of photos (about 2 MB each, generated): the first
// walk and the second, each with the store on and off, timed without the
// pause after each file, with the bytes the process read (rchar) and its
// read calls (syscr). Then a folder of tiny files: the peak RSS of a walk
// over it against the idle RSS. Last, a photo library's import: one
// snapvault job per file on 2 threads over N 12 MP photos, baseline and the
// same photos progressive (libjpeg's scan order, as jpegtran -progressive
// writes it), beside vipsthumbnail over the same files. The walks and the
// import are also run with their thumbnails flushed to disk before the job
// would be deleted, as the service does, beside the same work unflushed.
#include "benchproc.h"
#include "benchworkers.h"
#include "fileidentitystore.h"
#include "layoutwalk.h"
#include "renderhelpers.h"
#include "rendersettings.h"
#include "thumbnailfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>
#include <memory>
#include <vector>

namespace {

struct Cost
{
    double msPerFile = 0;
    qint64 bytes = 0;
    qint64 reads = 0;
};

// durable: the job's thumbnails flushed at its end, as the service does
// before it deletes the job's row.
Cost walk(const QString &source, const QString &thumbs, int files, bool durable = false)
{
    const qint64 bytes0 = procField("/proc/self/io", "rchar:"), reads0 = procField("/proc/self/io", "syscr:");
    QElapsedTimer clock;
    clock.start();
    snapvaultWalk(source, thumbs, 200, 200);
    const QStringList written = takeWrittenFolders();
    if (durable)
        flushFolders(written);
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
    // Into new folders with the hashes known, alike but for the flush. The
    // generated photos are put on disk first: on a NAS they are there long
    // before a walk, and a flush must not be charged with them.
    ::sync();
    const Cost knownFirst = walk(src, dir.filePath(QStringLiteral("known")), photos);
    ::sync();
    const Cost durableFirst = walk(src, dir.filePath(QStringLiteral("durable")), photos, true);
    print("first walk, without the store", plainFirst, folderBytes);
    print("first walk, with the store", storeFirst, folderBytes);
    print("new thumbnails, hashes known", knownFirst, folderBytes);
    print("the same, flushed at the end", durableFirst, folderBytes);
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

    // One job per imported photo, two workers, beside vipsthumbnail. The
    // durable run flushes as the service does before it deletes rows: once
    // a second, and after the last job.
    // Two workers that live for the whole run, as the service's do, each
    // with its render helper started before the clock runs: a service
    // importing a library starts them once.
    BenchWorkers workers;
    workers.each([] { RenderHelpers::prepare(); });
    const auto importRun = [&](const QStringList &files, const QString &thumbs, bool durable) {
        QElapsedTimer t;
        t.start();
        QAtomicInt next;
        QMutex flushMutex;
        qint64 lastFlush = 0;
        QStringList pending;
        workers.run(2, [&](int) {
            for (int i; (i = next.fetchAndAddRelaxed(1)) < files.size();) {
                snapvaultWalk(files.at(i), thumbs, 200, 200);
                const QStringList written = takeWrittenFolders();
                if (!durable)
                    continue;
                QStringList folders;
                {
                    QMutexLocker lock(&flushMutex);
                    pending += written;
                    if (i + 1 < files.size() && t.elapsed() - lastFlush < 1000)
                        continue;
                    folders.swap(pending);
                    lastFlush = t.elapsed();
                }
                flushFolders(folders);
            }
        });
        return t.nsecsElapsed() / 1e6 / files.size();
    };
    const int bars = qMax(1, args.value(args.indexOf(QStringLiteral("--bars")) + 1, QStringLiteral("40")).toInt());
    double ours[2] = {0, 0}, vips[2] = {0, 0}, durableImport = 0;
    for (int progressive = 0; progressive < 2; ++progressive) {
        const QString folder = dir.filePath(progressive ? QStringLiteral("bars-p") : QStringLiteral("bars-b"));
        QDir().mkpath(folder);
        QStringList files;
        for (int i = 0; i < bars; ++i) {
            QImage img(4000, 3000, QImage::Format_RGB32);
            for (int y = 0; y < img.height(); ++y) {
                QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
                for (int x = 0; x < img.width(); ++x)
                    line[x] = qRgb((x / 7 + i * 13) & 255, (y / 5 + x / 11) & 255, ((x ^ y) + i) & 255);
            }
            QImageWriter w(QStringLiteral("%1/b%2.jpg").arg(folder).arg(i), "jpeg");
            w.setQuality(90);
            w.setProgressiveScanWrite(progressive);
            w.write(img);
            files << w.fileName();
        }
        ::sync();
        ours[progressive] = importRun(files, dir.filePath(QStringLiteral("bars-thumbs")), false);
        if (!progressive) {
            ::sync();
            durableImport = importRun(files, dir.filePath(QStringLiteral("bars-durable")), true);
        }
        QElapsedTimer t;
        t.start();
        QProcess vipsRun;
        vipsRun.start(QStringLiteral("vipsthumbnail"), QStringList{"--vips-concurrency=2", "-s", "200x200", "-o",
                                                                   dir.filePath(QStringLiteral("vips-%s.jpg"))} + files);
        vipsRun.waitForFinished(-1);
        vips[progressive] = t.nsecsElapsed() / 1e6 / bars;
    }
    std::printf("\n%d 12 MP photos, one snapvault job each, 2 threads: baseline %.1f ms a photo (vipsthumbnail %.1f), "
                "progressive %.1f ms (vipsthumbnail %.1f)\n", bars, ours[0], vips[0], ours[1], vips[1]);
    std::printf("baseline import with the thumbnails flushed as the service does: %.1f ms a photo\n", durableImport);

    std::printf("\nGoals\n");
    std::printf("  progressive import <= 0.25x vipsthumbnail's time: %.2fx  %s\n", ours[1] / vips[1],
                ours[1] <= 0.25 * vips[1] ? "met" : "MISSED");
    std::printf("  progressive within 1.3x of the same photos baseline: %.2fx  %s\n", ours[1] / ours[0],
                ours[1] <= 1.3 * ours[0] ? "met" : "MISSED");
    std::printf("  second walk with the store reads < 1%% of the walk without: %.3f%%  %s\n",
                100.0 * storeSecond.bytes / qMax<qint64>(1, plainSecond.bytes),
                storeSecond.bytes * 100 < plainSecond.bytes ? "met" : "MISSED");
    std::printf("  second walk with the store < 50 us a file: %.1f us  %s\n", storeSecond.msPerFile * 1000,
                storeSecond.msPerFile < 0.05 ? "met" : "MISSED");
    std::printf("  first walk reads <= 1.05x the folder: %.2fx  %s\n", double(storeFirst.bytes) / folderBytes,
                storeFirst.bytes <= folderBytes * 1.05 ? "met" : "MISSED (the hash and the decode read apart)");
    std::printf("  flushed first walk within 1.05x of the unflushed: %.2fx  %s\n", durableFirst.msPerFile / knownFirst.msPerFile,
                durableFirst.msPerFile <= 1.05 * knownFirst.msPerFile ? "met" : "MISSED");
    std::printf("  flushed import within 1.05x of the unflushed: %.2fx  %s\n", durableImport / ours[0],
                durableImport <= 1.05 * ours[0] ? "met" : "MISSED");
    std::printf("  tiny files: peak <= +32 MiB: +%.1f MiB  %s\n", (peak - idle) / 1024.0,
                peak - idle <= 32 * 1024 ? "met" : "MISSED");
    return 0;
}
