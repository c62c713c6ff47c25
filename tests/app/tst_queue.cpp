#include "servicefixture.h"

#include <QBuffer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>

#include <sqlite3.h>
#include <sys/stat.h>

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

QTEST_GUILESS_MAIN(TestQueue)
#include "tst_queue.moc"
