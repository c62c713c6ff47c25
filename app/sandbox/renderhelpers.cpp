#include "renderhelpers.h"

#include "br2utils.h"
#include "memorybudget.h"
#include "peeraccess.h"
#include "renderchannel.h"
#include "rendersettings.h"
#include "childspawn.h"
#include "stopflag.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <memory>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace RenderHelpers {

namespace {

// A waiting conversation looks at the stop request this often.
const int SLICE_MS = 200;
// The most a helper may take to load and lock itself in.
const int START_MS = 30000;
// Reserved with each request, at most an eighth of the memory cap: enough
// for the scaled decode of most photos.
const qint64 PREGRANT_BYTES = qint64(32) << 20;

struct Helper
{
    pid_t pid = -1;
    int channel = -1;
    int files = 0;            // pictures it has decoded
    qint64 lastUsed = 0;      // ms since the epoch
    bool busy = false;        // in a conversation: endIdle leaves it
    QByteArray owner;         // the identity it decodes for (currentOwner)
};

// Never destroyed: a thread's end, which ends its helper, can come after
// the process's statics are gone (QThread::wait returns before a thread's
// thread_local objects are destroyed).
QMutex &g_mutex = *new QMutex;                    // guards g_helpers and every helper's fields
QSet<Helper *> &g_helpers = *new QSet<Helper *>;  // one per worker thread that has rendered

// Called with g_mutex held. A helper is killed rather than asked to leave:
// it may be stuck in a decode, and it holds nothing that needs a clean end.
void endLocked(Helper *h)
{
    if (h->pid > 0) {
        ::kill(h->pid, SIGKILL);
        while (::waitpid(h->pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (h->channel >= 0)
        ::close(h->channel);
    h->pid = -1;
    h->channel = -1;
    h->files = 0;
}

// The calling thread's helper record, ended with the thread.
struct ThreadHelper
{
    Helper *helper = nullptr;
    ~ThreadHelper()
    {
        if (!helper)
            return;
        QMutexLocker locker(&g_mutex);
        endLocked(helper);
        g_helpers.remove(helper);
        delete helper;
    }
};
thread_local ThreadHelper t_helper;

Helper *threadHelper()
{
    if (!t_helper.helper) {
        t_helper.helper = new Helper;
        QMutexLocker locker(&g_mutex);
        g_helpers.insert(t_helper.helper);
    }
    return t_helper.helper;
}

// Starts the helper with its end of a new channel as descriptor 3. Its
// output goes nowhere unless debugging: image libraries warn about every
// odd file.
bool start(Helper *h, const RenderSettings &settings, QString &error)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    SpawnOptions options;
    options.program = helperProgramPath(QStringLiteral("k8thumbgen-render"));
    options.arguments = QStringList{QStringLiteral("--memory"), QString::number(settings.memoryCap)};
    if (!settings.debugging) {
        options.stdoutFd = devNull;
        options.stderrFd = devNull;
    }
    options.keepFds = {pair[1]};
    options.noNewPrivs = true;
    // A decode's buffers on transparent huge pages: a helper gives a large
    // decode's heap back after it, and faulting it in again page by page
    // cost more than the decode itself on virtual machines.
    const QByteArray tunables = qgetenv("GLIBC_TUNABLES");
    options.environment = {"GLIBC_TUNABLES=" + tunables + (tunables.isEmpty() ? "" : ":") + "glibc.malloc.hugetlb=1"};
    const pid_t pid = spawnProcess(options, &error);
    ::close(pair[1]);
    if (devNull >= 0)
        ::close(devNull);
    if (pid < 0) {
        ::close(pair[0]);
        return false;
    }
    {
        QMutexLocker locker(&g_mutex);
        h->pid = pid;
        h->channel = pair[0];
        h->files = 0;
    }
    // Loading every plug-in and font takes a while; a render's time starts
    // once the helper says it is ready.
    RenderChannel::Type type;
    QByteArray message;
    if (RenderChannel::receive(h->channel, type, message, nullptr, START_MS) && type == RenderChannel::Ready)
        return true;
    error = QStringLiteral("it did not become ready");
    QMutexLocker locker(&g_mutex);
    endLocked(h);
    return false;
}

// After the channel ended: how the helper ended. A helper that closed its
// end without ending is given a second, then killed.
int reap(Helper *h)
{
    int status = 0;
    pid_t got = 0;
    for (int i = 0; i < 50 && (got = ::waitpid(h->pid, &status, WNOHANG)) == 0; ++i)
        ::usleep(20000);
    if (got == 0)
        ::kill(h->pid, SIGKILL);
    while (got == 0 && (got = ::waitpid(h->pid, &status, 0)) < 0 && errno == EINTR)
        got = 0;
    {
        QMutexLocker locker(&g_mutex);
        h->pid = -1;
        endLocked(h);
    }
    return got > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Marks the helper busy for a conversation and idle again after it.
class Busy
{
public:
    explicit Busy(Helper *h) : m_h(h) { set(true); }
    ~Busy() { set(false); }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    void set(bool busy)
    {
        QMutexLocker locker(&g_mutex);
        m_h->busy = busy;
        m_h->lastUsed = QDateTime::currentMSecsSinceEpoch();
    }
    Helper *m_h;
};

qint64 readI64(const QByteArray &bytes)
{
    qint64 v = 0;
    if (bytes.size() >= int(sizeof v))
        std::memcpy(&v, bytes.constData(), sizeof v);
    return v;
}

} // namespace

// Whose files a helper decodes: a helper taken over by one client's file
// must never see another client's. A helper serves one identity, and is
// replaced when its thread acts for another.
QByteArray currentOwner()
{
    const BR2PeerCredentials *as = FsIdentity::current();
    if (!as)
        return QByteArrayLiteral("service");
    QByteArray key = QByteArray::number(as->uid) + ':' + QByteArray::number(as->gid);
    for (uint g : as->groups)
        key += ',' + QByteArray::number(g);
    return key;
}

namespace {

bool ensureStarted(Helper *h, const RenderSettings &settings)
{
    const QByteArray owner = currentOwner();
    if (h->pid >= 0 && h->owner != owner) {
        QMutexLocker locker(&g_mutex);
        endLocked(h);
    }
    if (h->pid >= 0)
        return true;
    QString error;
    if (start(h, settings, error)) {
        h->owner = owner;
        return true;
    }
    PRINTLN(QStringLiteral("cannot start the render helper: %1").arg(error));
    return false;
}

Outcome ended(Helper *h, RenderResult result, bool reaped)
{
    Outcome out;
    out.result = result;
    if (reaped) {
        out.signal = reap(h);
    } else {
        QMutexLocker locker(&g_mutex);
        endLocked(h);
    }
    return out;
}

// One picture's conversation with the thread's running helper.
Outcome converse(Helper *h, const RenderSettings &settings, int kind, int source, qint64 length, const QByteArray &name,
                 int width, int height)
{
    RenderChannel::RenderRequest request;
    request.kind = kind;
    request.sourceLength = length;
    // A decode that fits the pre-grant asks for nothing: one round trip
    // less a picture, which on a busy machine is a wait for the scheduler
    // on each side. It is taken only when free now, ahead of nobody.
    const qint64 pregrant = qMin<qint64>(PREGRANT_BYTES, settings.memoryCap / 8);
    std::unique_ptr<MemoryReservation> reservation(new MemoryReservation(pregrant, MemoryReservation::IfFreeNow));
    request.granted = reservation->granted() ? pregrant : 0;
    request.width = width;
    request.height = height;
    request.memoryCap = settings.memoryCap;
    QByteArray payload(reinterpret_cast<const char *>(&request), sizeof request);
    payload += name;
    if (!RenderChannel::send(h->channel, RenderChannel::Request, payload, source))
        return ended(h, RenderResult::HelperDied, true);

    // The time limit counts the helper's own work, not a wait for memory:
    // only the waits for the helper's messages count. One reservation a
    // picture, which takes the pre-grant's place; a helper that asks again
    // breaks the protocol.
    bool asked = false;
    qint64 left = settings.renderTimeoutMs;
    for (;;) {
        if (stopRequested())
            return ended(h, RenderResult::Stopped, false);
        // Waits in slices for the first byte of a message, then for the
        // whole of it within what is left: a message never straddles two
        // waits, which would lose its framing.
        struct pollfd p = {h->channel, POLLIN, 0};
        const int slice = int(qMin<qint64>(left, SLICE_MS));
        QElapsedTimer clock;
        clock.start();
        const int ready = ::poll(&p, 1, slice);
        left -= qMax<qint64>(clock.elapsed(), ready == 0 ? slice : 0);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            if (left > 0)
                continue;
            return ended(h, RenderResult::HelperTimedOut, false);
        }
        RenderChannel::Type type;
        QByteArray message;
        bool timedOut = false;
        if (!RenderChannel::receive(h->channel, type, message, nullptr, int(qMax<qint64>(left, 1000)), &timedOut))
            return ended(h, timedOut ? RenderResult::HelperTimedOut : RenderResult::HelperDied, !timedOut);
        if (type == RenderChannel::Reserve && !asked) {
            asked = true;
            reservation.reset();
            reservation.reset(new MemoryReservation(readI64(message)));
            if (!reservation->granted() && stopRequested())
                continue;   // ends the conversation above
            const QByteArray answer(1, reservation->granted() ? '\1' : '\0');
            if (!RenderChannel::send(h->channel, RenderChannel::Granted, answer))
                return ended(h, RenderResult::HelperDied, true);
            continue;
        }
        if (type != RenderChannel::Result || message.size() < 4)
            return ended(h, RenderResult::HelperDied, false);   // not trusted further
        // Only what a decode can come to; a JPEG that is one.
        qint32 result;
        std::memcpy(&result, message.constData(), sizeof result);
        Outcome out;
        out.result = RenderResult(result);
        if (out.result == RenderResult::Rendered) {
            out.jpeg = message.mid(4);
            if (!out.jpeg.startsWith("\xFF\xD8"))
                out.result = RenderResult::DecodeFailed;
        } else if (out.result != RenderResult::DecodeFailed && out.result != RenderResult::OverMemoryCap) {
            out.result = RenderResult::DecodeFailed;
        }
        return out;
    }
}

} // namespace

bool prepare()
{
    Helper *h = threadHelper();
    const Busy busy(h);
    return ensureStarted(h, RenderSettings::current());
}

// A helper that dies on a file after others may have died of them (a heap
// grown over hundreds of pictures, the memory of the whole machine): the
// file is tried once more in a fresh helper, and only a death there is its
// own.
Outcome render(int kind, int source, qint64 length, const QByteArray &name, int width, int height)
{
    const RenderSettings settings = RenderSettings::current();
    Helper *h = threadHelper();
    const Busy busy(h);
    for (int attempt = 0;; ++attempt) {
        if (!ensureStarted(h, settings)) {
            Outcome out;
            out.result = stopRequested() ? RenderResult::Stopped : RenderResult::HelperUnavailable;
            return out;
        }
        const bool fresh = h->files == 0;
        const Outcome out = converse(h, settings, kind, source, length, name, width, height);
        if (out.result == RenderResult::HelperDied && !fresh && attempt == 0)
            continue;
        if (h->pid >= 0 && ++h->files >= settings.helperFiles) {
            QMutexLocker locker(&g_mutex);
            endLocked(h);
        }
        return out;
    }
}

void endIdle()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const int idleMs = RenderSettings::current().helperIdleMs;
    QMutexLocker locker(&g_mutex);
    for (Helper *h : qAsConst(g_helpers)) {
        if (!h->busy && h->pid > 0 && now - h->lastUsed >= idleMs)
            endLocked(h);
    }
}

int running()
{
    QMutexLocker locker(&g_mutex);
    int n = 0;
    for (const Helper *h : qAsConst(g_helpers))
        n += h->pid > 0;
    return n;
}

} // namespace RenderHelpers
