#include "br2dbsqlite.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char kCreator[] =
    "CREATE TABLE sys_configure (cfg_no INTEGER PRIMARY KEY AUTOINCREMENT, cfg_key VARCHAR(250), "
    "cfg_value VARCHAR(250));\r\n"
    "CREATE UNIQUE INDEX sys_configure_cfg_key__index ON sys_configure(cfg_key ASC);\r\n"
    "INSERT INTO sys_configure(cfg_key, cfg_value) VALUES('Database.Version', '1');\r\n"
    "-- the queue\r\n"
    "CREATE TABLE t_queue (quu_no INTEGER PRIMARY KEY AUTOINCREMENT, quu_item TEXT DEFAULT '{}');\r\n";

const char kEngine[] =
    "SQL: queue_append\n"
    "INSERT INTO t_queue ( quu_item )VALUES ( :item );\n"
    "params:\n"
    "item string\n"
    "SQL: queue_get\n"
    "SELECT quu_item AS item FROM t_queue WHERE quu_no = :quuno;\n"
    "params:\n"
    "quuno integer\n";

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

uint fileMode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

// Rows of a query run on a fresh connection of its own, so the wrapper's
// state does not colour what the file holds.
QList<QJsonObject> query(const QString &path, const QString &sql)
{
    BR2DBSqlite db;
    QList<QJsonObject> rows;
    int changes = 0;
    int lastId = 0;
    if (db.openOnly(path))
        db.exec(changes, lastId, rows, sql, {}, {});
    return rows;
}

QList<QJsonObject> run(BR2DBSqlite &db, const QString &sql, const QJsonObject &values = {},
                       const QJsonObject &types = {})
{
    QList<QJsonObject> rows;
    int changes = 0;
    int lastId = 0;
    db.exec(changes, lastId, rows, sql, values, types);
    return rows;
}

// A database with kCreator's tables and kEngine's statements, created in dir.
bool makeDatabase(BR2DBSqlite &db, const QTemporaryDir &dir, const QString &name = QStringLiteral("q.db"))
{
    const QString creator = dir.filePath(QStringLiteral("creator.sql"));
    const QString engine = dir.filePath(QStringLiteral("engine.sql"));
    return writeFile(creator, kCreator) && writeFile(engine, kEngine)
           && db.open(dir.filePath(name), engine, creator, nullptr);
}

QStringList leftovers(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Child modes: the test program re-runs itself to be killed part way.
int appendChild(const char *path)
{
    BR2DBSqlite db;
    if (!db.openOnly(QFile::decodeName(path)))
        return 2;
    for (int i = 0; i < 200000; ++i) {
        int changes = 0;
        int lastId = 0;
        if (!db.exec(changes, lastId, QStringLiteral("INSERT INTO t_queue(quu_item) VALUES(:item);"),
                     {{QStringLiteral("item"), QStringLiteral("job %1").arg(i)}}, {}))
            return 3;
        std::printf("%d\n", lastId);
        std::fflush(stdout);
    }
    return 0;
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
    void delSqlComments_data();
    void delSqlComments();
    void engineExample();
    void engineParsing_data();
    void engineParsing();
    void engineFileErrors();
    void binding_data();
    void binding();
    void columns();
    void multiStatement_data();
    void multiStatement();
    void callOverloads();
    void openCreates_data();
    void openCreates();
    void openExistingRunsNoScript();
    void openKeepsExistingFolderMode();
    void openOnlyNeverCreates();
    void closedConnection_data();
    void closedConnection();
    void connectionSettings();
    void journalModeLeftAlone();
    void transactions();
    void commitFailureRollsBack();
    void dbVersion();
    void upgrades_data();
    void upgrades();
    void concurrentAppendsKeepTheirRowIds();
    void outsideWriterDelaysInsert();
    void callDetachRuns();
    void killDuringCreationLeavesNothing();
    void killDuringAppendsLosesNothing();
};

void TestBr2DBSqlite::delSqlComments_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("plain") << "a\n  b  \n" << QStringList{"a", "b"};
    QTest::newRow("comment line stays empty") << "a\n-- note\nb" << QStringList{"a", "", "b"};
    QTest::newRow("trailing comment") << "SELECT 1; -- why" << QStringList{"SELECT 1;"};
    QTest::newRow("inside a literal too") << "SELECT '--x'" << QStringList{"SELECT '"};
    QTest::newRow("empty pieces dropped") << "a\n\n\nb" << QStringList{"a", "b"};
    QTest::newRow("crlf") << "a\r\nb\r\n" << QStringList{"a", "b"};
}

void TestBr2DBSqlite::delSqlComments()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    QCOMPARE(BR2DBSqlite::delSqlComments(text), lines);
}

void TestBr2DBSqlite::engineExample()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath(QStringLiteral("engine.sql"));
    QVERIFY(writeFile(path, "SQL: queue_remove\nDELETE\nFROM t_queue\nWHERE quu_no = :quuno\n;\nparams:\n"
                            "quuno           integer\n"));
    BR2DBSqlite db;
    QVERIFY(db.loadSqlEngine(path));
    const QJsonObject engine = db.sqlEngine();
    const QJsonObject expected{{"id", "queue_remove"},
                               {"text", "DELETE\nFROM t_queue\nWHERE quu_no = :quuno\n;\n"},
                               {"params", QJsonObject{{"quuno", "integer"}}}};
    QCOMPARE(engine.value("queue_remove").toObject(), expected);
    QCOMPARE(engine.keys(), (QStringList{"configure_alload", "configure_append", "configure_change",
                                         "configure_get", "queue_remove"}));
}

void TestBr2DBSqlite::engineParsing_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QJsonObject>("entry"); // empty: no such statement

    const auto entry = [](const char *id, const char *text, const QJsonObject &params) {
        return QJsonObject{{"id", id}, {"text", text}, {"params", params}};
    };
    QTest::newRow("mixed-case header") << QByteArray("sql: Queue_Get\nSELECT 1;\n") << "queue_get"
                                       << entry("queue_get", "SELECT 1;\n", {});
    QTest::newRow("prefixes and bare name")
        << QByteArray("SQL: a\nSELECT :x, :y, :z;\nPARAMS:\n@x INTEGER\n:y text\nz\n") << "a"
        << entry("a", "SELECT :x, :y, :z;\n", {{"x", "integer"}, {"y", "text"}, {"z", "string"}});
    QTest::newRow("tab separated param") << QByteArray("SQL: a\nSELECT :x;\nparams:\nx\tint\n") << "a"
                                         << entry("a", "SELECT :x;\n", {{"x", "int"}});
    QTest::newRow("type ends at blank") << QByteArray("SQL: a\nSELECT :x;\nparams:\nx   double  extra\n") << "a"
                                        << entry("a", "SELECT :x;\n", {{"x", "double"}});
    QTest::newRow("no text lines") << QByteArray("SQL: a\nparams:\nx int\nSQL: b\nSELECT 2;\n") << "a"
                                   << QJsonObject();
    QTest::newRow("lines before first header") << QByteArray("SELECT 0;\nSQL: a\nSELECT 1;\n") << "a"
                                               << entry("a", "SELECT 1;\n", {});
    QTest::newRow("empty header swallows") << QByteArray("SQL:\nSELECT 0;\nSQL: a\nSELECT 1;\n") << ""
                                           << QJsonObject();
    QTest::newRow("later replaces earlier") << QByteArray("SQL: a\nSELECT 1;\nSQL: A\nSELECT 2;\n") << "a"
                                            << entry("a", "SELECT 2;\n", {});
    QTest::newRow("at becomes colon") << QByteArray("SQL: a\nSELECT @x;\nSQL: b\nSELECT 1;\n") << "a"
                                      << entry("a", "SELECT :x;\n", {});
    QTest::newRow("last statement kept as written") << QByteArray("SQL: a\nSELECT @x;\n") << "a"
                                                    << entry("a", "SELECT @x;\n", {});
    QTest::newRow("comments cut") << QByteArray("-- head\nSQL: a -- c\nSELECT 1; -- why\n") << "a"
                                  << entry("a", "SELECT 1;\n", {});
    QTest::newRow("builtin replaced")
        << QByteArray("SQL: configure_get\nSELECT 3;\n") << "configure_get" << entry("configure_get", "SELECT 3;\n", {});
}

void TestBr2DBSqlite::engineParsing()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, name);
    QFETCH(QJsonObject, entry);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath(QStringLiteral("e.sql"));
    QVERIFY(writeFile(path, file));
    BR2DBSqlite db;
    QVERIFY(db.loadSqlEngine(path));
    QCOMPARE(db.sqlEngine().value(name).toObject(), entry);
}

void TestBr2DBSqlite::engineFileErrors()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(!db.loadSqlEngine(QString()));
    QCOMPARE(db.lastError(), QStringLiteral("Not found engine ddl."));
    QVERIFY(db.sqlEngine().isEmpty());

    const QString path = dir.filePath(QStringLiteral("e.sql"));
    QVERIFY(writeFile(path, "SQL: a\nSELECT 1;\n"));
    QVERIFY(db.loadSqlEngine(path));
    QVERIFY(!db.loadSqlEngine(dir.filePath(QStringLiteral("missing.sql"))));
    QCOMPARE(db.lastError(), QStringLiteral("Not found engine ddl.")); // unchanged
    QVERIFY(db.sqlEngine().contains("a"));
    QCOMPARE(db.sqlEngineText(), QStringLiteral("SQL: a\nSELECT 1;"));

    // The built-in statements come with every load and work on the table.
    QVERIFY(makeDatabase(db, dir));
    QVERIFY(db.call("configure_append", {{"key", "b"}, {"value", "2"}}));
    QVERIFY(db.call("configure_change", {{"key", "b"}, {"value", "3"}}));
    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "configure_get", {{"key", "b"}}));
    QCOMPARE(rows, (QList<QJsonObject>{{{"value", "3"}}}));
    rows.clear();
    QVERIFY(db.call(rows, "configure_alload", {}));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.last(), (QJsonObject{{"key", "b"}, {"value", "3"}}));
}

void TestBr2DBSqlite::binding_data()
{
    QTest::addColumn<QJsonObject>("values");
    QTest::addColumn<QJsonObject>("types");
    QTest::addColumn<QJsonObject>("row");

    const QJsonObject intType{{"p", "integer"}};
    QTest::newRow("3 integer") << QJsonObject{{"p", 3}} << QJsonObject{} << QJsonObject{{"t", "integer"}, {"v", 3}};
    QTest::newRow("2.5 real") << QJsonObject{{"p", 2.5}} << intType << QJsonObject{{"t", "real"}, {"v", 2.5}};
    QTest::newRow("4294967296 real") << QJsonObject{{"p", 4294967296.0}} << QJsonObject{}
                                     << QJsonObject{{"t", "real"}, {"v", 4294967296.0}};
    QTest::newRow("-2147483648 integer") << QJsonObject{{"p", -2147483648.0}} << QJsonObject{}
                                         << QJsonObject{{"t", "integer"}, {"v", -2147483648.0}};
    QTest::newRow("true is 1") << QJsonObject{{"p", true}} << QJsonObject{} << QJsonObject{{"t", "integer"}, {"v", 1}};
    QTest::newRow("text kept, not converted") << QJsonObject{{"p", "12"}} << intType
                                              << QJsonObject{{"t", "text"}, {"v", "12"}};
    QTest::newRow("unicode text") << QJsonObject{{"p", "计划"}} << QJsonObject{}
                                  << QJsonObject{{"t", "text"}, {"v", "计划"}};
    QTest::newRow("null beats declared") << QJsonObject{{"p", QJsonValue::Null}} << intType
                                         << QJsonObject{{"t", "null"}};
    QTest::newRow("array is null") << QJsonObject{{"p", QJsonArray{1}}} << QJsonObject{} << QJsonObject{{"t", "null"}};
    QTest::newRow("missing integer") << QJsonObject{} << intType << QJsonObject{{"t", "integer"}, {"v", 0}};
    QTest::newRow("missing double") << QJsonObject{} << QJsonObject{{"p", "double"}}
                                    << QJsonObject{{"t", "integer"}, {"v", 0}};
    QTest::newRow("missing string") << QJsonObject{} << QJsonObject{{"p", "string"}}
                                    << QJsonObject{{"t", "text"}, {"v", ""}};
    QTest::newRow("missing other word") << QJsonObject{} << QJsonObject{{"p", "blob"}} << QJsonObject{{"t", "null"}};
    QTest::newRow("missing undeclared") << QJsonObject{} << QJsonObject{} << QJsonObject{{"t", "null"}};
    QTest::newRow("name is case-sensitive") << QJsonObject{{"P", 3}} << QJsonObject{} << QJsonObject{{"t", "null"}};
}

void TestBr2DBSqlite::binding()
{
    QFETCH(QJsonObject, values);
    QFETCH(QJsonObject, types);
    QFETCH(QJsonObject, row);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    for (const char *sql : {"SELECT typeof(:p) AS t, :p AS v;", "SELECT typeof(@p) AS t, @p AS v;"}) {
        QList<QJsonObject> rows;
        int changes = -1;
        int lastId = -1;
        QVERIFY(db.exec(changes, lastId, rows, QString::fromLatin1(sql), values, types));
        QCOMPARE(rows, QList<QJsonObject>{row});
    }
}

void TestBr2DBSqlite::columns()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    const QList<QJsonObject> rows =
        run(db, QStringLiteral("SELECT 5000000000 AS big, NULL AS gone, x'00' AS blob, 1.5 AS Real, 'a' AS UPPER;"));
    QCOMPARE(rows, (QList<QJsonObject>{{{"big", 705032704}, {"real", 1.5}, {"upper", "a"}}}));
    QCOMPARE(run(db, QStringLiteral("SELECT 1 AS n WHERE 0;")), QList<QJsonObject>());
}

void TestBr2DBSqlite::multiStatement_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("changes");
    QTest::addColumn<int>("lastId");
    QTest::addColumn<QString>("error"); // expected part of lastError, empty: none

    QTest::newRow("insert") << "INSERT INTO t_queue(quu_no, quu_item) VALUES(7, 'x');" << true << 1 << 7 << "";
    QTest::newRow("first step fails, second runs")
        << "INSERT INTO t_queue(quu_no) VALUES(1); INSERT INTO t_queue(quu_no) VALUES(9);" << true << 1 << 9
        << "UNIQUE";
    QTest::newRow("second step fails after first")
        << "INSERT INTO t_queue(quu_no) VALUES(9); INSERT INTO t_queue(quu_no) VALUES(1);" << true << 0 << 9
        << "UNIQUE";
    QTest::newRow("prepare fails") << "INSERT INTO nowhere VALUES(1); INSERT INTO t_queue(quu_no) VALUES(9);"
                                   << false << 0 << 0 << "no such table";
    QTest::newRow("only comment") << "-- nothing" << false << 0 << 0 << "";
    QTest::newRow("empty") << "   " << false << 0 << 0 << "";
}

void TestBr2DBSqlite::multiStatement()
{
    QFETCH(QString, sql);
    QFETCH(bool, result);
    QFETCH(int, changes);
    QFETCH(int, lastId);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    int c = -1;
    int id = -1;
    QVERIFY(db.exec(c, id, QStringLiteral("INSERT INTO t_queue(quu_no) VALUES(1);")));
    QCOMPARE(db.exec(c, id, sql), result);
    QCOMPARE(c, changes);
    QCOMPARE(id, lastId);
    if (error.isEmpty())
        QCOMPARE(db.lastError(), QString());
    else
        QVERIFY2(db.lastError().contains(error), qPrintable(db.lastError()));
}

void TestBr2DBSqlite::callOverloads()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    int changes = 0;
    int lastId = 0;
    QVERIFY(db.call(changes, lastId, "queue_append", {{"item", "one"}}));
    QCOMPARE(changes, 1);
    QCOMPARE(lastId, 1);
    QCOMPARE(db.lastSqlid(), QStringLiteral("queue_append"));
    QVERIFY(db.call("queue_append", {{"item", "two"}}));

    QJsonArray array{QJsonObject{{"keep", 1}}};
    QVERIFY(db.call(changes, lastId, array, "queue_get", {{"quuno", 2}}));
    QCOMPARE(array, (QJsonArray{QJsonObject{{"keep", 1}}, QJsonObject{{"item", "two"}}}));
    QVERIFY(db.call(array, "queue_get", {{"quuno", 1}}));
    QCOMPARE(array.size(), 3);
    QList<QJsonObject> rows;
    QVERIFY(db.call(changes, lastId, rows, "queue_get", {}));     // declared integer binds 0: no row
    QVERIFY(db.call(changes, lastId, rows, "queue_get", {{"quuno", 3}}));
    QVERIFY(rows.isEmpty());

    QVERIFY(!db.call("Queue_Append", {{"item", "x"}}));
    QCOMPARE(db.lastError(), QStringLiteral("sqlid not found: Queue_Append"));
    QCOMPARE(db.lastSqlid(), QStringLiteral("Queue_Append"));
}

void TestBr2DBSqlite::openCreates_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");

    QTest::newRow("queue script") << QByteArray(kCreator) << true << "";
    QTest::newRow("empty script") << QByteArray() << false << "Not found creator ddl";
    QTest::newRow("comment only") << QByteArray("-- nothing\r\n") << false << "no SQL statement";
    QTest::newRow("broken first") << QByteArray("CREATE TABLX a(x);\r\nCREATE TABLE b(x);") << false << "syntax error";
    QTest::newRow("broken last") << QByteArray("CREATE TABLE a(x);\r\nINSERT INTO nowhere VALUES(1);") << false
                                 << "no such table";
    QTest::newRow("failing step") << QByteArray("CREATE TABLE a(x UNIQUE);\nINSERT INTO a VALUES(1);\n"
                                                "INSERT INTO a VALUES(1);\nCREATE TABLE b(x);")
                                  << false << "UNIQUE";
}

void TestBr2DBSqlite::openCreates()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, result);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString folder = dir.filePath(QStringLiteral("new folder/deeper"));
    const QString path = folder + QStringLiteral("/q.db");
    const QString creator = dir.filePath(QStringLiteral("creator.sql"));
    QVERIFY(writeFile(creator, script));

    BR2DBSqlite db;
    db.loadSqlCreator(creator);
    bool created = false;
    QCOMPARE(db.open(path, &created), result);
    QCOMPARE(created, result);
    QCOMPARE(db.isOpen(), result);
    QCOMPARE(db.dbPath(), result ? path : QString());
    QCOMPARE(fileMode(folder), 0755u);
    if (result) {
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(leftovers(folder), QStringList{"q.db"});
        QCOMPARE(db.dbVersion(), 1);
    } else {
        QVERIFY2(db.lastError().contains(error), qPrintable(db.lastError()));
        QCOMPARE(leftovers(folder), QStringList()); // no file, no temporary, no journal
    }
}

void TestBr2DBSqlite::openExistingRunsNoScript()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath(QStringLiteral("q.db"));
    {
        BR2DBSqlite db;
        QVERIFY(makeDatabase(db, dir));
        QVERIFY(db.call("queue_append", {{"item", "kept"}}));
    }
    BR2DBSqlite db;
    db.loadSqlCreator(dir.filePath(QStringLiteral("creator.sql")));
    bool created = false;
    QVERIFY(db.open(path, &created));
    QVERIFY(!created);
    QCOMPARE(run(db, "SELECT count(*) AS n FROM t_queue;"), (QList<QJsonObject>{{{"n", 1}}}));

    // The file-path form loads the engine after opening.
    QVERIFY(db.open(path, dir.filePath(QStringLiteral("engine.sql")), QString(), &created));
    QVERIFY(!created);
    QVERIFY(db.sqlEngine().contains("queue_get"));
    QVERIFY(!db.open(QString(), QString(), QString(), nullptr));
    QVERIFY(!db.isOpen());

    // The file-path form with no creation script does not create.
    const QString other = dir.filePath(QStringLiteral("other.db"));
    QVERIFY(!db.open(other, dir.filePath(QStringLiteral("engine.sql")), QString(), &created));
    QCOMPARE(db.lastError(), QStringLiteral("Not found creator ddl"));
    QVERIFY(!QFileInfo::exists(other));
}

// Fault fixed: the folder's mode was set even when it already existed, so
// a database directly in /tmp stripped its sticky bit and world write.
void TestBr2DBSqlite::openKeepsExistingFolderMode()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString shared = dir.filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    const QString creator = dir.filePath(QStringLiteral("creator.sql"));
    QVERIFY(writeFile(creator, kCreator));
    BR2DBSqlite db;
    db.loadSqlCreator(creator);
    bool created = false;
    QVERIFY(db.open(shared + QStringLiteral("/q.db"), &created));
    QVERIFY(created);
    QCOMPARE(fileMode(shared), 01777u);
}

void TestBr2DBSqlite::openOnlyNeverCreates()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    QVERIFY(!db.openOnly(dir.filePath(QStringLiteral("missing.db"))));
    QVERIFY(!db.isOpen());
    QCOMPARE(db.dbPath(), QString());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("missing.db"))));
    QVERIFY(db.openOnly(dir.filePath(QStringLiteral("q.db"))));
    QCOMPARE(db.dbVersion(), 1);
    db.close();
    QCOMPARE(db.dbPath(), dir.filePath(QStringLiteral("q.db"))); // the path stays recorded
}

void TestBr2DBSqlite::closedConnection_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("exec") << 0;
    QTest::newRow("call") << 1;
    QTest::newRow("transactionBegin") << 2;
    QTest::newRow("transactionCommit") << 3;
    QTest::newRow("transactionRollback") << 4;
    QTest::newRow("setJournalModeWal") << 5;
    QTest::newRow("dbUpgrades") << 6;
}

// Fault fixed: a closed connection handed a null handle to the library.
void TestBr2DBSqlite::closedConnection()
{
    QFETCH(int, operation);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    db.close();
    int changes = -1;
    int lastId = -1;
    bool result = true;
    switch (operation) {
    case 0: result = db.exec(changes, lastId, QStringLiteral("SELECT 1;")); break;
    case 1: result = db.call(changes, lastId, "queue_append", {{"item", "x"}}); break;
    case 2: result = db.transactionBegin(); break;
    case 3: result = db.transactionCommit(); break;
    case 4: result = db.transactionRollback(); break;
    case 5: result = db.setJournalModeWal(); break;
    case 6: result = db.dbUpgrades(); break;
    }
    QVERIFY(!result);
    QCOMPARE(db.dbVersion(), 0);
    QCOMPARE(db.lastError(), QStringLiteral("database is not open"));
    db.callDetach("queue_append", {{"item", "x"}}); // does nothing
}

// Fault fixed: inserts were not durable and an outside writer failed them.
void TestBr2DBSqlite::connectionSettings()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    QCOMPARE(run(db, "PRAGMA synchronous;"), (QList<QJsonObject>{{{"synchronous", 2}}}));
    QCOMPARE(run(db, "PRAGMA busy_timeout;"), (QList<QJsonObject>{{{"timeout", 5000}}}));
    db.setBusyTimeout(250);
    QCOMPARE(run(db, "PRAGMA busy_timeout;"), (QList<QJsonObject>{{{"timeout", 250}}}));
    QVERIFY(db.openOnly(dir.filePath(QStringLiteral("q.db"))));
    QCOMPARE(run(db, "PRAGMA busy_timeout;"), (QList<QJsonObject>{{{"timeout", 250}}}));
    QCOMPARE(run(db, "PRAGMA synchronous;"), (QList<QJsonObject>{{{"synchronous", 2}}}));
}

// Opening never changes the file: a foreign or existing database is left
// byte for byte as it was until the caller asks for WAL.
void TestBr2DBSqlite::journalModeLeftAlone()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath(QStringLiteral("q.db"));
    {
        BR2DBSqlite db;
        QVERIFY(makeDatabase(db, dir));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    BR2DBSqlite db;
    QVERIFY(db.open(path));
    QCOMPARE(db.dbVersion(), 1);
    QCOMPARE(run(db, "PRAGMA journal_mode;"), (QList<QJsonObject>{{{"journal_mode", "delete"}}}));
    db.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();

    QVERIFY(db.open(path));
    QVERIFY(db.setJournalModeWal());
    db.close();
    QCOMPARE(query(path, "PRAGMA journal_mode;"), (QList<QJsonObject>{{{"journal_mode", "wal"}}}));
}

void TestBr2DBSqlite::transactions()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    QVERIFY(db.transactionBegin());
    QVERIFY(db.call("queue_append", {{"item", "gone"}}));
    QVERIFY(db.transactionRollback());
    QVERIFY(db.transactionBegin());
    QVERIFY(db.call("queue_append", {{"item", "kept"}}));
    QVERIFY(db.transactionCommit());
    QVERIFY(!db.transactionCommit()); // none open
    QCOMPARE(query(db.dbPath(), "SELECT quu_item AS i FROM t_queue;"), (QList<QJsonObject>{{{"i", "kept"}}}));
}

// Fault fixed: a COMMIT refused as busy was reported as success while the
// connection stayed inside the transaction.
void TestBr2DBSqlite::commitFailureRollsBack()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir)); // rollback journal: a reader blocks COMMIT
    db.setBusyTimeout(100);
    sqlite3 *reader = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(db.dbPath()).constData(), &reader), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    QCOMPARE(sqlite3_prepare_v2(reader, "SELECT quu_no FROM t_queue;", -1, &stmt, nullptr), SQLITE_OK);
    QVERIFY(db.call("queue_append", {{"item", "a"}}));
    QVERIFY(db.call("queue_append", {{"item", "b"}}));

    QVERIFY(db.transactionBegin());
    QVERIFY(db.call("queue_append", {{"item", "c"}}));
    QCOMPARE(sqlite3_step(stmt), SQLITE_ROW); // holds a shared lock
    QVERIFY(!db.transactionCommit());
    QVERIFY2(db.lastError().contains("locked"), qPrintable(db.lastError()));
    sqlite3_finalize(stmt);
    sqlite3_close(reader);

    QVERIFY(db.transactionBegin()); // not still inside the failed one
    QVERIFY(db.transactionRollback());
    QCOMPARE(query(db.dbPath(), "SELECT count(*) AS n FROM t_queue;"), (QList<QJsonObject>{{{"n", 2}}}));
}

void TestBr2DBSqlite::dbVersion()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    QCOMPARE(db.dbVersion(), 1);
    int changes = 0;
    int lastId = 0;
    QVERIFY(db.exec(changes, lastId, "UPDATE sys_configure SET cfg_value = ' 0x1f' WHERE cfg_key = 'Database.Version';"));
    QCOMPARE(db.dbVersion(), 0x1f);
    QVERIFY(db.exec(changes, lastId, "DELETE FROM sys_configure;"));
    QCOMPARE(db.dbVersion(), 0);
    QVERIFY(db.exec(changes, lastId, "DROP TABLE sys_configure;"));
    QCOMPARE(db.dbVersion(), 0);
}

void TestBr2DBSqlite::upgrades_data()
{
    QTest::addColumn<QByteArray>("engine");
    QTest::addColumn<bool>("all");       // dbUpgrades, or else dbUpgrade(from)
    QTest::addColumn<int>("from");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("version");    // afterwards
    QTest::addColumn<QStringList>("log"); // rows of table log afterwards

    const QByteArray v1 = "SQL: dbupgrade_v1_1\nCREATE TABLE log(s TEXT);\nINSERT INTO log VALUES('1.1');\n"
                          "SQL: dbupgrade_v1_2\nINSERT INTO log VALUES('1.2');\n";
    const QByteArray v2 = "SQL: dbupgrade_v2_1\nINSERT INTO log VALUES('2.1');\n";
    QTest::newRow("two steps in order") << v1 << false << 1 << true << 2 << QStringList{"1.1", "1.2"};
    QTest::newRow("nothing from 2") << v1 << false << 2 << false << 1 << QStringList();
    QTest::newRow("chain to 3") << (v1 + v2) << true << 0 << true << 3 << QStringList{"1.1", "1.2", "2.1"};
    QTest::newRow("nothing at all") << QByteArray("SQL: x\nSELECT 1;\n") << true << 0 << false << 1 << QStringList();
    QTest::newRow("second step fails")
        << (v1 + "SQL: dbupgrade_v1_2\nINSERT INTO nowhere VALUES(1);\n") << false << 1 << false << 1 << QStringList();
    QTest::newRow("chain step fails")
        << (v1 + "SQL: dbupgrade_v2_1\nINSERT INTO nowhere VALUES(1);\n") << true << 0 << false << 1 << QStringList();
    // Fault fixed: a step counted as done when any one of its statements did.
    QTest::newRow("half of a step fails")
        << (v1 + "SQL: dbupgrade_v1_2\nINSERT INTO log VALUES('1.2');\nINSERT INTO nowhere VALUES(1);\n") << false
        << 1 << false << 1 << QStringList();
    // Fault fixed: a version with a later step but no step 1 looped forever.
    QTest::newRow("chain ends without step 1")
        << (v1 + "SQL: dbupgrade_v2_2\nINSERT INTO log VALUES('2.2');\n") << true << 0 << true << 2
        << QStringList{"1.1", "1.2"};
    QTest::newRow("gap in steps") << QByteArray("SQL: dbupgrade_v1_1\nCREATE TABLE log(s TEXT);\n"
                                                "SQL: dbupgrade_v1_3\nINSERT INTO log VALUES('1.3');\n")
                                  << false << 1 << true << 2 << QStringList();
}

void TestBr2DBSqlite::upgrades()
{
    QFETCH(QByteArray, engine);
    QFETCH(bool, all);
    QFETCH(int, from);
    QFETCH(bool, result);
    QFETCH(int, version);
    QFETCH(QStringList, log);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    const QString enginePath = dir.filePath(QStringLiteral("upgrade.sql"));
    QVERIFY(writeFile(enginePath, engine));
    QVERIFY(db.loadSqlEngine(enginePath));
    QCOMPARE(db.dbUpgradable(1), engine.contains("dbupgrade_v1_"));
    QVERIFY(!db.dbUpgradable(7));

    QCOMPARE(all ? db.dbUpgrades() : db.dbUpgrade(from), result);
    QCOMPARE(db.dbVersion(), version);
    QStringList rows;
    for (const QJsonObject &row : run(db, "SELECT s FROM log ORDER BY rowid;"))
        rows << row.value("s").toString();
    QCOMPARE(rows, log);
    QVERIFY(db.transactionBegin()); // no transaction left open
    QVERIFY(db.transactionRollback());
}

// Fault fixed: concurrent inserts on the one connection could read each
// other's row id, so a job carried another job's queue number.
void TestBr2DBSqlite::concurrentAppendsKeepTheirRowIds()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    QVERIFY(db.setJournalModeWal());
    constexpr int threads = 8;
    constexpr int appends = 500;
    std::vector<std::vector<int>> ids(threads);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < appends; ++i) {
                int changes = 0;
                int lastId = 0;
                if (!db.call(changes, lastId, QStringLiteral("queue_append"),
                             {{QStringLiteral("item"), QStringLiteral("%1/%2").arg(t).arg(i)}})
                    || changes != 1)
                    ++failures;
                ids[t].push_back(lastId);
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    QCOMPARE(failures.load(), 0);

    QHash<int, QString> stored;
    for (const QJsonObject &row : run(db, "SELECT quu_no AS n, quu_item AS i FROM t_queue;"))
        stored.insert(row.value("n").toInt(), row.value("i").toString());
    QCOMPARE(stored.size(), threads * appends);
    QSet<int> seen;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < appends; ++i) {
            const int id = ids[t][i];
            QVERIFY2(!seen.contains(id), qPrintable(QStringLiteral("row id %1 reported twice").arg(id)));
            seen.insert(id);
            QCOMPARE(stored.value(id), QStringLiteral("%1/%2").arg(t).arg(i));
        }
    }
}

// Fault fixed: an outside writer (the sqlite3 shell) made inserts fail at
// once with "database is locked".
void TestBr2DBSqlite::outsideWriterDelaysInsert()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    BR2DBSqlite db;
    QVERIFY(makeDatabase(db, dir));
    QVERIFY(db.setJournalModeWal());
    sqlite3 *other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(db.dbPath()).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
    QElapsedTimer held;
    held.start();
    std::thread holder([other] {
        QThread::msleep(1000); // the outside writer keeps its lock this long
        sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
    });
    int changes = 0;
    int lastId = 0;
    const bool ok = db.call(changes, lastId, "queue_append", {{"item", "waited"}});
    const qint64 waited = held.elapsed();
    holder.join();
    sqlite3_close(other);
    QVERIFY2(ok, qPrintable(db.lastError()));
    QCOMPARE(changes, 1);
    QVERIFY2(waited >= 900, qPrintable(QString::number(waited)));
}

void TestBr2DBSqlite::callDetachRuns()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    {
        BR2DBSqlite db;
        QVERIFY(makeDatabase(db, dir));
        db.callDetach("queue_append", {{"item", "detached"}});
        QVERIFY(QTest::qWaitFor([&] { return !run(db, "SELECT 1 FROM t_queue;").isEmpty(); }, 5000));
        for (int i = 0; i < 20; ++i)
            db.callDetach("queue_append", {{"item", "late"}});
    } // the destructor waits for the detached calls
    QCOMPARE(query(dir.filePath("q.db"), "SELECT count(*) AS n FROM t_queue;"), (QList<QJsonObject>{{{"n", 21}}}));
}

// Fault fixed: a kill during the first start left a partial file that
// every later start took for an existing database.
void TestBr2DBSqlite::killDuringCreationLeavesNothing()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString folder = dir.filePath(QStringLiteral("db"));
    const QString path = folder + QStringLiteral("/q.db");
    const QString slow = dir.filePath(QStringLiteral("slow.sql"));
    QVERIFY(writeFile(slow, QByteArray(kCreator)
                                + "CREATE TABLE big(x);\r\nINSERT INTO big WITH RECURSIVE c(x) AS "
                                  "(SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000) SELECT x FROM c;\r\n"));
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--create-child"), path, slow});
    QVERIFY(child.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return !leftovers(folder).isEmpty(); }, 10000));
    QTest::qWait(QRandomGenerator::global()->bounded(200)); // somewhere in the script
    child.kill();
    QVERIFY(child.waitForFinished(5000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY(!QFileInfo::exists(path));

    // The next start creates the database as if nothing had happened.
    const QString creator = dir.filePath(QStringLiteral("creator.sql"));
    QVERIFY(writeFile(creator, kCreator));
    BR2DBSqlite db;
    db.loadSqlCreator(creator);
    bool created = false;
    QVERIFY(db.open(path, &created));
    QVERIFY(created);
    QCOMPARE(db.dbVersion(), 1);
    QCOMPARE(leftovers(folder), QStringList{"q.db"}); // the killed attempt's file is gone
}

// Every insert acknowledged before a SIGKILL is in the file afterwards.
void TestBr2DBSqlite::killDuringAppendsLosesNothing()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = dir.filePath(QStringLiteral("q.db"));
    {
        BR2DBSqlite db;
        QVERIFY(makeDatabase(db, dir));
        QVERIFY(db.setJournalModeWal());
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--append-child"), path});
    QVERIFY(child.waitForStarted());
    const int before = 20 + QRandomGenerator::global()->bounded(300);
    QByteArray out;
    QElapsedTimer deadline;
    deadline.start();
    while (out.count('\n') < before && deadline.elapsed() < 20000 && child.state() == QProcess::Running) {
        child.waitForReadyRead(100);
        out += child.readAllStandardOutput();
    }
    child.kill();
    QVERIFY(child.waitForFinished(5000));
    out += child.readAllStandardOutput();
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    QList<int> acknowledged;
    for (const QByteArray &line : out.split('\n')) {
        if (!line.isEmpty())
            acknowledged << line.toInt();
    }
    QVERIFY2(acknowledged.size() >= before, qPrintable(QString::number(acknowledged.size())));
    QSet<int> stored;
    for (const QJsonObject &row : query(path, "SELECT quu_no AS n FROM t_queue;"))
        stored.insert(row.value("n").toInt());
    for (int id : qAsConst(acknowledged))
        QVERIFY2(stored.contains(id), qPrintable(QStringLiteral("acknowledged row %1 lost").arg(id)));
    QCOMPARE(query(path, "PRAGMA integrity_check;"), (QList<QJsonObject>{{{"integrity_check", "ok"}}}));
}

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
