#include "childprocess.h"

#include "peeraccess.h"
#include "stopflag.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSet>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

QMutex g_groupsMutex;
QSet<qint64> g_groups;   // process groups of children still running; guarded by g_groupsMutex

const int SLICE_MS = 100;
const int TERM_GRACE_MS = 500;

// The part that runs in the child between fork and exec: only system
// calls, no allocation. The service ignores SIGSEGV; an ignored
// disposition survives exec, so the child gets the default back.
class Process : public QProcess
{
public:
    Process(int stdoutFd, const BR2PeerCredentials *as)
        : m_parent(::getpid())
        , m_stdoutFd(stdoutFd)
    {
        if (as) {
            m_identity = true;
            m_uid = uid_t(as->uid);
            m_gid = gid_t(as->gid);
            m_groups.assign(as->groups.begin(), as->groups.end());
        }
    }

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        ::signal(SIGSEGV, SIG_DFL);
        if (m_stdoutFd >= 0 && ::dup2(m_stdoutFd, STDOUT_FILENO) < 0)
            ::_exit(127);
        // Raw calls: glibc's wrappers would try to reach threads that do
        // not exist in the child.
        if (m_identity
            && (::syscall(SYS_setgroups, m_groups.size(), m_groups.empty() ? nullptr : m_groups.data()) != 0
                || ::syscall(SYS_setgid, m_gid) != 0 || ::syscall(SYS_setuid, m_uid) != 0))
            ::_exit(126);
        // After the identity change, which clears the death signal.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != m_parent)   // the parent died before prctl
            ::_exit(127);
    }

private:
    const pid_t m_parent;
    const int m_stdoutFd;
    bool m_identity = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    std::vector<gid_t> m_groups;
};

void signalGroup(qint64 pid, int signal)
{
    // The child may not have made its group yet; the pid itself is signalled too.
    ::kill(pid_t(-pid), signal);
    ::kill(pid_t(pid), signal);
}

// User and system CPU time of a live process, from /proc/PID/stat.
qint64 cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which may hold spaces and ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (fields.size() < 13 || ticks <= 0)
        return 0;
    return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / ticks;
}

void forget(qint64 pid)
{
    QMutexLocker locker(&g_groupsMutex);
    g_groups.remove(pid);
}

} // namespace

ChildProcess::ChildProcess(const QString &program, const QStringList &arguments)
    : m_program(program)
    , m_arguments(arguments)
{
}

ChildProcess::Outcome ChildProcess::run(int timeoutMs)
{
    Process proc(m_stdoutFd, FsIdentity::current());
    proc.setProcessChannelMode(m_errorBytes > 0 ? QProcess::ForwardedOutputChannel : QProcess::ForwardedChannels);
    proc.setStandardInputFile(QProcess::nullDevice());
    proc.setProgram(m_program);
    proc.setArguments(m_arguments);
    proc.start(m_errorBytes > 0 ? QIODevice::ReadOnly : QIODevice::NotOpen);
    if (!proc.waitForStarted(30000))
        return NotStarted;
    m_pid = proc.processId();
    ::setpgid(pid_t(m_pid), pid_t(m_pid));   // also from here, so a stop right now finds the group
    {
        QMutexLocker locker(&g_groupsMutex);
        g_groups.insert(m_pid);
    }

    Outcome outcome = Finished;
    QElapsedTimer clock;
    clock.start();
    const auto keepErrors = [&] {
        if (m_errorBytes <= 0)
            return;
        m_errorTail += proc.readAllStandardError();
        if (m_errorTail.size() > m_errorBytes)
            m_errorTail.remove(0, m_errorTail.size() - m_errorBytes);
    };
    while (!proc.waitForFinished(SLICE_MS) && proc.state() != QProcess::NotRunning) {
        keepErrors();
        const bool stop = stopRequested();
        if (!stop && (timeoutMs <= 0 || clock.elapsed() <= timeoutMs))
            continue;
        outcome = stop ? Stopped : TimedOut;
        if (!stop)
            m_cpuMsAtTimeout = cpuMs(m_pid);
        signalGroup(m_pid, SIGTERM);
        // Until the whole group is gone or the grace is over; waiting reaps
        // the direct child, which would otherwise keep the group alive.
        QElapsedTimer grace;
        grace.start();
        while (grace.elapsed() < TERM_GRACE_MS && ::kill(pid_t(-m_pid), 0) == 0) {
            // Once the direct child is reaped, waitForFinished returns at
            // once; its group's other members are waited for by the clock.
            if (proc.state() == QProcess::NotRunning)
                QThread::msleep(20);
            else
                proc.waitForFinished(20);
        }
        signalGroup(m_pid, SIGKILL);
        proc.waitForFinished(1000);
        break;
    }
    keepErrors();
    forget(m_pid);
    m_signalled = proc.exitStatus() == QProcess::CrashExit;
    m_exitCode = proc.exitCode();
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
