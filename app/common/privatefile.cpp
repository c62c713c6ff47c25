#include "privatefile.h"

#include <QByteArray>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void makePrivate(const QStringList &paths)
{
    for (const QString &path : paths) {
        // O_PATH: closing any other descriptor of a file would drop the
        // fcntl locks SQLite holds on it; closing an O_PATH one does not.
        const int fd = ::open(QFile::encodeName(path).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600)
            ::chmod(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), 0600);
        ::close(fd);
    }
}
