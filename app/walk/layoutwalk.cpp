#include "layoutwalk.h"

#include "br2utils.h"
#include "filealias.h"
#include "fileidentitystore.h"
#include "mediakind.h"
#include "missedfiles.h"
#include "peeraccess.h"
#include "picturethumbnail.h"
#include "quarantine.h"
#include "renderhelpers.h"
#include "rendersettings.h"
#include "sourcecopy.h"
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

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>
#include <time.h>

namespace {

// Waits the pause after a file ("filepause", 50 ms by default, none at 0);
// false as soon as a stop is requested.
bool pauseAfterFile()
{
    return !waitForStop(RenderSettings::current().walkPauseMs);
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
// one. Every failure is named once on the console (ffmpeg's and the render
// helper's by their renderers, with more detail) and kept for the status.
RenderResult render(MediaKind kind, const QString &source, const QString &target, int width, int height,
                    const SourceCopy *copy)
{
    JobActivity::setFile(source);
    RenderResult result = RenderResult::NotMedia;
    switch (kind) {
    case MediaHeif:
    case MediaImage:
    case MediaRaw:
        result = pictureThumbnail(kind, source, target, width, height, copy);
        break;
    case MediaVideo:
        result = videoThumbnail(source, target, width, height);
        break;
    case MediaNone:
        break;
    }
    JobActivity::setFile(QString());
    switch (result) {
    case RenderResult::Rendered:
    case RenderResult::NotMedia:
    case RenderResult::Stopped:
    case RenderResult::HelperUnavailable:
        break;
    case RenderResult::DecodeFailed:
    case RenderResult::OverMemoryCap:
    case RenderResult::CannotWrite:
        MissedFiles::note(source, QLatin1String(renderReason(result)));
        break;
    default:        // the render helper's and ffmpeg's failures, named where they happened
        MissedFiles::note(source, QLatin1String(renderReason(result)), true);
        break;
    }
    return result;
}

bool laterThan(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Cloud-drive thumbnails are named after the path, so an edited source
// would keep its old thumbnail for ever. A thumbnail is current when the
// identity its source had at the render is the source's identity now, so a
// file replaced by an older-dated one (cp -p, mv over it, rsync -a, a
// restore) is rendered again. A thumbnail the store has no record of (made
// before it, or its record lost) keeps the rule of its age once and is
// recorded: a regular file older than its source's modification or change
// time counts as missing, except for a source modified in the future (a
// camera with a wrong clock), which would otherwise be rendered on every
// walk. The change time catches a source put back with an older
// modification time (cp -p, a restore), which the kernel cannot date back.
// id: the source's identity now.
bool needsRender(const QString &source, const QString &target, FileIdentity &id)
{
    struct stat t;
    const bool present = thumbnailPresent(target, &t);
    struct stat s;
    if (::stat(QFile::encodeName(source).constData(), &s) != 0)
        return !present;
    id = FileIdentity::of(s);
    if (!present)
        return true;
    if (!S_ISREG(t.st_mode))
        return false;
    switch (FileIdentityStore::rendered(target, id)) {
    case FileIdentityStore::Current:
        return false;
    case FileIdentityStore::Stale:
        return true;
    case FileIdentityStore::NoRecord:
        break;
    }
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool stale = (laterThan(s.st_mtim, t.st_mtim) && !laterThan(s.st_mtim, now)) || laterThan(s.st_ctim, t.st_mtim);
    if (!stale)
        FileIdentityStore::recordRender(target, source, id);
    return stale;
}

// One file of a walk, counted in tally; false when the walk must not go
// on (a stop, or a thumbnail folder that takes no files). raw: the file's
// path as its folder lists it, which the quarantine knows it by (source
// may be a link to it).
bool renderCounted(MediaKind kind, const QByteArray &raw, const QString &source, const QString &target, int width, int height,
                   WalkTally &tally, FolderRefusal &refusal, RenderResult *outcome = nullptr,
                   const SourceCopy *copy = nullptr)
{
    // Without a render helper no picture can be decoded: the job waits, as
    // for a folder that takes no files, rather than naming every picture.
    const auto noHelper = [&] {
        if (outcome)
            *outcome = RenderResult::HelperUnavailable;
        if (!stopRequested())
            refusal = FolderRefusal{QFileInfo(target).absolutePath(),
                                    QLatin1String(renderReason(RenderResult::HelperUnavailable))};
        return false;
    };
    // The helper is started before the file's verdict and slot: a service
    // killed during the start did not die of the file.
    if (isPicture(kind) && !RenderHelpers::prepare())
        return noHelper();
    // Poison files: skipped while quarantined, rendered alone while suspect.
    struct stat st {};
    const bool known = ::stat(QFile::encodeName(source).constData(), &st) == 0;
    const Quarantine::Verdict verdict = known ? Quarantine::verdict(raw, st) : Quarantine::Render;
    if (verdict == Quarantine::Skip) {
        tally.skipped(WalkTally::Quarantined);
        return !stopRequested();
    }
    RenderResult result;
    {
        Quarantine::Rendering rendering(raw, st, verdict == Quarantine::RenderAlone);
        result = render(kind, source, target, width, height, copy);
        rendering.finished(result, result == RenderResult::FfmpegTimedOut && lastTimeoutWasBusy());
    }
    if (result == RenderResult::HelperUnavailable)
        return noHelper();
    tally.rendered(kind, result);
    if (outcome)
        *outcome = result;
    // A folder that takes no files stops the walk: the job waits for it.
    QString reason;
    if (result == RenderResult::CannotWrite && !folderTakesFiles(QFileInfo(target).absolutePath(), reason)) {
        PRINTLN(QStringLiteral("cannot write thumbnails into %1: %2; the folder's other files are left")
                    .arg(QFileInfo(target).absolutePath(), reason));
        refusal = FolderRefusal{QFileInfo(target).absolutePath(), reason};
        return false;
    }
    return !stopRequested();
}

// The most of a picture that is copied once for its hash and its decode:
// a sixteenth of the memory cap, at most 32 MiB. A larger file is hashed
// by streaming and decoded from the file. The copy is held outside the
// memory budget while the hash is made, and counted in the render's
// reservation.
qint64 copyLimit()
{
    return qMin<qint64>(qint64(32) << 20, RenderSettings::current().memoryCap / 16);
}

// remember: whether the store may keep what it learns under the file's
// path (not under a passing link's).
bool snapvaultFile(const QString &file, const QByteArray &raw, const QDir &thumbs, int width, int height, WalkTally &tally,
                   FolderRefusal &refusal, bool remember = true)
{
    // What the store knows under the file's identity spares the MIME
    // lookup and reading the file again; an unreadable file has no content
    // hash and is skipped rather than rendered under the bare suffix.
    struct stat st;
    const bool regular = ::stat(QFile::encodeName(file).constData(), &st) == 0 && S_ISREG(st.st_mode);
    const FileIdentity id = regular ? FileIdentity::of(st) : FileIdentity();
    int known = MediaNone;
    QByteArray hash;
    SourceCopy bytes;          // a picture read once: hashed, then decoded from the copy
    // What the store learnt from another job's reading stands in for this
    // job's only when this job's identity may read the file itself.
    if (!regular || !remember || !actingMayRead(file) || !FileIdentityStore::known(file, id, known, hash)) {
        known = mediaKindOf(file);
        const bool copied = isPicture(MediaKind(known)) && bytes.copy(file, st, copyLimit());
        hash = known == MediaNone ? QByteArray() : copied ? bytes.md5hex() : fileMd5hex(file);
        // A file replaced while it was read is not remembered under the
        // identity of the one before.
        struct stat after;
        if (regular && remember && (known == MediaNone || !hash.isEmpty())
            && (copied || (::stat(QFile::encodeName(file).constData(), &after) == 0 && FileIdentity::of(after) == id)))
            FileIdentityStore::record(file, id, known, hash);
    }
    const MediaKind kind = MediaKind(known);
    if (kind == MediaNone) {
        tally.skipped(WalkTally::NotMedia);
        return !stopRequested();
    }
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
    return renderCounted(kind, raw, file, target, width, height, tally, refusal, nullptr,
                         bytes.size() > 0 ? &bytes : nullptr);
}

// A link planted in a folder someone else walks must not lend its owner
// the walker's rights: it is followed only where its owner could read the
// target, or when its owner is root or owns the target.
bool linkFollowed(int dir, const char *name, const QByteArray &path, const struct stat &target)
{
    struct stat link;
    if (::fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode))
        return true;
    if (link.st_uid == 0 || link.st_uid == target.st_uid)
        return true;
    return userMayRead(link.st_uid, QFile::decodeName(path));
}

// The walk both layouts share: leftovers cleared, the folder's files in
// turn (never the folder's own thumbnails), a pause after each, and an end
// as soon as a stop is requested or perFile says so. The folder is read as
// a stream of raw names, so a folder of 100,000 files is never held in
// memory whole and a name that is not UTF-8 is walked too: perFile gets
// the file's raw path. No hidden files (the temporary thumbnails), no
// subfolders, no FIFOs, devices or sockets (links count as what they point
// to). Thumbnails the walk itself writes into the source folder may show
// up later in the stream; their names keep them out. A link whose owner may
// not read its target is counted in tally and named.
bool walkFolder(const QString &source, const QString &thumbs, WalkTally &tally,
                const std::function<bool(const QByteArray &)> &perFile)
{
    removeLeftovers(thumbs);
    const bool ownThumbs = sameFolder(source, thumbs);
    // The form of the path that the thumbnails of the cloud layout are named after.
    const QByteArray folder = QFile::encodeName(QDir::cleanPath(QDir(source).absolutePath()));
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return !stopRequested();
    bool cut = false;
    while (const struct dirent *entry = ::readdir(dir)) {
        if (stopRequested()) {
            cut = true;
            break;
        }
        const QByteArray name(entry->d_name);
        struct stat st;
        if (name.startsWith('.') || ::fstatat(::dirfd(dir), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (ownThumbs && isThumbnailName(QString::fromLatin1(name)))
            continue;
        const QByteArray path = folder + (folder.endsWith('/') ? "" : "/") + name;
        // Looked at now, not by the entry's type: the folder was listed a
        // while ago, and a file may have been swapped for a link since.
        if (!linkFollowed(::dirfd(dir), entry->d_name, path, st)) {
            tally.skipped(WalkTally::Link);
            MissedFiles::note(QFile::decodeName(path), QStringLiteral("a link whose owner may not read its target"));
            continue;
        }
        if (!perFile(path))
            break;
        if (!pauseAfterFile()) {
            cut = true;
            break;
        }
    }
    ::closedir(dir);
    if (cut || stopRequested()) {
        FileIdentityStore::commit();
        return false;
    }
    FileIdentityStore::forgetGone(source);
    return true;
}

// The line every folder job ends with; a one-file job says only a skip,
// and a folder without files says nothing unless debugging is on.
void account(const QString &layout, const QString &source, const WalkTally &tally, bool oneFile)
{
    const bool empty = tally.seen() == 0 && tally.skippedTotal() == 0;
    if (oneFile ? tally.skippedTotal() > 0 : !empty || RenderSettings::current().debugging)
        PRINTLN(QStringLiteral("%1 %2: %3").arg(layout, source, tally.summary()));
}

} // namespace

bool pellowcloudWalk(const QString &source, const QString &thumbs, int width, int height, FolderRefusal *refusal)
{
    const QDir thumbDir(thumbs);
    WalkTally tally;
    FolderRefusal refused;
    bool done = walkFolder(source, thumbs, tally, [&](const QByteArray &raw) {
        // Named after the MD5 of the raw path: the same as of its text for
        // every UTF-8 name.
        const FileAlias alias(raw);
        const QString path = alias.path();
        if (path.isEmpty())
            return true;
        const MediaKind kind = mediaKindOf(path);
        if (kind == MediaNone) {
            tally.skipped(WalkTally::NotMedia);
            return true;
        }
        const QString target = thumbDir.absoluteFilePath(QString::fromLatin1(md5hex(raw)) + thumbnailSuffix(kind));
        FileIdentity id;
        if (!needsRender(path, target, id)) {
            tally.upToDate();
            return true;
        }
        RenderResult result = RenderResult::NotMedia;
        const bool goOn = renderCounted(kind, raw, path, target, width, height, tally, refused, &result);
        if (result == RenderResult::Rendered && id.inode != 0)
            FileIdentityStore::recordRender(target, path, id);
        return goOn;
    });
    done = done && !refused.refused();
    if (done)
        account(QStringLiteral("pellowcloud"), source, tally, false);
    if (refusal)
        *refusal = refused;
    return done;
}

bool snapvaultWalk(const QString &source, const QString &thumbs, int width, int height, FolderRefusal *refusal)
{
    const QDir thumbDir(thumbs);
    WalkTally tally;
    FolderRefusal refused;
    const bool oneFile = !QFileInfo(source).isDir();
    if (oneFile) {
        removeLeftovers(thumbs);
        snapvaultFile(source, QFile::encodeName(source), thumbDir, width, height, tally, refused);
        FileIdentityStore::commit();
    } else {
        walkFolder(source, thumbs, tally, [&](const QByteArray &raw) {
            const FileAlias alias(raw);
            return alias.path().isEmpty() || snapvaultFile(alias.path(), raw, thumbDir, width, height, tally, refused, !alias.linked());
        });
    }
    const bool done = !stopRequested() && !refused.refused();
    if (done)
        account(QStringLiteral("snapvault"), source, tally, oneFile);
    if (refusal)
        *refusal = refused;
    return done;
}
