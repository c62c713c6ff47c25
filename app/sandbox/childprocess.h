#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H
#include "br2cabinet.h"

#include <QString>
#include <QStringList>

// One child of the service (ffmpeg or a command job), started through the
// launcher (spawnProcess) and run to its end on the calling thread:
// - in a process group of its own, so that a signal to the service's group
//   does not reach it and a stop can end everything it started;
// - with /dev/null as standard input, so that a command that reads it ends;
// - as the identity the calling thread acts as (FsIdentity::current()),
//   since execve would give it the service's;
// - with the calling thread's nice value and I/O priority;
// - dying with the service (PR_SET_PDEATHSIG) should the service be killed.
class ChildProcess
{
public:
    enum Outcome {
        Finished,        // the child ended by itself; see exitCode and signalled
        NotStarted,
        TimedOut,        // killed after the time limit
        Stopped,         // killed because the service stops
        Idle             // killed because it was stopped or spent no CPU (setIdleLimit)
    };

    ChildProcess(const QString &program, const QStringList &arguments);

    // The child's standard output goes to fd (which stays the caller's)
    // instead of the service's.
    void setStandardOutput(int fd) { m_stdoutFd = fd; }
    // The child's standard error is read instead of forwarded; the last
    // maxBytes of it are kept for errorTail().
    void captureErrors(int maxBytes) { m_errorBytes = maxBytes; }
    QByteArray errorTail() const { return m_errorTail; }
    // RLIMIT_DATA of the child in bytes; 0 (the default): none.
    void setDataLimit(qint64 bytes) { m_dataLimit = bytes; }
    // A child that someone stops (SIGSTOP, a tracer) or that spends no CPU
    // for ms is ended at once rather than left to hold the worker until its
    // time limit: for children of other users' jobs, who may signal them.
    // 0 (the default): never.
    void setIdleLimit(int ms) { m_idleMs = ms; }

    // Starts the child and waits in short slices until it ends, a stop is
    // requested or timeoutMs (when positive) has passed; the last two end
    // the whole group: SIGTERM, then SIGKILL after about 500 ms.
    Outcome run(int timeoutMs);
    // The exit status, or the signal when signalled().
    int exitCode() const { return m_exitCode; }
    // Why the child was NotStarted.
    QString startError() const { return m_startError; }
    // CPU time (user and system) the child had used when its time ran out.
    qint64 cpuMsAtTimeout() const { return m_cpuMsAtTimeout; }
    bool signalled() const { return m_signalled; }
    // Ended by a signal, or with the status a shell gives for SIGTERM or
    // SIGINT: what a stop of the whole service would do to the child.
    bool endedAsIfStopped() const;

    // Sends SIGKILL to every child group still running; the quit calls it
    // just before the process ends.
    static void killAll();
    // Ends the group of a child that has finished (its own children may
    // still run).
    void killGroup() const;

private:
    QString m_program;
    QStringList m_arguments;
    int m_stdoutFd = -1;
    int m_errorBytes = 0;
    qint64 m_dataLimit = 0;
    int m_idleMs = 0;
    qint64 m_cpuMsAtTimeout = 0;
    QByteArray m_errorTail;
    QString m_startError;
    qint64 m_pid = 0;
    int m_exitCode = -1;
    bool m_signalled = false;
};

#endif // CHILDPROCESS_H
