#include "br2cabinet.h"
#include "br2localserver.h"
#include "br2localsocket.h"
#include "br2rpcpacket.h"

#include "brlibfixture.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray datagram(const char *text)
{
    return BR2RpcPacket(json(text)).toDatagram();
}

sockaddr_un unixAddress(const QString &name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof(address.sun_path) - 1);
    return address;
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

class TestRouter : public BR2TodoRouter
{
    Q_OBJECT
private slots:
    void echo(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        retObject->insert(QStringLiteral("results"), cmdObject.value(QStringLiteral("params")));
        envObject->setErr(0, QString());
    }
    void fail(QJsonObject *, QJsonObject, BR2Cabinet *envObject)
    {
        envObject->add(QStringLiteral("fail"), QStringLiteral("tried"), false, QString(), QString());
        envObject->setErr(9995, QStringLiteral("缺少参数: threads"));
    }
    // Leaves the journal alone, so the reply shows what the connection held.
    void untouched(QJsonObject *, QJsonObject, BR2Cabinet *) {}
    void whoami(QJsonObject *retObject, QJsonObject, BR2Cabinet *envObject)
    {
        const BR2PeerCredentials peer = envObject->peerCredentials();
        retObject->insert(QStringLiteral("results"),
                          QJsonArray{QJsonArray{peer.valid, double(peer.pid), double(peer.uid), double(peer.gid)},
                                     envObject->object(), QJsonArray::fromStringList(envObject->keys())});
    }
};

// A server with its own event loop, so the test thread can be a plain
// blocking client.
class ServerHost : public QThread
{
public:
    explicit ServerHost(const QString &name) : m_name(name) {}
    ~ServerHost() override
    {
        quit();
        wait();
    }
    bool begin()
    {
        start();
        m_ready.acquire();
        return m_started;
    }
    int connections() const
    {
        BR2LocalServer *server = m_server.load();
        return server ? server->connectionCount() : -1;
    }
    qint64 budgetInUse() const
    {
        BR2LocalServer *server = m_server.load();
        return server ? server->budget().inUse() : -1;
    }

protected:
    void run() override
    {
        TestRouter router;
        BR2LocalServer server;   // destroyed before the router it serves
        server.add(&router);
        m_started = server.start(m_name);
        m_server = &server;
        m_ready.release();
        if (m_started)
            exec();
        m_server = nullptr;
    }

private:
    QString m_name;
    bool m_started = false;
    std::atomic<BR2LocalServer *> m_server{nullptr};
    QSemaphore m_ready;
};

// A blocking client, the test thread having no event loop of its own.
class Client : public QLocalSocket
{
public:
    explicit Client(const QString &name)
    {
        connectToServer(name);
        waitForConnected(2000);
    }
    bool send(const QByteArray &bytes)
    {
        write(bytes);
        while (bytesToWrite() > 0) {
            if (!waitForBytesWritten(30000))
                return false;
        }
        return true;
    }
    // Reads until buffer() holds size bytes; false on time-out or close.
    bool read(int size, int ms)
    {
        const QDeadlineTimer deadline(ms);
        for (m_buffer += readAll(); m_buffer.size() < size; m_buffer += readAll()) {
            if (!waitForReadyRead(int(deadline.remainingTime()))) {
                m_buffer += readAll();
                return false;
            }
        }
        return true;
    }
    // The next non-empty reply; false after ms without one.
    bool reply(QJsonObject &out, int ms = 5000)
    {
        const QDeadlineTimer deadline(ms);
        for (BR2RpcPacket packet;;) {
            const int result = packet.fromDatagram(m_buffer);
            if (result == BR2RpcPacket::DATAGRAM_OK && !packet.isEmpty()) {
                out = packet;
                return true;
            }
            if (result > BR2RpcPacket::DATAGRAM_KEEPALIVE
                && !read(m_buffer.size() + 1, int(deadline.remainingTime())))
                return false;
        }
    }
    QJsonObject call(const char *request)
    {
        QJsonObject out{{QStringLiteral("client"), QStringLiteral("no reply")}};
        if (send(datagram(request)))
            reply(out);
        return out;
    }
    bool closedWithin(int ms) { return !read(INT_MAX, ms) && state() == UnconnectedState; }
    QByteArray &buffer() { return m_buffer; }

private:
    QByteArray m_buffer;
};

} // namespace

class TestBr2LocalServer : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(serve()); }
    void cleanup() { m_host.reset(); }
    void replies_data();
    void replies();
    void frameArrivingByteByByte();
    void garbageClosesOnlyThatConnection_data();
    void garbageClosesOnlyThatConnection();
    void largestFrameIsServed();
    void clientDisconnectsMidReply();
    void cabinetOfConnection();
    void startReplacesDeadSocket();
    void secondServerRefusedWhileFirstServes();
    void threadsComeAndGo();
    void connectionsBeyondLimitClosed();
    void budgetHoldsSendersBack();
    void acceptErrorKeepsListening();
    void trickleClosedAtDeadline();
    void localRequest();

private:
    // Every test gets a server of its own on a fresh name, in a folder start() makes.
    bool serve()
    {
        m_host.reset();
        m_name = m_dir.filePath(QStringLiteral("d%1/s").arg(++m_serial));
        m_host = std::make_unique<ServerHost>(m_name);
        return m_host->begin();
    }

    QTemporaryDir m_dir;
    int m_serial = 0;
    QString m_name;
    std::unique_ptr<ServerHost> m_host;
};

// All bytes go out in one write on one connection; the replies must be
// exactly these, in order, and nothing more.
void TestBr2LocalServer::replies_data()
{
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QJsonArray>("replies");
    auto send = [](std::initializer_list<const char *> texts) {
        QByteArray out;
        for (const char *text : texts)
            out += datagram(text);
        return out;
    };
    auto list = [](const char *text) { return QJsonDocument::fromJson(QByteArray(text)).array(); };
    const QJsonObject failed = json(R"({"err":9995,"errmsg":"缺少参数: threads"})");
    QTest::newRow("trimmed name, routing keys not echoed")
        << send({R"({"cmd":" echo\t","seq":3,"params":[1]})", R"({"cmd":"echo","params":2})"})
        << list(R"([{"err":0,"results":[1]},{"err":0,"results":2}])");
    // Unknown names are echoed as sent; long ones are cut, never between the halves of a pair.
    const auto unknown = [](const QString &echo) {
        return QJsonArray{QJsonObject{{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在: ") + echo}}};
    };
    const auto named = [](const QString &name) { return BR2RpcPacket(QJsonObject{{"cmd", name}}).toDatagram(); };
    const QString a4095(4095, QLatin1Char('a'));
    const QString pair = QString::fromUtf8("\xf0\x9f\x98\x80");
    const QString nul = QStringLiteral("x()") + QChar(0) + 'y';
    QTest::newRow("unknown, name as sent") << named(" foo ") << unknown(" foo ");
    QTest::newRow("4096 echoed whole") << named(a4095 + 'b') << unknown(a4095 + 'b');
    QTest::newRow("4097 cut") << named(a4095 + "bc") << unknown(a4095 + QString::fromUtf8("b\u2026"));
    QTest::newRow("cut before a pair") << named(a4095 + pair) << unknown(a4095 + QChar(0x2026));
    QTest::newRow("NUL echoed") << named(nul) << unknown(nul);
    QTest::newRow("no cmd") << send({R"({"params":{}})"}) << list(R"([{"err":9885,"errmsg":"被调用的方法不存在: "}])");
    QTest::newRow("code carries over") << send({R"({"cmd":"fail"})", R"({"cmd":"untouched"})",
                                                R"({"cmd":"echo","help":null})"})
                                       << QJsonArray{failed, failed, failed};
    // A request left behind the keep-alive in the buffer would never be
    // answered, nothing more arriving; {} and [1,2] are skipped unanswered.
    QTest::newRow("{} and [1,2] get no reply")
        << BR2RpcPacket::keepAlive() + frame("{}") + frame("[1,2]") + send({R"({"cmd":"echo","params":"b"})"})
        << list(R"([{"err":0,"results":"b"}])");
}

void TestBr2LocalServer::replies()
{
    QFETCH(QByteArray, requests);
    QFETCH(QJsonArray, replies);
    Client client(m_name);
    QVERIFY(client.send(requests));
    for (const QJsonValue &expected : replies) {
        QJsonObject reply;
        QVERIFY(client.reply(reply, 3000));
        QCOMPARE(reply, expected.toObject());
    }
    QVERIFY(client.buffer().isEmpty());
}

void TestBr2LocalServer::frameArrivingByteByByte()
{
    Client client(m_name);
    const QByteArray bytes = datagram(R"({"cmd":"echo","params":{"threads":4}})");
    for (int i = 0; i + 1 < bytes.size(); ++i)
        QVERIFY(client.send(bytes.mid(i, 1)));
    QVERIFY(!client.read(1, 100));   // a frame less its last byte waits
    QVERIFY(client.send(bytes.right(1)));
    // The reply's exact bytes: header with J = 33, A = 0, then sorted compact JSON.
    const QByteArray expected = QByteArray::fromHex("00627201012100000000000000ffffff")
        + R"({"err":0,"results":{"threads":4}})";
    QVERIFY(client.read(expected.size(), 5000));
    QCOMPARE(client.buffer(), expected);
}

// Bytes that are not a datagram, or a header announcing more than 64 MiB,
// close that connection after the requests before them are answered.
void TestBr2LocalServer::garbageClosesOnlyThatConnection_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::newRow("garbage") << QByteArray("garbage!") + datagram(R"({"cmd":"echo","params":2})");
    QTest::newRow("oversized header closes at once") << header(quint32(BR2LocalSocket::MAX_PAYLOAD - 10), 11);
    QTest::newRow("JSON text over its limit closes at once") << header(quint32(BR2RpcPacket::MAX_JSON_TEXT + 1), 0);
    QByteArray many = R"({"cmd":"echo","params":[0)";
    for (int i = 0; i < BR2RpcPacket::MAX_JSON_VALUES; ++i)
        many += ",0";
    QTest::newRow("too many values to decode") << frame(many + "]}");
}

void TestBr2LocalServer::garbageClosesOnlyThatConnection()
{
    QFETCH(QByteArray, bad);
    Client other(m_name);
    QCOMPARE(other.call(R"({"cmd":"echo","params":0})").value("results").toInt(), 0);
    Client client(m_name);
    QVERIFY(client.send(datagram(R"({"cmd":"echo","params":1})") + bad));
    QJsonObject reply;
    QVERIFY(client.reply(reply));
    QCOMPARE(reply.value("results").toInt(), 1);
    QVERIFY(client.closedWithin(3000));
    QVERIFY(client.buffer().isEmpty());   // nothing after the bad bytes was answered
    QCOMPARE(other.call(R"({"cmd":"echo","params":3})").value("results").toInt(), 3);
    Client fresh(m_name);
    QCOMPARE(fresh.call(R"({"cmd":"echo","params":4})").value("results").toInt(), 4);
}

void TestBr2LocalServer::largestFrameIsServed()
{
    Client client(m_name);
    BR2RpcPacket request(json(R"({"cmd":"echo","params":"max"})"));
    request.setAttachment(QByteArray(int(BR2LocalSocket::MAX_PAYLOAD) - request.toCompact().size(), 'a'));
    QVERIFY(client.send(request.toDatagram()));
    QJsonObject reply;
    QVERIFY(client.reply(reply, 30000));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("max"));
}

void TestBr2LocalServer::clientDisconnectsMidReply()
{
    {
        Client client(m_name);
        BR2RpcPacket request(json(R"({"cmd":"echo"})"));
        request.insert(QStringLiteral("params"), QString(8000000, QLatin1Char('x')));
        QVERIFY(client.send(request.toDatagram()));
        client.read(1, 5000);   // hang up once the reply has started flowing
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), 0, 10000);
    Client next(m_name);
    QCOMPARE(next.call(R"({"cmd":"echo","params":5})").value("results").toInt(), 5);
}

void TestBr2LocalServer::cabinetOfConnection()
{
    Client client(m_name);
    const QJsonArray results = client.call(R"({"cmd":"whoami"})").value("results").toArray();
    QCOMPARE(results.at(0).toArray(), (QJsonArray{true, double(::getpid()), double(::geteuid()), double(::getegid())}));
    // The credentials live beside the stores, not in them.
    QCOMPARE(results.at(1).toObject(), json(R"({"protocol":128})"));
    QCOMPARE(results.at(2).toArray(), QJsonArray());
}

// start() made the folder of m_name with world access; a socket file nobody
// listens on, as a killed process leaves it, is replaced.
void TestBr2LocalServer::startReplacesDeadSocket()
{
    QVERIFY(QFileInfo(m_name).permissions() & QFileDevice::WriteOther);
    const QString name = m_dir.filePath(QStringLiteral("dead"));
    const sockaddr_un address = unixAddress(name);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QCOMPARE(client.call(R"({"cmd":"echo","params":7})").value("results").toInt(), 7);
}

void TestBr2LocalServer::secondServerRefusedWhileFirstServes()
{
    Client before(m_name);
    ServerHost second(m_name);
    QVERIFY(!second.begin());
    QCOMPARE(before.call(R"({"cmd":"echo","params":1})").value("results").toInt(), 1);
    Client after(m_name);   // the name still leads to the first service
    QCOMPARE(after.call(R"({"cmd":"echo","params":2})").value("results").toInt(), 2);
}

// Thousands of short connections leave no threads behind, and stopping
// wakes idle connections at once and ends every thread the server made.
void TestBr2LocalServer::threadsComeAndGo()
{
    m_host.reset();
    const int withoutServer = threadCount();
    QVERIFY(serve());
    auto cycle = [this](int count) {
        for (int i = 0; i < count; ++i) {
            Client client(m_name);
            if (client.call(R"({"cmd":"echo","params":1})").value("results") != 1)
                return false;
        }
        return true;
    };
    QVERIFY(cycle(200));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), 0, 5000);
    const int threadsBefore = threadCount();
    QVERIFY(cycle(4800));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsBefore, 5000);

    Client a(m_name);
    Client b(m_name);
    QCOMPARE(a.call(R"({"cmd":"echo","params":1})").value("results").toInt(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), 2, 5000);
    QElapsedTimer clock;
    clock.start();
    m_host.reset();
    QVERIFY2(clock.elapsed() < 2000, "idle connections must wake on stop");
    QVERIFY(a.closedWithin(2000) && b.closedWithin(2000));
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= withoutServer, 5000);
}

void TestBr2LocalServer::connectionsBeyondLimitClosed()
{
    // Client and server ends of every connection live in this process.
    const rlim_t needed = 2 * BR2LocalServer::MAX_CONNECTIONS + 256;
    struct rlimit limit {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < needed) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
            QSKIP("descriptor limit too low for both ends of 1024 connections");
        limit.rlim_cur = needed;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < BR2LocalServer::MAX_CONNECTIONS; ++i) {
        clients.push_back(std::make_unique<Client>(m_name));
        QVERIFY(clients.back()->send(datagram(R"({"cmd":"echo","params":1})")));
    }
    for (auto &client : clients) {
        QJsonObject reply;
        QVERIFY(client->reply(reply));
    }
    Client refused(m_name);
    QCOMPARE(refused.state(), QLocalSocket::ConnectedState);   // the kernel completes the connect ...
    QVERIFY(refused.closedWithin(5000));                       // ... and the server closes it at once
    clients.front()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), BR2LocalServer::MAX_CONNECTIONS - 1, 5000);
    Client next(m_name);
    QCOMPARE(next.call(R"({"cmd":"echo","params":2})").value("results").toInt(), 2);
}

// Four texts of the largest size fill the budget: a fifth request waits,
// its socket unread, until the four stalled holders are closed.
void TestBr2LocalServer::budgetHoldsSendersBack()
{
    const QByteArray head = R"({"cmd":"echo","params":1,"pad":")";
    const QByteArray whole = frame(head + QByteArray(int(BR2RpcPacket::MAX_JSON_TEXT) - head.size() - 2, 'x') + "\"}");
    std::vector<std::unique_ptr<Client>> holders;
    for (int i = 0; i < 4; ++i) {
        holders.push_back(std::make_unique<Client>(m_name));
        QVERIFY(holders.back()->send(whole.left(1 << 20)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_host->budgetInUse(), 4 * BR2RpcPacket::MAX_JSON_TEXT, 5000);
    QElapsedTimer clock;
    clock.start();
    Client waiting(m_name);
    waiting.write(whole);
    QVERIFY(!waiting.read(1, 1000));
    QJsonObject reply;
    QVERIFY(waiting.reply(reply, 15000));
    QCOMPARE(reply.value("results").toInt(), 1);
    QVERIFY2(clock.elapsed() > 3500, "answered while the budget was full");
    for (auto &holder : holders)
        QVERIFY(holder->closedWithin(1000));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->budgetInUse(), 0, 5000);
}

// A frame that holds budget must arrive within 5 s plus a second per MiB,
// however steadily its bytes trickle in.
void TestBr2LocalServer::trickleClosedAtDeadline()
{
    const QByteArray whole = frame(R"({"cmd":"echo","pad":")" + QByteArray(6000, 'x') + "\"}");
    Client slow(m_name);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(slow.send(whole.left(4200)));
    for (int i = 0; clock.elapsed() < 9000 && slow.state() == QLocalSocket::ConnectedState; ++i) {
        slow.send(whole.mid(4200 + i, 1));
        slow.closedWithin(1000);
    }
    QVERIFY(slow.state() != QLocalSocket::ConnectedState);
    QVERIFY2(clock.elapsed() >= 4500 && clock.elapsed() < 7500, QByteArray::number(clock.elapsed()));
}

// With no descriptor left, accept fails: the connection waits in the
// backlog and is served once descriptors are free, on the same socket.
void TestBr2LocalServer::acceptErrorKeepsListening()
{
    struct rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = qMin<rlim_t>(saved.rlim_cur, 4096);
    ::setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;)
        filler.push_back(fd);
    QVERIFY(!filler.empty());
    ::close(filler.back());
    filler.pop_back();
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(m_name);
    const bool connected = ::connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    const QByteArray request = datagram(R"({"cmd":"echo","params":6})");
    const bool sent = ::send(client, request.constData(), size_t(request.size()), 0) == request.size();
    // The server tries to accept and fails meanwhile; it must not serve yet.
    const bool servedEarly = QTest::qWaitFor([this] { return m_host->connections() > 0; }, 300);
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY(connected && sent && !servedEarly);
    struct timeval timeout {5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    QByteArray reply(256, '\0');
    const ssize_t got = ::recv(client, reply.data(), size_t(reply.size()), 0);
    ::close(client);
    QVERIFY(got > 0);
    reply.resize(int(got));
    BR2RpcPacket packet;
    QCOMPARE(packet.fromDatagram(reply), int(BR2RpcPacket::DATAGRAM_OK));
    QCOMPARE(packet.value("results").toInt(), 6);
}

// The 2 s connect wait counts toward the time-out; *reply stays untouched on failure.
void TestBr2LocalServer::localRequest()
{
    const QJsonObject request = json(R"({"cmd":"echo","params":4})");
    QJsonObject reply{{QStringLiteral("old"), 1}};
    QVERIFY(BR2LocalServer::localRequest(m_name, request, &reply, 5));
    QCOMPARE(reply, json(R"({"err":0,"results":4})"));

    QLocalServer silent;   // the kernel completes connects; nobody answers
    QVERIFY(silent.listen(m_dir.filePath(QStringLiteral("silent"))));
    reply = QJsonObject{{QStringLiteral("old"), 1}};
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!BR2LocalServer::localRequest(m_dir.filePath(QStringLiteral("nobody")), request, &reply, 5));
    QVERIFY(clock.elapsed() < 2500);
    clock.restart();
    QVERIFY(!BR2LocalServer::localRequest(silent.fullServerName(), request, &reply, 1));
    QVERIFY(clock.elapsed() >= 900 && clock.elapsed() < 3000);
    QCOMPARE(reply, json(R"({"old":1})"));
}

QTEST_GUILESS_MAIN(TestBr2LocalServer)
#include "tst_br2localserver.moc"
