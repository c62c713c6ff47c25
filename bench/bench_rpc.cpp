// Round trips of one small request over the local socket, on 1 and on 32
// connections, next to a minimal blocking echo over a Unix socket (the
// floor of any design); the idle CPU of 200 open connections; the rate of
// localRequest (connect, request, reply, close). When the service binary
// comes up on a scratch folder, "thumbgen_threads" and "thumbgen_insert"
// are measured against it too. With --before, the inserts and listings of
// a trusted client and of an ordinary user (uid 65534, through a copy of
// this program run as that user) are measured against an earlier build's
// service and this one's, in turns, with 1,000 of the user's jobs queued.
//
//   bench_rpc [seconds per figure, default 2] [--before SERVICE-BINARY]

#include "br2cabinet.h"
#include "br2localserver.h"
#include "br2rpcpacket.h"
#include "br2todorouter.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class BenchRouter : public BR2TodoRouter
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
};

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

protected:
    void run() override
    {
        BenchRouter router;
        BR2LocalServer server;
        server.add(&router);
        m_started = server.start(m_name);
        m_ready.release();
        if (m_started)
            exec();
    }

private:
    QString m_name;
    bool m_started = false;
    QSemaphore m_ready;
};

sockaddr_un addressOf(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(qMin(encoded.size(), 107)));
    return address;
}

int connectTo(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Reads one whole frame (16-byte header, then J + A) into buffer.
bool readFrame(int fd, std::vector<char> &buffer)
{
    size_t have = 0;
    size_t want = 16;
    buffer.resize(want);
    while (have < want) {
        const ssize_t n = ::recv(fd, buffer.data() + have, want - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        have += size_t(n);
        if (have == 16 && want == 16) {
            const uchar *h = reinterpret_cast<const uchar *>(buffer.data());
            want = 16 + qFromLittleEndian<quint32>(h + 5) + qFromLittleEndian<quint32>(h + 9);
            buffer.resize(want);
        }
    }
    return true;
}

bool readExactly(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The floor: accept, then one thread per connection reading whatever comes
// and writing it straight back.
class EchoServer
{
public:
    explicit EchoServer(const QString &path)
    {
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(path);
        if (::bind(m_listen, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0
            || ::listen(m_listen, 128) != 0)
            return;
        m_acceptor = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    return;
                std::thread([fd] {
                    char chunk[4096];
                    for (;;) {
                        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
                        if (n <= 0 || !sendAll(fd, chunk, size_t(n)))
                            break;
                    }
                    ::close(fd);
                }).detach();
            }
        });
    }
    ~EchoServer()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        if (m_acceptor.joinable())
            m_acceptor.join();
        ::close(m_listen);
    }

private:
    int m_listen = -1;
    std::thread m_acceptor;
};

struct Figures {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
    long failures = 0;
};

// Every client thread keeps one connection and sends the request, waits for
// the whole answer, and again, until the time is up.
Figures roundTrips(const QString &path, const QByteArray &request, bool echo, int connections, double seconds)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(connections));
    std::atomic<long> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    Clock::time_point end;
    for (int c = 0; c < connections; ++c) {
        clients.emplace_back([&, c] {
            const int fd = connectTo(path);
            if (fd < 0) {
                ++failures;
                return;
            }
            std::vector<char> reply;
            std::vector<double> &mine = latencies[size_t(c)];
            mine.reserve(200000);
            while (!go.load())
                std::this_thread::yield();
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                bool ok = sendAll(fd, request.constData(), size_t(request.size()));
                if (ok && echo) {
                    reply.resize(size_t(request.size()));
                    ok = readExactly(fd, reply.data(), reply.size());
                } else if (ok) {
                    ok = readFrame(fd, reply);
                }
                if (!ok) {
                    ++failures;
                    break;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            ::close(fd);
        });
    }
    QThread::msleep(100);   // every client connected and waiting
    const auto start = Clock::now();
    end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go = true;
    for (std::thread &t : clients)
        t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> all;
    for (const auto &l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    Figures f;
    f.failures = failures;
    if (all.empty())
        return f;
    std::sort(all.begin(), all.end());
    f.perSecond = double(all.size()) / wall;
    f.p50us = all[all.size() / 2];
    f.p99us = all[std::min(all.size() - 1, size_t(double(all.size()) * 0.99))];
    return f;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void printFigures(const char *what, int connections, const Figures &f)
{
    std::printf("%-34s %3d conn  %9.0f round trips/s  p50 %7.1f us  p99 %7.1f us%s\n", what, connections,
                f.perSecond, f.p50us, f.p99us, f.failures ? "  (FAILURES)" : "");
}

// The service binary on a scratch folder; false when it does not come up
// (not built yet, or it cannot serve).
bool startService(QProcess &service, const QTemporaryDir &dir, const QString &socket,
                  const QString &binary = QStringLiteral(K8_BINARY))
{
    QFile config(dir.filePath(QStringLiteral("config.json")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(QJsonDocument(QJsonObject{{QStringLiteral("lpcid"), socket},
                                           {QStringLiteral("threads"), 1},
                                           {QStringLiteral("userjobs"), 1000000},
                                           {QStringLiteral("userbytes"), 1 << 30},
                                           {QStringLiteral("database"), dir.filePath(QStringLiteral("queue.db"))}})
                     .toJson());
    config.close();
    QFile settings(dir.filePath(QStringLiteral("settings.json")));
    if (settings.open(QIODevice::WriteOnly))
        settings.write(R"({"size":{"width":200,"height":200}})");
    settings.close();
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.setStandardOutputFile(QProcess::nullDevice());
    service.start(binary, {QStringLiteral("--cfg"), config.fileName()});
    if (!service.waitForStarted(5000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000) {
        QJsonObject reply;
        if (BR2LocalServer::localRequest(socket, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("thumbgen_threads")}},
                                         &reply, 2)
            && reply.value(QStringLiteral("err")).toInt(-1) == 0)
            return true;
        if (service.state() != QProcess::Running)
            return false;
        QThread::msleep(50);
    }
    return false;
}

QByteArray datagramOf(const char *json)
{
    return BR2RpcPacket(QJsonDocument::fromJson(json).object()).toDatagram();
}

QJsonObject insertRequest(const QString &pub)
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("thumbgen_insert")},
                       {QStringLiteral("params"),
                        QJsonObject{{QStringLiteral("args"), QJsonArray{QStringLiteral("snapvault"), pub, pub + QStringLiteral("/thumbs")}}}}};
}

QByteArray insertOf(const QString &pub)
{
    return BR2RpcPacket(insertRequest(pub)).toDatagram();
}

// As the ordinary user: p50 of an insert and of a listing, one a line.
int clientMode(const QString &socket, const QString &pub, double seconds)
{
    const Figures jobs = roundTrips(socket, datagramOf(R"({"cmd":"thumbgen_jobs"})"), false, 1, seconds);
    const Figures inserts = roundTrips(socket, insertOf(pub), false, 1, seconds);
    std::printf("%.2f %.2f %ld\n", inserts.p50us, jobs.p50us, long(inserts.failures + jobs.failures));
    return 0;
}

struct ShareFigures
{
    double trustedInsert = 0, trustedJobs = 0, userInsert = 0, userJobs = 0;
};

// One service binary with 1,000 of the user's jobs queued behind a worker
// held by a long command: the four p50 figures in us, summed into f.
bool shareRound(const QString &binary, const QString &self, double seconds, ShareFigures &f)
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("s")), pub = dir.filePath(QStringLiteral("pub"));
    if (!dir.isValid() || ::chmod(QFile::encodeName(dir.path()).constData(), 0755) != 0 || !QDir().mkpath(pub)
        || ::chmod(QFile::encodeName(pub).constData(), 0777) != 0)
        return false;
    QProcess service;
    if (!startService(service, dir, socket, binary))
        return false;
    // The worker held, then the user's jobs queued behind it.
    QJsonObject reply;
    BR2LocalServer::localRequest(socket, QJsonDocument::fromJson(R"({"cmd":"thumbgen_insert","params":{"command":"sleep 600"}})").object(),
                                 &reply, 5);
    const QStringList asUser{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"), self,
                             QStringLiteral("--client"), socket, pub};
    QProcess fill;
    fill.start(QStringLiteral("setpriv"), asUser + QStringList{QStringLiteral("--fill")});
    fill.waitForFinished(60000);
    // Listings first, while the queue holds the same jobs for both builds;
    // every insert adds one.
    const Figures trustedJobs = roundTrips(socket, datagramOf(R"({"cmd":"thumbgen_jobs"})"), false, 1, seconds);
    QProcess user;
    user.start(QStringLiteral("setpriv"), asUser + QStringList{QString::number(seconds)});
    const bool ran = user.waitForFinished(int(seconds * 4000) + 10000) && user.exitCode() == 0;
    const QList<QByteArray> got = user.readAllStandardOutput().trimmed().split(' ');
    const Figures trustedInsert = roundTrips(socket, datagramOf(R"({"cmd":"thumbgen_insert","params":{"args":["none"],"command":""}})"),
                                             false, 1, seconds);
    service.terminate();
    service.waitForFinished(5000);
    if (!ran || got.size() < 3 || got.at(2).toLong() != 0 || trustedInsert.failures || trustedJobs.failures)
        return false;
    f.trustedInsert += trustedInsert.p50us;
    f.trustedJobs += trustedJobs.p50us;
    f.userInsert += got.at(0).toDouble();
    f.userJobs += got.at(1).toDouble();
    return true;
}

// The share and filter figures of two builds, in turns: inserts commit to
// the disk, so single figures swing widely; the mean of several rounds.
const int ROUNDS = 4;

void compareShares(const QString &before, const QString &self, double seconds)
{
    ShareFigures b, a;
    for (int round = 0; round < ROUNDS; ++round) {
        if (!shareRound(before, self, seconds, b) || !shareRound(QStringLiteral(K8_BINARY), self, seconds, a)) {
            std::printf("the share figures could not be measured (setpriv and uid 65534 are needed)\n");
            return;
        }
    }
    std::printf("\nInserts and listings, 1,000 of the user's jobs queued (p50, us; before = %s)\n", qPrintable(before));
    const auto row = [](const char *what, double x, double y) {
        std::printf("%-34s before %8.1f  after %8.1f  %+6.1f%%\n", what, x / ROUNDS, y / ROUNDS, x > 0 ? 100 * (y - x) / x : 0.0);
    };
    row("trusted thumbgen_insert", b.trustedInsert, a.trustedInsert);
    row("trusted thumbgen_jobs", b.trustedJobs, a.trustedJobs);
    row("ordinary user thumbgen_insert", b.userInsert, a.userInsert);
    row("ordinary user thumbgen_jobs", b.userJobs, a.userJobs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int client = args.indexOf(QStringLiteral("--client"));
    if (client > 0) {
        const QString socket = args.value(client + 1), pub = args.value(client + 2);
        if (args.contains(QStringLiteral("--fill"))) {
            // 1,000 of the user's jobs, queued behind the held worker.
            QJsonObject reply;
            const QJsonObject insert = insertRequest(pub);
            for (int i = 0; i < 1000; ++i)
                BR2LocalServer::localRequest(socket, insert, &reply, 5);
            return 0;
        }
        return clientMode(socket, pub, std::max(0.2, args.value(client + 3).toDouble()));
    }
    const double seconds = argc > 1 && args.at(1).at(0).isDigit() ? std::max(0.2, std::atof(argv[1])) : 2.0;
    const int before = args.indexOf(QStringLiteral("--before"));
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString rpcPath = dir.filePath(QStringLiteral("rpc"));
    const QString echoPath = dir.filePath(QStringLiteral("echo"));
    const QByteArray request =
        BR2RpcPacket(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("thumbgen_threads")}}).toDatagram();

    ServerHost host(rpcPath);
    if (!host.begin()) {
        std::fprintf(stderr, "cannot listen on %s\n", qPrintable(rpcPath));
        return 1;
    }
    EchoServer echo(echoPath);

    std::printf("request %d bytes, %.1f s per figure, %d cores\n", request.size(), seconds,
                QThread::idealThreadCount());
    for (int connections : {1, 32}) {
        const Figures floor = roundTrips(echoPath, request, true, connections, seconds);
        const Figures rpc = roundTrips(rpcPath, request, false, connections, seconds);
        printFigures("blocking echo (floor)", connections, floor);
        printFigures("server, thumbgen_threads", connections, rpc);
        std::printf("%-34s %3d conn  %.2f of the echo's rate\n", "", connections,
                    floor.perSecond > 0 ? rpc.perSecond / floor.perSecond : 0.0);
    }

    {
        QElapsedTimer clock;
        clock.start();
        int done = 0;
        const QJsonObject threads{{QStringLiteral("cmd"), QStringLiteral("thumbgen_threads")}};
        while (clock.elapsed() < qint64(seconds * 1000)) {
            QJsonObject reply;
            if (!BR2LocalServer::localRequest(rpcPath, threads, &reply, 5))
                break;
            ++done;
        }
        std::printf("%-34s           %9.0f calls/s (connect, request, reply, close)\n", "localRequest",
                    done / (double(clock.elapsed()) / 1000.0));
    }

    {
        std::vector<int> idle;
        for (int i = 0; i < 200; ++i) {
            const int fd = connectTo(rpcPath);
            std::vector<char> reply;
            if (fd < 0 || !sendAll(fd, request.constData(), size_t(request.size())) || !readFrame(fd, reply)) {
                std::fprintf(stderr, "idle connection %d failed\n", i);
                break;
            }
            idle.push_back(fd);
        }
        QThread::msleep(200);
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        QThread::msleep(unsigned(std::max(1000.0, seconds * 1000)));
        const double cpu = cpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("%-34s %3zu conn  %.3f %% of one core (whole process)\n", "idle connections", idle.size(),
                    100.0 * cpu / wall);
        for (int fd : idle)
            ::close(fd);
    }

    QTemporaryDir serviceDir;
    QProcess service;
    const QString servicePath = serviceDir.filePath(QStringLiteral("s"));
    if (serviceDir.isValid() && startService(service, serviceDir, servicePath)) {
        const Figures threads = roundTrips(servicePath, request, false, 1, seconds);
        printFigures("k8thumbgen, thumbgen_threads", 1, threads);
        const Figures threads32 = roundTrips(servicePath, request, false, 32, seconds);
        printFigures("k8thumbgen, thumbgen_threads", 32, threads32);
        // A job the runner finds nothing to do for: no layout, no command.
        const QByteArray insert = BR2RpcPacket(QJsonDocument::fromJson(
            R"({"cmd":"thumbgen_insert","params":{"args":["none"],"command":""}})").object()).toDatagram();
        const Figures inserts = roundTrips(servicePath, insert, false, 1, seconds);
        printFigures("k8thumbgen, thumbgen_insert", 1, inserts);
        service.terminate();
        service.waitForFinished(5000);

        // thumbgen_status beside thumbgen_threads with 100,000 jobs queued:
        // the one worker is held by a long command, the rest wait.
        QProcess sql;
        sql.start(QStringLiteral("sqlite3"), {serviceDir.filePath(QStringLiteral("queue.db"))});
        sql.write("DELETE FROM t_queue;"
                  "INSERT INTO t_queue(quu_item) VALUES('{\"args\":[],\"command\":\"sleep 600\"}');"
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 99999)"
                  " INSERT INTO t_queue(quu_item) SELECT '{\"args\":[\"none\"],\"command\":\"\"}' FROM n;");
        sql.closeWriteChannel();
        if (sql.waitForFinished(60000) && sql.exitCode() == 0 && startService(service, serviceDir, servicePath)) {
            const QByteArray status =
                BR2RpcPacket(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("thumbgen_status")}}).toDatagram();
            const Figures cheap = roundTrips(servicePath, request, false, 1, seconds);
            const Figures full = roundTrips(servicePath, status, false, 1, seconds);
            printFigures("100,000 queued, thumbgen_threads", 1, cheap);
            printFigures("100,000 queued, thumbgen_status", 1, full);
            std::printf("%-34s           status costs %.2fx threads (p50)\n", "", cheap.p50us > 0 ? full.p50us / cheap.p50us : 0.0);
            service.terminate();
            service.waitForFinished(5000);
        } else {
            std::printf("could not queue 100,000 jobs with sqlite3: status figures skipped\n");
        }
    } else {
        std::printf("k8thumbgen did not come up at %s: service figures skipped\n", K8_BINARY);
        service.kill();
        service.waitForFinished(2000);
    }
    if (before > 0)
        compareShares(args.value(before + 1), QCoreApplication::applicationFilePath(), seconds);
    return 0;
}

#include "bench_rpc.moc"
