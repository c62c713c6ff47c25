#include "br2dbsqlite.h"

#include "../testthreads.h"
#include "brlibfixture.h"

#include <QtTest>

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <thread>

namespace {

const char kCreator[] =
    "CREATE TABLE sys_configure (cfg_no INTEGER PRIMARY KEY AUTOINCREMENT, cfg_key VARCHAR(250), "
    "cfg_value VARCHAR(250));\r\n"
    "CREATE UNIQUE INDEX sys_configure_cfg_key__index ON sys_configure(cfg_key ASC);\r\n"
    "INSERT INTO sys_configure(cfg_key, cfg_value) VALUES('Database.Version', '1');\r\n"
    "-- the queue\r\n"
    "CREATE TABLE t_queue (quu_no INTEGER PRIMARY KEY AUTOINCREMENT, quu_item TEXT DEFAULT '{}');\r\n";

const char kEngine[] = "SQL: queue_append\nINSERT INTO t_queue ( quu_item )VALUES ( :item );\nparams:\nitem string\n";

QList<QJsonObject> run(BR2DBSqlite &db, const QString &sql)
{
    QList<QJsonObject> rows;
    int changes = 0, lastId = 0;
    db.exec(changes, lastId, rows, sql, {}, {});
    return rows;
}

QStringList leftovers(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Appends until killed, printing each acknowledged row id.
int appendChild(const char *path)
{
    BR2DBSqlite db;
    for (int i = 0; db.openOnly(QFile::decodeName(path)) && i < 200000; ++i) {
        int changes = 0, lastId = 0;
        if (!db.exec(changes, lastId, QStringLiteral("INSERT INTO t_queue(quu_item) VALUES('x');")))
            return 3;
        std::printf("%d\n", lastId);
        std::fflush(stdout);
    }
    return 2;
}

int createChild(const char *path, const char *creator)
{
    BR2DBSqlite db;
    db.loadSqlCreator(QFile::decodeName(creator));
    return db.open(QFile::decodeName(path)) ? 0 : 4;
}

} // namespace

class TestBr2DBSqlite : public QObject
{
    Q_OBJECT
private slots:
    // Each test starts from a fresh folder and database; the previous test's go first.
    void init()
    {
        m_db.reset();
        m_dir.reset(new QTemporaryDir);
        QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
        QVERIFY(writeFile(path("creator.sql"), kCreator) && writeFile(path("engine.sql"), kEngine));
        m_db.reset(new BR2DBSqlite);
        QVERIFY2(m_db->open(path("q.db"), path("engine.sql"), path("creator.sql")), qPrintable(m_db->lastError()));
    }

    void engineParsing_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("entry");
        const auto entry = [](const char *id, const char *text, const QJsonObject &params) {
            return QJsonObject{{"id", id}, {"text", text}, {"params", params}};
        };
        QTest::newRow("prefixes, bare name, tab, type ends at blank")
            << QByteArray("SQL: a\nSELECT 1;\nPARAMS:\n@x INTEGER\n:y text\nz\nw\tint\nv   double  extra\n") << "a"
            << entry("a", "SELECT 1;\n",
                     {{"x", "integer"}, {"y", "text"}, {"z", "string"}, {"w", "int"}, {"v", "double"}});
        QTest::newRow("comments, lines before first header, at becomes colon")
            << QByteArray("-- head\nSELECT 0;\nSQL: a -- c\nSELECT @x; -- why\nSQL: b\nSELECT 1;\n") << "a"
            << entry("a", "SELECT :x;\n", {});
    }

    // A missing file fails and keeps the last good load.
    void engineParsing()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, name);
        QVERIFY(writeFile(path("e.sql"), file));
        QVERIFY(m_db->loadSqlEngine(path("e.sql")));
        QVERIFY(!m_db->loadSqlEngine(path("missing.sql")));
        QTEST(m_db->sqlEngine().value(name).toObject(), "entry");
    }

    void binding_data()
    {
        QTest::addColumn<QJsonObject>("values");
        QTest::addColumn<QJsonObject>("types");
        QTest::addColumn<QJsonObject>("row");
        const QJsonObject intType{{"p", "integer"}};
        QTest::newRow("2.5 real") << QJsonObject{{"p", 2.5}} << intType << QJsonObject{{"t", "real"}, {"v", 2.5}};
        QTest::newRow("text kept") << QJsonObject{{"p", "12"}} << intType << QJsonObject{{"t", "text"}, {"v", "12"}};
        QTest::newRow("null beats declared") << QJsonObject{{"p", QJsonValue::Null}} << intType << QJsonObject{{"t", "null"}};
        QTest::newRow("missing integer") << QJsonObject{} << intType << QJsonObject{{"t", "integer"}, {"v", 0}};
    }

    void binding()
    {
        QFETCH(QJsonObject, values);
        QFETCH(QJsonObject, types);
        QFETCH(QJsonObject, row);
        QList<QJsonObject> rows;
        int changes = -1, lastId = -1;   // the name after any prefix (":", "@") is looked up alike
        QVERIFY(m_db->exec(changes, lastId, rows, QStringLiteral("SELECT typeof(:p) AS t, :p AS v;"), values, types));
        QCOMPARE(rows, QList<QJsonObject>{row});
    }

    void multiStatement_data()
    {
        QTest::addColumn<QString>("sql"); // runs after row 1 was inserted
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("changes");
        QTest::addColumn<int>("lastId");
        QTest::addColumn<QString>("error"); // expected part of lastError, empty: none
        QTest::newRow("first step fails, second runs")
            << "INSERT INTO t_queue(quu_no) VALUES(1); INSERT INTO t_queue(quu_no) VALUES(9);" << true << 1 << 9 << "UNIQUE";
        QTest::newRow("second step fails after first")
            << "INSERT INTO t_queue(quu_no) VALUES(9); INSERT INTO t_queue(quu_no) VALUES(1);" << true << 0 << 9 << "UNIQUE";
        QTest::newRow("prepare fails") << "INSERT INTO nowhere VALUES(1); INSERT INTO t_queue(quu_no) VALUES(9);"
                                       << false << 0 << 0 << "no such table";
    }

    void multiStatement()
    {
        QFETCH(QString, sql);
        QFETCH(QString, error);
        int c = -1, id = -1;
        QVERIFY(m_db->exec(c, id, QStringLiteral("INSERT INTO t_queue(quu_no) VALUES(1);")));
        QTEST(m_db->exec(c, id, sql), "result");
        QTEST(c, "changes");
        QTEST(id, "lastId");
        QVERIFY2(error.isEmpty() ? m_db->lastError().isEmpty() : m_db->lastError().contains(error),
                 qPrintable(m_db->lastError()));
    }

    void openCreates_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<uint>("folderMode"); // 0: the folder is made, else it exists with this mode and keeps it
        QTest::addColumn<QString>("error");   // empty: created
        QTest::newRow("queue script") << QByteArray(kCreator) << 0u << "";
        QTest::newRow("shared folder kept") << QByteArray(kCreator) << 01777u << "";
        QTest::newRow("empty script") << QByteArray() << 0u << "Not found creator ddl";
        // A failure midway must not leave a partial file taken for a database ever after.
        QTest::newRow("failing step")
            << QByteArray("CREATE TABLE a(x UNIQUE);\nINSERT INTO a VALUES(1);\nINSERT INTO a VALUES(1);\nCREATE TABLE b(x);")
            << 0u << "UNIQUE";
    }

    void openCreates()
    {
        QFETCH(QByteArray, script);
        QFETCH(uint, folderMode);
        QFETCH(QString, error);
        const bool result = error.isEmpty();
        const QString folder = path("new folder/deeper");
        const QString dbPath = folder + QStringLiteral("/q.db");
        if (folderMode) {
            QVERIFY(QDir().mkpath(folder));
            QCOMPARE(::chmod(QFile::encodeName(folder).constData(), folderMode), 0);
        }
        QVERIFY(writeFile(path("script.sql"), script));
        BR2DBSqlite db;
        db.loadSqlCreator(path("script.sql"));
        bool created = false;
        QCOMPARE(db.open(dbPath, &created), result);
        QCOMPARE(created, result);
        QCOMPARE(db.dbPath(), result ? dbPath : QString());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, folderMode ? folderMode : 0755u);
        QCOMPARE(leftovers(folder), result ? QStringList{"q.db"} : QStringList()); // no temporary, no journal
        QVERIFY2(db.lastError().contains(error), qPrintable(db.lastError()));
    }

    // Fault fixed: a closed connection went on with its null handle. Every
    // operation fails with this reason instead, whatever message came before.
    // The others reach the handle through exec, as the named call does; a
    // failed COMMIT looks at it once more.
    void closedConnection()
    {
        int changes = -1, lastId = -1;
        const std::function<bool()> operations[] = {
            [&] { return m_db->exec(changes, lastId, QStringLiteral("SELECT 1;")); },
            [&] { return m_db->call(changes, lastId, "queue_append", {{"item", "x"}}); },
            [&] { return m_db->transactionCommit(); }};
        for (const std::function<bool()> &operation : operations) {
            QVERIFY(m_db->openOnly(path("q.db")));
            QVERIFY(!m_db->call("nothing", {})); // a message of another kind first
            m_db->close();
            QVERIFY(!operation());
            QCOMPARE(m_db->lastError(), QStringLiteral("database is not open"));
        }
    }

    // A COMMIT refused as busy is reported as a failure and rolled back, so the
    // connection does not stay inside the transaction.
    void commitFailureRollsBack()
    {
        QVERIFY(m_db->call("queue_append", {{"item", "a"}}));
        m_db->setBusyTimeout(100); // rollback journal: a reader blocks COMMIT
        sqlite3 *reader = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path("q.db")).constData(), &reader), SQLITE_OK);
        sqlite3_stmt *stmt = nullptr;
        QCOMPARE(sqlite3_prepare_v2(reader, "SELECT quu_no FROM t_queue;", -1, &stmt, nullptr), SQLITE_OK);
        QVERIFY(m_db->transactionBegin());
        QVERIFY(m_db->call("queue_append", {{"item", "c"}}));
        QCOMPARE(sqlite3_step(stmt), SQLITE_ROW); // holds a shared lock
        QVERIFY(!m_db->transactionCommit());
        QVERIFY2(m_db->lastError().contains("locked"), qPrintable(m_db->lastError()));
        sqlite3_finalize(stmt);
        sqlite3_close(reader);
        QVERIFY(m_db->transactionBegin()); // not still inside the failed one
        QVERIFY(m_db->transactionRollback());
        QCOMPARE(run(*m_db, "SELECT quu_item AS i FROM t_queue;"), (QList<QJsonObject>{{{"i", "a"}}}));
    }

    void upgrades_data()
    {
        QTest::addColumn<QByteArray>("engine");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("version");     // afterwards
        QTest::addColumn<QStringList>("log"); // rows of table log afterwards
        const QByteArray v1 = "SQL: dbupgrade_v1_1\nCREATE TABLE log(s TEXT);\nINSERT INTO log VALUES('1.1');\n"
                              "SQL: dbupgrade_v1_2\nINSERT INTO log VALUES('1.2');\n";
        const QByteArray fail = "INSERT INTO nowhere VALUES(1);\n";
        QTest::newRow("chain to 3, steps in order") << (v1 + "SQL: dbupgrade_v2_1\nINSERT INTO log VALUES('2.1');\n")
                                                    << true << 3 << QStringList{"1.1", "1.2", "2.1"};
        QTest::newRow("nothing to upgrade") << QByteArray("SQL: x\nSELECT 1;\n") << false << 1 << QStringList();
        // A step counts as done only when all of its statements are.
        QTest::newRow("half of a step fails") << (v1 + "SQL: dbupgrade_v1_2\nINSERT INTO log VALUES('1.2');\n" + fail)
                                              << false << 1 << QStringList();
        // A version with a later step but no step 1 ends the chain instead of looping.
        QTest::newRow("chain ends without step 1") << (v1 + "SQL: dbupgrade_v2_2\nINSERT INTO log VALUES('2.2');\n")
                                                   << true << 2 << QStringList{"1.1", "1.2"};
    }

    void upgrades()
    {
        QFETCH(QByteArray, engine);
        QVERIFY(writeFile(path("upgrade.sql"), engine));
        QVERIFY(m_db->loadSqlEngine(path("upgrade.sql")));
        QTEST(m_db->dbUpgrades(), "result");
        QTEST(m_db->dbVersion(), "version");
        QStringList rows;
        for (const QJsonObject &row : run(*m_db, "SELECT s FROM log ORDER BY rowid;"))
            rows << row.value("s").toString();
        QTEST(rows, "log");
        QVERIFY(m_db->transactionBegin()); // no transaction left open
        QVERIFY(m_db->transactionRollback());
    }

    // Concurrent inserts on the one connection must not read each other's row
    // id, or a job would carry another job's queue number. (That an open alone
    // writes nothing, and WAL only when asked, shows in tst_service: a foreign
    // database is left byte for byte as it was.)
    void concurrentAppendsKeepTheirRowIds()
    {
        QVERIFY(m_db->setJournalModeWal());
        // Opened as the service opens its queue, then switched to WAL: each commit
        // is still synced (FULL, 2); WAL's usual NORMAL would let a power loss take
        // acknowledged jobs. The setting is per connection, so it is asked on this one.
        QCOMPARE(run(*m_db, "PRAGMA synchronous;"), (QList<QJsonObject>{{{"synchronous", 2}}}));
        constexpr int threads = 8;
        constexpr int appends = 300;
        std::vector<std::vector<int>> ids(threads);
        QVERIFY(runThreads(threads, [&](int t) {
            for (int i = 0; i < appends; ++i) {
                int changes = 0, lastId = 0; // stays 0 on failure, which no row has
                m_db->call(changes, lastId, QStringLiteral("queue_append"),
                           {{QStringLiteral("item"), QStringLiteral("%1/%2").arg(t).arg(i)}});
                ids[t].push_back(lastId);
            }
        }));
        QHash<int, QString> stored;
        for (const QJsonObject &row : run(*m_db, "SELECT quu_no AS n, quu_item AS i FROM t_queue;"))
            stored.insert(row.value("n").toInt(), row.value("i").toString());
        QCOMPARE(stored.size(), threads * appends);
        for (int t = 0; t < threads; ++t) {
            for (int i = 0; i < appends; ++i) // take(): an id reported twice finds nothing the second time
                QCOMPARE(stored.take(ids[t][i]), QStringLiteral("%1/%2").arg(t).arg(i));
        }
    }

    // An outside writer (another process holding the write lock) delays an
    // insert instead of failing it at once with "database is locked".
    void outsideWriterDelaysInsert()
    {
        QVERIFY(m_db->setJournalModeWal());
        sqlite3 *other = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path("q.db")).constData(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
        std::atomic<int> result{-1};
        std::thread inserter([&] { result = m_db->call("queue_append", {{"item", "waited"}}) ? 1 : 0; });
        const bool waiting = !QTest::qWaitFor([&] { return result >= 0; }, 1000); // while the lock is held
        sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
        const bool done = QTest::qWaitFor([&] { return result >= 0; }, 5000);
        inserter.join();
        sqlite3_close(other);
        QVERIFY(waiting);
        QVERIFY(done);
        QVERIFY2(result == 1, qPrintable(m_db->lastError()));
    }

    // A kill during the first start must not leave a partial file that every
    // later start takes for an existing database.
    void killDuringCreationLeavesNothing()
    {
        const QString folder = path("db");
        const QString dbPath = folder + QStringLiteral("/q.db");
        QVERIFY(writeFile(path("slow.sql"), QByteArray(kCreator)
                                                + "CREATE TABLE big(x);\r\nINSERT INTO big WITH RECURSIVE c(x) AS (SELECT 1 "
                                                  "UNION ALL SELECT x + 1 FROM c WHERE x < 100000000) SELECT x FROM c;\r\n"));
        const qint64 lateBy = QRandomGenerator::global()->bounded(200); // somewhere in the script
        QElapsedTimer clock;
        QProcess child; // this program re-run in its child mode, killed midway
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--create-child"), dbPath, path("slow.sql")});
        const bool ready = child.waitForStarted() && QTest::qWaitFor([&] {
            // The clock starts when the creation's file first shows, however
            // soon that is.
            if (!clock.isValid() && !leftovers(folder).isEmpty())
                clock.start();
            return clock.isValid() && clock.elapsed() >= lateBy;
        }, 20000);
        child.kill();
        QVERIFY(child.waitForFinished(5000) && ready && child.exitStatus() == QProcess::CrashExit);
        QVERIFY(!QFileInfo::exists(dbPath));

        // The next start creates the database as if nothing had happened.
        BR2DBSqlite db;
        db.loadSqlCreator(path("creator.sql"));
        bool created = false;
        QVERIFY(db.open(dbPath, &created));
        QVERIFY(created);
        QCOMPARE(leftovers(folder), QStringList{"q.db"}); // the killed attempt's file is gone
    }

    // Every insert acknowledged before a SIGKILL is in the file afterwards.
    void killDuringAppendsLosesNothing()
    {
        QVERIFY(m_db->setJournalModeWal());
        m_db->close();
        QByteArray out;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--append-child"), path("q.db")});
        const bool ready = QTest::qWaitFor([&] { return (out += child.readAllStandardOutput()).count('\n') >= 200; }, 20000);
        child.kill();
        QVERIFY(child.waitForFinished(5000) && ready);
        out += child.readAllStandardOutput();
        BR2DBSqlite db;
        QVERIFY(db.openOnly(path("q.db")));
        const QList<QByteArray> acknowledged = out.trimmed().split('\n');
        QVERIFY(run(db, "SELECT MAX(quu_no) AS n FROM t_queue;").value(0).value("n").toInt() >= acknowledged.last().toInt());
    }

private:
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<BR2DBSqlite> m_db; // "q.db" in m_dir, beside the creator.sql and engine.sql it was made from
};

int main(int argc, char *argv[])
{
    if (argc >= 3 && qstrcmp(argv[1], "--append-child") == 0)
        return appendChild(argv[2]);
    if (argc >= 4 && qstrcmp(argv[1], "--create-child") == 0)
        return createChild(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    TestBr2DBSqlite test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_br2dbsqlite.moc"
