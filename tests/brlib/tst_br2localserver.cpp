#include "br2cabinet.h"
#include "br2localserver.h"
#include "br2localsocket.h"
#include "br2rpcpacket.h"

#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QByteArray datagram(const char *text)
{
    return BR2RpcPacket(json(text)).toDatagram();
}

// A well-framed datagram around any JSON text.
QByteArray frame(const QByteArray &jsonText)
{
    QByteArray out = QByteArray::fromHex("0062720101") + QByteArray(8, '\0') + QByteArray(3, '\xff');
    qToLittleEndian<quint32>(quint32(jsonText.size()), reinterpret_cast<uchar *>(out.data()) + 5);
    return out + jsonText;
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

sockaddr_un unixAddress(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(qMin(encoded.size(), 107)));
    return address;
}

// A socket bound to path that nobody serves: closed, it is what a killed
// process leaves behind; listening, the kernel completes connects to it.
int bindUnix(const QString &path, bool listening)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(path);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0
        || (listening && ::listen(fd, 4) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
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
        QJsonArray groups;
        for (uint g : peer.groups)
            groups.append(double(g));
        retObject->insert(QStringLiteral("results"),
                          QJsonArray{QJsonArray{peer.valid, double(peer.pid), double(peer.uid), double(peer.gid)},
                                     groups, envObject->object(), QJsonArray::fromStringList(envObject->keys())});
    }
};

// A server with its own event loop, so the test thread can be a plain
// blocking client.
class ServerHost : public QThread
{
public:
    explicit ServerHost(const QString &name, bool debugging = false) : m_name(name), m_debugging(debugging) {}
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

protected:
    void run() override
    {
        TestRouter router;
        BR2LocalServer server;   // destroyed before the router it serves
        server.debugging = m_debugging;
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
    bool m_debugging;
    bool m_started = false;
    std::atomic<BR2LocalServer *> m_server{nullptr};
    QSemaphore m_ready;
};

// A blocking client on a raw socket: what any peer of the service sees.
class Client
{
public:
    explicit Client(const QString &path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_un address = unixAddress(path);
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
            close();
    }
    ~Client() { close(); }
    bool isConnected() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool send(const QByteArray &bytes)
    {
        for (qint64 done = 0; done < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0 && !(n < 0 && errno == EINTR))
                return false;
            done += qMax<ssize_t>(n, 0);
        }
        return true;
    }
    // The next non-empty reply; false after ms without one.
    bool reply(QJsonObject &out, int ms = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        for (BR2RpcPacket packet;;) {
            const int result = packet.fromDatagram(m_buffer);
            if (result == BR2RpcPacket::DATAGRAM_OK && !packet.isEmpty()) {
                out = packet;
                return true;
            }
            if (result > BR2RpcPacket::DATAGRAM_KEEPALIVE && !read(m_buffer.size() + 1, int(ms - clock.elapsed())))
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
    // Reads until buffer() holds size bytes; false on time-out or close.
    bool read(int size, int ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_buffer.size() < size) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (m_fd < 0 || ms - clock.elapsed() <= 0 || ::poll(&pfd, 1, int(ms - clock.elapsed())) <= 0)
                return false;
            char chunk[65536];
            const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
            m_closed = n <= 0;
            if (m_closed)
                return false;
            m_buffer.append(chunk, int(n));
        }
        return true;
    }
    // True when the server closed the connection within ms.
    bool closedWithin(int ms) { return !read(INT_MAX, ms) && m_closed; }
    QByteArray &buffer() { return m_buffer; }

private:
    int m_fd = -1;
    bool m_closed = false;
    QByteArray m_buffer;
};

} // namespace

class TestBr2LocalServer : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(serve(false)); }
    void cleanup() { m_host.reset(); }
    void replies_data();
    void replies();
    void frameArrivingByteByByte();
    void keepAliveAndRequestInOneWrite_data();
    void keepAliveAndRequestInOneWrite();
    void garbageClosesOnlyThatConnection();
    void oversizedHeaderClosesAtOnce();
    void largestFrameIsServed();
    void clientDisconnectsMidReply();
    void elapsedWithDebugging();
    void cabinetOfConnection();
    void startReplacesDeadSocket();
    void secondServerRefusedWhileFirstServes();
    void destroyingServerEndsConnections();
    void cyclesLeaveThreadsFlat();
    void connectionsBeyondLimitClosed();
    void localRequest();

private:
    // Every test gets a server of its own on a fresh name, in a folder start() makes.
    bool serve(bool debugging)
    {
        m_host.reset();
        m_name = m_dir.filePath(QStringLiteral("d%1/s").arg(++m_serial));
        m_host = std::make_unique<ServerHost>(m_name, debugging);
        return m_host->begin();
    }

    QTemporaryDir m_dir;
    int m_serial = 0;
    QString m_name;
    std::unique_ptr<ServerHost> m_host;
};

// All requests go out in one write on one connection; each reply is checked.
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
    QTest::newRow("unknown, name as sent") << send({R"({"cmd":" foo "})"})
                                           << list(R"([{"err":9885,"errmsg":"被调用的方法不存在:  foo "}])");
    QTest::newRow("no cmd") << send({R"({"params":{}})"}) << list(R"([{"err":9885,"errmsg":"被调用的方法不存在: "}])");
    QTest::newRow("fresh code") << send({R"({"cmd":"untouched"})", R"({"cmd":"echo","help":false})"})
                                << list(R"([{"err":9999},{"err":9999}])");
    QTest::newRow("code carries over") << send({R"({"cmd":"fail"})", R"({"cmd":"untouched"})",
                                                R"({"cmd":"echo","help":null})"})
                                       << QJsonArray{failed, failed, failed};
}

void TestBr2LocalServer::replies()
{
    QFETCH(QByteArray, requests);
    QFETCH(QJsonArray, replies);
    Client client(m_name);
    QVERIFY(client.send(requests));
    for (const QJsonValue &expected : replies) {
        QJsonObject reply;
        QVERIFY(client.reply(reply));
        QCOMPARE(reply, expected.toObject());
    }
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

// Nothing follows in the write, so a request left behind the keep-alive
// would never be answered.
void TestBr2LocalServer::keepAliveAndRequestInOneWrite_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::newRow("keep-alive") << BR2RpcPacket::keepAlive();
    QTest::newRow("keep-alive, {} and [1,2] get no reply") << BR2RpcPacket::keepAlive() + frame("{}") + frame("[1,2]");
}

void TestBr2LocalServer::keepAliveAndRequestInOneWrite()
{
    QFETCH(QByteArray, before);
    Client client(m_name);
    QVERIFY(client.send(before + datagram(R"({"cmd":"echo","params":"a"})")));
    QJsonObject reply;
    QVERIFY(client.reply(reply, 3000));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("a"));
    QVERIFY(client.buffer().isEmpty());
}

void TestBr2LocalServer::garbageClosesOnlyThatConnection()
{
    Client other(m_name);
    QCOMPARE(other.call(R"({"cmd":"echo","params":0})").value("results").toInt(), 0);
    Client client(m_name);
    QVERIFY(client.send(datagram(R"({"cmd":"echo","params":1})") + "garbage!"
                        + datagram(R"({"cmd":"echo","params":2})")));
    QJsonObject reply;
    QVERIFY(client.reply(reply));
    QCOMPARE(reply.value("results").toInt(), 1);
    QVERIFY(client.closedWithin(3000));
    QVERIFY(client.buffer().isEmpty());   // nothing after the garbage was answered
    QCOMPARE(other.call(R"({"cmd":"echo","params":3})").value("results").toInt(), 3);
    Client fresh(m_name);
    QCOMPARE(fresh.call(R"({"cmd":"echo","params":4})").value("results").toInt(), 4);
}

void TestBr2LocalServer::oversizedHeaderClosesAtOnce()
{
    Client client(m_name);
    QByteArray header = frame(QByteArray());
    qToLittleEndian<quint32>(quint32(BR2LocalSocket::MAX_PAYLOAD - 10), reinterpret_cast<uchar *>(header.data()) + 5);
    qToLittleEndian<quint32>(11, reinterpret_cast<uchar *>(header.data()) + 9);
    QVERIFY(client.send(datagram(R"({"cmd":"echo","params":1})") + header));
    QJsonObject reply;
    QVERIFY(client.reply(reply));
    QCOMPARE(reply.value("results").toInt(), 1);
    QVERIFY(client.closedWithin(3000));
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

void TestBr2LocalServer::elapsedWithDebugging()
{
    QVERIFY(serve(true));
    Client client(m_name);
    const QJsonObject first = client.call(R"({"cmd":"echo"})");
    QCOMPARE(first.value("err").toInt(), 0);
    QVERIFY(first.value("elapsed").isDouble());
    QVERIFY(!first.contains("journals") && !first.contains("errmsg"));
    const QJsonObject second = client.call(R"({"cmd":"fail"})");
    QCOMPARE(second.value("errmsg").toString(), QStringLiteral("缺少参数: threads"));
    QVERIFY(second.value("elapsed").toDouble() >= first.value("elapsed").toDouble());
    QCOMPARE(second.value("journals").toArray().size(), 1);
}

void TestBr2LocalServer::cabinetOfConnection()
{
    Client client(m_name);
    const QJsonArray results = client.call(R"({"cmd":"whoami"})").value("results").toArray();
    QVector<gid_t> groups(::getgroups(0, nullptr));
    groups.resize(::getgroups(groups.size(), groups.data()));
    QCOMPARE(results.at(0).toArray(), (QJsonArray{true, double(::getpid()), double(::geteuid()), double(::getegid())}));
    QCOMPARE(results.at(1).toArray().size(), groups.size());
    for (const QJsonValue &g : results.at(1).toArray())
        QVERIFY(groups.contains(gid_t(g.toDouble())));
    // The credentials live beside the stores, not in them.
    QCOMPARE(results.at(2).toObject(), json(R"({"protocol":128})"));
    QCOMPARE(results.at(3).toArray(), QJsonArray());
}

// start() made the folder of m_name with world access; a socket file nobody
// listens on, as a killed process leaves it, is replaced.
void TestBr2LocalServer::startReplacesDeadSocket()
{
    QVERIFY(QFileInfo(m_name).permissions() & QFileDevice::WriteOther);
    const QString name = m_dir.filePath(QStringLiteral("dead"));
    const int fd = bindUnix(name, false);
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(name));
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QCOMPARE(client.call(R"({"cmd":"echo","params":7})").value("results").toInt(), 7);
}

void TestBr2LocalServer::secondServerRefusedWhileFirstServes()
{
    Client before(m_name);
    QVERIFY(before.isConnected());
    ServerHost second(m_name);
    QVERIFY(!second.begin());
    QCOMPARE(before.call(R"({"cmd":"echo","params":1})").value("results").toInt(), 1);
    Client after(m_name);   // the name still leads to the first service
    QCOMPARE(after.call(R"({"cmd":"echo","params":2})").value("results").toInt(), 2);
}

void TestBr2LocalServer::destroyingServerEndsConnections()
{
    m_host.reset();
    const int threadsBefore = threadCount();
    QVERIFY(serve(false));
    Client a(m_name);
    Client b(m_name);
    QCOMPARE(a.call(R"({"cmd":"echo","params":1})").value("results").toInt(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), 2, 5000);
    QElapsedTimer clock;
    clock.start();
    m_host.reset();
    QVERIFY2(clock.elapsed() < 2000, "idle connections must wake on stop");
    QVERIFY(a.closedWithin(2000));
    QVERIFY(b.closedWithin(2000));
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsBefore, 5000);
}

void TestBr2LocalServer::cyclesLeaveThreadsFlat()
{
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
    QVERIFY(refused.isConnected());        // the kernel completes the connect ...
    QVERIFY(refused.closedWithin(5000));   // ... and the server closes it at once
    clients.front()->close();
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), BR2LocalServer::MAX_CONNECTIONS - 1, 5000);
    Client next(m_name);
    QCOMPARE(next.call(R"({"cmd":"echo","params":2})").value("results").toInt(), 2);
}

void TestBr2LocalServer::localRequest()
{
    const QJsonObject request = json(R"({"cmd":"echo","params":4})");
    QJsonObject reply{{QStringLiteral("old"), 1}};
    QVERIFY(BR2LocalServer::localRequest(m_name, request, &reply, 5));
    QCOMPARE(reply, json(R"({"err":0,"results":4})"));
    QVERIFY(BR2LocalServer::localRequest(m_name, request, nullptr, 5));
    QVERIFY(BR2LocalServer::localRequest(m_name, request, &reply, 0));

    // No server: fails at once. A server that never answers: the time-out.
    const QString silent = m_dir.filePath(QStringLiteral("silent"));
    const int fd = bindUnix(silent, true);
    QVERIFY(fd >= 0);
    reply = QJsonObject{{QStringLiteral("old"), 1}};
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!BR2LocalServer::localRequest(m_dir.filePath(QStringLiteral("nobody")), request, &reply, 5));
    QVERIFY(clock.elapsed() < 2500);
    clock.restart();
    QVERIFY(!BR2LocalServer::localRequest(silent, request, &reply, 1));
    QVERIFY(clock.elapsed() >= 900 && clock.elapsed() < 3000);
    QCOMPARE(reply, json(R"({"old":1})"));
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestBr2LocalServer)
#include "tst_br2localserver.moc"
