#include "br2cabinet.h"
#include "br2localserver.h"
#include "br2localsocket.h"
#include "br2rpcpacket.h"
#include "br2todorouter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>
#include <QThread>
#include <QtEndian>
#include <QtTest>

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

QByteArray datagram(const QJsonObject &object)
{
    return BR2RpcPacket(object).toDatagram();
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

// The commands the connection tests need; each records its outcome the
// way the service's own commands do.
class TestRouter : public BR2TodoRouter
{
    Q_OBJECT
private slots:
    void thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("threads"), 4}});
        envObject->setErr(0, QString());
    }
    void echo(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        retObject->insert(QStringLiteral("results"), cmdObject.value(QStringLiteral("params")));
        envObject->setErr(0, QString());
    }
    void fail(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        Q_UNUSED(retObject)
        Q_UNUSED(cmdObject)
        envObject->add(QStringLiteral("fail"), QStringLiteral("tried"), false, QString(), QString());
        envObject->setErr(9995, QStringLiteral("缺少参数: threads"));
    }
    // Leaves the journal alone, so the reply shows what the connection held.
    void untouched(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        Q_UNUSED(retObject)
        Q_UNUSED(cmdObject)
        Q_UNUSED(envObject)
    }
    void big(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        const int size = cmdObject.value(QStringLiteral("params")).toObject().value(QStringLiteral("size")).toInt();
        retObject->insert(QStringLiteral("results"), QString(size, QLatin1Char('x')));
        envObject->setErr(0, QString());
    }
    void whoami(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        Q_UNUSED(cmdObject)
        const BR2PeerCredentials peer = envObject->peerCredentials();
        QJsonArray groups;
        for (uint g : peer.groups)
            groups.append(double(g));
        retObject->insert(QStringLiteral("results"),
                          QJsonObject{{QStringLiteral("valid"), peer.valid},
                                      {QStringLiteral("pid"), double(peer.pid)},
                                      {QStringLiteral("uid"), double(peer.uid)},
                                      {QStringLiteral("gid"), double(peer.gid)},
                                      {QStringLiteral("groups"), groups},
                                      {QStringLiteral("object"), envObject->object()},
                                      {QStringLiteral("keys"), QJsonArray::fromStringList(envObject->keys())}});
        envObject->setErr(0, QString());
    }
};

// A server with its own event loop, so the test thread can be a plain
// blocking client.
class ServerHost : public QThread
{
public:
    ServerHost(const QString &name, bool debugging = false)
        : m_name(name)
        , m_debugging(debugging)
    {
    }
    ~ServerHost() override { end(); }
    bool begin()
    {
        start();
        m_ready.acquire();
        return m_started;
    }
    void end()
    {
        quit();
        wait();
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
    explicit Client(const QString &path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray encoded = QFile::encodeName(path);
        std::memcpy(address.sun_path, encoded.constData(), size_t(qMin(encoded.size(), 107)));
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
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
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    // One reply, or false after ms without one (or when the server closed).
    bool reply(QJsonObject &out, int ms = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        BR2RpcPacket packet;
        for (;;) {
            const int result = packet.fromDatagram(m_buffer);
            if (result == BR2RpcPacket::DATAGRAM_OK && !packet.isEmpty()) {
                out = packet;
                return true;
            }
            if (result == BR2RpcPacket::DATAGRAM_OK || result == BR2RpcPacket::DATAGRAM_KEEPALIVE)
                continue;
            if (!readSome(int(ms - clock.elapsed())))
                return false;
        }
    }
    QJsonObject call(const QJsonObject &request)
    {
        QJsonObject out;
        if (!send(datagram(request)) || !reply(out))
            out = QJsonObject{{QStringLiteral("client"), QStringLiteral("no reply")}};
        return out;
    }
    // True when the server closed the connection within ms; bytes that
    // arrive before that are kept for reply().
    bool closedWithin(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            if (!readSome(int(ms - clock.elapsed())))
                return m_closed;
        }
        return false;
    }
    // Raw bytes as they came, at least size of them.
    bool readAtLeast(int size, int ms = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_buffer.size() < size) {
            if (!readSome(int(ms - clock.elapsed())))
                return false;
        }
        return true;
    }
    QByteArray &buffer() { return m_buffer; }

private:
    bool readSome(int ms)
    {
        if (ms <= 0 || m_fd < 0)
            return false;
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, ms) <= 0)
            return false;
        char chunk[65536];
        const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            m_closed = true;
            return false;
        }
        m_buffer.append(chunk, int(n));
        return true;
    }

    int m_fd = -1;
    bool m_closed = false;
    QByteArray m_buffer;
};

} // namespace

class TestBr2LocalServer : public QObject
{
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void frameArrivingByteByByte();
    void twoRequestsInOneWrite();
    void keepAliveAndRequestInOneWrite();
    void emptyObjectsGetNoReply();
    void garbageClosesOnlyThatConnection();
    void oversizedHeaderClosesAtOnce();
    void largestFrameIsServed();
    void clientDisconnectsMidReply();
    void codeCarriesOverOnConnection();
    void elapsedWithDebugging();
    void cabinetOfConnection();
    void startReplacesDeadSocket();
    void startCreatesFolder();
    void secondServerRefusedWhileFirstServes();
    void destroyingServerEndsConnections();
    void cyclesLeaveThreadsFlat();
    void connectionsBeyondLimitClosed();
    void localRequest();
    void localRequestTimesOut();

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
    QString socketName() { return m_dir.filePath(QStringLiteral("s%1").arg(++m_serial)); }
};

void TestBr2LocalServer::replies_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<QJsonObject>("expected");
    QTest::newRow("command") << json(R"({"cmd":"thumbgen_threads"})")
                             << json(R"({"err":0,"results":{"threads":4}})");
    QTest::newRow("trimmed name") << json(R"({"cmd":" thumbgen_threads\t"})")
                                  << json(R"({"err":0,"results":{"threads":4}})");
    QTest::newRow("unknown") << json(R"({"cmd":"foo"})")
                             << json(R"({"err":9885,"errmsg":"被调用的方法不存在: foo"})");
    QTest::newRow("unknown, name as sent") << json(R"({"cmd":" foo "})")
                                           << json(R"({"err":9885,"errmsg":"被调用的方法不存在:  foo "})");
    QTest::newRow("no cmd") << json(R"({"params":{}})") << json(R"({"err":9885,"errmsg":"被调用的方法不存在: "})");
    QTest::newRow("help keeps the fresh code") << json(R"({"cmd":"thumbgen_threads","help":false})")
                                               << json(R"({"err":9999})");
    QTest::newRow("failure") << json(R"({"cmd":"fail"})")
                             << json(R"({"err":9995,"errmsg":"缺少参数: threads"})");
    QTest::newRow("no routing keys echoed") << json(R"({"cmd":"echo","seq":3,"params":[1]})")
                                            << json(R"({"err":0,"results":[1]})");
}

void TestBr2LocalServer::replies()
{
    QFETCH(QJsonObject, request);
    QFETCH(QJsonObject, expected);
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QVERIFY(client.isConnected());
    QCOMPARE(client.call(request), expected);
}

void TestBr2LocalServer::frameArrivingByteByByte()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    const QByteArray bytes = datagram(json(R"({"cmd":"thumbgen_threads"})"));
    for (char c : bytes) {
        QVERIFY(client.send(QByteArray(1, c)));
        QThread::usleep(200);   // let each byte arrive in a read of its own
    }
    // The reply's exact bytes: header with J = 33, A = 0, then sorted compact JSON.
    const QByteArray expected = QByteArray::fromHex("006272010121000000000000" "00ffffff")
        + R"({"err":0,"results":{"threads":4}})";
    QVERIFY(client.readAtLeast(expected.size()));
    QCOMPARE(client.buffer(), expected);
}

void TestBr2LocalServer::twoRequestsInOneWrite()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QVERIFY(client.send(datagram(json(R"({"cmd":"echo","params":1})"))
                        + datagram(json(R"({"cmd":"echo","params":2})"))));
    QJsonObject first;
    QJsonObject second;
    QVERIFY(client.reply(first));
    QVERIFY(client.reply(second));
    QCOMPARE(first.value("results").toInt(), 1);
    QCOMPARE(second.value("results").toInt(), 2);
}

void TestBr2LocalServer::keepAliveAndRequestInOneWrite()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    // Nothing follows in this test, so a request left behind the keep-alive
    // would never be answered.
    QVERIFY(client.send(BR2RpcPacket::keepAlive() + datagram(json(R"({"cmd":"echo","params":"a"})"))));
    QJsonObject reply;
    QVERIFY(client.reply(reply, 3000));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("a"));
    QVERIFY(client.buffer().isEmpty());
}

void TestBr2LocalServer::emptyObjectsGetNoReply()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    const QByteArray bytes = BR2RpcPacket::keepAlive() + frame("{}") + frame("[1,2]")
        + datagram(json(R"({"cmd":"echo","params":"last"})"));
    QVERIFY(client.send(bytes));
    QJsonObject reply;
    QVERIFY(client.reply(reply));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("last"));   // the first reply is the last request's
}

void TestBr2LocalServer::garbageClosesOnlyThatConnection()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client other(name);
    QCOMPARE(other.call(json(R"({"cmd":"echo","params":0})")).value("results").toInt(), 0);

    Client client(name);
    QVERIFY(client.send(datagram(json(R"({"cmd":"echo","params":1})")) + "garbage!"
                        + datagram(json(R"({"cmd":"echo","params":2})"))));
    QJsonObject reply;
    QVERIFY(client.reply(reply));
    QCOMPARE(reply.value("results").toInt(), 1);
    QVERIFY(client.closedWithin(3000));
    QVERIFY(client.buffer().isEmpty());   // nothing after the garbage was answered

    QCOMPARE(other.call(json(R"({"cmd":"echo","params":3})")).value("results").toInt(), 3);
    Client fresh(name);
    QCOMPARE(fresh.call(json(R"({"cmd":"echo","params":4})")).value("results").toInt(), 4);
}

void TestBr2LocalServer::oversizedHeaderClosesAtOnce()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QByteArray header = frame(QByteArray());
    qToLittleEndian<quint32>(quint32(BR2LocalSocket::MAX_PAYLOAD - 10), reinterpret_cast<uchar *>(header.data()) + 5);
    qToLittleEndian<quint32>(11, reinterpret_cast<uchar *>(header.data()) + 9);
    QVERIFY(client.send(datagram(json(R"({"cmd":"echo","params":1})")) + header));
    QJsonObject reply;
    QVERIFY(client.reply(reply));
    QCOMPARE(reply.value("results").toInt(), 1);
    QVERIFY(client.closedWithin(3000));
}

void TestBr2LocalServer::largestFrameIsServed()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    BR2RpcPacket request(json(R"({"cmd":"echo","params":"max"})"));
    const QByteArray text = request.toCompact();
    request.setAttachment(QByteArray(int(BR2LocalSocket::MAX_PAYLOAD) - text.size(), 'a'));
    QVERIFY(client.send(request.toDatagram()));
    QJsonObject reply;
    QVERIFY(client.reply(reply, 30000));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("max"));
}

void TestBr2LocalServer::clientDisconnectsMidReply()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    {
        Client client(name);
        QVERIFY(client.send(datagram(json(R"({"cmd":"big","params":{"size":8000000}})"))));
        client.closedWithin(50);   // let the reply start flowing, then hang up in the middle of it
    }
    QTRY_COMPARE_WITH_TIMEOUT(host.connections(), 0, 10000);
    Client next(name);
    QCOMPARE(next.call(json(R"({"cmd":"echo","params":5})")).value("results").toInt(), 5);
}

void TestBr2LocalServer::codeCarriesOverOnConnection()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QCOMPARE(client.call(json(R"({"cmd":"untouched"})")), json(R"({"err":9999})"));
    QCOMPARE(client.call(json(R"({"cmd":"fail"})")).value("err").toInt(), 9995);
    QCOMPARE(client.call(json(R"({"cmd":"untouched"})")),
             json(R"({"err":9995,"errmsg":"缺少参数: threads"})"));
    QCOMPARE(client.call(json(R"({"cmd":"thumbgen_threads","help":null})")),
             json(R"({"err":9995,"errmsg":"缺少参数: threads"})"));
}

void TestBr2LocalServer::elapsedWithDebugging()
{
    const QString name = socketName();
    ServerHost host(name, true);
    QVERIFY(host.begin());
    Client client(name);
    const QJsonObject first = client.call(json(R"({"cmd":"thumbgen_threads"})"));
    QCOMPARE(first.value("err").toInt(), 0);
    QVERIFY(first.value("elapsed").isDouble());
    QVERIFY(!first.contains("journals"));
    QVERIFY(!first.contains("errmsg"));

    const QJsonObject second = client.call(json(R"({"cmd":"fail"})"));
    QCOMPARE(second.value("errmsg").toString(), QStringLiteral("缺少参数: threads"));
    QVERIFY(second.value("elapsed").toDouble() >= first.value("elapsed").toDouble());
    QCOMPARE(second.value("journals").toArray().size(), 1);
}

void TestBr2LocalServer::cabinetOfConnection()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    const QJsonObject results = client.call(json(R"({"cmd":"whoami"})")).value("results").toObject();
    QVERIFY(results.value("valid").toBool());
    QCOMPARE(qint64(results.value("pid").toDouble()), qint64(::getpid()));
    QCOMPARE(uint(results.value("uid").toDouble()), uint(::geteuid()));
    QCOMPARE(uint(results.value("gid").toDouble()), uint(::getegid()));
    QVector<gid_t> mine(::getgroups(0, nullptr));
    mine.resize(::getgroups(mine.size(), mine.data()));
    QCOMPARE(results.value("groups").toArray().size(), mine.size());
    for (const QJsonValue &g : results.value("groups").toArray())
        QVERIFY(mine.contains(gid_t(g.toDouble())));
    // The credentials live beside the stores, not in them.
    QCOMPARE(results.value("object").toObject(), json(R"({"protocol":128})"));
    QVERIFY(results.value("keys").toArray().isEmpty());
}

void TestBr2LocalServer::startReplacesDeadSocket()
{
    const QString name = socketName();
    {
        // A socket file that nobody listens on any more, as a killed process leaves it.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray encoded = QFile::encodeName(name);
        std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        ::close(fd);
        QVERIFY(QFileInfo::exists(name));
    }
    ServerHost host(name);
    QVERIFY(host.begin());
    Client client(name);
    QCOMPARE(client.call(json(R"({"cmd":"echo","params":7})")).value("results").toInt(), 7);
}

void TestBr2LocalServer::startCreatesFolder()
{
    const QString name = m_dir.filePath(QStringLiteral("a/b/s"));
    ServerHost host(name);
    QVERIFY(host.begin());
    QVERIFY(QFileInfo(name).exists());
    QVERIFY(QFileInfo(name).permissions() & QFileDevice::WriteOther);   // world access
}

void TestBr2LocalServer::secondServerRefusedWhileFirstServes()
{
    const QString name = socketName();
    ServerHost first(name);
    QVERIFY(first.begin());
    Client before(name);
    QVERIFY(before.isConnected());

    ServerHost second(name);
    QVERIFY(!second.begin());

    QCOMPARE(before.call(json(R"({"cmd":"echo","params":1})")).value("results").toInt(), 1);
    Client after(name);   // the name still leads to the first service
    QCOMPARE(after.call(json(R"({"cmd":"echo","params":2})")).value("results").toInt(), 2);
}

void TestBr2LocalServer::destroyingServerEndsConnections()
{
    const QString name = socketName();
    const int threadsBefore = threadCount();
    auto host = std::make_unique<ServerHost>(name);
    QVERIFY(host->begin());
    Client a(name);
    Client b(name);
    QCOMPARE(a.call(json(R"({"cmd":"echo","params":1})")).value("results").toInt(), 1);
    QVERIFY(b.isConnected());
    QTRY_COMPARE_WITH_TIMEOUT(host->connections(), 2, 5000);
    QElapsedTimer clock;
    clock.start();
    host.reset();
    QVERIFY2(clock.elapsed() < 2000, "idle connections must wake on stop");
    QVERIFY(a.closedWithin(2000));
    QVERIFY(b.closedWithin(2000));
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsBefore, 5000);
}

void TestBr2LocalServer::cyclesLeaveThreadsFlat()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    const QByteArray request = datagram(json(R"({"cmd":"thumbgen_threads"})"));
    auto cycle = [&](int count) {
        for (int i = 0; i < count; ++i) {
            Client client(name);
            QJsonObject reply;
            if (!client.send(request) || !client.reply(reply))
                return false;
        }
        return true;
    };
    QVERIFY(cycle(200));
    QTRY_COMPARE_WITH_TIMEOUT(host.connections(), 0, 5000);
    const int threadsBefore = threadCount();
    QVERIFY(cycle(4800));
    QTRY_COMPARE_WITH_TIMEOUT(host.connections(), 0, 5000);
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
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    std::vector<std::unique_ptr<Client>> clients;
    const QByteArray request = datagram(json(R"({"cmd":"echo","params":1})"));
    for (int i = 0; i < BR2LocalServer::MAX_CONNECTIONS; ++i) {
        clients.push_back(std::make_unique<Client>(name));
        QVERIFY(clients.back()->send(request));
    }
    for (auto &client : clients) {
        QJsonObject reply;
        QVERIFY(client->reply(reply));
    }
    Client refused(name);
    QVERIFY(refused.isConnected());   // the kernel completes the connect ...
    QVERIFY(refused.closedWithin(5000));   // ... and the server closes it at once

    clients.front()->close();
    QTRY_COMPARE_WITH_TIMEOUT(host.connections(), BR2LocalServer::MAX_CONNECTIONS - 1, 5000);
    Client next(name);
    QCOMPARE(next.call(json(R"({"cmd":"echo","params":2})")).value("results").toInt(), 2);
}

void TestBr2LocalServer::localRequest()
{
    const QString name = socketName();
    ServerHost host(name);
    QVERIFY(host.begin());
    QJsonObject reply{{QStringLiteral("old"), 1}};
    QVERIFY(BR2LocalServer::localRequest(name, json(R"({"cmd":"thumbgen_threads"})"), &reply, 5));
    QCOMPARE(reply, json(R"({"err":0,"results":{"threads":4}})"));
    QVERIFY(BR2LocalServer::localRequest(name, json(R"({"cmd":"thumbgen_threads"})"), nullptr, 5));
    QVERIFY(BR2LocalServer::localRequest(name, json(R"({"cmd":"thumbgen_threads"})"), &reply, 0));

    QElapsedTimer clock;
    clock.start();
    reply = QJsonObject{{QStringLiteral("old"), 1}};
    QVERIFY(!BR2LocalServer::localRequest(m_dir.filePath(QStringLiteral("nobody")), json(R"({"cmd":"x"})"), &reply, 5));
    QVERIFY(clock.elapsed() < 2500);
    QCOMPARE(reply, json(R"({"old":1})"));
}

void TestBr2LocalServer::localRequestTimesOut()
{
    // Listens but never answers: the kernel completes the connect.
    const QString name = socketName();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(name);
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    QCOMPARE(::listen(fd, 4), 0);
    QElapsedTimer clock;
    clock.start();
    QJsonObject reply{{QStringLiteral("old"), 1}};
    QVERIFY(!BR2LocalServer::localRequest(name, json(R"({"cmd":"x"})"), &reply, 1));
    QVERIFY(clock.elapsed() >= 900);
    QVERIFY(clock.elapsed() < 3000);
    QCOMPARE(reply, json(R"({"old":1})"));
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestBr2LocalServer)
#include "tst_br2localserver.moc"
