#include "br2dbsqlite.h"

#include "br2sqlengine.h"
#include "br2sqlrun.h"
#include "br2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonValue>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QReadLocker>
#include <QWriteLocker>

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char *const kNotOpen = "database is not open";

QString upgradeName(int version, int step)
{
    return QStringLiteral("dbupgrade_v%1_%2").arg(version).arg(step);
}

void removeWithSideFiles(const QString &path)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

// A rename is durable only once the folder that holds the new name is.
void syncFolder(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A creation killed part way leaves its temporary file behind; remove
// those whose process is gone (a live one may still be creating).
void removeStaleCreations(const QString &dir, const QString &fileName)
{
    const QString prefix = QStringLiteral(".%1.new-").arg(fileName);
    const QStringList names = QDir(dir).entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        bool ok = false;
        const int pid = name.mid(prefix.size()).section(QLatin1Char('-'), 0, 0).toInt(&ok);
        if (ok && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            QFile::remove(dir + QLatin1Char('/') + name);
    }
}

} // namespace

BR2DBSqlite::BR2DBSqlite() = default;

BR2DBSqlite::~BR2DBSqlite()
{
    {
        // Detached statement threads use this object; let them finish.
        std::unique_lock<std::mutex> lock(m_detachMutex);
        m_detachDone.wait(lock, [this] { return m_detached == 0; });
    }
    close();
}

QStringList BR2DBSqlite::delSqlComments(const QString &text)
{
    return BR2SqlEngine::delSqlComments(text);
}

bool BR2DBSqlite::loadSqlEngine(const QString &path, bool flag)
{
    Q_UNUSED(flag);
    if (path.isEmpty()) {
        setError(QStringLiteral("Not found engine ddl."));
        return false;
    }
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QString text = QString::fromUtf8(file.readAll()).trimmed();
    file.close();

    const QJsonObject engine = BR2SqlEngine::parse(text);

    QWriteLocker locker(&m_engineLock);
    m_engine = engine;
    m_engineText = text;
    return true;
}

void BR2DBSqlite::loadSqlCreator(const QString &path)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    m_sqlCreator = QString::fromUtf8(file.readAll()).trimmed();
}

QJsonObject BR2DBSqlite::sqlEngine() const
{
    QReadLocker locker(&m_engineLock);
    return m_engine;
}

QString BR2DBSqlite::sqlCreator() const
{
    return m_sqlCreator;
}

QString BR2DBSqlite::sqlEngineText() const
{
    QReadLocker locker(&m_engineLock);
    return m_engineText;
}

QString BR2DBSqlite::lastError() const
{
    QMutexLocker locker(&m_dbMutex);
    return m_lastError;
}

QString BR2DBSqlite::lastSqlid() const
{
    QMutexLocker locker(&m_dbMutex);
    return m_lastSqlid;
}

void BR2DBSqlite::setError(const QString &text)
{
    QMutexLocker locker(&m_dbMutex);
    m_lastError = text;
}

bool BR2DBSqlite::execLocked(int &changes, int &lastId, QList<QJsonObject> *rows, const QByteArray &sql,
                             const QJsonObject &values, const QJsonObject &types, bool strict)
{
    changes = 0;
    lastId = 0;
    if (!m_db) {
        m_lastError = QString::fromLatin1(kNotOpen);
        return false;
    }
    return runSql(m_db, changes, lastId, rows, sql, values, types, strict, m_lastError, &m_statements);
}

bool BR2DBSqlite::execChecked(int &changes, int &lastId, QList<QJsonObject> *rows, const QString &sql,
                              const QJsonObject &values, const QJsonObject &types, bool strict)
{
    const QByteArray utf8 = sql.toUtf8();
    QMutexLocker locker(&m_dbMutex);
    return execLocked(changes, lastId, rows, utf8, values, types, strict);
}

bool BR2DBSqlite::exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
                       const QJsonObject &values, const QJsonObject &types)
{
    return execChecked(changes, lastId, &rows, sql, values, types, false);
}

bool BR2DBSqlite::exec(int &changes, int &lastId, const QString &sql, const QJsonObject &values,
                       const QJsonObject &types)
{
    return execChecked(changes, lastId, nullptr, sql, values, types, false);
}

bool BR2DBSqlite::callEntry(int &changes, int &lastId, QList<QJsonObject> *rows, const QString &name,
                            const QJsonObject &values, bool strict)
{
    changes = 0;
    lastId = 0;
    QJsonObject entry;
    {
        QReadLocker locker(&m_engineLock);
        entry = m_engine.value(name).toObject();
    }
    const QByteArray sql = entry.value(QStringLiteral("text")).toString().toUtf8();
    const QJsonObject types = entry.value(QStringLiteral("params")).toObject();
    QMutexLocker locker(&m_dbMutex);
    m_lastSqlid = name;
    if (entry.isEmpty()) {
        m_lastError = QStringLiteral("sqlid not found: ") + name;
        return false;
    }
    return execLocked(changes, lastId, rows, sql, values, types, strict);
}

bool BR2DBSqlite::call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &name,
                       const QJsonObject &values)
{
    return callEntry(changes, lastId, &rows, name, values, false);
}

bool BR2DBSqlite::call(int &changes, int &lastId, const QString &name, const QJsonObject &values)
{
    return callEntry(changes, lastId, nullptr, name, values, false);
}

bool BR2DBSqlite::call(const QString &name, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return callEntry(changes, lastId, nullptr, name, values, false);
}

bool BR2DBSqlite::call(QList<QJsonObject> &rows, const QString &name, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return callEntry(changes, lastId, &rows, name, values, false);
}

bool BR2DBSqlite::call(int &changes, int &lastId, QJsonArray &rows, const QString &name, const QJsonObject &values)
{
    QList<QJsonObject> list;
    const bool ok = callEntry(changes, lastId, &list, name, values, false);
    for (const QJsonObject &row : qAsConst(list))
        rows.append(row);
    return ok;
}

bool BR2DBSqlite::call(QJsonArray &rows, const QString &name, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return call(changes, lastId, rows, name, values);
}

void BR2DBSqlite::callDetach(const QString &name, const QJsonObject &values)
{
    if (!isOpen())
        return;
    {
        std::lock_guard<std::mutex> guard(m_detachMutex);
        ++m_detached;
    }
    std::thread([this, name, values] {
        call(name, values);
        std::lock_guard<std::mutex> guard(m_detachMutex);
        --m_detached;
        m_detachDone.notify_all();
    }).detach();
}

bool BR2DBSqlite::isOpen() const
{
    QMutexLocker locker(&m_dbMutex);
    return m_db != nullptr;
}

QString BR2DBSqlite::dbPath() const
{
    QMutexLocker locker(&m_dbMutex);
    return m_dbPath;
}

void BR2DBSqlite::close()
{
    QMutexLocker locker(&m_dbMutex);
    if (m_db) {
        // Every other statement is finalised before m_dbMutex is released,
        // so the plain close cannot be refused for unfinished statements.
        for (sqlite3_stmt *stmt : qAsConst(m_statements))
            sqlite3_finalize(stmt);
        m_statements.clear();
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

bool BR2DBSqlite::openConnection(const QString &path, bool create)
{
    QMutexLocker locker(&m_dbMutex);
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags, nullptr) != SQLITE_OK) {
        m_lastError = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
        sqlite3_close(db);
        m_dbPath.clear();
        return false;
    }
    // Per-connection settings only; nothing here writes to the file.
    // A busy timeout lets an outside reader or writer (the sqlite3 shell)
    // delay an insert instead of failing it; synchronous FULL makes every
    // acknowledged commit survive a power loss.
    sqlite3_busy_timeout(db, m_busyTimeout);
    sqlite3_exec(db, "PRAGMA synchronous = FULL;", nullptr, nullptr, nullptr);
    m_db = db;
    m_dbPath = path;
    return true;
}

// A new database is built under a temporary name in the same folder, in one
// transaction, and renamed onto the path only once complete: a failing
// statement or a kill part way never leaves a file at the path that a later
// start would take for an existing database.
bool BR2DBSqlite::createDatabase(const QString &path, const QString &script, bool &ours)
{
    ours = false;
    const QFileInfo info(path);
    const QString dir = info.absolutePath();
    removeStaleCreations(dir, info.fileName());
    const QString temp = QStringLiteral("%1/.%2.new-%3-%4")
                             .arg(dir, info.fileName())
                             .arg(::getpid())
                             .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    QString error;
    sqlite3 *db = nullptr;
    // Private from its first byte: SQLite gives its log files the mode of
    // the database, and a database holds its users' requests.
    const int made = ::open(QFile::encodeName(temp).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (made >= 0)
        ::close(made);
    bool ok = sqlite3_open_v2(QFile::encodeName(temp).constData(), &db,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    if (!ok) {
        error = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
    } else {
        sqlite3_exec(db, "PRAGMA synchronous = FULL;", nullptr, nullptr, nullptr);
        int changes = 0;
        int lastId = 0;
        ok = runSql(db, changes, lastId, nullptr, "BEGIN IMMEDIATE;", {}, {}, true, error)
             && runSql(db, changes, lastId, nullptr, script.toUtf8(), {}, {}, true, error)
             && runSql(db, changes, lastId, nullptr, "COMMIT;", {}, {}, true, error);
    }
    sqlite3_close(db);
    if (ok) {
        const QByteArray from = QFile::encodeName(temp);
        const QByteArray to = QFile::encodeName(path);
        int rc = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS))
            rc = ::rename(from.constData(), to.constData());
        // EEXIST: another process created the database meanwhile; its file
        // stands and ours is dropped.
        if (rc != 0 && errno != EEXIST) {
            error = QStringLiteral("cannot rename %1 to %2: %3").arg(temp, path, QString::fromLocal8Bit(strerror(errno)));
            ok = false;
        }
        ours = rc == 0;
    }
    removeWithSideFiles(temp);
    if (!ok) {
        setError(error);
        return false;
    }
    syncFolder(dir);
    return true;
}

bool BR2DBSqlite::open(const QString &path, bool *created)
{
    return openPath(path, created, false, QString(), QString());
}

bool BR2DBSqlite::open(const QString &path, const QString &enginePath, const QString &creatorPath, bool *created)
{
    return openPath(path, created, true, enginePath, creatorPath);
}

// withFiles: the creation script is read from creatorPath (only when the
// database is missing) and the engine from enginePath after the open.
bool BR2DBSqlite::openPath(const QString &path, bool *created, bool withFiles, const QString &enginePath,
                           const QString &creatorPath)
{
    close();
    if (path.isEmpty())
        return false;
    bool made = false;
    if (!QFileInfo::exists(path)) {
        // Only a folder made here gets its mode set: an existing one (/tmp
        // with its sticky bit, say) belongs to someone else.
        const QString dir = QFileInfo(path).absolutePath();
        if (!QFileInfo(dir).isDir() && QDir().mkpath(dir))
            ::chmod(QFile::encodeName(dir).constData(), 0755);
        if (withFiles && !creatorPath.isEmpty())
            loadSqlCreator(creatorPath);
        if ((withFiles && creatorPath.isEmpty()) || m_sqlCreator.isEmpty()) {
            QMutexLocker locker(&m_dbMutex);
            m_lastError = QStringLiteral("Not found creator ddl");
            m_dbPath.clear();
            return false;
        }
        // A database another process created meanwhile is not ours: its
        // caller must not treat it as new.
        if (!createDatabase(path, m_sqlCreator, made)) {
            QMutexLocker locker(&m_dbMutex);
            m_dbPath.clear();
            return false;
        }
    }
    if (!openConnection(path, false))
        return false;
    if (created)
        *created = made;
    if (withFiles)
        loadSqlEngine(enginePath);
    return true;
}

bool BR2DBSqlite::openOnly(const QString &path)
{
    close();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        QMutexLocker locker(&m_dbMutex);
        m_dbPath.clear();
        return false;
    }
    return openConnection(path, false);
}

bool BR2DBSqlite::setJournalModeWal()
{
    QList<QJsonObject> rows;
    int changes = 0;
    int lastId = 0;
    QMutexLocker locker(&m_dbMutex);
    if (!execLocked(changes, lastId, &rows, "PRAGMA journal_mode = WAL;", {}, {}, true))
        return false;
    const QString mode = rows.value(0).value(QStringLiteral("journal_mode")).toString();
    if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        m_lastError = QStringLiteral("journal mode stays ") + mode;
        return false;
    }
    return true;
}

void BR2DBSqlite::setBusyTimeout(int msecs)
{
    QMutexLocker locker(&m_dbMutex);
    m_busyTimeout = msecs;
    if (m_db)
        sqlite3_busy_timeout(m_db, msecs);
}

bool BR2DBSqlite::transactionBegin()
{
    int changes = 0;
    int lastId = 0;
    return execChecked(changes, lastId, nullptr, QStringLiteral("begin transaction"), {}, {}, true);
}

bool BR2DBSqlite::transactionCommit()
{
    int changes = 0;
    int lastId = 0;
    QMutexLocker locker(&m_dbMutex);
    if (execLocked(changes, lastId, nullptr, "commit transaction", {}, {}, true))
        return true;
    // A failed COMMIT (busy, say) leaves the transaction open; every later
    // insert would then ride in it and be lost at exit. Roll it back and
    // keep the COMMIT's message.
    if (m_db && !sqlite3_get_autocommit(m_db)) {
        const QString reason = m_lastError;
        sqlite3_exec(m_db, "rollback transaction", nullptr, nullptr, nullptr);
        m_lastError = reason;
    }
    return false;
}

bool BR2DBSqlite::transactionRollback()
{
    int changes = 0;
    int lastId = 0;
    return execChecked(changes, lastId, nullptr, QStringLiteral("rollback transaction"), {}, {}, true);
}

int BR2DBSqlite::dbVersion()
{
    QList<QJsonObject> rows;
    int changes = 0;
    int lastId = 0;
    if (!exec(changes, lastId, rows,
              QStringLiteral("SELECT * FROM sys_configure WHERE cfg_key = 'Database.Version' LIMIT 1;"), {}, {})
        || rows.isEmpty())
        return 0;
    return toInt(rows.first().value(QStringLiteral("cfg_value")));
}

bool BR2DBSqlite::dbUpgradable(int version)
{
    const QString prefix = QStringLiteral("dbupgrade_v%1_").arg(version);
    const QJsonObject engine = sqlEngine();
    for (auto it = engine.constBegin(); it != engine.constEnd(); ++it) {
        if (it.key().startsWith(prefix))
            return true;
    }
    return false;
}

// Runs steps 1, 2, ... of one version until a step number is missing. Each
// step must succeed as a whole: one failing statement fails the step.
bool BR2DBSqlite::runUpgradeSteps(const QJsonObject &engine, int version, int &stepsRun)
{
    stepsRun = 0;
    for (int step = 1;; ++step) {
        const QString name = upgradeName(version, step);
        const QJsonObject entry = engine.value(name).toObject();
        if (entry.isEmpty())
            return true;
        int changes = 0;
        int lastId = 0;
        {
            QMutexLocker locker(&m_dbMutex);
            m_lastSqlid = name;
        }
        if (!execChecked(changes, lastId, nullptr, entry.value(QStringLiteral("text")).toString(), {},
                         entry.value(QStringLiteral("params")).toObject(), true))
            return false;
        ++stepsRun;
    }
}

bool BR2DBSqlite::dbUpgrade(int from)
{
    const QJsonObject engine = sqlEngine();
    if (!transactionBegin())
        return false;
    int steps = 0;
    if (!runUpgradeSteps(engine, from, steps) || steps == 0) {
        transactionRollback();
        return false;
    }
    return commitVersion(from + 1);
}

// The end of an upgrade: the new version number, then the commit; any
// failure rolls the whole upgrade back.
bool BR2DBSqlite::commitVersion(int version)
{
    int changes = 0;
    int lastId = 0;
    const QString update =
        QStringLiteral("UPDATE sys_configure SET cfg_value = %1 WHERE cfg_key = 'Database.Version';").arg(version);
    if (!execChecked(changes, lastId, nullptr, update, {}, {}, true) || changes < 1) {
        transactionRollback();
        return false;
    }
    return transactionCommit();
}

bool BR2DBSqlite::dbUpgrades()
{
    const QJsonObject engine = sqlEngine();
    int version = dbVersion();
    if (version <= 0)
        return false;
    if (!transactionBegin())
        return false;
    int total = 0;
    // A version whose step 1 is missing ends the chain, even when later
    // step numbers of it exist.
    while (engine.contains(upgradeName(version, 1))) {
        int steps = 0;
        if (!runUpgradeSteps(engine, version, steps)) {
            transactionRollback();
            return false;
        }
        total += steps;
        ++version;
    }
    if (total == 0) {
        transactionRollback();
        return false;
    }
    return commitVersion(version);
}
