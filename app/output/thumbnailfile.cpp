#include "thumbnailfile.h"

#include "br2utils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageWriter>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString g_tmpPrefix = QStringLiteral(".k8thumb-");
constexpr qint64 kHour = 3600 * 1000;

// A temporary file made before this process started belongs to no writer
// of it; one made since may be another worker's render in progress. Taken
// when the program is loaded, not at the first sweep, which comes later.
const qint64 g_processStart = QDateTime::currentMSecsSinceEpoch();

thread_local QSet<QString> t_written;   // folders this thread renamed thumbnails into

QMutex g_cleanupMutex;
QHash<QString, qint64> g_lastCleanup;   // folder -> ms since epoch; guarded by g_cleanupMutex

// Mode of new files under the process's umask, as QImage::save would have
// made them; the temporary files start out private.
const mode_t g_fileMode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
}();

// Writes the picture to a hidden temporary file beside target and puts it
// in place.
bool saveAtomically(const QImage &img, const QString &target)
{
    const QFileInfo info(target);
    const QByteArray format = info.suffix().toLower().toLatin1();
    QString tmpPath;
    const int fd = openTemporary(info.absolutePath(), tmpPath);
    if (fd < 0)
        return false;
    const TemporaryGuard guard(fd, tmpPath);
    QFile tmp;
    if (!tmp.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return false;
    QImageWriter writer(&tmp, format);
    if (!writer.canWrite() || !writer.write(img) || !tmp.flush())
        return false;
    tmp.close();
    return placeThumbnail(guard, fd, tmpPath, target);
}

} // namespace

QString temporaryPrefix()
{
    return g_tmpPrefix;
}

mode_t thumbnailFileMode()
{
    return g_fileMode;
}

int openTemporary(const QString &folder, QString &path)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = g_tmpPrefix;
        for (int i = 0; i < 8; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)]);
        path = folder + QLatin1Char('/') + name;
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

TemporaryGuard::~TemporaryGuard()
{
    ::close(m_fd);
    if (!m_released)
        ::unlink(QFile::encodeName(m_path).constData());
}

bool placeThumbnail(const TemporaryGuard &guard, int fd, const QString &tmpPath, const QString &target)
{
    const QFileInfo info(target);
    if (::fchmod(fd, g_fileMode) != 0
        || ::rename(QFile::encodeName(tmpPath).constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    guard.release();
    t_written.insert(info.absolutePath());
    return true;
}

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
    // A full file system still makes empty files: the probe must hold data.
    static const char block[4096] = {};
    errno = 0;
    if (::write(fd, block, sizeof block) != ssize_t(sizeof block)) {
        reason = QString::fromLocal8Bit(std::strerror(errno ? errno : ENOSPC));
        return false;
    }
    return true;
}

QStringList takeWrittenFolders()
{
    const QStringList folders = t_written.values();
    t_written.clear();
    return folders;
}

bool flushFolders(const QStringList &folders)
{
    bool ok = true;
    QSet<dev_t> flushed;
    for (const QString &folder : folders) {
        // A folder gone since holds nothing to keep.
        const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && !flushed.contains(st.st_dev)) {
            flushed.insert(st.st_dev);
            if (::syncfs(fd) != 0) {
                PRINTLN(QStringLiteral("cannot flush the thumbnails in %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
                ok = false;
            }
        }
        ::close(fd);
    }
    return ok;
}

bool writeThumbnailBytes(const QByteArray &bytes, const QString &target)
{
    if (bytes.isEmpty())
        return false;
    const QFileInfo info(target);
    QDir().mkpath(info.absolutePath());
    QString tmpPath;
    const int fd = openTemporary(info.absolutePath(), tmpPath);
    if (fd < 0)
        return false;
    const TemporaryGuard guard(fd, tmpPath);
    if (!writeFully(fd, bytes.constData(), size_t(bytes.size())))
        return false;
    return placeThumbnail(guard, fd, tmpPath, target);
}

bool writeThumbnail(const QImage &img, const QString &target)
{
    if (img.isNull())
        return false;
    QDir().mkpath(QFileInfo(target).absolutePath());
    return saveAtomically(img, target);
}

bool thumbnailPresent(const QString &path, struct stat *st)
{
    if (::lstat(QFile::encodeName(path).constData(), st) != 0)
        return false;
    return !(S_ISREG(st->st_mode) && st->st_size == 0);
}

// Temporary files of runs that were killed are never renamed into place.
// Every writer of this process removes its own file when it fails, so a
// temporary file older than the process belongs to no writer.
void removeLeftovers(const QString &folder)
{
    const QString key = QDir(folder).absolutePath();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        QMutexLocker locker(&g_cleanupMutex);
        auto it = g_lastCleanup.constFind(key);
        if (it != g_lastCleanup.constEnd() && now - it.value() < kHour)
            return;
        g_lastCleanup.insert(key, now);
    }
    const QFileInfoList old = QDir(key).entryInfoList({g_tmpPrefix + QLatin1Char('*')},
                                                      QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QFileInfo &fi : old) {
        if (fi.lastModified().toMSecsSinceEpoch() < g_processStart)
            QFile::remove(fi.absoluteFilePath());
    }
}

