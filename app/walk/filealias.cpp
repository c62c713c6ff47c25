#include "filealias.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char PREFIX[] = ".k8thumbgen-alias-";

// When this program started: static initialisation runs before main.
const struct timespec g_started = [] {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
}();

bool earlier(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// Empties the folder open as fd (its entries are links, never folders).
void removeEntries(int fd)
{
    DIR *dir = ::fdopendir(::dup(fd));
    if (!dir)
        return;
    while (const struct dirent *entry = ::readdir(dir)) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
            ::unlinkat(fd, entry->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace

bool FileAlias::isValidName(const QByteArray &name)
{
    return QFile::encodeName(QFile::decodeName(name)) == name;
}

FileAlias::FileAlias(const QByteArray &rawPath)
{
    if (isValidName(rawPath)) {
        m_path = QFile::decodeName(rawPath);
        return;
    }
    QByteArray folder = QFile::encodeName(QDir::tempPath()) + '/' + PREFIX + "XXXXXX";
    if (!::mkdtemp(folder.data()))
        return;
    // Held until the alias goes, so that another service's start on the
    // same temporary folder leaves the folder alone.
    m_lockFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_lockFd >= 0)
        ::flock(m_lockFd, LOCK_EX | LOCK_NB);
    // The link keeps the file's suffix where it is plain ASCII, so that the
    // MIME lookup by name still works.
    const int dot = rawPath.lastIndexOf('.');
    const QByteArray suffix = dot > rawPath.lastIndexOf('/') ? rawPath.mid(dot) : QByteArray();
    const bool ascii = std::all_of(suffix.begin(), suffix.end(), [](char c) { return uchar(c) < 0x80 && c != '/'; });
    const QByteArray link = folder + "/file" + (ascii ? suffix : QByteArray());
    if (::symlink(rawPath.constData(), link.constData()) != 0) {
        ::rmdir(folder.constData());
        return;
    }
    m_folder = folder;
    m_path = QFile::decodeName(link);
}

FileAlias::~FileAlias()
{
    if (!m_folder.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
        ::rmdir(m_folder.constData());
    }
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void FileAlias::removeStale()
{
    DIR *temp = ::opendir(QFile::encodeName(QDir::tempPath()).constData());
    if (!temp)
        return;
    while (const struct dirent *entry = ::readdir(temp)) {
        struct stat st;
        if (qstrncmp(entry->d_name, PREFIX, sizeof PREFIX - 1) != 0
            || ::fstatat(::dirfd(temp), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)
            || !earlier(st.st_mtim, g_started))
            continue;
        const int fd = ::openat(::dirfd(temp), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            removeEntries(fd);
            ::unlinkat(::dirfd(temp), entry->d_name, AT_REMOVEDIR);
        }
        ::close(fd);
    }
    ::closedir(temp);
}
