#include "picturethumbnail.h"

#include "br2utils.h"
#include "renderhelpers.h"
#include "rendersettings.h"
#include "sourcecopy.h"
#include "thumbnailfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The source itself, or -1 when it is not a regular file now.
int openSource(const QString &source)
{
    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

RenderResult pictureThumbnail(MediaKind kind, const QString &source, const QString &target, int width, int height,
                              const SourceCopy *copy)
{
    const int fd = copy ? copy->fd() : openSource(source);
    if (fd < 0)
        return RenderResult::DecodeFailed;
    const RenderHelpers::Outcome outcome = RenderHelpers::render(
        kind, fd, copy ? copy->size() : 0, QFile::encodeName(QFileInfo(source).fileName()), width, height);
    if (!copy)
        ::close(fd);
    switch (outcome.result) {
    case RenderResult::Rendered:
        return writeThumbnailBytes(outcome.jpeg, target) ? RenderResult::Rendered : RenderResult::CannotWrite;
    case RenderResult::HelperDied:
        PRINTLN(QStringLiteral("the render helper died on %1 (%2); the file is quarantined")
                    .arg(source, outcome.signal ? QStringLiteral("signal %1, %2").arg(outcome.signal).arg(QString::fromLocal8Bit(::strsignal(outcome.signal)))
                                                : QStringLiteral("it exited")));
        break;
    case RenderResult::HelperTimedOut:
        PRINTLN(QStringLiteral("the render helper ran past %1 s on %2 and was killed; the file is tried once a start until it changes")
                    .arg(RenderSettings::current().renderTimeoutMs / 1000)
                    .arg(source));
        break;
    default:
        break;
    }
    return outcome.result;
}
