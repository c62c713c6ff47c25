#include "appdata.h"

#include "br2utils.h"
#include "mzthumbgen.h"
#include "rendersettings.h"
#include "stopflag.h"
#include "testhelpers.h"
#include "testthreads.h"

#include <QtTest>

#include <atomic>

namespace {

const QString kCreator = QStringLiteral(":/k8thumbgen/creator.sql");
const QString kEngine = QStringLiteral(":/k8thumbgen/engine.sql");

// Rows of a named statement, read through a connection of its own.
QList<QJsonObject> rows(const QString &path, const QString &statement, const QJsonObject &values = QJsonObject())
{
    BR2DBSqlite db;
    QList<QJsonObject> out;
    if (db.openOnly(path) && db.loadSqlEngine(kEngine))
        db.call(out, statement, values);
    return out;
}

} // namespace

// The configuration rules, and the queue with its pool of workers on a real
// database in a temporary folder.
class TestAppData : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;      // the process-wide AppData's folder, for all test functions
    QString queueDb() const { return m_dir.filePath(QStringLiteral("queue.db")); }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(k8thumbgen);
        const QString config = m_dir.filePath(QStringLiteral("config.json"));
        QVERIFY(writeFile(config, QJsonDocument(QJsonObject{{"lpcid", m_dir.filePath("s")}, {"database", queueDb()}, {"threads", 2},
                                                            {"filepause", 0}}).toJson()));
        QVERIFY(AppData::create()->initialize(config));
        // "filepause": 0 reaches the walks: no pause at all.
        QCOMPARE(RenderSettings::current().walkPauseMs, 0);
    }
    void cleanup() { clearStop(); }

    void config_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");
        // A blank lpcid is refused by the real binary (tst_service); toInt's
        // own rules are tst_br2utils'.
        QTest::newRow("threads as text") << QByteArray(R"({"threads":"4"})") << QByteArray() << "threads" << QVariant(4);
        QTest::newRow("size 320x\"240\"") << QByteArray() << QByteArray(R"({"size":{"width":320,"height":"240"}})") << "size"
                                          << QVariant(QSize(320, 240));
    }

    void config()
    {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, settings);
        QFETCH(QString, field);
        const AppConfig c = readAppConfig(toJsonObject(config), toJsonObject(settings));
        const QVariantMap fields{{"threads", c.threads}, {"size", QSize(c.width, c.height)}};
        QTEST(fields.value(field), "expected");
    }

    void noJobWaitsForAPush()
    {
        // Eight clients push while they move the count between 1 and 4:
        // every job must be taken without waiting for a later push.
        std::atomic<int> failed{0};
        QVERIFY(runThreads(8, [&](int) {
            BR2Journals journal;
            for (int i = 0; i < 625; ++i) {
                if (i % 25 == 0)
                    IAppData()->setThreads(1 + int(QRandomGenerator::global()->bounded(4)));
                failed += IAppData()->push(journal, {}, QString()) ? 0 : 1;
            }
        }));
        QCOMPARE(failed.load(), 0);
        QVERIFY(QTest::qWaitFor([&] { return rows(queueDb(), "queue_alload").isEmpty(); }, 60000));

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
        QVERIFY(QTest::qWaitFor([&] {
            most = qMax(most, int(QDir(marks.path()).entryList(QDir::Files).size()));
            return !IAppData()->hasQueued() && MZThumbgen::amount() == 0;
        }, 30000));
        QVERIFY2(most >= 1 && most <= 2, QByteArray::number(most));
    }

    void threadChangesAreSerialised()
    {
        QVERIFY(runThreads(2, [](int) {
            for (int i = 0; i < 1000; ++i)
                IAppData()->changeThreads(1 + int(QRandomGenerator::global()->bounded(8)));
        }));
        const QList<QJsonObject> stored = rows(queueDb(), "syscfg_get", {{"key", "threads"}});
        QCOMPARE(stored.size(), 1);
        QCOMPARE(toInt(stored.first().value("value")), IAppData()->threads());
        QCOMPARE(IAppData()->poolMaxThreads(), IAppData()->threads());
    }

    // The queue the service brought up is in WAL mode, which the file keeps:
    // asked through a connection of its own. (Its connection's synchronous
    // FULL: tst_br2dbsqlite.)
    void queueInWalMode()
    {
        BR2DBSqlite db;
        QList<QJsonObject> mode;
        int changes = 0, lastId = 0;
        QVERIFY(db.openOnly(queueDb()) && db.exec(changes, lastId, mode, "PRAGMA journal_mode;", {}, {}));
        QCOMPARE(mode, (QList<QJsonObject>{{{"journal_mode", "wal"}}}));
    }

    // Neither removing the newest row nor a restart hands a number out
    // again: a late completion would remove another job's row.
    void queueNumbersNeverReused()
    {
        QTemporaryDir dir;
        BR2DBSqlite db;
        int changes = 0, lastId = 0;
        QVERIFY(dir.isValid() && db.open(dir.filePath("q.db"), kEngine, kCreator));
        for (int i = 0; i < 3; ++i)
            QVERIFY(db.call("queue_append", {{"item", "{}"}}));
        QVERIFY(db.call("queue_remove", {{"quuno", 3}}) && db.call("queue_clear", {}) && db.open(db.dbPath()));
        QVERIFY(db.call(changes, lastId, "queue_append", {{"item", "{}"}}));
        QCOMPARE(lastId, 4);
    }
};

QTEST_GUILESS_MAIN(TestAppData)
#include "tst_appdata.moc"
