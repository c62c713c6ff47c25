#ifndef BR2DBSQLITE_H
#define BR2DBSQLITE_H
#include <QJsonArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

// One SQLite connection plus a table of named statements read from an
// engine file. Callers never build SQL: they call a statement by name with
// a JSON object of arguments and get JSON row objects back.
//
// The connection is shared by many threads. Every statement runs as one
// unit under m_dbMutex, so the change count, the last row id and the error
// text a caller reads belong to its own statement.
class BR2DBSqlite
{
public:
    BR2DBSqlite();
    ~BR2DBSqlite();
    BR2DBSqlite(const BR2DBSqlite &) = delete;
    BR2DBSqlite &operator=(const BR2DBSqlite &) = delete;

    // Statement engine
    bool loadSqlEngine(const QString &path, bool flag = false);
    void loadSqlCreator(const QString &path);
    static QStringList delSqlComments(const QString &text);
    QJsonObject sqlEngine() const;
    QString sqlCreator() const;
    QString sqlEngineText() const;

    bool exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
              const QJsonObject &values, const QJsonObject &types);
    bool exec(int &changes, int &lastId, const QString &sql,
              const QJsonObject &values = QJsonObject(), const QJsonObject &types = QJsonObject());

    bool call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &name, const QJsonObject &values);
    bool call(int &changes, int &lastId, const QString &name, const QJsonObject &values);
    bool call(const QString &name, const QJsonObject &values);
    bool call(QList<QJsonObject> &rows, const QString &name, const QJsonObject &values);
    bool call(int &changes, int &lastId, QJsonArray &rows, const QString &name, const QJsonObject &values);
    bool call(QJsonArray &rows, const QString &name, const QJsonObject &values);
    void callDetach(const QString &name, const QJsonObject &values);

    QString lastError() const;
    QString lastSqlid() const;

    // Connection
    bool open(const QString &path, bool *created = nullptr);
    bool open(const QString &path, const QString &enginePath, const QString &creatorPath, bool *created = nullptr);
    bool openOnly(const QString &path);
    void close();
    bool isOpen() const;
    QString dbPath() const;

    // The journal mode is stored in the file, so it is switched only on
    // request: right after creation, or once the caller knows the file is
    // its own. Returns true when the file is in WAL mode afterwards.
    bool setJournalModeWal();
    // Applied to the open connection and to every later open; default 5000.
    void setBusyTimeout(int msecs);

    bool transactionBegin();
    bool transactionCommit();
    bool transactionRollback();

    int dbVersion();
    bool dbUpgradable(int version);
    bool dbUpgrade(int from);
    bool dbUpgrades();

private:
    bool execLocked(int &changes, int &lastId, QList<QJsonObject> *rows, const QByteArray &sql,
                    const QJsonObject &values, const QJsonObject &types, bool strict);
    bool execChecked(int &changes, int &lastId, QList<QJsonObject> *rows, const QString &sql,
                     const QJsonObject &values, const QJsonObject &types, bool strict);
    bool callEntry(int &changes, int &lastId, QList<QJsonObject> *rows, const QString &name,
                   const QJsonObject &values, bool strict);
    bool openPath(const QString &path, bool *created, bool withFiles, const QString &enginePath,
                  const QString &creatorPath);
    bool openConnection(const QString &path, bool create);
    bool createDatabase(const QString &path, const QString &script, bool &ours);
    bool runUpgradeSteps(const QJsonObject &engine, int version, int &stepsRun);
    bool commitVersion(int version);
    void setError(const QString &text);

    mutable QMutex m_dbMutex;          // guards the members below up to m_busyTimeout and every use of m_db
    QString m_dbPath;                  // guarded by m_dbMutex
    sqlite3 *m_db = nullptr;           // guarded by m_dbMutex
    QString m_lastError;               // guarded by m_dbMutex; overwritten by each failure, never cleared
    QString m_lastSqlid;               // guarded by m_dbMutex
    int m_busyTimeout = 5000;          // guarded by m_dbMutex
    QHash<QByteArray, sqlite3_stmt *> m_statements; // guarded by m_dbMutex; prepared on m_db, reset between uses

    mutable QReadWriteLock m_engineLock; // guards m_engine and m_engineText; never held while SQL runs
    QJsonObject m_engine;
    QString m_engineText;
    QString m_sqlCreator;              // set and read on the opening thread only

    // callDetach threads still running; the destructor waits for them.
    std::mutex m_detachMutex;
    std::condition_variable m_detachDone;
    int m_detached = 0;                // guarded by m_detachMutex
};

#endif // BR2DBSQLITE_H
