#include "renderhelpers.h"

#include "br2utils.h"
#include "memorybudget.h"
#include "renderchannel.h"
#include "rendersettings.h"
#include "childspawn.h"
#include "stopflag.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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

struct Helper
{
    pid_t pid = -1;
    int channel = -1;
    int files = 0;            // pictures it has decoded
    qint64 lastUsed = 0;      // ms since the epoch
    bool busy = false;        // in a conversation: endIdle leaves it
};

QMutex g_mutex;               // guards g_helpers and every helper's fields
QSet<Helper *> g_helpers;     // one per worker thread that has rendered

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

namespace {

bool ensureStarted(Helper *h, const RenderSettings &settings)
{
    if (h->pid >= 0)
        return true;
    QString error;
    if (start(h, settings, error))
        return true;
    PRINTLN(QStringLiteral("cannot start the render helper: %1").arg(error));
    return false;
}

} // namespace

void prepare()
{
    Helper *h = threadHelper();
    const Busy busy(h);
    ensureStarted(h, RenderSettings::current());
}

Outcome render(int kind, int source, const QByteArray &name, int width, int height)
{
    const RenderSettings settings = RenderSettings::current();
    Helper *h = threadHelper();
    const Busy busy(h);
    Outcome out;
    if (!ensureStarted(h, settings)) {
        out.result = RenderResult::DecodeFailed;
        return out;
    }

    RenderChannel::RenderRequest request;
    request.kind = kind;
    request.width = width;
    request.height = height;
    request.memoryCap = settings.memoryCap;
    QByteArray payload(reinterpret_cast<const char *>(&request), sizeof request);
    payload += name;
    if (!RenderChannel::send(h->channel, RenderChannel::Request, payload, source)) {
        out.result = RenderResult::HelperDied;
        out.signal = reap(h);
        return out;
    }

    // The time limit counts the helper's own work, not a wait for memory.
    std::unique_ptr<MemoryReservation> reservation;
    qint64 left = settings.renderTimeoutMs;
    for (;;) {
        if (stopRequested()) {
            QMutexLocker locker(&g_mutex);
            endLocked(h);
            out.result = RenderResult::Stopped;
            return out;
        }
        RenderChannel::Type type;
        QByteArray message;
        bool timedOut = false;
        const int slice = int(qMin<qint64>(left, SLICE_MS));
        if (!RenderChannel::receive(h->channel, type, message, nullptr, slice, &timedOut)) {
            if (timedOut && (left -= slice) > 0)
                continue;
            if (timedOut) {
                QMutexLocker locker(&g_mutex);
                endLocked(h);
                out.result = RenderResult::HelperTimedOut;
                return out;
            }
            out.result = RenderResult::HelperDied;
            out.signal = reap(h);
            return out;
        }
        if (type == RenderChannel::Reserve) {
            reservation.reset(new MemoryReservation(readI64(message)));
            if (!reservation->granted() && stopRequested())
                continue;   // ends the conversation above
            const QByteArray answer(1, reservation->granted() ? '\1' : '\0');
            left = settings.renderTimeoutMs;
            if (!RenderChannel::send(h->channel, RenderChannel::Granted, answer)) {
                out.result = RenderResult::HelperDied;
                out.signal = reap(h);
                return out;
            }
            continue;
        }
        if (type != RenderChannel::Result || message.size() < 4) {
            // A helper that breaks the protocol is not trusted further.
            QMutexLocker locker(&g_mutex);
            endLocked(h);
            out.result = RenderResult::HelperDied;
            return out;
        }
        qint32 result;
        std::memcpy(&result, message.constData(), sizeof result);
        out.result = result >= 0 && result <= int(RenderResult::Stopped) ? RenderResult(result) : RenderResult::DecodeFailed;
        if (out.result == RenderResult::Rendered)
            out.jpeg = message.mid(4);
        break;
    }
    if (++h->files >= settings.helperFiles) {
        QMutexLocker locker(&g_mutex);
        endLocked(h);
    }
    return out;
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
