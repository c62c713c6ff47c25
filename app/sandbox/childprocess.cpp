#include "childprocess.h"

#include "peeraccess.h"
#include "childspawn.h"
#include "stopflag.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QMutex g_groupsMutex;
QSet<qint64> g_groups;   // process groups of children still running; guarded by g_groupsMutex

const int SLICE_MS = 100;        // a stop or the time limit is noticed this late at most
const int TERM_GRACE_MS = 500;
const int GROUP_POLL_MS = 20;    // while the rest of a group winds down

// The fields of /proc/PID/stat after the command name (which may hold
// spaces and ')'): the state first.
QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

// User and system CPU time of a live process.
qint64 cpuMs(const QList<QByteArray> &fields)
{
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (fields.size() < 13 || ticks <= 0)
        return 0;
    return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / ticks;
}

qint64 cpuMs(qint64 pid)
{
    return cpuMs(statFields(pid));
}

// Watches a child for being stopped or spending no CPU for a stretch.
class IdleWatch
{
public:
    explicit IdleWatch(int idleMs) : m_idleMs(idleMs) { m_since.start(); }

    bool idle(qint64 pid)
    {
        if (m_idleMs <= 0)
            return false;
        const QList<QByteArray> fields = statFields(pid);
        // T: stopped by a signal; t: stopped by a tracer.
        if (!fields.isEmpty() && (fields.first() == "T" || fields.first() == "t"))
            return true;
        const qint64 cpu = cpuMs(fields);
        if (cpu != m_cpu) {
            m_cpu = cpu;
            m_since.restart();
        }
        return m_since.elapsed() >= m_idleMs;
    }

private:
    const int m_idleMs;
    qint64 m_cpu = -1;
    QElapsedTimer m_since;
};

void forget(qint64 pid)
{
    QMutexLocker locker(&g_groupsMutex);
    g_groups.remove(pid);
}

// The direct child while it runs: its end is waited for on a pidfd (or,
// without one, in slices growing from 1 ms) together with its standard
// error, so that a short command costs no slice and a long one no core.
class ChildWait
{
public:
    ChildWait(pid_t pid, int errorFd, int keepBytes, QByteArray &tail)
        : m_pid(pid)
        , m_errorFd(errorFd)
        , m_keepBytes(keepBytes)
        , m_tail(tail)
    {
#ifdef SYS_pidfd_open
        m_pidFd = int(::syscall(SYS_pidfd_open, pid, 0));   // close-on-exec by itself
#endif
    }
    ~ChildWait()
    {
        if (m_pidFd >= 0)
            ::close(m_pidFd);
        if (m_errorFd >= 0)
            ::close(m_errorFd);
    }
    ChildWait(const ChildWait &) = delete;
    ChildWait &operator=(const ChildWait &) = delete;

    // Waits up to ms for the child's end, keeping what it writes on
    // standard error meanwhile; true once it is reaped. Once it is, waits
    // the whole ms (for the rest of its group).
    bool wait(int ms)
    {
        if (!m_reaped && reap(WNOHANG))
            return true;
        pollfd fds[2];
        nfds_t n = 0;
        if (m_pidFd >= 0 && !m_reaped)
            fds[n++] = pollfd{m_pidFd, POLLIN, 0};
        if (m_errorFd >= 0)
            fds[n++] = pollfd{m_errorFd, POLLIN, 0};
        if (m_pidFd < 0 && !m_reaped) {
            ms = qMin(ms, m_backoffMs);
            m_backoffMs = qMin(m_backoffMs * 2, SLICE_MS);
        }
        ::poll(fds, n, ms);
        drain();
        return reap(WNOHANG);
    }

    // Blocks until the child is reaped (after SIGKILL).
    void waitForEnd() { reap(0); }

    // What standard error holds now, without waiting; its end closes it.
    void drain()
    {
        char buffer[4096];
        while (m_errorFd >= 0) {
            const ssize_t n = ::read(m_errorFd, buffer, sizeof buffer);
            if (n > 0) {
                m_tail.append(buffer, int(n));
                if (m_tail.size() > m_keepBytes)
                    m_tail.remove(0, m_tail.size() - m_keepBytes);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            ::close(m_errorFd);
            m_errorFd = -1;
        }
    }

    bool reaped() const { return m_reaped; }
    int status() const { return m_status; }
    bool statusKnown() const { return m_statusKnown; }

private:
    bool reap(int flags)
    {
        while (!m_reaped) {
            const pid_t r = ::waitpid(m_pid, &m_status, flags);
            if (r == m_pid) {
                m_reaped = m_statusKnown = true;
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else if (r < 0) {
                m_reaped = true;   // reaped by someone else: the status is lost
            }
            break;
        }
        return m_reaped;
    }

    const pid_t m_pid;
    int m_pidFd = -1;
    int m_errorFd;
    const int m_keepBytes;
    QByteArray &m_tail;
    int m_backoffMs = 1;
    int m_status = 0;
    bool m_reaped = false;
    bool m_statusKnown = false;
};

} // namespace

ChildProcess::ChildProcess(const QString &program, const QStringList &arguments)
    : m_program(program)
    , m_arguments(arguments)
{
}

ChildProcess::Outcome ChildProcess::run(int timeoutMs)
{
    m_errorTail.clear();
    m_startError.clear();
    m_cpuMsAtTimeout = 0;
    m_exitCode = -1;
    m_signalled = false;

    int errorPipe[2] = {-1, -1};
    if (m_errorBytes > 0) {
        if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
            m_startError = QStringLiteral("no pipe: ") + QString::fromLocal8Bit(std::strerror(errno));
            return NotStarted;
        }
        // Not blocking on the service's end only: the child's end is its
        // standard error, which it may expect to block.
        ::fcntl(errorPipe[0], F_SETFL, O_NONBLOCK);
    }
    SpawnOptions options;
    options.program = m_program;
    options.arguments = m_arguments;
    options.stdoutFd = m_stdoutFd;
    options.stderrFd = errorPipe[1];
    options.identity = FsIdentity::current();
    options.dataLimit = m_dataLimit;
    const pid_t pid = spawnProcess(options, &m_startError);
    if (errorPipe[1] >= 0)
        ::close(errorPipe[1]);
    if (pid < 0) {
        if (errorPipe[0] >= 0)
            ::close(errorPipe[0]);
        // A start cut off by a stop is the stop's, not a program that
        // cannot run: the job keeps its row.
        return stopRequested() ? Stopped : NotStarted;
    }
    m_pid = pid;
    {
        QMutexLocker locker(&g_groupsMutex);
        g_groups.insert(m_pid);
    }

    // The spawn made the group (its id is the child's pid) before it
    // returned, so a signal to it reaches everything the child starts.
    ChildWait child(pid, errorPipe[0], m_errorBytes, m_errorTail);
    Outcome outcome = Finished;
    QElapsedTimer clock;
    clock.start();
    IdleWatch watch(m_idleMs);
    while (!child.wait(SLICE_MS)) {
        const bool stop = stopRequested();
        const bool idle = !stop && watch.idle(m_pid);
        if (!stop && !idle && (timeoutMs <= 0 || clock.elapsed() <= timeoutMs))
            continue;
        outcome = stop ? Stopped : idle ? Idle : TimedOut;
        if (outcome == TimedOut)
            m_cpuMsAtTimeout = cpuMs(m_pid);
        ::kill(-pid, SIGTERM);
        // A stopped process takes no signal but SIGKILL until continued.
        ::kill(-pid, SIGCONT);
        // Until the whole group is gone or the grace is over; the direct
        // child is reaped on the way, since as a zombie it would keep the
        // group alive.
        QElapsedTimer grace;
        grace.start();
        while (grace.elapsed() < TERM_GRACE_MS) {
            if (child.wait(GROUP_POLL_MS) && ::kill(-pid, 0) != 0)
                break;
        }
        ::kill(-pid, SIGKILL);
        child.waitForEnd();
        break;
    }
    child.drain();
    forget(m_pid);
    if (child.statusKnown() && WIFSIGNALED(child.status())) {
        m_signalled = true;
        m_exitCode = WTERMSIG(child.status());
    } else if (child.statusKnown() && WIFEXITED(child.status())) {
        m_exitCode = WEXITSTATUS(child.status());
    }
    return outcome;
}

bool ChildProcess::endedAsIfStopped() const
{
    return m_signalled || m_exitCode == 128 + SIGTERM || m_exitCode == 128 + SIGINT;
}

void ChildProcess::killGroup() const
{
    if (m_pid > 0)
        ::kill(pid_t(-m_pid), SIGKILL);
}

void ChildProcess::killAll()
{
    QMutexLocker locker(&g_groupsMutex);
    for (qint64 pid : qAsConst(g_groups))
        ::kill(pid_t(-pid), SIGKILL);
}
