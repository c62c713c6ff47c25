#include "videothumbnail.h"

#include "br2utils.h"
#include "childprocess.h"
#include "memorybudget.h"
#include "picturefit.h"
#include "rendersettings.h"
#include "thumbnailfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/stat.h>

namespace {

// The demuxers that the video types need. Playlist and script demuxers
// (hls, concat, ...) stay out: they would make ffmpeg read other local
// files into a thumbnail.
const QString g_demuxers = QStringLiteral(
    "mov,mp4,matroska,webm,avi,asf,flv,mpeg,mpegts,mpegvideo,m4v,h264,hevc,rm,dv,ty,vc1");

constexpr int kMaxVideoSide = 8192;

// What ffmpeg needs beside its frames, under its data limit: about 10 MiB
// of its libraries' writable data and tables, and an 8 MiB stack for each
// decoding thread (as many as the machine has cores, plus one), which the
// limit counts in full though little of it is touched. A 1080p H.264 clip
// takes about 100 MiB in all with three threads.
const qint64 FFMPEG_BASE_BYTES = qint64(128) << 20;

// What ffmpeg prints is kept, not forwarded: its banner and progress for
// every video would bury the service's own lines.
const int ERROR_TAIL_BYTES = 4096;

// The last line ffmpeg printed (progress lines end in a carriage return).
QString lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.split('\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QList<QByteArray> parts = it->split('\r');
        for (auto p = parts.crbegin(); p != parts.crend(); ++p) {
            if (!p->trimmed().isEmpty())
                return QString::fromUtf8(p->trimmed());
        }
    }
    return QStringLiteral("no output");
}

thread_local bool t_busyTimeout = false;

RenderResult failed(const QString &source, RenderResult result, const ChildProcess &ffmpeg)
{
    PRINTLN(QStringLiteral("%1 for %2: %3").arg(QLatin1String(renderReason(result)), source, lastLine(ffmpeg.errorTail())));
    return result;
}

} // namespace

RenderResult videoThumbnail(const QString &source, const QString &target, int width, int height)
{
    if (width <= 0 || height <= 0 || width > kMaxVideoSide || height > kMaxVideoSide)
        return RenderResult::DecodeFailed;
    if (overMemoryCap(pixelBytes(QSize(width, height))))
        return RenderResult::OverMemoryCap;
    const RenderSettings settings = RenderSettings::current();
    const QString size = QString::number(width) + QLatin1Char('x') + QString::number(height);
    const QFileInfo info(target);
    QDir().mkpath(info.absolutePath());

    // ffmpeg writes into a hidden temporary file that the service made
    // itself (a name swapped for a link while ffmpeg runs changes nothing),
    // renamed into place only after a clean exit.
    QString tmpName;
    const int fd = openTemporary(info.absolutePath(), tmpName);
    if (fd < 0)
        return RenderResult::CannotWrite;
    const TemporaryGuard guard(fd, tmpName);

    const QStringList args = {
        QStringLiteral("-y"), QStringLiteral("-t"), QStringLiteral("15"),
        QStringLiteral("-ss"), QStringLiteral("00:00:00"),
        QStringLiteral("-protocol_whitelist"), QStringLiteral("file"),
        QStringLiteral("-format_whitelist"), g_demuxers,
        QStringLiteral("-i"), source,
        // The written call stretches every clip to the box, and clients may
        // lay cells out by it; "videofit": "aspect" fits the clip into the
        // box instead, by its display aspect (square pixels first; ffmpeg
        // has already turned it by its rotation) as still pictures are.
        settings.videoKeepsAspect ? QStringLiteral("-vf") : QStringLiteral("-s"),
        settings.videoKeepsAspect
            ? QStringLiteral("scale=iw*sar:ih,setsar=1,scale=%1:%2:force_original_aspect_ratio=decrease").arg(width).arg(height)
            : size,
        QStringLiteral("-r"), QStringLiteral("5"),
        QStringLiteral("-threads"), QStringLiteral("1"),
        QStringLiteral("-preset"), QStringLiteral("veryslow"),
        QStringLiteral("-f"), QStringLiteral("gif"),
        QStringLiteral("pipe:1"),
    };
    // ffmpeg's frames come out of the budget the pictures share: a quarter
    // of the cap (64 MiB by default, which with its base holds a 4K clip's
    // decode, about 150 MiB), so that a video running for minutes leaves
    // room for pictures and a second video. Its data limit holds it to that
    // plus its own base, which is not in the budget (nor is the service's).
    const qint64 share = settings.memoryCap / 4;
    const MemoryReservation memory(share);
    if (!memory.granted())
        return RenderResult::Stopped;
    ChildProcess ffmpeg(settings.ffmpegProgram, args);
    ffmpeg.setStandardOutput(fd);
    ffmpeg.captureErrors(ERROR_TAIL_BYTES);
    ffmpeg.setDataLimit(share + FFMPEG_BASE_BYTES);
    // A stranger's ffmpeg runs as the stranger, who may stop it: a child
    // that holds the worker without working is ended, and its file is tried
    // once a start, as a busy time-out's is, so that the trick does not
    // hold the worker on the next walk either.
    ffmpeg.setIdleLimit(settings.videoIdleMs);
    const ChildProcess::Outcome outcome = ffmpeg.run(settings.videoTimeoutMs);
    if (outcome == ChildProcess::Idle) {
        t_busyTimeout = true;
        PRINTLN(QStringLiteral("ffmpeg was stopped or did no work for %1 s on %2; ended, and the file is tried once a start until it changes")
                    .arg(settings.videoIdleMs / 1000)
                    .arg(source));
        return RenderResult::FfmpegTimedOut;
    }
    if (outcome == ChildProcess::TimedOut) {
        t_busyTimeout = ffmpeg.cpuMsAtTimeout() * 2 >= settings.videoTimeoutMs;
        return failed(source, RenderResult::FfmpegTimedOut, ffmpeg);
    }
    if (outcome == ChildProcess::Stopped)
        return RenderResult::Stopped;
    if (outcome == ChildProcess::NotStarted) {
        PRINTLN(QStringLiteral("ffmpeg failed for %1: cannot start %2 (%3)").arg(source, settings.ffmpegProgram, ffmpeg.startError()));
        return RenderResult::FfmpegFailed;
    }
    struct stat st;
    if (outcome != ChildProcess::Finished || ffmpeg.signalled() || ffmpeg.exitCode() != 0 || ::fstat(fd, &st) != 0
        || st.st_size <= 0) {
        // ffmpeg says only "Conversion failed!" when its output cannot be
        // written: a folder that takes no files is the folder's fault, not
        // the video's.
        QString reason;
        if (!folderTakesFiles(info.absolutePath(), reason))
            return RenderResult::CannotWrite;
        return failed(source, RenderResult::FfmpegFailed, ffmpeg);
    }
    if (!placeThumbnail(guard, fd, tmpName, target))
        return RenderResult::CannotWrite;
    return RenderResult::Rendered;
}


bool lastTimeoutWasBusy()
{
    return t_busyTimeout;
}
