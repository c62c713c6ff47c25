#include "layoutwalk.h"

#include "br2utils.h"
#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "mediakind.h"
#include "rendersettings.h"
#include "stopflag.h"
#include "thumbnailfile.h"
#include "videothumbnail.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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

// Renders with the file's renderer; with debugging on, a file that failed
// is named on the console with the reason (ffmpeg's failures always are,
// by the video renderer, with ffmpeg's last line).
void render(MediaKind kind, const QString &source, const QString &target, int width, int height)
{
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
    const bool quiet = result == RenderResult::Rendered || result == RenderResult::NotMedia || result == RenderResult::Stopped
        || result == RenderResult::FfmpegFailed || result == RenderResult::FfmpegTimedOut;
    if (!quiet && RenderSettings::current().debugging)
        PRINTLN(QStringLiteral("no thumbnail for %1: %2").arg(source, QLatin1String(renderReason(result))));
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

bool snapvaultFile(const QString &file, const QDir &thumbs, int width, int height)
{
    const MediaKind kind = mediaKindOf(file);
    if (kind == MediaNone)
        return !stopRequested();
    // An unreadable file has no content hash; it is skipped rather than
    // rendered under the bare suffix.
    const QByteArray hash = fileMd5hex(file);
    if (hash.isEmpty())
        return !stopRequested();
    const QString target = thumbs.absoluteFilePath(QString::fromLatin1(hash) + thumbnailSuffix(kind));
    struct stat t;
    if (!thumbnailPresent(target, &t))
        render(kind, file, target, width, height);
    return !stopRequested();
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
        if (!perFile(fi.absoluteFilePath()) || !pauseAfterFile())
            return false;
    }
    return !stopRequested();
}

} // namespace

bool pellowcloudWalk(const QString &source, const QString &thumbs, int width, int height)
{
    const QDir thumbDir(thumbs);
    return walkFolder(source, thumbs, [&](const QString &path) {
        const MediaKind kind = mediaKindOf(path);
        if (kind != MediaNone) {
            const QString target = thumbDir.absoluteFilePath(QString::fromLatin1(md5hex(path)) + thumbnailSuffix(kind));
            if (needsRender(path, target))
                render(kind, path, target, width, height);
        }
        return true;
    });
}

bool snapvaultWalk(const QString &source, const QString &thumbs, int width, int height)
{
    const QDir thumbDir(thumbs);
    if (!QFileInfo(source).isDir()) {
        removeLeftovers(thumbs);
        return snapvaultFile(source, thumbDir, width, height);
    }
    return walkFolder(source, thumbs, [&](const QString &path) { return snapvaultFile(path, thumbDir, width, height); });
}
