#include "br2dbsqlite.h"

#include <QDateTime>
#include <QFile>
#include <QResource>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kCreator = QStringLiteral(":/k8thumbgen/creator.sql");
const QString kEngine = QStringLiteral(":/k8thumbgen/engine.sql");

QList<QJsonObject> run(BR2DBSqlite &db, const QString &sql)
{
    QList<QJsonObject> rows;
    int changes = 0;
    int lastId = 0;
    db.exec(changes, lastId, rows, sql, {}, {});
    return rows;
}

QList<QJsonObject> callRows(BR2DBSqlite &db, const QString &name, const QJsonObject &values = {})
{
    QList<QJsonObject> rows;
    if (!db.call(rows, name, values))
        rows.append(QJsonObject{{"failed", db.lastError()}});
    return rows;
}

} // namespace

// The queue database as the service brings it up: creation script and
// named statements from the built-in resources.
class TestQueueDb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void resources_data();
    void resources();
    void engineStatements();
    void newDatabase();
    void syscfgSetTwice();
    void appendsNeverReuseNumbers();
    void dbversionNeedsIdentity_data();
    void dbversionNeedsIdentity();

private:
    QTemporaryDir *m_dir = nullptr;
    BR2DBSqlite *m_db = nullptr;
};

void TestQueueDb::initTestCase()
{
    Q_INIT_RESOURCE(k8thumbgen);
}

// Each test gets a queue database made the way the service makes it.
void TestQueueDb::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_db = new BR2DBSqlite;
    m_db->loadSqlCreator(kCreator);
    bool created = false;
    QVERIFY2(m_db->open(m_dir->filePath(QStringLiteral("etc/queue.db")), &created), qPrintable(m_db->lastError()));
    QVERIFY(created);
    QVERIFY(m_db->loadSqlEngine(kEngine));
    QVERIFY(m_db->setJournalModeWal());
}

void TestQueueDb::cleanup()
{
    delete m_db;
    m_db = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void TestQueueDb::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("crlf");
    QTest::newRow("creator") << kCreator << true;
    QTest::newRow("engine") << kEngine << false;
}

void TestQueueDb::resources()
{
    QFETCH(QString, path);
    QFETCH(bool, crlf);
    QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    const QByteArray data = resource.uncompressedData();
    const int lines = data.count('\n');
    QVERIFY(lines > 10);
    QCOMPARE(data.count("\r\n"), crlf ? lines : 0);
}

void TestQueueDb::engineStatements()
{
    const QJsonObject engine = m_db->sqlEngine();
    QCOMPARE(engine.keys(), (QStringList{"configure_alload", "configure_append", "configure_change", "configure_get",
                                         "queue_alload", "queue_append", "queue_clear", "queue_remove",
                                         "syscfg_dbversion", "syscfg_get", "syscfg_set"}));
    const auto params = [&](const char *name) { return engine.value(name).toObject().value("params").toObject(); };
    QCOMPARE(params("syscfg_get"), (QJsonObject{{"key", "string"}}));
    QCOMPARE(params("syscfg_set"), (QJsonObject{{"key", "string"}, {"value", "string"}}));
    QCOMPARE(params("queue_append"), (QJsonObject{{"item", "string"}}));
    QCOMPARE(params("queue_remove"), (QJsonObject{{"quuno", "integer"}}));
    QCOMPARE(params("queue_alload"), QJsonObject());
}

void TestQueueDb::newDatabase()
{
    const QList<QJsonObject> rows = run(*m_db, "SELECT cfg_key, cfg_value FROM sys_configure ORDER BY cfg_no;");
    QStringList keys;
    for (const QJsonObject &row : rows)
        keys << row.value("cfg_key").toString();
    QCOMPARE(keys, (QStringList{"System.Id", "System.Name", "System.Version", "Database.Id", "Database.Caption",
                                "Database.Version", "Database.First.Date"}));
    QCOMPARE(rows.at(0).value("cfg_value").toString(), QStringLiteral("BR19"));
    QCOMPARE(rows.at(1).value("cfg_value").toString(), QStringLiteral("Brennic19"));
    QCOMPARE(rows.at(2).value("cfg_value").toString(), QStringLiteral("1"));
    QCOMPARE(rows.at(3).value("cfg_value").toString(), QStringLiteral("K8THUMBGEN"));
    QCOMPARE(rows.at(5).value("cfg_value").toString(), QStringLiteral("1"));
    // Evaluated at creation, not stored as the expression's text.
    QVERIFY2(QDateTime::fromString(rows.at(6).value("cfg_value").toString(), "yyyy-MM-dd HH:mm:ss").isValid(),
             qPrintable(rows.at(6).value("cfg_value").toString()));

    QCOMPARE(callRows(*m_db, "syscfg_dbversion"), (QList<QJsonObject>{{{"dbver", "1"}}}));
    QCOMPARE(m_db->dbVersion(), 1);
    QCOMPARE(callRows(*m_db, "syscfg_get", {{"key", "threads"}}), QList<QJsonObject>());
    QCOMPARE(callRows(*m_db, "queue_alload"), QList<QJsonObject>());
    QCOMPARE(run(*m_db, "PRAGMA integrity_check;"), (QList<QJsonObject>{{{"integrity_check", "ok"}}}));
}

void TestQueueDb::syscfgSetTwice()
{
    QVERIFY(m_db->call("syscfg_set", {{"key", "threads"}, {"value", 8}}));
    QVERIFY(m_db->call("syscfg_set", {{"key", "threads"}, {"value", 4}}));
    QCOMPARE(callRows(*m_db, "syscfg_get", {{"key", "threads"}}), (QList<QJsonObject>{{{"value", "4"}}}));
    QCOMPARE(run(*m_db, "SELECT count(*) AS n FROM sys_configure WHERE cfg_key = 'threads';"),
             (QList<QJsonObject>{{{"n", 1}}}));
}

void TestQueueDb::appendsNeverReuseNumbers()
{
    for (int expected = 1; expected <= 3; ++expected) {
        int changes = 0;
        int lastId = 0;
        QVERIFY(m_db->call(changes, lastId, "queue_append", {{"item", QStringLiteral("{\"n\":%1}").arg(expected)}}));
        QCOMPARE(changes, 1);
        QCOMPARE(lastId, expected);
    }
    QVERIFY(m_db->call("queue_remove", {{"quuno", 2}}));
    int changes = -1;
    int lastId = -1;
    QVERIFY(m_db->call(changes, lastId, "queue_remove", {{"quuno", 42}})); // no such row: nothing, still fine
    QCOMPARE(changes, 0);

    QList<QJsonObject> rows = callRows(*m_db, "queue_alload");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).value("quuno").toInt(), 1);
    QCOMPARE(rows.at(0).value("item").toString(), QStringLiteral("{\"n\":1}"));
    QCOMPARE(rows.at(1).value("quuno").toInt(), 3);
    QVERIFY(!rows.at(1).value("crttime").toString().isEmpty());

    // Removing the newest row must not hand its number out again.
    QVERIFY(m_db->call("queue_remove", {{"quuno", 3}}));
    QVERIFY(m_db->call(changes, lastId, "queue_append", {{"item", "{}"}}));
    QCOMPARE(lastId, 4);

    // The numbers survive a restart too.
    const QString path = m_db->dbPath();
    QVERIFY(m_db->call("queue_clear", {}));
    QVERIFY(m_db->open(path));
    QVERIFY(m_db->call(changes, lastId, "queue_append", {{"item", "{}"}}));
    QCOMPARE(lastId, 5);
}

void TestQueueDb::dbversionNeedsIdentity_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QList<QJsonObject>>("rows");
    QTest::newRow("own database") << QString() << QList<QJsonObject>{{{"dbver", "1"}}};
    QTest::newRow("other Database.Id")
        << "UPDATE sys_configure SET cfg_value = 'OTHER' WHERE cfg_key = 'Database.Id';" << QList<QJsonObject>();
    QTest::newRow("no Database.Id") << "DELETE FROM sys_configure WHERE cfg_key = 'Database.Id';"
                                    << QList<QJsonObject>();
    QTest::newRow("version 2") << "UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';"
                               << QList<QJsonObject>{{{"dbver", "2"}}};
}

void TestQueueDb::dbversionNeedsIdentity()
{
    QFETCH(QString, change);
    QFETCH(QList<QJsonObject>, rows);
    int changes = 0;
    int lastId = 0;
    if (!change.isEmpty())
        QVERIFY(m_db->exec(changes, lastId, change));
    QCOMPARE(callRows(*m_db, "syscfg_dbversion"), rows);
}

QTEST_GUILESS_MAIN(TestQueueDb)
#include "tst_queuedb.moc"
