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

class TestRouter : public BR2TodoRouter
{
    Q_OBJECT
private slots:
    void echo(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        retObject->insert(QStringLiteral("results"), cmdObject.value(QStringLiteral("params")));
        envObject->setErr(0, QString());
    }
    // A reply of params bytes for a request of a few.
    void grow(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        retObject->insert(QStringLiteral("results"), QString(cmdObject.value(QStringLiteral("params")).toInt(), QLatin1Char('y')));
        envObject->setErr(0, QString());
    }
};

// A server with its own event loop, so the test thread can be a plain
// blocking client.
class ServerHost : public QThread
{
public:
    explicit ServerHost(const QString &name) : m_name(name) {}
    ~ServerHost() override { quit(), wait(); }
    bool begin() { return start(), m_ready.acquire(), m_started; }
    int connections() const { return m_server.load() ? m_server.load()->connectionCount() : -1; }
    qint64 budgetInUse() const { return m_server.load() ? m_server.load()->budget().inUse() : -1; }

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

} // namespace

// JSON fragments with an unmatched brace are ordinary string literals here:
// moc drops a class whose body holds such a raw string.
class TestBr2LocalServer : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(serve()); }
    void cleanup() { m_host.reset(); }

    // The requests go out in one write on one connection, or byte by byte; the
    // replies must be exactly these bytes, in order, and nothing more.
    void replies_data()
    {
        QTest::addColumn<QByteArray>("requests");
        QTest::addColumn<bool>("byByte");
        QTest::addColumn<QByteArray>("replies");
        // Header with J = 33, A = 0, then sorted compact JSON.
        QTest::newRow("byte by byte") << datagram(R"({"cmd":"echo","params":{"threads":4}})") << true
                                      << QByteArray::fromHex("00627201012100000000000000ffffff") + R"({"err":0,"results":{"threads":4}})";
        QTest::newRow("trimmed name, routing keys not echoed")
            << datagram(R"({"cmd":" echo\t","seq":3,"params":[1]})") + datagram(R"({"cmd":"echo","params":2})") << false
            << datagram(R"({"err":0,"results":[1]})") + datagram(R"({"err":0,"results":2})");
        // Unknown names are echoed as sent; long ones are cut, never between the halves of a pair.
        const auto unknown = [](const QString &echo) {
            return BR2RpcPacket({{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在: ") + echo}}).toDatagram();
        };
        const auto named = [](const QString &name) { return BR2RpcPacket({{"cmd", name}}).toDatagram(); };
        const QString a4095(4095, QLatin1Char('a'));
        const QString nul = QStringLiteral(" x()") + QChar(0) + 'y';
        QTest::newRow("cut before a pair") << named(a4095 + QString::fromUtf8("\xf0\x9f\x98\x80")) << false
                                           << unknown(a4095 + QChar(0x2026));
        QTest::newRow("NUL echoed") << named(nul) << false << unknown(nul);
        // A request left behind the keep-alive in the buffer would never be
        // answered, nothing more arriving; {} and [1,2] are skipped unanswered.
        QTest::newRow("{} and [1,2] get no reply")
            << BR2RpcPacket::keepAlive() + frame("{}") + frame("[1,2]") + datagram(R"({"cmd":"echo","params":"b"})") << false
            << datagram(R"({"err":0,"results":"b"})");
    }

    void replies()
    {
        QFETCH(QByteArray, requests);
        QFETCH(bool, byByte);
        QFETCH(QByteArray, replies);
        Client client(m_name);
        for (int i = 0; byByte && i + 1 < requests.size(); ++i)
            QVERIFY(client.send(requests.mid(i, 1)));
        QVERIFY(!client.read(1, 100));   // a frame less its last byte waits
        QVERIFY(client.send(byByte ? requests.right(1) : requests));
        QVERIFY(client.read(replies.size(), 5000) && !client.read(replies.size() + 1, 100));   // and nothing more
        QCOMPARE(client.buffer(), replies);
    }

    // Bytes that are not a datagram, a header announcing more than 64 MiB or a
    // frame trickling in past its deadline (5 s plus a second per MiB) close
    // that connection after the requests before them are answered. The first
    // bytes go out at once but the last "trickled", which follow one a second.
    void garbageClosesOnlyThatConnection_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<int>("trickled");
        QTest::newRow("garbage") << QByteArray("garbage!") + datagram(R"({"cmd":"echo","params":2})") << 0;
        QTest::newRow("oversized header closes at once") << header(quint32(BR2LocalSocket::MAX_PAYLOAD - 10), 11) << 0;
        QTest::newRow("JSON text over its limit closes at once") << header(quint32(BR2RpcPacket::MAX_JSON_TEXT + 1), 0) << 0;
        const QByteArray many
            = "{\"cmd\":\"echo\",\"params\":[0" + QByteArray(",0").repeated(BR2RpcPacket::MAX_JSON_VALUES);
        QTest::newRow("too many values to decode") << frame(many + "]}") << 0;
        QTest::newRow("trickle") << frame("{\"cmd\":\"echo\",\"pad\":\"" + QByteArray(6000, 'x') + "\"}") << 1800;
    }

    void garbageClosesOnlyThatConnection()
    {
        QFETCH(QByteArray, bad);
        QFETCH(int, trickled);
        Client other(m_name);
        QCOMPARE(other.echo(0), 0);
        Client client(m_name);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(client.send(datagram(R"({"cmd":"echo","params":1})") + bad.left(bad.size() - trickled)));
        QCOMPARE(client.result(), 1);
        for (int i = bad.size() - trickled; !client.closedWithin(trickled ? 1000 : 3000) && clock.elapsed() < 9000; ++i)
            client.send(bad.mid(i, 1));
        QCOMPARE(client.state(), QLocalSocket::UnconnectedState);
        QVERIFY(client.buffer().isEmpty());   // nothing after the bad bytes was answered
        if (trickled)
            QVERIFY2(clock.elapsed() >= 4500 && clock.elapsed() < 7500, QByteArray::number(clock.elapsed()));
        QCOMPARE(other.echo(3), 3);
    }

    void largestFrameIsServed()
    {
        Client client(m_name);
        BR2RpcPacket request(json(R"({"cmd":"echo","params":8})"));
        request.setAttachment(QByteArray(int(BR2LocalSocket::MAX_PAYLOAD) - request.toCompact().size(), 'a'));
        QVERIFY(client.send(request.toDatagram()));
        QCOMPARE(client.result(30000), 8);
    }

    // A peer that hangs up while its 8 MB reply is being written costs that
    // reply, never the process (no SIGPIPE), and the connection is reclaimed.
    void clientDisconnectsMidReply()
    {
        {
            Client client(m_name);
            QVERIFY(client.send(BR2RpcPacket({{"cmd", "echo"}, {"params", QString(8000000, 'x')}}).toDatagram()));
            client.read(1, 5000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), 0, 10000);
        QCOMPARE(Client(m_name).echo(5), 5);
    }

    // start() made m_name with world access. A socket file nobody listens on, as
    // a killed process leaves it, is replaced; a live one is not. Destroying the
    // server wakes idle connections at once and ends every thread it made.
    void serverLifetime()
    {
        QVERIFY(QFileInfo(m_name).permissions() & QFileDevice::WriteOther);
        m_host.reset();
        const auto threads = [] { return QDir(QStringLiteral("/proc/self/task")).count(); };
        const uint withoutServer = threads();
        const QString name = m_dir.filePath(QStringLiteral("dead"));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof(address.sun_path) - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
        ::close(fd);
        m_host = std::make_unique<ServerHost>(name);
        QVERIFY(m_host->begin());
        Client a(name);
        ServerHost second(name);
        QVERIFY(!second.begin());
        Client b(name);   // the name still leads to the first service
        QCOMPARE(a.echo(1) + b.echo(2), 3);
        const QDeadlineTimer quick(2000);
        m_host.reset();
        QVERIFY2(!quick.hasExpired(), "idle connections must wake on stop");
        QVERIFY(a.closedWithin(2000) && b.closedWithin(2000));
        QTRY_VERIFY_WITH_TIMEOUT(threads() <= withoutServer, 5000);
    }

    void connectionsBeyondLimitClosed()
    {
        // Client and server ends of every connection live in this process.
        const rlim_t needed = 2 * BR2LocalServer::MAX_CONNECTIONS + 256;
        struct rlimit limit {};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
            QSKIP("descriptor limit too low for both ends of 1024 connections");
        limit.rlim_cur = qMax(limit.rlim_cur, needed);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < BR2LocalServer::MAX_CONNECTIONS; ++i) {
            clients.push_back(std::make_unique<Client>(m_name));
            QCOMPARE(clients.back()->echo(1), 1);
        }
        Client refused(m_name);
        QCOMPARE(refused.state(), QLocalSocket::ConnectedState);   // the kernel completes the connect ...
        QVERIFY(refused.closedWithin(5000));                       // ... and the server closes it at once
        clients.front()->abort();
        QTRY_COMPARE_WITH_TIMEOUT(m_host->connections(), BR2LocalServer::MAX_CONNECTIONS - 1, 5000);
        QCOMPARE(Client(m_name).echo(2), 2);
    }

    // Four texts of the largest size fill the budget: a fifth request waits,
    // its socket unread, until the four stalled holders are closed.
    void budgetHoldsSendersBack()
    {
        const QByteArray head = "{\"cmd\":\"echo\",\"params\":1,\"pad\":\"";
        const QByteArray whole
            = frame(head + QByteArray(int(BR2RpcPacket::MAX_JSON_TEXT) - head.size() - 2, 'x') + "\"}");
        std::vector<std::unique_ptr<Client>> holders;
        for (int i = 0; i < 4; ++i) {
            holders.push_back(std::make_unique<Client>(m_name));
            QVERIFY(holders.back()->send(whole.left(1 << 20)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_host->budgetInUse(), 4 * BR2RpcPacket::MAX_JSON_TEXT, 5000);
        const QDeadlineTimer full(3500);
        Client waiting(m_name);
        waiting.write(whole);
        QCOMPARE(waiting.result(15000), 1);
        QVERIFY2(full.hasExpired(), "answered while the budget was full");
        for (auto &holder : holders)
            QVERIFY(holder->closedWithin(1000));
        QTRY_COMPARE_WITH_TIMEOUT(m_host->budgetInUse(), 0, 5000);
    }

    // A reply its peer does not read holds budget as a request does, so a
    // client cannot pile up replies outside it; read at last, each arrives.
    void unreadRepliesHoldTheBudget()
    {
        const int size = 2 << 20;
        const QByteArray big = frame("{\"cmd\":\"grow\",\"params\":" + QByteArray::number(size) + "}");
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(m_name).constData(), sizeof address.sun_path - 1);
        std::vector<int> peers;
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QVERIFY(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
            QCOMPARE(::write(fd, big.constData(), size_t(big.size())), ssize_t(big.size()));
            peers.push_back(fd);
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_host->budgetInUse() >= 3 * qint64(size), 5000);
        for (int fd : peers) {
            Client reader(QString{});
            reader.setSocketDescriptor(fd);
            QCOMPARE(reader.result(15000, "err"), 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_host->budgetInUse(), 0, 5000);
    }

    // With no descriptor left, accept fails: the connection waits in the
    // backlog and is served once descriptors are free, on the same socket.
    void acceptErrorKeepsListening()
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
        Client client(m_name);
        // The server tries to accept and fails meanwhile; it must not serve yet.
        const bool servedEarly = QTest::qWaitFor([this] { return m_host->connections() > 0; }, 300);
        for (int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(client.state() == QLocalSocket::ConnectedState && !servedEarly);
        QCOMPARE(client.echo(6), 6);
    }

    // The 2 s connect wait counts toward the time-out; *reply stays untouched on failure.
    void localRequest()
    {
        const QJsonObject request = json(R"({"cmd":"echo","params":4})");
        QJsonObject reply;
        QVERIFY(BR2LocalServer::localRequest(m_name, request, &reply, 5));
        QCOMPARE(reply, json(R"({"err":0,"results":4})"));
        QLocalServer silent;   // the kernel completes connects; nobody answers
        QVERIFY(silent.listen(m_dir.filePath(QStringLiteral("silent"))));
        reply = json(R"({"old":1})");
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!BR2LocalServer::localRequest(m_dir.filePath(QStringLiteral("nobody")), request, &reply, 5));
        QVERIFY(clock.elapsed() < 2500);
        clock.restart();
        QVERIFY(!BR2LocalServer::localRequest(silent.fullServerName(), request, &reply, 1));
        QVERIFY(clock.elapsed() >= 900 && clock.elapsed() < 3000);
        QCOMPARE(reply, json(R"({"old":1})"));
    }

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

QTEST_GUILESS_MAIN(TestBr2LocalServer)
#include "tst_br2localserver.moc"
