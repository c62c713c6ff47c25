#include "br2utils.h"
#include "servicefixture.h"

#include <QProcess>

#include <csignal>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The client as uid (root unless given) against s's socket: its exit
// status, and standard output and error together in *out.
int ctlAs(const ServiceFixture &s, const QStringList &args, QByteArray *out = nullptr, int uid = 0)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QStringList line = QStringList{QStringLiteral(K8_CTL_BINARY), "--lpcid", s.socketPath()} + args;
    if (uid != 0)
        line = QStringList{"setpriv", QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid),
                           "--clear-groups"}
            + line;
    p.start(line.takeFirst(), line);
    if (!p.waitForFinished(15000))
        return -1;
    if (out)
        *out = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A process of uid that binds path and listens on it until killed, as a
// user who takes a stopped service's socket would; -1 on failure.
pid_t squat(const QString &path, uid_t uid)
{
    const QByteArray native = QFile::encodeName(path);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(native.size()) >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0
            || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    struct stat st;
    if (pid < 0 || !QTest::qWaitFor([&] { return ::lstat(native.constData(), &st) == 0; }, 5000)) {
        if (pid > 0)
            ::kill(pid, SIGKILL);
        return -1;
    }
    return pid;
}

void unsquat(pid_t pid)
{
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace

// What one local user can do to the service and to other users, tried
// with the real binaries: ordinary users are uids 65534 and 4242.
class TestPeerIsolation : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as other users");
    }

    // A name bound by another user while the service was down is taken
    // back at start; the client never sends its request to such a server.
    void squattedSocket()
    {
        ServiceFixture s;
        QVERIFY(::chmod(QFile::encodeName(s.root()).constData(), 0777) == 0);
        const pid_t squatter = squat(s.socketPath(), 65534);
        QVERIFY(squatter > 0);
        const auto cleanup = qScopeGuard([squatter] { unsquat(squatter); });
        QByteArray out;
        QCOMPARE(ctlAs(s, {"threads"}, &out), 2);
        QVERIFY2(out.contains("served by uid 65534"), out);
        // A user's own server is believed.
        QCOMPARE(ctlAs(s, {"--timeout", "1", "threads"}, &out, 65534), 2);
        QVERIFY2(out.contains("no answer"), out);
        QVERIFY(s.listen());
        QVERIFY2(s.output().contains("was served by uid 65534"), s.output());
        QCOMPARE(ctlAs(s, {"threads"}, &out), 0);
    }

    // Started by a service manager with its socket: served as it is, and
    // left in place when the service ends.
    void socketPassedByManager()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("systemd-socket-activate")).isEmpty())
            QSKIP("systemd-socket-activate is not installed");
        ServiceFixture s;
        QVERIFY(s.start({"systemd-socket-activate", "-l", s.socketPath()}));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(s.socketPath()); }, 5000));
        // The first connection starts the service; it waits in the socket's queue meanwhile.
        QByteArray out;
        QCOMPARE(ctlAs(s, {"threads"}, &out), 0);
        QVERIFY2(QTest::qWaitFor([&] { return s.output().contains("serving the local socket passed"); }, 5000), s.output());
        QCOMPARE(s.stop(SIGTERM), 0);
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(s.socketPath()).constData(), &st) == 0 && S_ISSOCK(st.st_mode));
    }
};

QTEST_GUILESS_MAIN(TestPeerIsolation)
#include "tst_peerisolation.moc"
