#include "childspawn.h"

#include "launchreport.h"
#include "peeraccess.h"
#include "stopflag.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// How long a launcher may take to reach its exec.
const int EXEC_WAIT_MS = 10000;

// A descriptor of the parent (close-on-exec, so that no other child
// inherits it) closed when the scope ends.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The service's environment with the names extra sets replaced by its
// entries; the pointers stay valid while extra and environ are unchanged.
std::vector<char *> childEnvironment(QByteArrayList &extra)
{
    std::vector<char *> envp;
    for (char **entry = environ; *entry; ++entry) {
        // Names compared up to their '=' on both sides; an entry without
        // one is a name of its own.
        const char *equals = std::strchr(*entry, '=');
        const QByteArray name = QByteArray::fromRawData(*entry, equals ? int(equals - *entry) : int(std::strlen(*entry)));
        const bool replaced = std::any_of(extra.cbegin(), extra.cend(), [&](const QByteArray &e) {
            return e.left(e.indexOf('=')) == name;
        });
        if (!replaced)
            envp.push_back(*entry);
    }
    for (QByteArray &entry : extra)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    return envp;
}

// Every signal whose disposition is not the default: ignored ones survive
// an exec (the service ignores SIGSEGV), caught ones would run the
// service's handler in the child until the exec.
sigset_t changedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action;
        if (signal == SIGKILL || signal == SIGSTOP || ::sigaction(signal, nullptr, &action) != 0)
            continue;
        if (action.sa_handler != SIG_DFL)   // sa_sigaction shares its storage
            sigaddset(&set, signal);
    }
    return set;
}

// The launcher's command line; see launcher.cpp for what each part does.
std::vector<QByteArray> launcherArguments(const QString &launcher, const SpawnOptions &options, int keptFds, int statusFd)
{
    std::vector<QByteArray> args{QFile::encodeName(launcher), "--parent", QByteArray::number(::getpid())};
    if (options.identity) {
        QByteArray groups;
        for (uint g : options.identity->groups)
            groups += (groups.isEmpty() ? "" : ",") + QByteArray::number(g);
        args.insert(args.end(), {"--ids", QByteArray::number(options.identity->uid),
                                 QByteArray::number(options.identity->gid), groups.isEmpty() ? QByteArray("-") : groups});
    }
    if (options.dataLimit > 0)
        args.insert(args.end(), {"--data", QByteArray::number(options.dataLimit)});
    if (options.noNewPrivs)
        args.push_back("--nnp");
    args.insert(args.end(), {"--fds", QByteArray::number(keptFds), "--status", QByteArray::number(statusFd), "--"});
    args.push_back(QFile::encodeName(options.program));
    for (const QString &arg : options.arguments)
        args.push_back(QFile::encodeName(arg));
    return args;
}

// Spawn attributes and file actions, destroyed with the scope.
struct SpawnSetup
{
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
};

} // namespace

pid_t spawnProcess(const SpawnOptions &options, QString *error)
{
    static const QString launcher = helperProgramPath(QStringLiteral("k8thumbgen-launch"));
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return pid_t(-1);
    };

    int statusPipe[2];
    if (::pipe2(statusPipe, O_CLOEXEC) != 0)
        return fail(QStringLiteral("no pipe: ") + systemError(errno));
    Fd statusRead(statusPipe[0]);
    Fd statusWrite(statusPipe[1]);

    // Where each descriptor goes in the child: 0, 1, 2, the kept ones from
    // 3 on, the status pipe last. The child's dup2s run in order, so every
    // source is first copied above all targets: a source that is also a
    // target (keepFds {4, 3}) is not overwritten before it is read.
    const int keptFds = options.keepFds.size();
    const int statusFd = 3 + keptFds;
    std::vector<std::pair<int, int>> moves;   // source, target
    if (options.stdinFd >= 0)
        moves.emplace_back(options.stdinFd, STDIN_FILENO);
    if (options.stdoutFd >= 0)
        moves.emplace_back(options.stdoutFd, STDOUT_FILENO);
    if (options.stderrFd >= 0)
        moves.emplace_back(options.stderrFd, STDERR_FILENO);
    for (int i = 0; i < keptFds; ++i)
        moves.emplace_back(options.keepFds.at(i), 3 + i);
    moves.emplace_back(statusWrite.get(), statusFd);

    SpawnSetup setup;
    std::vector<Fd> copies;
    copies.reserve(moves.size());
    for (const auto &move : moves) {
        copies.emplace_back(::fcntl(move.first, F_DUPFD_CLOEXEC, statusFd + 1));
        if (copies.back().get() < 0)
            return fail(QStringLiteral("descriptor %1: %2").arg(move.first).arg(systemError(errno)));
        posix_spawn_file_actions_adddup2(&setup.actions, copies.back().get(), move.second);
    }
    if (options.stdinFd < 0)
        posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    // A group of its own from the start, so that a stop right after the
    // spawn finds it. RESETIDS sets the file-system ids back to the
    // service's for the launcher's exec: a worker acting as a client has
    // the client's, which may not reach the launcher's folder; the
    // launcher takes the client's identity itself.
    const sigset_t defaults = changedSignals();
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK
                                              | POSIX_SPAWN_RESETIDS);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setsigmask(&setup.attr, &none);

    std::vector<QByteArray> args = launcherArguments(launcher, options, keptFds, statusFd);
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // posix_spawn returns once the launcher runs (or could not be run);
    // the thread's nice value and I/O priority pass to the child as with
    // fork.
    pid_t pid = -1;
    QByteArrayList extra = options.environment;
    const std::vector<char *> envp = childEnvironment(extra);
    const int rc = ::posix_spawn(&pid, argv.front(), &setup.actions, &setup.attr, argv.data(), envp.data());
    copies.clear();
    statusWrite.reset();
    if (rc != 0)
        return fail(QStringLiteral("cannot run %1: %2").arg(launcher, systemError(rc)));

    // End of file: the program's exec closed the launcher's copy. A
    // launcher that has taken a client's identity can be stopped by that
    // client before its exec; it is not waited for beyond EXEC_WAIT_MS (or
    // a stop), but killed.
    LaunchReport report{LaunchReport::Usage, 0};
    ssize_t got = 0;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        struct pollfd p = {statusRead.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) == 0) {
            if (clock.elapsed() < EXEC_WAIT_MS && !stopRequested())
                continue;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            return fail(QStringLiteral("%1 did not start within %2 s").arg(options.program).arg(EXEC_WAIT_MS / 1000));
        }
        const ssize_t n = ::read(statusRead.get(), reinterpret_cast<char *>(&report) + got, sizeof report - size_t(got));
        if (n > 0 && (got += n) < ssize_t(sizeof report))
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (got == 0)
        return pid;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != ssize_t(sizeof report))
        return fail(QStringLiteral("the launcher ended before %1 ran").arg(options.program));
    const QString reason = systemError(report.error);
    switch (report.stage) {
    case LaunchReport::Identity:
        return fail(QStringLiteral("cannot take the client's identity: ") + reason);
    case LaunchReport::Limits:
        return fail(QStringLiteral("cannot set the limits of %1: %2").arg(options.program, reason));
    case LaunchReport::Exec:
        return fail(QStringLiteral("%1: %2").arg(options.program, reason));
    default:
        return fail(QStringLiteral("%1 refused its command line").arg(launcher));
    }
}

QString helperProgramPath(const QString &name)
{
    // Asked once: QCoreApplication keeps the path in a cache of its own that
    // is not safe to fill from several threads at a time.
    static const QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                             : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    // Looked up as the service: a client whose job asks first may not see
    // into the folder, and the answer is kept for the service's life.
    const ServiceIdentity asService;
    const QFileInfo beside(dir + QLatin1Char('/') + name);
    if (beside.isFile() && beside.isExecutable())
        return beside.filePath();
    // An installed tree moved as a whole (cmake --install --prefix).
    const QFileInfo relative(dir + QStringLiteral("/" K8_HELPER_RELDIR "/") + name);
    if (relative.isFile() && relative.isExecutable())
        return relative.absoluteFilePath();
    return QStringLiteral(K8_HELPER_DIR "/") + name;
}
