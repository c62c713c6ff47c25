#include "br2utils.h"
#include "servicefixture.h"

#include <csignal>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

// One request as uid, through the client: the reply.
QJsonObject callAs(const ServiceFixture &s, int uid, const QJsonObject &request)
{
    QByteArray out;
    ctl(s, {"call", QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact))}, &out, uid ? asUser(uid) : QStringList(),
        QProcess::SeparateChannels);
    return QJsonDocument::fromJson(out).object();
}

QJsonObject insert(const QJsonArray &args)
{
    return cmd("thumbgen_insert", QJsonObject{{"args", args}});
}

int err(const QJsonObject &reply)
{
    return reply.value("err").toInt(-1);
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
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
        QCOMPARE(ctl(s, {"threads"}, &out), 2);
        QVERIFY2(out.contains("served by uid 65534"), out);
        // A user's own server is believed.
        QCOMPARE(ctl(s, {"--timeout", "1", "threads"}, &out, asUser(65534)), 2);
        QVERIFY2(out.contains("no answer"), out);
        QVERIFY(s.listen());
        QVERIFY2(s.output().contains("was served by uid 65534"), s.output());
        QCOMPARE(ctl(s, {"threads"}, &out), 0);
    }

    // What an untrusted user may queue: real layout jobs only, numbers in
    // their shortest form, no more than its share (trusted clients keep
    // every right). What it sees: its own jobs, long texts cut, its own
    // files in progress and the quarantined files it may read.
    void sharesAndListings()
    {
        ServiceFixture s;
        s.config().insert("userjobs", 1);
        s.config().insert("userbytes", 4096);
        const QString secret = s.path("secret.jpg"), open = s.path("open.jpg");
        QVERIFY(writeFile(secret, "x") && writeFile(open, "x") && ::chmod(QFile::encodeName(secret).constData(), 0600) == 0);
        QByteArray list;
        for (const QString &path : {secret, open})
            list += QJsonDocument(QJsonObject{{"path", path}, {"size", 1}, {"mtime", 0}, {"mtimens", 0}, {"added", 0},
                                              {"state", "quarantined"}}).toJson(QJsonDocument::Compact) + '\n';
        QVERIFY(QDir().mkpath(s.path("db")) && writeFile(s.dbPath() + ".quarantine", list));
        QVERIFY(s.listen());
        s.openToAll();
        const QString pub = s.pictures("pub", 60);
        QVERIFY(!pub.isEmpty() && ::chmod(QFile::encodeName(pub).constData(), 0777) == 0);
        const QString thumbs = pub + "/thumbs", longArg(700, 'a');
        QCOMPARE(err(callAs(s, 65534, insert({"nolayout", pub, thumbs}))), 9995);
        QCOMPARE(err(callAs(s, 65534, insert({"snapvault", pub, thumbs, QString(5000, 'x')}))), 9942);
        // The first job walks 60 files with a pause after each: it holds
        // the user's one place while the second asks.
        QCOMPARE(err(callAs(s, 65534, insert({"snapvault", pub, thumbs, 1e308, longArg}))), 0);
        QCOMPARE(err(callAs(s, 65534, insert({"snapvault", pub, thumbs}))), 9942);
        QCOMPARE(err(callAs(s, 0, insert({"nolayout", pub, thumbs}))), 0);
        const auto argsOf = [&](int uid) {
            const QJsonArray jobs = callAs(s, uid, cmd("thumbgen_jobs")).value("results").toObject().value("jobs").toArray();
            return jobs.isEmpty() ? QJsonArray() : jobs.first().toObject().value("args").toArray();
        };
        QCOMPARE(argsOf(4242), QJsonArray());
        QCOMPARE(argsOf(0).last().toString(), longArg);
        const QJsonArray own = argsOf(65534);
        QCOMPARE(own.at(3).toString(), QStringLiteral("1e+308"));
        QVERIFY2(own.last().toString().size() < 400 && own.last().toString().startsWith(longArg.left(300)),
                 qPrintable(own.last().toString()));
        const auto runningOf = [&](int uid) {
            return callAs(s, uid, cmd("thumbgen_status")).value("results").toObject().value("running").toArray();
        };
        QVERIFY(QTest::qWaitFor([&] { return runningOf(0).size() == 1; }, 5000));
        QVERIFY(runningOf(65534).first().toObject().contains("file"));
        QVERIFY(!runningOf(4242).first().toObject().contains("file"));
        const auto quarantinedOf = [&](int uid) {
            QStringList paths;
            for (const QJsonValue &f : callAs(s, uid, cmd("thumbgen_quarantine")).value("results").toObject().value("files").toArray())
                paths << f.toObject().value("path").toString();
            paths.sort();
            return paths;
        };
        QCOMPARE(quarantinedOf(0), QStringList({open, secret}));
        QCOMPARE(quarantinedOf(65534), QStringList({open}));
    }

    // The queue and its side files are private, those made before too;
    // large jobs gone, the database and its log shrink again.
    void queueFiles()
    {
        ServiceFixture s;
        const QString list = s.dbPath() + ".quarantine";
        QVERIFY(QDir().mkpath(s.path("db")) && writeFile(list, "") && ::chmod(QFile::encodeName(list).constData(), 0644) == 0);
        QVERIFY(s.listen());
        for (int i = 0; i < 5; ++i)
            QCOMPARE(err(s.call(insert({"nolayout", QString(400000, QChar('a' + i))}))), 0);
        const QString pub = s.pictures("pub", 1);
        QCOMPARE(err(s.call(insert({"snapvault", pub, pub + "/thumbs"}))), 0);
        QVERIFY(s.drained());
        const auto bytes = [&] { return QFileInfo(s.dbPath()).size() + QFileInfo(s.dbPath() + "-wal").size(); };
        QVERIFY2(QTest::qWaitFor([&] { return bytes() < (1 << 20); }, 5000), qPrintable(QString::number(bytes())));
        for (const char *suffix : {"", "-wal", "-shm", ".quarantine", ".inprogress", ".files", ".files-wal"})
            QVERIFY2(modeOf(s.dbPath() + suffix) == 0600, suffix);
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
        QCOMPARE(ctl(s, {"threads"}, &out), 0);
        QVERIFY2(QTest::qWaitFor([&] { return s.output().contains("serving the local socket passed"); }, 5000), s.output());
        QCOMPARE(s.stop(SIGTERM), 0);
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(s.socketPath()).constData(), &st) == 0 && S_ISSOCK(st.st_mode));
    }
};

QTEST_GUILESS_MAIN(TestPeerIsolation)
#include "tst_peerisolation.moc"
