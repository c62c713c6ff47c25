// k8thumbgen-render: decodes and scales the service's pictures in a
// process of its own, so that no image library parses a user's bytes in
// the service. The service keeps one per worker thread:
//
//   k8thumbgen-render --memory BYTES [--user NAME]
//
// --memory  what one decode may hold at most (a request may ask for less)
// --user    the user it decodes as when started as root (default
//           k8thumbgen-render; nobody when there is no such user)
//
// Its channel to the service is descriptor 3 (renderchannel.h). It loads
// everything it needs (preload.h), locks itself in (lockin.h), says it is
// ready, then serves requests until the service closes the channel: exit
// status 0. Status 1
// when it cannot start or lock itself in, 2 when the service breaks the
// protocol.
#include "lockin.h"
#include "preload.h"
#include "renderchannel.h"
#include "requestloop.h"
#include "rendersettings.h"

#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QThreadPool>

#include <cstdio>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int CHANNEL = 3;

// The data limit counts memory mapped for writing, which runs ahead of
// the memory a render touches and reserves: the stacks of Qt's and the
// decoders' threads (8 MiB each but dav1d's), and the frame buffers dav1d
// maps for threads a still picture leaves idle (a quarter more than an AV1
// picture's reservation). Beyond the cap and what the helper held after
// loading, it has this room, and a quarter of the cap.
const qint64 HEADROOM = qint64(64) << 20;
// Qt converts and scales large pictures in its thread pool; two threads
// keep their stacks within the room whatever the number of processors.
const int POOL_THREADS = 2;

int fail(const QString &why)
{
    std::fprintf(stderr, "k8thumbgen-render: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    // One allocator arena for every thread. Large blocks keep glibc's
    // sliding threshold: mapping and unmapping each decode's buffers anew
    // costs a page fault for every page of every picture (a progressive
    // 12 MP JPEG took 7x as long); the heap a large decode leaves is given
    // back after it (requestloop), and a helper that meets its data limit
    // all the same has the file tried again in a fresh one.
    mallopt(M_ARENA_MAX, 1);
    // Text is drawn with real fonts (fontconfig), without a display: and
    // without a connection to one either, even where DISPLAY is set.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QPA_OFFSCREEN_NO_GLX", "1");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption memory(QStringLiteral("memory"), QStringLiteral("bytes one decode may hold"), QStringLiteral("bytes"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("the user to decode as when started as root"),
                                  QStringLiteral("name"), QStringLiteral("k8thumbgen-render"));
    parser.addOptions({memory, user});
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    bool ok = false;
    const qint64 memoryCap = parser.value(memory).toLongLong(&ok);
    if (!ok || memoryCap <= 0)
        return fail(QStringLiteral("--memory takes a number of bytes"));
    struct stat channel;
    if (::fstat(CHANNEL, &channel) != 0 || !S_ISSOCK(channel.st_mode))
        return fail(QStringLiteral("descriptor 3 is not a socket"));

    RenderSettings settings = RenderSettings::current();
    settings.memoryCap = memoryCap;
    RenderSettings::set(settings);
    QThreadPool::globalInstance()->setMaxThreadCount(POOL_THREADS);
    preloadEverything();
    const qint64 base = dataSize();
    QString error;
    if (base < 0 || !lockIn(QFile::encodeName(parser.value(user)), memoryCap + memoryCap / 4 + base + HEADROOM, error))
        return fail(error.isEmpty() ? QStringLiteral("cannot measure its memory") : error);
    // The service counts a render's time from here on.
    if (!RenderChannel::send(CHANNEL, RenderChannel::Ready, QByteArray()))
        ::_exit(0);
    // Leaves without tearing Qt down: nothing of it needs to be put away,
    // and its destructors could make calls the filter does not allow.
    std::fflush(stderr);
    ::_exit(serveRequests(CHANNEL, memoryCap));
}
