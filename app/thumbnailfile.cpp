#include "thumbnailfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageWriter>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString g_tmpPrefix = QStringLiteral(".k8thumb-");
constexpr qint64 kHour = 3600 * 1000;

QMutex g_cleanupMutex;
QHash<QString, qint64> g_lastCleanup;   // folder -> ms since epoch; guarded by g_cleanupMutex

// Mode of new files under the process's umask, as QImage::save would have
// made them; the temporary files start out private.
const mode_t g_fileMode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
}();

// Writes the picture to a hidden temporary file beside target and renames
// it into place, so the final name only ever holds a complete file. The
// rename replaces whatever entry is there (a link is replaced, not followed).
bool saveAtomically(const QImage &img, const QString &target)
{
    const QFileInfo info(target);
    const QByteArray format = info.suffix().toLower().toLatin1();
    QTemporaryFile tmp(info.absolutePath() + QLatin1Char('/') + g_tmpPrefix + QStringLiteral("XXXXXX"));
    if (!tmp.open())
        return false;
    QImageWriter writer(&tmp, format);
    if (!writer.canWrite() || !writer.write(img) || !tmp.flush())
        return false;
    if (::fchmod(tmp.handle(), g_fileMode) != 0)
        return false;
    tmp.close();
    if (::rename(QFile::encodeName(tmp.fileName()).constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    tmp.setAutoRemove(false);
    return true;
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
    static const qint64 processStart = QDateTime::currentMSecsSinceEpoch();
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
        if (fi.lastModified().toMSecsSinceEpoch() < processStart)
            QFile::remove(fi.absoluteFilePath());
    }
}

