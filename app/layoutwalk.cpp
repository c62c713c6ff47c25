#include "layoutwalk.h"

#include "br2utils.h"
#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "mediakind.h"
#include "quarantine.h"
#include "rendersettings.h"
#include "stopflag.h"
#include "thumbnailfile.h"
#include "videothumbnail.h"
#include "walktally.h"
#include "workeractivity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <functional>

#include <sys/stat.h>
#include <time.h>

namespace {

// Waits up to 50 ms; false as soon as a stop is requested.
bool pauseAfterFile()
{
    return !waitForStop(50);
}

// Files of a folder, no hidden ones, no subfolders, in the file system's order.
QFileInfoList listFolder(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::Files, QDir::Unsorted);
}

// When a job's thumbnail folder is its source folder, the thumbnails are
// files of the source too; they must not be thumbnailed in turn.
bool isThumbnailName(const QString &name)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-fA-F]{32}\\.(jpg|gif)$"));
    return form.match(name).hasMatch();
}

bool sameFolder(const QString &a, const QString &b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// Renders with the file's renderer, naming the file as the job's current
// one. A refusal by the memory cap is always named on the console; with
// debugging on, so is every other failure (ffmpeg's are named by the video
// renderer, with ffmpeg's last line).
RenderResult render(MediaKind kind, const QString &source, const QString &target, int width, int height)
{
    JobActivity::setFile(source);
    RenderResult result = RenderResult::NotMedia;
    switch (kind) {
    case MediaHeif:
        result = heifThumbnail(source, target, width, height);
        break;
    case MediaImage:
        result = imageThumbnail(source, target, width, height);
        break;
    case MediaVideo:
        result = videoThumbnail(source, target, width, height);
        break;
    case MediaNone:
        break;
    }
    JobActivity::setFile(QString());
    if (result == RenderResult::OverMemoryCap) {
        PRINTLN(QStringLiteral("no thumbnail for %1: %2").arg(source, QLatin1String(renderReason(result))));
    } else if (result == RenderResult::DecodeFailed || result == RenderResult::CannotWrite) {
        if (RenderSettings::current().debugging)
            PRINTLN(QStringLiteral("no thumbnail for %1: %2").arg(source, QLatin1String(renderReason(result))));
    }
    return result;
}

// After a thumbnail could not be written: whether the folder takes files
// at all (a full or read-only file system, no permission); when it does
// not, the reason, and the walk stops trying the folder's other files.
bool folderTakesFiles(const QString &folder, QString &reason)
{
    QDir().mkpath(folder);
    QString path;
    const int fd = openTemporary(folder, path);
    if (fd < 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const TemporaryGuard guard(fd, path);
    return true;
}

bool laterThan(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Cloud-drive thumbnails are named after the path, so an edited source
// would keep its old thumbnail for ever: a regular file older than its
// source counts as missing. A source dated in the future (a camera with a
// wrong clock) is left alone, or it would be rendered on every walk.
bool needsRender(const QString &source, const QString &target)
{
    struct stat t;
    if (!thumbnailPresent(target, &t))
        return true;
    if (!S_ISREG(t.st_mode))
        return false;
    struct stat s;
    if (::stat(QFile::encodeName(source).constData(), &s) != 0)
        return false;
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return laterThan(s.st_mtim, t.st_mtim) && !laterThan(s.st_mtim, now);
}

// One file of a walk, counted in tally; false when the walk must not go
// on (a stop, or a thumbnail folder that takes no files).
bool renderCounted(MediaKind kind, const QString &source, const QString &target, int width, int height,
                   WalkTally &tally)
{
    // Poison files: skipped while quarantined, rendered alone while suspect.
    struct stat st {};
    const bool known = ::stat(QFile::encodeName(source).constData(), &st) == 0;
    const Quarantine::Verdict verdict = known ? Quarantine::verdict(source, st) : Quarantine::Render;
    if (verdict == Quarantine::Skip) {
        tally.skipped(WalkTally::Quarantined);
        return !stopRequested();
    }
    RenderResult result;
    {
        Quarantine::Rendering rendering(source, st, verdict == Quarantine::RenderAlone);
        result = render(kind, source, target, width, height);
        rendering.finished(result, result == RenderResult::FfmpegTimedOut && lastTimeoutWasBusy());
    }
    tally.rendered(kind, result);
    QString reason;
    if (result == RenderResult::CannotWrite && !folderTakesFiles(QFileInfo(target).absolutePath(), reason)) {
        PRINTLN(QStringLiteral("cannot write thumbnails into %1: %2; the folder's other files are left")
                    .arg(QFileInfo(target).absolutePath(), reason));
        return false;
    }
    return !stopRequested();
}

bool snapvaultFile(const QString &file, const QDir &thumbs, int width, int height, WalkTally &tally)
{
    const MediaKind kind = mediaKindOf(file);
    if (kind == MediaNone) {
        tally.skipped(WalkTally::NotMedia);
        return !stopRequested();
    }
    // An unreadable file has no content hash; it is skipped rather than
    // rendered under the bare suffix.
    const QByteArray hash = fileMd5hex(file);
    if (hash.isEmpty()) {
        tally.skipped(WalkTally::Decode);
        return !stopRequested();
    }
    const QString target = thumbs.absoluteFilePath(QString::fromLatin1(hash) + thumbnailSuffix(kind));
    struct stat t;
    if (thumbnailPresent(target, &t)) {
        tally.upToDate();
        return !stopRequested();
    }
    return renderCounted(kind, file, target, width, height, tally);
}

// The walk both layouts share: leftovers cleared, the folder's files in
// turn (never the folder's own thumbnails), a pause after each, and an end
// as soon as a stop is requested or perFile says so.
bool walkFolder(const QString &source, const QString &thumbs, const std::function<bool(const QString &)> &perFile)
{
    removeLeftovers(thumbs);
    const bool ownThumbs = sameFolder(source, thumbs);
    for (const QFileInfo &fi : listFolder(source)) {
        if (stopRequested())
            return false;
        if (ownThumbs && isThumbnailName(fi.fileName()))
            continue;
        if (!perFile(fi.absoluteFilePath()))
            break;
        if (!pauseAfterFile())
            return false;
    }
    return !stopRequested();
}

// The line every folder job ends with; a one-file job says only a skip.
void account(const QString &layout, const QString &source, const WalkTally &tally, bool oneFile)
{
    if (!oneFile || tally.skippedTotal() > 0)
        PRINTLN(QStringLiteral("%1 %2: %3").arg(layout, source, tally.summary()));
}

} // namespace

bool pellowcloudWalk(const QString &source, const QString &thumbs, int width, int height)
{
    const QDir thumbDir(thumbs);
    WalkTally tally;
    const bool done = walkFolder(source, thumbs, [&](const QString &path) {
        const MediaKind kind = mediaKindOf(path);
        if (kind == MediaNone) {
            tally.skipped(WalkTally::NotMedia);
            return true;
        }
        const QString target = thumbDir.absoluteFilePath(QString::fromLatin1(md5hex(path)) + thumbnailSuffix(kind));
        if (!needsRender(path, target)) {
            tally.upToDate();
            return true;
        }
        return renderCounted(kind, path, target, width, height, tally);
    });
    if (done)
        account(QStringLiteral("pellowcloud"), source, tally, false);
    return done;
}

bool snapvaultWalk(const QString &source, const QString &thumbs, int width, int height)
{
    const QDir thumbDir(thumbs);
    WalkTally tally;
    const bool oneFile = !QFileInfo(source).isDir();
    if (oneFile) {
        removeLeftovers(thumbs);
        snapvaultFile(source, thumbDir, width, height, tally);
    } else {
        walkFolder(source, thumbs, [&](const QString &path) { return snapvaultFile(path, thumbDir, width, height, tally); });
    }
    const bool done = !stopRequested();
    if (done)
        account(QStringLiteral("snapvault"), source, tally, oneFile);
    return done;
}
