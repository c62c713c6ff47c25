#include "appdata.h"
#include "br2dbsqlite.h"
#include "br2utils.h"
#include "commandjob.h"
#include "mzthumbgen.h"
#include "stopflag.h"
#include "../testthreads.h"

#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

// The queue, the pool and the job runner in one process, on a real
// database in a temporary folder.
class TestQueueCore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void placeholders_data();
    void placeholders();
    void layoutJobSizes_data();
    void layoutJobSizes();
    void setThreadsClamps_data();
    void setThreadsClamps();
    void pushPopCompleted();
    void noJobWaitsForAPush();
    void threadChangesAreSerialised();

private:
    QList<QJsonObject> rows(const QString &statement, const QJsonObject &values = QJsonObject());
    QTemporaryDir m_dir;
};

void TestQueueCore::initTestCase()
{
    Q_INIT_RESOURCE(k8thumbgen);
    QVERIFY(m_dir.isValid());
    const QJsonObject config{{QStringLiteral("lpcid"), m_dir.filePath(QStringLiteral("s"))},
                             {QStringLiteral("database"), m_dir.filePath(QStringLiteral("queue.db"))},
                             {QStringLiteral("threads"), 2}};
    QFile f(m_dir.filePath(QStringLiteral("config.json")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(config).toJson());
    f.close();
    QVERIFY(AppData::create()->initialize(f.fileName()));
    QCOMPARE(IAppData()->threads(), 2);
}

QList<QJsonObject> TestQueueCore::rows(const QString &statement, const QJsonObject &values)
{
    BR2DBSqlite db;
    QList<QJsonObject> out;
    if (db.openOnly(m_dir.filePath(QStringLiteral("queue.db")))
        && db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql")))
        db.call(out, statement, values);
    return out;
}

void TestQueueCore::placeholders_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("expected");
    QTest::newRow("two of three") << QStringLiteral("cp ${PARAM1} ${PARAM2} ${PARAM3}") << QStringList{"a", "b"} << true
                                  << QStringLiteral("cp a b ${PARAM3}");
    QTest::newRow("every occurrence") << QStringLiteral("${PARAM1}-${PARAM1}") << QStringList{"x"} << true
                                      << QStringLiteral("x-x");
    QStringList ten;
    for (int i = 1; i <= 10; ++i)
        ten << QStringLiteral("v%1").arg(i);
    QTest::newRow("1 and 10 apart") << QStringLiteral("${PARAM1} ${PARAM10}") << ten << true
                                    << QStringLiteral("v1 v10");
    QTest::newRow("brought in earlier") << QStringLiteral("${PARAM1}") << QStringList{"${PARAM2}", "late"} << true
                                        << QStringLiteral("late");
    QTest::newRow("case sensitive") << QStringLiteral("${param1}") << QStringList{"a"} << true
                                    << QStringLiteral("${param1}");
    // Each argument repeats the next placeholder twice: the text doubles
    // with every pass and would exhaust memory long before the last one.
    QStringList bomb;
    for (int i = 2; i <= 40; ++i)
        bomb << QStringLiteral("${PARAM%1}${PARAM%1}").arg(i);
    bomb << QStringLiteral("x");
    QTest::newRow("doubling bomb") << QStringLiteral("echo ${PARAM1}") << bomb << false << QString();
}

void TestQueueCore::placeholders()
{
    QFETCH(QString, command);
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QString expanded;
    QCOMPARE(expandCommand(command, args, expanded), ok);
    if (ok)
        QTEST(expanded, "expected");
}

void TestQueueCore::layoutJobSizes_data()
{
    QTest::addColumn<QJsonArray>("extra");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("3 arguments") << QJsonArray() << QSize(200, 150);
    QTest::newRow("160 120") << QJsonArray{QStringLiteral("160"), QStringLiteral("120")} << QSize(160, 120);
    QTest::newRow("numbers") << QJsonArray{160, 120} << QSize(160, 120);
    QTest::newRow("160 0") << QJsonArray{QStringLiteral("160"), QStringLiteral("0")} << QSize(200, 150);
    QTest::newRow("not a number") << QJsonArray{QStringLiteral("x"), QStringLiteral("120")} << QSize(200, 150);
    QTest::newRow("160.5") << QJsonArray{160.5, 120} << QSize(200, 150);
    QTest::newRow("only width") << QJsonArray{QStringLiteral("160")} << QSize(200, 150);
}

void TestQueueCore::layoutJobSizes()
{
    QFETCH(QJsonArray, extra);
    QFETCH(QSize, expected);
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("src"));
    const QString thumbs = dir.filePath(QStringLiteral("thumbs"));
    QDir().mkpath(src);
    QImage image(400, 300, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QVERIFY(image.save(src + QStringLiteral("/a.png")));
    QJsonArray args{QStringLiteral("pellowcloud"), src, thumbs};
    for (const QJsonValue &v : extra)
        args.append(v);
    QVERIFY(MZThumbgen::runJob(QJsonObject{{QStringLiteral("args"), args}}, 200, 200));
    const QString thumb = thumbs + QLatin1Char('/') + QString::fromLatin1(md5hex(QFileInfo(src + "/a.png").absoluteFilePath())) + ".jpg";
    QCOMPARE(QImageReader(thumb).size(), expected);
}

void TestQueueCore::setThreadsClamps_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("expected");
    const int most = qMax(1, 2 * QThread::idealThreadCount());
    QTest::newRow("0") << 0 << 1;
    QTest::newRow("-4") << -4 << 1;
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("1000") << 1000 << most;
    QTest::newRow("INT_MAX") << 2147483647 << most;
}

void TestQueueCore::setThreadsClamps()
{
    QFETCH(int, count);
    QFETCH(int, expected);
    IAppData()->setThreads(count);
    QCOMPARE(IAppData()->threads(), expected);
    QCOMPARE(IAppData()->poolMaxThreads(), expected);
    IAppData()->setThreads(2);
}

void TestQueueCore::pushPopCompleted()
{
    // With the stop request set no runnable takes jobs, so what was pushed
    // can be popped here.
    requestStop();
    QVERIFY(QTest::qWaitFor([] { return MZThumbgen::amount() == 0; }, 10000));
    BR2Journals journal;
    QVERIFY(IAppData()->push(journal, {}, QString()));
    QCOMPARE(journal.err(), 9999);   // push writes nothing into the journal
    QVERIFY(IAppData()->push(journal, {QStringLiteral("B")}, QString()));
    QVERIFY(IAppData()->push(journal, {QStringLiteral("C")}, QStringLiteral("true")));
    const QList<QJsonObject> stored = rows(QStringLiteral("queue_alload"));
    QCOMPARE(stored.size(), 3);
    QCOMPARE(stored[0].value(QStringLiteral("item")).toString(), QStringLiteral("{\"args\":[],\"command\":\"\"}"));
    QCOMPARE(stored[2].value(QStringLiteral("item")).toString(), QStringLiteral("{\"args\":[\"C\"],\"command\":\"true\"}"));

    QJsonObject item;
    for (const QJsonObject &row : stored) {
        QVERIFY(IAppData()->pop(item));
        QCOMPARE(item.value(QStringLiteral("quuno")).toInt(), row.value(QStringLiteral("quuno")).toInt());
        QVERIFY(IAppData()->completed(item.value(QStringLiteral("quuno")).toInt()));
    }
    item = QJsonObject{{QStringLiteral("kept"), true}};
    QVERIFY(!IAppData()->pop(item));
    QCOMPARE(item, (QJsonObject{{QStringLiteral("kept"), true}}));
    QVERIFY(rows(QStringLiteral("queue_alload")).isEmpty());
    QVERIFY(IAppData()->completed(987654));
    clearStop();
}

void TestQueueCore::noJobWaitsForAPush()
{
    // Eight clients push while the count moves between 1 and 4: every job
    // must be taken without waiting for a later push.
    std::atomic<bool> pushing{true};
    QThread *changer = QThread::create([&] {
        while (pushing.load()) {
            IAppData()->setThreads(1 + int(QRandomGenerator::global()->bounded(4)));
            QThread::usleep(200);
        }
    });
    changer->start();
    QList<QThread *> clients;
    std::atomic<int> failed{0};
    for (int t = 0; t < 8; ++t) {
        clients << QThread::create([&] {
            BR2Journals journal;
            for (int i = 0; i < 625; ++i) {
                if (!IAppData()->push(journal, {}, QString()))
                    ++failed;
            }
        });
        clients.last()->start();
    }
    // Join everything before any check can return: the threads use locals.
    bool joined = true;
    for (QThread *c : qAsConst(clients))
        joined = c->wait(120000) && joined;
    pushing = false;
    joined = changer->wait(10000) && joined;
    qDeleteAll(clients);
    delete changer;
    QVERIFY(joined);
    QCOMPARE(failed.load(), 0);
    QVERIFY(QTest::qWaitFor([&] { return !IAppData()->hasQueued(); }, 60000));
    QVERIFY(QTest::qWaitFor([&] { return rows(QStringLiteral("queue_alload")).isEmpty(); }, 30000));

    // Once the count has settled, no more runnables than the count take
    // jobs: each job marks itself running with a file while it runs.
    IAppData()->setThreads(2);
    QVERIFY(QTest::qWaitFor([] { return MZThumbgen::amount() <= 2; }, 10000));
    QTemporaryDir marks;
    BR2Journals journal;
    for (int i = 0; i < 20; ++i)
        QVERIFY(IAppData()->push(journal, {marks.filePath(QString::number(i))},
                                 QStringLiteral("sh -c \"touch ${PARAM1}; sleep 0.05; rm ${PARAM1}\"")));
    int most = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            most = qMax(most, int(QDir(marks.path()).entryList(QDir::Files).size()));
            return !IAppData()->hasQueued() && MZThumbgen::amount() == 0;
        },
        30000));
    QVERIFY2(most <= 2, QByteArray::number(most));
    QVERIFY(most >= 1);
}

void TestQueueCore::threadChangesAreSerialised()
{
    QVERIFY(runThreads(2, [](int) {
        for (int i = 0; i < 1000; ++i)
            IAppData()->changeThreads(1 + int(QRandomGenerator::global()->bounded(8)));
    }));
    const QList<QJsonObject> stored =
        rows(QStringLiteral("syscfg_get"), QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")}});
    QCOMPARE(stored.size(), 1);
    QCOMPARE(toInt(stored.first().value(QStringLiteral("value"))), IAppData()->threads());
    QCOMPARE(IAppData()->poolMaxThreads(), IAppData()->threads());
}

QTEST_GUILESS_MAIN(TestQueueCore)
#include "tst_queuecore.moc"
