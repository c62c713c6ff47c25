#include "br2localserver.h"
#include "br2rpcpacket.h"
#include "br2utils.h"
#include "servicefixture.h"

#include <QImage>
#include <QLocalSocket>
#include <QThread>

#include <cstdlib>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// The whole service from a client's side: requests over the real socket,
// what comes back, and what ends up queued.
class TestService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void commands_data();
    void commands();
    void insertStoresItem_data();
    void insertStoresItem();
    void helpCarriesConnectionCode();
    void twoRequestsInOneWrite();
    void garbageClosesOnlyThatConnection();
    void oversizedHeaderRefusedAtOnce();
    void clientLeavingMidReply();
    void deadSocketReplaced();
    void secondServiceRefused();
    void ctlEndToEnd();
    void ctlExitCodes_data();
    void ctlExitCodes();
    void untrustedPeer_data();
    void untrustedPeer();
    void attachmentNotHeld();
    void floodFromOnePeer_data();
    void floodFromOnePeer();

private:
    QJsonObject call(const QJsonObject &request);
    int runCtl(const QStringList &args, QByteArray *out = nullptr);
    ServiceFixture *m_s = nullptr;
};

namespace {

// A client that speaks the framing by hand, for byte-level cases.
class RawClient
{
public:
    explicit RawClient(const QString &name) { m_socket.connectToServer(name); }
    bool connected() { return m_socket.waitForConnected(3000); }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(3000);
    }
    // The next reply, or an empty object when none came in time.
    QJsonObject reply(int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        for (;;) {
            // Read first: a reply and the hang-up after it can arrive together.
            m_buffer += m_socket.readAll();
            BR2RpcPacket p;
            QByteArray probe = m_buffer;
            if (!probe.isEmpty() && p.fromDatagram(probe) == BR2RpcPacket::DATAGRAM_OK) {
                m_buffer = probe;
                return p;
            }
            if (deadline.hasExpired() || m_socket.state() != QLocalSocket::ConnectedState)
                return QJsonObject();
            m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }
    bool closedByPeer(int ms)
    {
        return QTest::qWaitFor(
            [&] {
                m_socket.waitForReadyRead(20);
                m_buffer += m_socket.readAll();
                return m_socket.state() != QLocalSocket::ConnectedState;
            },
            ms);
    }
    QLocalSocket &socket() { return m_socket; }

private:
    QLocalSocket m_socket;
    QByteArray m_buffer;
};

QByteArray datagram(const QJsonObject &o)
{
    return BR2RpcPacket(o).toDatagram();
}

QJsonObject cmd(const char *name, const QJsonObject &params = QJsonObject())
{
    QJsonObject o{{QStringLiteral("cmd"), QString::fromUtf8(name)}};
    if (!params.isEmpty())
        o.insert(QStringLiteral("params"), params);
    return o;
}

}   // namespace

void TestService::initTestCase()
{
    Q_INIT_RESOURCE(k8thumbgen);
}

void TestService::init()
{
    m_s = new ServiceFixture;
    QVERIFY(m_s->start());
    QVERIFY2(m_s->waitListening(), m_s->output());
}

void TestService::cleanup()
{
    delete m_s;
    m_s = nullptr;
}

QJsonObject TestService::call(const QJsonObject &request)
{
    QJsonObject reply;
    if (!BR2LocalServer::localRequest(m_s->socketPath(), request, &reply, 5))
        return QJsonObject{{QStringLiteral("noanswer"), true}};
    return reply;
}

void TestService::commands_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<int>("err");
    QTest::addColumn<QString>("errmsg");
    const int most = qMax(1, 2 * QThread::idealThreadCount());
    const QString missing = QStringLiteral("缺少参数: threads");
    QTest::newRow("threads") << cmd("thumbgen_threads") << 0 << QString();
    QTest::newRow("setthreads no params") << cmd("thumbgen_setthreads") << 9995 << missing;
    QTest::newRow("setthreads 0") << cmd("thumbgen_setthreads", {{"threads", 0}}) << 9995 << missing;
    QTest::newRow("setthreads -1") << cmd("thumbgen_setthreads", {{"threads", -1}}) << 9995 << missing;
    QTest::newRow("setthreads xyz") << cmd("thumbgen_setthreads", {{"threads", "xyz"}}) << 9995 << missing;
    QTest::newRow("setthreads 1e300") << cmd("thumbgen_setthreads", {{"threads", 1e300}}) << 0 << QString();
    QTest::newRow("setthreads 1000") << cmd("thumbgen_setthreads", {{"threads", 1000}}) << 0 << QString();
    QTest::newRow("unknown") << cmd("nope") << 9885 << QStringLiteral("被调用的方法不存在: nope");
    QTest::newRow("name as sent") << cmd(" nope ") << 9885 << QStringLiteral("被调用的方法不存在:  nope ");
    QTest::newRow("trimmed for lookup") << cmd(" thumbgen_threads ") << 0 << QString();
    // These took the process down: the NUL cut the name before the lookup.
    for (const char *name : {"deleteLater()", "destroyed()"}) {
        const QString sent = QString::fromLatin1(name) + QChar(0);
        QTest::newRow(name) << QJsonObject{{QStringLiteral("cmd"), sent}} << 9885
                            << QStringLiteral("被调用的方法不存在: ") + sent;
    }
    QTest::newRow("no cmd") << QJsonObject{{QStringLiteral("params"), QJsonObject()}} << 9885
                            << QStringLiteral("被调用的方法不存在: ");
    Q_UNUSED(most)
}

void TestService::commands()
{
    QFETCH(QJsonObject, request);
    QFETCH(int, err);
    QFETCH(QString, errmsg);
    const QJsonObject reply = call(request);
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(-1), err);
    QCOMPARE(reply.value(QStringLiteral("errmsg")).toString(), errmsg);
    QVERIFY(!reply.contains(QStringLiteral("elapsed")));   // debugging is off

    // The count reads back as clamped, and a refused change left it alone.
    const int threads = call(cmd("thumbgen_threads")).value(QStringLiteral("results")).toObject()
                            .value(QStringLiteral("threads")).toInt();
    const QString name = request.value(QStringLiteral("cmd")).toString();
    if (name == QLatin1String("thumbgen_setthreads") && err == 0)
        QCOMPARE(threads, qMax(1, 2 * QThread::idealThreadCount()));
    else
        QCOMPARE(threads, 1);
}

void TestService::insertStoresItem_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QString>("stored");
    QTest::newRow("layout") << QJsonObject{{"args", QJsonArray{"pellowcloud", "/a", "/b"}}}
                            << QStringLiteral("{\"args\":[\"pellowcloud\",\"/a\",\"/b\"],\"command\":\"\"}");
    QTest::newRow("command trimmed") << QJsonObject{{"args", QJsonArray{1, true}}, {"command", "  sleep  0  "}}
                                     << QStringLiteral("{\"args\":[\"1\",\"\"],\"command\":\"sleep  0\"}");
    QTest::newRow("empty") << QJsonObject() << QStringLiteral("{\"args\":[],\"command\":\"\"}");
}

void TestService::insertStoresItem()
{
    QFETCH(QJsonObject, params);
    QFETCH(QString, stored);
    // Stop the workers from taking the job so the row can be read.
    m_s->stop(SIGKILL);
    m_s->config().insert(QStringLiteral("threads"), 1);
    QVERIFY(m_s->prefill({compactItem({}, QStringLiteral("sleep 30"))}));
    QVERIFY(m_s->start());
    QVERIFY(m_s->waitListening());
    QCOMPARE(call(cmd("thumbgen_insert", params)).value(QStringLiteral("err")).toInt(-1), 0);
    const QList<QJsonObject> rows = m_s->rows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.last().value(QStringLiteral("item")).toString(), stored);
    QVERIFY(rows.last().value(QStringLiteral("quuno")).toInt() > rows.first().value(QStringLiteral("quuno")).toInt());
}

void TestService::helpCarriesConnectionCode()
{
    RawClient c(m_s->socketPath());
    QVERIFY(c.connected());
    c.send(datagram(cmd("thumbgen_setthreads", {{"threads", 0}})));
    QCOMPARE(c.reply().value(QStringLiteral("err")).toInt(), 9995);
    // "help" counts whatever its value; the command neither acts nor sets a code.
    QJsonObject help = cmd("thumbgen_setthreads", {{"threads", 3}});
    help.insert(QStringLiteral("help"), false);
    c.send(datagram(help));
    const QJsonObject reply = c.reply();
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(), 9995);
    QCOMPARE(call(cmd("thumbgen_threads")).value(QStringLiteral("results")).toObject().value("threads").toInt(), 1);
    QJsonObject insertHelp = cmd("thumbgen_insert", {{"command", "true"}});
    insertHelp.insert(QStringLiteral("help"), QJsonValue());
    c.send(datagram(insertHelp));
    QVERIFY(!c.reply().isEmpty());
    QVERIFY(m_s->rows().isEmpty());
}

void TestService::twoRequestsInOneWrite()
{
    RawClient c(m_s->socketPath());
    QVERIFY(c.connected());
    // A keep-alive in front must not hold back what follows it.
    c.send(BR2RpcPacket::keepAlive() + datagram(cmd("thumbgen_threads")) + datagram(cmd("nope")));
    QCOMPARE(c.reply().value(QStringLiteral("err")).toInt(-1), 0);
    QCOMPARE(c.reply().value(QStringLiteral("err")).toInt(-1), 9885);
}

void TestService::garbageClosesOnlyThatConnection()
{
    RawClient other(m_s->socketPath());
    QVERIFY(other.connected());
    RawClient c(m_s->socketPath());
    QVERIFY(c.connected());
    c.send(datagram(cmd("thumbgen_threads")) + QByteArray("GET / HTTP/1.0\r\n\r\n"));
    QCOMPARE(c.reply().value(QStringLiteral("err")).toInt(-1), 0);
    QVERIFY(c.closedByPeer(3000));
    other.send(datagram(cmd("thumbgen_threads")));
    QCOMPARE(other.reply().value(QStringLiteral("err")).toInt(-1), 0);
    QCOMPARE(call(cmd("thumbgen_threads")).value(QStringLiteral("err")).toInt(-1), 0);
}

void TestService::oversizedHeaderRefusedAtOnce()
{
    RawClient c(m_s->socketPath());
    QVERIFY(c.connected());
    QByteArray header = datagram(cmd("x")).left(16);
    // J at the 64 MiB limit plus one byte of attachment: one byte too many.
    const quint32 big = 64u * 1024 * 1024;
    for (int i = 0; i < 4; ++i) {
        header[5 + i] = char((big >> (8 * i)) & 0xff);
        header[9 + i] = char(i == 0 ? 1 : 0);
    }
    c.send(header);
    QVERIFY(c.closedByPeer(3000));
    QCOMPARE(call(cmd("thumbgen_threads")).value(QStringLiteral("err")).toInt(-1), 0);
}

void TestService::clientLeavingMidReply()
{
    for (int i = 0; i < 20; ++i) {
        RawClient c(m_s->socketPath());
        QVERIFY(c.connected());
        c.send(datagram(cmd("help_interfaces")));
        c.socket().abort();
    }
    QCOMPARE(call(cmd("thumbgen_threads")).value(QStringLiteral("err")).toInt(-1), 0);
    QCOMPARE(m_s->process().state(), QProcess::Running);
}

void TestService::deadSocketReplaced()
{
    m_s->stop(SIGKILL);
    // A socket file nobody listens on, as a crashed service leaves it.
    const QByteArray path = QFile::encodeName(m_s->socketPath());
    QFile::remove(m_s->socketPath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(m_s->socketPath()));
    QVERIFY(m_s->start());
    QVERIFY2(m_s->waitListening(), m_s->output());
    QCOMPARE(call(cmd("thumbgen_threads")).value(QStringLiteral("err")).toInt(-1), 0);
}

void TestService::secondServiceRefused()
{
    ServiceFixture second;
    second.config().insert(QStringLiteral("lpcid"), m_s->socketPath());
    QVERIFY(second.start());
    QCOMPARE(second.waitExit(), 1);
    QVERIFY2(second.output().contains(m_s->socketPath().toUtf8()), second.output());
    QCOMPARE(call(cmd("thumbgen_threads")).value(QStringLiteral("err")).toInt(-1), 0);
}

int TestService::runCtl(const QStringList &args, QByteArray *out)
{
    QProcess p;
    p.start(QStringLiteral(K8_CTL_BINARY), args);
    if (!p.waitForFinished(15000))
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TestService::ctlEndToEnd()
{
    const QString src = m_s->path(QStringLiteral("media"));
    const QString thumbs = m_s->path(QStringLiteral("thumbs"));
    QDir().mkpath(src);
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QVERIFY(image.save(src + QStringLiteral("/photo.jpg")));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10", "-t",
                                            "1", "-pix_fmt", "yuv420p", src + QStringLiteral("/clip.mp4")});
    QVERIFY(ffmpeg.waitForFinished(30000));
    QCOMPARE(ffmpeg.exitCode(), 0);

    QByteArray out;
    // Relative paths are sent as absolute ones.
    QDir::setCurrent(m_s->path(QString()));
    QCOMPARE(runCtl({"--lpcid", m_s->socketPath(), "insert", "pellowcloud", "media", "thumbs"}, &out), 0);
    QCOMPARE(toJsonObject(out).value(QStringLiteral("err")).toInt(-1), 0);
    const QString jpg = thumbs + QLatin1Char('/') + QString::fromLatin1(md5hex(src + "/photo.jpg")) + ".jpg";
    const QString gif = thumbs + QLatin1Char('/') + QString::fromLatin1(md5hex(src + "/clip.mp4")) + ".gif";
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(jpg) && QFileInfo::exists(gif); }, 30000));
    QCOMPARE(QImage(jpg).size(), QSize(200, 150));
    QVERIFY(QFileInfo(gif).size() > 0);
}

void TestService::ctlExitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::newRow("threads") << QStringList{"threads"} << 0;
    QTest::newRow("setthreads 0") << QStringList{"setthreads", "0"} << 1;
    QTest::newRow("interfaces") << QStringList{"interfaces"} << 0;
    QTest::newRow("help") << QStringList{"help", "thumbgen_insert"} << 0;
    QTest::newRow("help of unknown") << QStringList{"help", "nosuch"} << 1;
    QTest::newRow("timeout nan") << QStringList{"--timeout", "nan", "threads"} << 2;
    QTest::newRow("call") << QStringList{"call", "{\"cmd\":\"nope\"}"} << 1;
    QTest::newRow("bad call") << QStringList{"call", "[1]"} << 2;
    QTest::newRow("empty call is never answered") << QStringList{"call", "{}"} << 2;
    // Control characters take six bytes each in JSON: 9.4 MiB of text.
    QTest::newRow("over the JSON limit") << QStringList{"run", "true"} + QVector<QString>(12, QString(131000, QChar(1))).toList() << 2;
    QTest::newRow("timeout 0") << QStringList{"--timeout", "0", "threads"} << 2;
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2;
    QTest::newRow("no server") << QStringList{"--lpcid", "/nonexistent/k8/s", "threads"} << 2;
}

void TestService::ctlExitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    if (!args.contains(QStringLiteral("--lpcid")))
        args = QStringList{"--lpcid", m_s->socketPath()} + args;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runCtl(args), status);
    QVERIFY2(clock.elapsed() < 5000, "the client waited for an answer that cannot come");
    QVERIFY(m_s->rows().isEmpty());
}

void TestService::untrustedPeer_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("err");
    QTest::newRow("command job") << QStringLiteral("command") << 9884;
    QTest::newRow("unreadable source") << QStringLiteral("private") << 9884;
    QTest::newRow("unwritable thumbs") << QStringLiteral("readonly") << 9884;
    QTest::newRow("own folders") << QStringLiteral("open") << 0;
    QTest::newRow("setthreads") << QStringLiteral("setthreads") << 9884;
}

void TestService::untrustedPeer()
{
    QFETCH(QString, kind);
    QFETCH(int, err);
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    // The client runs as nobody: the test's folder must let it reach the socket.
    ::chmod(QFile::encodeName(m_s->path(QString())).constData(), 0755);
    const QString pub = m_s->path(QStringLiteral("pub"));
    const QString priv = m_s->path(QStringLiteral("priv"));
    QDir().mkpath(pub);
    QDir().mkpath(priv);
    ::chmod(QFile::encodeName(pub).constData(), 0777);
    ::chmod(QFile::encodeName(priv).constData(), 0700);

    QStringList args;
    QString failed;
    if (kind == QLatin1String("command")) {
        args = QStringList{"run", "touch /tmp/should-not-exist"};
        failed = QStringLiteral("command");
    } else if (kind == QLatin1String("private")) {
        args = QStringList{"insert", "pellowcloud", priv, pub + QStringLiteral("/thumbs")};
        failed = priv;
    } else if (kind == QLatin1String("readonly")) {
        args = QStringList{"insert", "snapvault", pub, priv + QStringLiteral("/thumbs")};
        failed = priv;
    } else if (kind == QLatin1String("setthreads")) {
        args = QStringList{"setthreads", "3"};
        failed = QStringLiteral("threads");
    } else {
        args = QStringList{"insert", "pellowcloud", pub, pub + QStringLiteral("/thumbs/new")};
    }
    args = QStringList{"--lpcid", m_s->socketPath()} + args;

    // fork, drop to nobody, exec the client; no Qt code runs in the child.
    QList<QByteArray> argv8{QByteArray(K8_CTL_BINARY)};
    for (const QString &a : args)
        argv8 << a.toUtf8();
    std::vector<char *> argv;
    for (QByteArray &a : argv8)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipefd[2];
    QCOMPARE(::pipe(pipefd), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], STDOUT_FILENO);
        ::close(pipefd[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::execv(argv[0], argv.data());
        ::_exit(98);
    }
    ::close(pipefd[1]);
    QByteArray out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0)
        out.append(buf, int(n));
    ::close(pipefd[0]);
    int status = 0;
    QCOMPARE(::waitpid(pid, &status, 0), pid);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) < 90, QByteArray::number(status));

    const QJsonObject reply = toJsonObject(out);
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(-1), err);
    if (err != 0) {
        QCOMPARE(reply.value(QStringLiteral("errmsg")).toString(), QStringLiteral("没有权限: ") + failed);
        QVERIFY(m_s->rows().isEmpty());
        QCOMPARE(call(cmd("thumbgen_threads")).value("results").toObject().value("threads").toInt(), 1);
    }
}

namespace {

qint64 peakKiB(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const int at = status.indexOf("VmHWM:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').first().toLongLong();
}

}   // namespace

// An attachment is dropped as it arrives: a 60 MiB one used to be held
// whole, and three at once raised the peak by 192 MiB.
void TestService::attachmentNotHeld()
{
    const qint64 before = peakKiB(m_s->process().processId());
    RawClient c(m_s->socketPath());
    QVERIFY(c.connected());
    const int piece = 1 << 20;
    QByteArray request = datagram(cmd("thumbgen_threads"));
    qToLittleEndian<quint32>(60u * piece, reinterpret_cast<uchar *>(request.data()) + 9);   // A
    c.send(request);
    const QByteArray chunk(piece, 'a');
    for (int i = 0; i < 60; ++i)
        c.send(chunk);
    QCOMPARE(c.reply(10000).value(QStringLiteral("err")).toInt(-1), 0);
    QVERIFY2(peakKiB(m_s->process().processId()) - before < 16 * 1024, "the attachment was held in memory");
}

// One untrusted user opens 1,100 connections: 64 stay open, the rest are
// closed at once, root is still answered, and the socket is never lost,
// even under a hard limit of 1,024 descriptors.
void TestService::floodFromOnePeer_data()
{
    QTest::addColumn<QStringList>("wrapper");
    QTest::newRow("as configured") << QStringList();
    QTest::newRow("hard limit 1024") << QStringList{"prlimit", "--nofile=1024:1024", "--"};
}

void TestService::floodFromOnePeer()
{
    QFETCH(QStringList, wrapper);
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    m_s->stop(SIGKILL);
    QVERIFY(m_s->start({}, wrapper));
    QVERIFY2(m_s->waitListening(), m_s->output());
    ::chmod(QFile::encodeName(m_s->path(QString())).constData(), 0755);

    int go[2], report[2];
    QVERIFY(::pipe(go) == 0 && ::pipe(report) == 0);
    const QByteArray path = QFile::encodeName(m_s->socketPath());
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit many {4096, 4096};
        if (::setrlimit(RLIMIT_NOFILE, &many) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0
            || ::setuid(65534) != 0)
            ::_exit(99);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
        std::vector<int> fds;
        for (int i = 0; i < 1100; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                fds.push_back(fd);
        }
        char byte;
        (void)!::read(go[0], &byte, 1);
        int open = 0;
        for (int fd : fds) {
            char b;
            open += ::recv(fd, &b, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
        }
        (void)!::write(report[1], &open, sizeof open);
        ::_exit(0);
    }
    QVERIFY(QTest::qWaitFor([&] { return call(cmd("thumbgen_threads")).value("err") == 0; }, 10000));
    QTest::qWait(500);   // let the server close what is over the cap
    int open = -1;
    QVERIFY(::write(go[1], "x", 1) == 1 && ::read(report[0], &open, sizeof open) == sizeof open);
    int status = 0;
    ::waitpid(pid, &status, 0);
    for (int fd : {go[0], go[1], report[0], report[1]})
        ::close(fd);
    QCOMPARE(open, int(BR2LocalServer::MAX_CONNECTIONS_PER_PEER));
    QCOMPARE(call(cmd("thumbgen_threads")).value("err").toInt(-1), 0);
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
