#include "servicefixture.h"
#include "../testthreads.h"

#include <QRandomGenerator>

#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>

// The real binary killed, loaded and stopped under load: nothing queued is
// lost, nothing is left half-written. Slow: label "slow".
class TestServiceFaults : public QObject
{
    Q_OBJECT
    // The first column of every row a query gives, joined.
    static QByteArray query(const QString &db, const char *sql)
    {
        sqlite3 *h = nullptr;
        QByteArray result;
        if (sqlite3_open_v2(QFile::encodeName(db).constData(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
            sqlite3_exec(h, sql, [](void *out, int, char **v, char **) {
                *static_cast<QByteArray *>(out) += v[0];
                return 0;
            }, &result, nullptr);
        sqlite3_close(h);
        return result;
    }
    // Processes with this word among their arguments (after the program).
    static int running(const QByteArray &word)
    {
        int n = 0;
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
            n += readFile("/proc/" + pid + "/cmdline").contains('\0' + word + '\0');
        return n;
    }

private slots:
    void initTestCase() { Q_INIT_RESOURCE(k8thumbgen); }

    // Layout and command jobs, the service killed 20 times at random: every
    // job ran to its end, every picture has a whole thumbnail (or is
    // quarantined), the database is sound, no temporary file is left.
    void killedAtRandom()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("threads"), 2);
        QStringList jobs;
        for (int i = 0; i < 100; ++i) {
            if (i % 5 == 0)
                jobs << compactItem({"pellowcloud", s.pictures(QString("src%1").arg(i), 4), s.path("cloud")}, QString());
            jobs << compactItem({QString::number(i), s.path("ran")}, "sh -c \"echo $0 >> $1\" ${PARAM1} ${PARAM2}");
        }
        QVERIFY(s.prefill(jobs));
        QRandomGenerator random(20261208);
        for (int kill = 0; kill < 20; ++kill) {
            QVERIFY(s.start());
            QTest::qWait(100 + int(random.bounded(400)));      // the random moment is the test's input
            s.stop(SIGKILL);
        }
        QVERIFY(s.listen());
        QVERIFY(s.drained(60000));
        QCOMPARE(s.stop(SIGTERM), 0);

        QSet<QByteArray> ran;
        const QList<QByteArray> lines = readFile(s.path("ran")).split('\n');
        for (const QByteArray &line : lines)
            if (!line.isEmpty())
                ran.insert(line);
        QCOMPARE(ran.size(), 100);
        qInfo("%d command runs for 100 jobs (a kill cut the others)", int(lines.size() - 1));
        const int quarantined = readFile(s.dbPath() + ".quarantine").count("\"quarantined\"");
        const QStringList thumbs = QDir(s.path("cloud")).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(thumbs.size() + quarantined, 80);
        for (const QString &t : thumbs)
            QVERIFY2(!QImage(s.path("cloud/" + t)).isNull(), qPrintable(t));
        QCOMPARE(query(s.dbPath(), "PRAGMA integrity_check"), QByteArray("ok"));
    }

    // 32 clients insert 100 jobs each at once beside 200 idle connections:
    // every insert answered 0, every job done, 3,200 distinct numbers.
    void manyClientsAtOnce()
    {
        ServiceFixture s;
        QVERIFY(s.listen());
        std::vector<int> idle;
        for (int i = 0; i < 200; ++i) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            qstrncpy(addr.sun_path, QFile::encodeName(s.socketPath()).constData(), sizeof addr.sun_path);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            QVERIFY(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
            idle.push_back(fd);
        }
        QAtomicInt refused;
        QVERIFY(runThreads(32, [&](int) {
            for (int i = 0; i < 100; ++i)
                if (s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"none"}}})).value(QStringLiteral("err")).toInt(-1) != 0)
                    refused.ref();
        }));
        QCOMPARE(refused.loadRelaxed(), 0);
        QVERIFY(s.drained(60000));
        for (int fd : idle)
            ::close(fd);
        QCOMPARE(s.stop(SIGTERM), 0);
        QCOMPARE(query(s.dbPath(), "SELECT seq FROM sqlite_sequence WHERE name = 't_queue'"), QByteArray("3200"));
    }

    // SIGTERM, ten times, while a walk and a command run: the process ends
    // within 2 s with 0, its children with it, and no job is lost.
    void terminatedUnderLoad()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("threads"), 2);
        const QByteArray sleeper = "29.25";
        QVERIFY(s.prefill({compactItem({}, "sleep " + sleeper),
                           compactItem({"pellowcloud", s.pictures("src", 200), s.path("cloud")}, QString())}));
        for (int round = 0; round < 10; ++round) {
            QVERIFY(s.listen());
            QVERIFY(QTest::qWaitFor([&] { return running(sleeper) == 1; }, 10000));
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(s.stop(SIGTERM, 5000), 0);
            QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(running(sleeper), 0);
            QVERIFY(s.rows().size() >= 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceFaults)
#include "tst_servicefaults.moc"
