#include "br2dbsqlite.h"

#include <QDateTime>
#include <QResource>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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
    void initTestCase() { Q_INIT_RESOURCE(k8thumbgen); }
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
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<BR2DBSqlite> m_db;
};

void TestQueueDb::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_db.reset(new BR2DBSqlite);
    m_db->loadSqlCreator(kCreator);
    bool created = false;
    QVERIFY2(m_db->open(m_dir->filePath(QStringLiteral("etc/queue.db")), &created), qPrintable(m_db->lastError()));
    QVERIFY(created);
    BR2DBSqlite again;
    QVERIFY(again.open(m_dir->filePath(QStringLiteral("etc/queue.db")), &created));
    QVERIFY(!created);   // an existing file is reported as such, whatever the flag held
    QVERIFY(m_db->loadSqlEngine(kEngine));
    QVERIFY(m_db->setJournalModeWal());
}

void TestQueueDb::cleanup()
{
    m_db.reset();
    m_dir.reset();
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
    QVERIFY(data.count('\n') > 10);
    QCOMPARE(data.count("\r\n"), crlf ? data.count('\n') : 0);
}

void TestQueueDb::engineStatements()
{
    const QJsonObject engine = m_db->sqlEngine();
    QCOMPARE(engine.keys(), (QStringList{"configure_alload", "configure_append", "configure_change", "configure_get",
                                         "queue_alload", "queue_append", "queue_clear", "queue_remove",
                                         "syscfg_dbversion", "syscfg_get", "syscfg_set"}));
    QCOMPARE(engine.value("queue_remove").toObject().value("params").toObject(), (QJsonObject{{"quuno", "integer"}}));
}

void TestQueueDb::newDatabase()
{
    QList<QJsonObject> rows = run(*m_db, "SELECT cfg_key AS k, cfg_value AS v FROM sys_configure ORDER BY cfg_no;");
    QCOMPARE(rows.size(), 7);
    const QJsonObject firstDate = rows.takeLast();
    QCOMPARE(firstDate.value("k").toString(), QStringLiteral("Database.First.Date"));
    // Evaluated at creation, not stored as the expression's text.
    QVERIFY2(QDateTime::fromString(firstDate.value("v").toString(), "yyyy-MM-dd HH:mm:ss").isValid(),
             qPrintable(firstDate.value("v").toString()));
    QCOMPARE(rows.takeAt(4).value("k").toString(), QStringLiteral("Database.Caption")); // free text
    QCOMPARE(rows, (QList<QJsonObject>{{{"k", "System.Id"}, {"v", "BR19"}},
                                       {{"k", "System.Name"}, {"v", "Brennic19"}},
                                       {{"k", "System.Version"}, {"v", "1"}},
                                       {{"k", "Database.Id"}, {"v", "K8THUMBGEN"}},
                                       {{"k", "Database.Version"}, {"v", "1"}}}));
    QCOMPARE(m_db->dbVersion(), 1);
    // The schema is stored as the script wrote it.
    QCOMPARE(run(*m_db, "SELECT sql FROM sqlite_master WHERE name IN ('sys_configure', 't_queue', "
                        "'sys_configure_cfg_key__index') ORDER BY name;"),
             (QList<QJsonObject>{
                 {{"sql", "CREATE TABLE sys_configure ( cfg_no INTEGER PRIMARY KEY AUTOINCREMENT , cfg_userno INTEGER , "
                          "cfg_key VARCHAR(250) , cfg_type INTEGER , cfg_value VARCHAR(250) , cfg_stamp VARCHAR(20) , "
                          "cfg_description VARCHAR(250) )"}},
                 {{"sql", "CREATE UNIQUE INDEX sys_configure_cfg_key__index ON sys_configure(cfg_key ASC)"}},
                 {{"sql", "CREATE TABLE t_queue ( quu_no INTEGER PRIMARY KEY AUTOINCREMENT , crt_time DATETIME DEFAULT "
                          "(datetime('now', 'localtime')) , quu_item TEXT DEFAULT '{}' )"}}}));
    QCOMPARE(callRows(*m_db, "syscfg_get", {{"key", "threads"}}), QList<QJsonObject>());
    QCOMPARE(callRows(*m_db, "queue_alload"), QList<QJsonObject>());
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
    int changes = 0;
    int lastId = 0;
    for (int expected = 1; expected <= 3; ++expected) {
        QVERIFY(m_db->call(changes, lastId, "queue_append", {{"item", QStringLiteral("{\"n\":%1}").arg(expected)}}));
        QCOMPARE(lastId, expected);
    }
    QVERIFY(m_db->call("queue_remove", {{"quuno", 2}}));
    QVERIFY(m_db->call(changes, lastId, "queue_remove", {{"quuno", 42}})); // no such row: nothing, still fine
    QCOMPARE(changes, 0);
    const QList<QJsonObject> rows = callRows(*m_db, "queue_alload");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).value("quuno").toInt(), 1);
    QCOMPARE(rows.at(0).value("item").toString(), QStringLiteral("{\"n\":1}"));
    QCOMPARE(rows.at(1).value("quuno").toInt(), 3);
    QVERIFY(!rows.at(1).value("crttime").toString().isEmpty());

    // Neither removing the newest row nor a restart hands its number out again.
    QVERIFY(m_db->call("queue_remove", {{"quuno", 3}}));
    QVERIFY(m_db->call(changes, lastId, "queue_append", {{"item", "{}"}}));
    QCOMPARE(lastId, 4);
    QVERIFY(m_db->call("queue_clear", {}));
    QVERIFY(m_db->open(m_db->dbPath()));
    QVERIFY(m_db->call(changes, lastId, "queue_append", {{"item", "{}"}}));
    QCOMPARE(lastId, 5);
}

void TestQueueDb::dbversionNeedsIdentity_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QList<QJsonObject>>("rows");
    QTest::newRow("own database") << QString() << QList<QJsonObject>{{{"dbver", "1"}}};
    QTest::newRow("other Database.Id") << "UPDATE sys_configure SET cfg_value = 'OTHER' WHERE cfg_key = 'Database.Id';"
                                       << QList<QJsonObject>();
    QTest::newRow("no Database.Id") << "DELETE FROM sys_configure WHERE cfg_key = 'Database.Id';"
                                    << QList<QJsonObject>();
    QTest::newRow("version 2") << "UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';"
                               << QList<QJsonObject>{{{"dbver", "2"}}};
}

void TestQueueDb::dbversionNeedsIdentity()
{
    QFETCH(QString, change);
    QFETCH(QList<QJsonObject>, rows);
    run(*m_db, change);
    QCOMPARE(callRows(*m_db, "syscfg_dbversion"), rows);
}

QTEST_GUILESS_MAIN(TestQueueDb)
#include "tst_queuedb.moc"
