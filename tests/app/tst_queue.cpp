#include "br2localserver.h"
#include "servicefixture.h"

#include <QBuffer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

// The queue as the running service sees it: reload at start, order, the
// stored thread count, foreign databases, and what a quit or a kill leaves.
class TestQueue : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reloadedJobsRunInOrder_data();
    void reloadedJobsRunInOrder();
    void storedThreadCountWins();
    void foreignDatabaseLeftUnchanged_data();
    void foreignDatabaseLeftUnchanged();
    void quitKeepsJobCutOff_data();
    void quitKeepsJobCutOff();
    void killedWalkIsRedone();
    void startTouchesNothing_data();
    void startTouchesNothing();
    void databaseReplacedWhileRunning_data();
    void databaseReplacedWhileRunning();
    void childrenEndWithTheJob_data();
    void childrenEndWithTheJob();
    void missingSourceSaid();
    void strangerJobHasStrangerRights_data();
    void strangerJobHasStrangerRights();
};

void TestQueue::initTestCase()
{
    Q_INIT_RESOURCE(k8thumbgen);
}

void TestQueue::reloadedJobsRunInOrder_data()
{
    QTest::addColumn<int>("poporder");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("oldest first") << 1 << QByteArray("A\nB\nC\n");
    QTest::newRow("newest first") << 2 << QByteArray("C\nB\nA\n");
}

void TestQueue::reloadedJobsRunInOrder()
{
    QFETCH(int, poporder);
    QFETCH(QByteArray, expected);
    ServiceFixture s;
    const QString out = s.path(QStringLiteral("out.txt"));
    QStringList items;
    for (const char *name : {"A", "B", "C"})
        items << compactItem({QString::fromLatin1(name), out}, QStringLiteral("sh -c \"echo ${PARAM1} >> ${PARAM2}\""));
    QVERIFY(s.prefill(items));
    s.config().insert(QStringLiteral("poporder"), poporder);
    QVERIFY(s.start());
    QVERIFY(QTest::qWaitFor([&] { return s.rows().isEmpty(); }, 10000));
    QCOMPARE(readFile(out), expected);
    QCOMPARE(s.stop(SIGTERM), 0);
}

void TestQueue::storedThreadCountWins()
{
    // Each job marks itself running and holds on until released, so the
    // number running at once is the number of workers.
    ServiceFixture s;
    const QString running = s.path(QStringLiteral("running"));
    const QString release = s.path(QStringLiteral("release"));
    QDir().mkpath(running);
    QStringList items;
    for (int i = 0; i < 8; ++i)
        items << compactItem({QString::number(i), running, release},
                             QStringLiteral("sh -c \"touch ${PARAM2}/${PARAM1}; "
                                            "while [ ! -e ${PARAM3} ]; do sleep 0.02; done\""));
    QVERIFY(s.prefill(items, 4));
    s.config().insert(QStringLiteral("threads"), 2);
    QVERIFY(s.start());
    const auto marks = [&] { return int(QDir(running).entryList(QDir::Files).size()); };
    QVERIFY(QTest::qWaitFor([&] { return marks() >= 4; }, 15000));
    QVERIFY(!QTest::qWaitFor([&] { return marks() > 4; }, 300));
    QVERIFY(writeFile(release, QByteArray()));
    QVERIFY(QTest::qWaitFor([&] { return s.rows().isEmpty(); }, 15000));
    QCOMPARE(marks(), 8);
    QCOMPARE(s.stop(SIGTERM), 0);
}

void TestQueue::foreignDatabaseLeftUnchanged_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("foreign sqlite") << QStringLiteral("foreign");
    QTest::newRow("queue version 2") << QStringLiteral("version2");
    QTest::newRow("zero length") << QStringLiteral("empty");
}

void TestQueue::foreignDatabaseLeftUnchanged()
{
    QFETCH(QString, kind);
    ServiceFixture s;
    if (kind == QLatin1String("empty")) {
        QVERIFY(writeFile(s.dbPath(), QByteArray()));
    } else if (kind == QLatin1String("version2")) {
        QVERIFY(s.prefill({compactItem({}, QString())}));
        BR2DBSqlite db;
        QVERIFY(db.openOnly(s.dbPath()));
        int changes = 0;
        int lastId = 0;
        QVERIFY(db.exec(changes, lastId,
                        QStringLiteral("UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';"),
                        QJsonObject(), QJsonObject()));
        db.close();
    } else {
        // Another program's database, made with the library directly.
        QDir().mkpath(QFileInfo(s.dbPath()).absolutePath());
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(s.dbPath()).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "CREATE TABLE photos (id INTEGER, name TEXT); INSERT INTO photos VALUES (1, 'a');",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);
    }
    const QByteArray before = readFile(s.dbPath());
    QVERIFY(s.start());
    QCOMPARE(s.waitExit(), 1);
    QVERIFY2(s.output().contains("系统配置文装载失败: "), s.output());
    QCOMPARE(readFile(s.dbPath()), before);
    for (const char *side : {"-wal", "-shm", "-journal"})
        QVERIFY2(!QFileInfo::exists(s.dbPath() + QLatin1String(side)), side);
}

void TestQueue::quitKeepsJobCutOff_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("signal");
    QTest::newRow("long command, SIGTERM") << QStringLiteral("command") << int(SIGTERM);
    QTest::newRow("long command, SIGINT") << QStringLiteral("command") << int(SIGINT);
    QTest::newRow("walk of thousands of files") << QStringLiteral("walk") << int(SIGTERM);
}

void TestQueue::quitKeepsJobCutOff()
{
    QFETCH(QString, kind);
    QFETCH(int, signal);
    ServiceFixture s;
    const QString started = s.path(QStringLiteral("started"));
    QString item;
    if (kind == QLatin1String("command")) {
        item = compactItem({started}, QStringLiteral("sh -c \"touch ${PARAM1}; exec sleep 60\""));
    } else {
        // Every listed file costs a pause, so this walk would take minutes.
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage(1, 1, QImage::Format_RGB32).save(&buffer, "PNG");
        const QString src = s.path(QStringLiteral("src"));
        for (int i = 0; i < 3000; ++i)
            QVERIFY(writeFile(src + QStringLiteral("/f%1.png").arg(i), png));
        item = compactItem({QStringLiteral("pellowcloud"), src, s.path(QStringLiteral("thumbs"))}, QString());
    }
    QVERIFY(s.prefill({item}));
    QVERIFY(s.start());
    QVERIFY(s.waitListening());
    if (kind == QLatin1String("command"))
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(started); }, 10000));
    else   // the walk is under way once its first thumbnail is written
        QVERIFY(QTest::qWaitFor([&] { return !QDir(s.path(QStringLiteral("thumbs"))).isEmpty(QDir::Files); }, 10000));

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(s.stop(signal, 2000), 0);
    QVERIFY2(timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));
    QVERIFY(s.output().contains("Wait for quit ...\n"));
    QVERIFY(!QFileInfo::exists(s.socketPath()));
    QCOMPARE(s.rows().size(), 1);
}

void TestQueue::killedWalkIsRedone()
{
    ServiceFixture s;
    const QString src = s.path(QStringLiteral("src"));
    const QString thumbs = s.path(QStringLiteral("thumbs"));
    QDir().mkpath(src);
    QImage image(64, 48, QImage::Format_RGB32);
    for (int i = 0; i < 40; ++i) {
        image.fill(QColor::fromHsv(i * 9, 200, 200));
        QVERIFY(image.save(src + QStringLiteral("/p%1.png").arg(i, 2, 10, QLatin1Char('0'))));
    }
    QVERIFY(s.prefill({compactItem({QStringLiteral("pellowcloud"), src, thumbs}, QString())}));
    const int quuno = s.rows().value(0).value(QStringLiteral("quuno")).toInt();
    QVERIFY(s.start());
    QVERIFY(QTest::qWaitFor([&] { return QDir(thumbs).entryList(QDir::Files).size() >= 5; }, 15000));
    QCOMPARE(s.stop(SIGKILL), 128 + SIGKILL);

    QHash<QString, qint64> before;
    const QStringList done = QDir(thumbs).entryList(QDir::Files);
    QVERIFY(done.size() < 40);
    for (const QString &name : done) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(thumbs + QLatin1Char('/') + name).constData(), &st), 0);
        before.insert(name, qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    }
    const QList<QJsonObject> left = s.rows();
    QCOMPARE(left.size(), 1);
    QCOMPARE(left.first().value(QStringLiteral("quuno")).toInt(), quuno);

    QVERIFY(s.start());
    QVERIFY(QTest::qWaitFor([&] { return s.rows().isEmpty(); }, 20000));
    QCOMPARE(QDir(thumbs).entryList(QDir::Files).size(), 40);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(thumbs + QLatin1Char('/') + it.key()).constData(), &st), 0);
        QCOMPARE(qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, it.value());
    }
    QCOMPARE(s.stop(SIGTERM), 0);
}

namespace {

QJsonObject call(const ServiceFixture &s, const QJsonObject &request)
{
    QJsonObject reply;
    BR2LocalServer::localRequest(s.socketPath(), request, &reply, 5);
    return reply;
}

QJsonObject insertCommand(const QString &line)
{
    return QJsonObject{{"cmd", "thumbgen_insert"}, {"params", QJsonObject{{"args", QJsonArray()}, {"command", line}}}};
}

}   // namespace

// Nothing at the socket's path but a dead socket is replaced, one database
// has one service, and a refused start runs no job and writes nothing.
void TestQueue::startTouchesNothing_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"regular file", "the database", "folder", "link", "same database, other socket",
                             "same database through a link",
                             "socket of another service", "read-only database"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void TestQueue::startTouchesNothing()
{
    QFETCH(QString, kind);
    ServiceFixture first;
    ServiceFixture s;
    const QString ran = s.path(QStringLiteral("ran"));
    QVERIFY(s.prefill({compactItem({ran}, QStringLiteral("touch ${PARAM1}"))}));
    QString at = s.path(QStringLiteral("taken"));
    if (kind == QLatin1String("regular file")) {
        QVERIFY(writeFile(at, "precious"));
    } else if (kind == QLatin1String("the database")) {
        at = s.dbPath();
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(at));
    } else if (kind == QLatin1String("link")) {
        QVERIFY(QFile::link(s.path(QStringLiteral("nowhere")), at));
    } else if (kind == QLatin1String("read-only database")) {
        at = s.socketPath();
        if (::geteuid() == 0) {
            QCOMPARE(QProcess::execute(QStringLiteral("mount"), {"--bind", s.path("db"), s.path("db")}), 0);
            QCOMPARE(QProcess::execute(QStringLiteral("mount"), {"-o", "remount,ro,bind", s.path("db")}), 0);
        } else {
            QVERIFY(QFile::setPermissions(s.dbPath(), QFileDevice::ReadOwner));
        }
    } else {
        // A running service: on the same database, or on the socket.
        first.config().insert(QStringLiteral("database"), kind.startsWith("same") ? s.dbPath() : first.dbPath());
        if (kind.endsWith("link")) {
            QVERIFY(QFile::link(s.dbPath(), s.path(QStringLiteral("link.db"))));
            s.config().insert(QStringLiteral("database"), s.path(QStringLiteral("link.db")));
        }
        first.config().insert(QStringLiteral("threads"), 0);
        QVERIFY(first.start());
        QVERIFY2(first.waitListening(), first.output());
        at = kind.startsWith("same") ? s.socketPath() : first.socketPath();
        QFile::remove(ran);   // the first service ran the shared job
    }
    s.config().insert(QStringLiteral("lpcid"), at);
    const QByteArray before = readFile(at);
    QVERIFY(s.start());
    const int status = s.waitExit();
    if (kind == QLatin1String("read-only database") && ::geteuid() == 0)
        QProcess::execute(QStringLiteral("umount"), {s.path("db")});
    QCOMPARE(status, 1);
    const bool aboutDatabase = kind == QLatin1String("read-only database") || kind.startsWith("same");
    QVERIFY2(s.output().count('\n') == (kind.startsWith("read") ? 2 : 1) && !s.output().contains("lpcID: ")
                 && s.output().contains(QFile::encodeName(aboutDatabase ? s.config().value("database").toString() : at)),
             s.output());
    QCOMPARE(readFile(at), before);
    QVERIFY(QFileInfo(at).isSymLink() == (kind == QLatin1String("link")));
    QVERIFY(!QFileInfo::exists(ran));
}

// Jobs acknowledged after the database was deleted are found at the next
// start, under numbers never handed out before; a foreign file there gets
// 9999 and stays as it is.
void TestQueue::databaseReplacedWhileRunning_data()
{
    QTest::addColumn<bool>("foreign");
    QTest::newRow("deleted") << false;
    QTest::newRow("replaced by a foreign file") << true;
}

void TestQueue::databaseReplacedWhileRunning()
{
    QFETCH(bool, foreign);
    ServiceFixture s;
    const QString started = s.path(QStringLiteral("started"));
    QVERIFY(s.prefill({compactItem({}, QStringLiteral("true")),
                       compactItem({started}, QStringLiteral("sh -c \"touch ${PARAM1}; exec sleep 30\""))}, 3));
    QVERIFY(s.start());
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(started) && s.rows().size() == 1; }, 10000));
    QVERIFY(QDir(s.path(QStringLiteral("db"))).removeRecursively());   // the lock file too
    QVERIFY(QDir().mkpath(s.path(QStringLiteral("db"))));
    if (foreign)
        QVERIFY(writeFile(s.dbPath(), "not a database"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(call(s, insertCommand(QStringLiteral("sleep 1"))).value("err").toInt(-1), foreign ? 9999 : 0);
    ServiceFixture second;   // the lock was taken again with the new database
    second.config() = s.config();
    second.config().insert(QStringLiteral("lpcid"), second.socketPath());
    QVERIFY(second.start());
    QCOMPARE(second.waitExit(), 1);
    QCOMPARE(s.stop(SIGKILL), 128 + SIGKILL);
    if (foreign) {
        QCOMPARE(readFile(s.dbPath()), QByteArray("not a database"));
        QVERIFY2(s.output().contains("is not a queue database"), s.output());
        return;
    }
    const QList<QJsonObject> rows = s.rows();
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows.at(0).value("quuno").toInt(), 2);   // the running job, under its own number
    for (int i = 1; i < 4; ++i)
        QCOMPARE(rows.at(i).value("quuno").toInt(), 2 + i);
    QCOMPARE(s.rows(QStringLiteral("syscfg_dbversion")).size(), 1);
}

// A stop of the whole session, as a terminal or the service manager sends
// it, keeps the job; the service's own stop leaves nothing of it running;
// a command that reads its input ends.
void TestQueue::childrenEndWithTheJob_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<int>("rowsLeft");
    QTest::newRow("SIGTERM to the whole session") << "sh -c \"touch ${PARAM1}; sleep 29.7\"" << "session" << 1;
    QTest::newRow("SIGTERM to the service, background child")
        << "sh -c \"sleep 29.8 & touch ${PARAM1}; wait\"" << "service" << 1;
    QTest::newRow("command reading its input") << "sh -c \"touch ${PARAM1}; cat\"" << "none" << 0;
}

void TestQueue::childrenEndWithTheJob()
{
    QFETCH(QString, command);
    QFETCH(QString, stop);
    QFETCH(int, rowsLeft);
    ServiceFixture s;
    const QString started = s.path(QStringLiteral("started"));
    QVERIFY(s.prefill({compactItem({started}, command)}));
    QVERIFY(s.start({}, {QStringLiteral("setsid")}));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(started); }, 10000));
    const qint64 sid = s.process().processId();
    auto members = [sid] {
        QList<pid_t> out;
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QList<QByteArray> stat = readFile("/proc/" + pid + "/stat").split(')').value(1).split(' ');
            if (stat.size() > 6 && stat.at(4).toLongLong() == sid)
                out << pid_t(pid.toInt());
        }
        return out;
    };
    if (stop == QLatin1String("session")) {
        for (pid_t pid : members())
            ::kill(pid, SIGTERM);
    } else if (stop == QLatin1String("service")) {
        ::kill(pid_t(sid), SIGTERM);
    } else {
        QVERIFY(QTest::qWaitFor([&] { return s.rows().isEmpty(); }, 10000));
        ::kill(pid_t(sid), SIGTERM);
    }
    QCOMPARE(s.waitExit(3000), 0);
    QCOMPARE(s.rows().size(), rowsLeft);
    QTRY_VERIFY_WITH_TIMEOUT(members().isEmpty(), 2000);
}

// A volume not mounted yet: the job is done, and the console says so.
void TestQueue::missingSourceSaid()
{
    ServiceFixture s;
    const QString missing = s.path(QStringLiteral("not-mounted"));
    QVERIFY(s.prefill({compactItem({QStringLiteral("snapvault"), missing, s.path(QStringLiteral("t"))}, QString())}));
    QVERIFY(s.start());
    QVERIFY(QTest::qWaitFor([&] { return s.rows().isEmpty(); }, 10000));
    QVERIFY(QTest::qWaitFor([&] { return s.output().contains("snapvault job over a missing source: " + missing.toUtf8()); }, 5000));
}

// A stranger's stored job reads, writes and runs ffmpeg as the stranger.
void TestQueue::strangerJobHasStrangerRights_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to an unreadable picture") << QStringLiteral("link");
    QTest::newRow("thumbnail folder swapped for a link") << QStringLiteral("swapped");
    QTest::newRow("video thumbnail owned by the stranger") << QStringLiteral("video");
}

void TestQueue::strangerJobHasStrangerRights()
{
    QFETCH(QString, kind);
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    ServiceFixture s;
    const QString pub = s.path(QStringLiteral("pub")), priv = s.path(QStringLiteral("priv"));
    QVERIFY(QDir().mkpath(pub + "/thumbs") && QDir().mkpath(priv));
    for (const QString &dir : {s.path(QString()), pub, pub + "/thumbs"})
        QVERIFY(::chown(QFile::encodeName(dir).constData(), dir == s.path(QString()) ? 0 : 65534, 65534) == 0
                && ::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
    ::chmod(QFile::encodeName(priv).constData(), 0755);
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::red);
    QString thumbs = pub + "/thumbs";
    if (kind == QLatin1String("link")) {
        QVERIFY(image.save(priv + "/secret.png"));
        ::chmod(QFile::encodeName(priv + "/secret.png").constData(), 0600);
        QVERIFY(QFile::link(priv + "/secret.png", pub + "/secret.png"));
    } else if (kind == QLatin1String("swapped")) {
        QVERIFY(image.save(pub + "/photo.png"));
        thumbs = pub + "/swapped";
        QVERIFY(QFile::link(priv, thumbs));
    } else {
        QCOMPARE(QProcess::execute("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=5", "-t", "1",
                                              "-pix_fmt", "yuv420p", pub + "/clip.mp4"}), 0);
    }
    QJsonObject item{{"args", QJsonArray{"pellowcloud", pub, thumbs}}, {"command", ""},
                     {"peer", QJsonObject{{"uid", 65534}, {"gid", 65534}, {"groups", QJsonArray()}}}};
    QVERIFY(s.prefill({QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact))}));
    QVERIFY(s.start());
    QVERIFY(QTest::qWaitFor([&] { return s.rows().isEmpty(); }, 20000));
    const QFileInfoList made = QDir(thumbs).entryInfoList(QDir::Files | QDir::Hidden);
    if (kind == QLatin1String("video")) {
        QCOMPARE(made.size(), 1);
        QCOMPARE(made.first().ownerId(), 65534u);
    } else {
        QVERIFY2(made.isEmpty() && QDir(priv).entryList(QDir::Files).size() == (kind == "link" ? 1 : 0),
                 qPrintable(made.value(0).fileName()));
    }
}

QTEST_GUILESS_MAIN(TestQueue)
#include "tst_queue.moc"
