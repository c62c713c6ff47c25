// Engine file format (named SQL statements), read line by line after
// "--" comments are cut and every line is trimmed:
//
//   SQL: queue_remove          a header starts a statement; its name is
//   DELETE FROM t_queue        lower-cased. Text lines follow, each kept
//   WHERE quu_no = :quuno      with a trailing "\n".
//   ;
//   params:                    switches to parameter lines: a name (one
//   quuno   integer            leading "@" or ":" dropped) and a declared
//                              type (lower-cased); a bare name is "string".
//
// Declared types only give a default to a parameter the caller leaves out:
// "string"/"text" bind an empty text, "int"/"integer"/"double" bind 0.
// Lines before the first header, and a header without a name, are ignored;
// a statement without text lines is dropped; a later statement replaces an
// earlier one of the same name, the built-in configure_* statements too.
#include "br2dbsqlite.h"

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
const int kStatementCacheSize = 64;

QJsonObject builtinStatements()
{
    auto entry = [](const char *text, const QJsonObject &params) {
        return QJsonObject{{QStringLiteral("text"), QString::fromUtf8(text)}, {QStringLiteral("params"), params}};
    };
    const QJsonObject key{{QStringLiteral("key"), QStringLiteral("string")}};
    const QJsonObject keyValue{{QStringLiteral("key"), QStringLiteral("string")},
                               {QStringLiteral("value"), QStringLiteral("string")}};
    return QJsonObject{
        {QStringLiteral("configure_alload"),
         entry("SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;", key)},
        {QStringLiteral("configure_get"),
         entry("SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;", key)},
        {QStringLiteral("configure_change"),
         entry("UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;", keyValue)},
        {QStringLiteral("configure_append"),
         entry("INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);", keyValue)},
    };
}

void bindParameters(sqlite3_stmt *stmt, const QJsonObject &values, const QJsonObject &types)
{
    const int count = sqlite3_bind_parameter_count(stmt);
    for (int i = 1; i <= count; ++i) {
        const char *raw = sqlite3_bind_parameter_name(stmt, i);
        if (!raw || !*raw)
            continue; // a positional "?" has no name to look up: it stays NULL
        const QString name = QString::fromUtf8(raw + 1);
        const auto it = values.constFind(name);
        if (it != values.constEnd()) {
            const QJsonValue v = it.value();
            switch (v.type()) {
            case QJsonValue::Bool:
                sqlite3_bind_int64(stmt, i, v.toBool() ? 1 : 0);
                break;
            case QJsonValue::Double: {
                const double d = v.toDouble();
                if (std::trunc(d) == d && d >= double(INT_MIN) && d <= double(INT_MAX))
                    sqlite3_bind_int64(stmt, i, qint64(d));
                else
                    sqlite3_bind_double(stmt, i, d);
                break;
            }
            case QJsonValue::String: {
                const QByteArray text = v.toString().toUtf8();
                sqlite3_bind_text(stmt, i, text.constData(), text.size(), SQLITE_TRANSIENT);
                break;
            }
            default: // null, array, object: SQL NULL
                break;
            }
            continue;
        }
        const auto t = types.constFind(name);
        if (t == types.constEnd())
            continue;
        const QString type = t.value().toString();
        if (type == QLatin1String("string") || type == QLatin1String("text"))
            sqlite3_bind_text(stmt, i, "", 0, SQLITE_STATIC);
        else if (type == QLatin1String("int") || type == QLatin1String("integer") || type == QLatin1String("double"))
            sqlite3_bind_int64(stmt, i, 0);
    }
}

QJsonObject readRow(sqlite3_stmt *stmt)
{
    QJsonObject row;
    const int columns = sqlite3_column_count(stmt);
    for (int c = 0; c < columns; ++c) {
        const QString key = QString::fromUtf8(sqlite3_column_name(stmt, c)).toLower();
        switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER:
            // Callers of this framework read integer columns as 32 bits.
            row.insert(key, sqlite3_column_int(stmt, c));
            break;
        case SQLITE_FLOAT:
            row.insert(key, sqlite3_column_double(stmt, c));
            break;
        case SQLITE_TEXT: {
            const char *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
            row.insert(key, QString::fromUtf8(text, sqlite3_column_bytes(stmt, c)));
            break;
        }
        default: // BLOB and NULL columns are left out of the row
            break;
        }
    }
    return row;
}

// Runs every statement of sql on db. Lenient mode: true as soon as one
// statement completed or produced a row, later statements still run after
// a failed step. Strict mode (creation scripts, upgrade steps): true only
// when at least one statement ran and none failed; the first failure stops.
// cache, when given, keeps prepared statements of texts that are a single
// statement, keyed by the text: the same few statements run for every job.
bool runSql(sqlite3 *db, int &changes, int &lastId, QList<QJsonObject> *rows, const QByteArray &sqlText,
            const QJsonObject &values, const QJsonObject &types, bool strict, QString &error,
            QHash<QByteArray, sqlite3_stmt *> *cache = nullptr)
{
    changes = 0;
    lastId = 0;
    const QByteArray sql = sqlText.trimmed();
    const char *pos = sql.constData();
    const char *const end = pos + sql.size();
    bool succeeded = false;
    bool failed = false;
    while (pos < end && !failed) {
        sqlite3_stmt *stmt = cache && pos == sql.constData() ? cache->take(sql) : nullptr;
        bool whole = stmt != nullptr;
        if (stmt) {
            pos = end;
        } else {
            const char *tail = nullptr;
            const bool first = pos == sql.constData();
            if (sqlite3_prepare_v2(db, pos, int(end - pos), &stmt, &tail) != SQLITE_OK) {
                error = QString::fromUtf8(sqlite3_errmsg(db));
                sqlite3_finalize(stmt);
                failed = true;
                break;
            }
            pos = tail ? tail : end;
            while (pos < end && isspace(static_cast<unsigned char>(*pos)))
                ++pos;
            whole = first && pos == end;
        }
        if (!stmt)
            continue; // only white space or a comment
        bindParameters(stmt, values, types);
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                if (rows)
                    rows->append(readRow(stmt));
                succeeded = true;
                continue;
            }
            if (rc == SQLITE_DONE || rc == SQLITE_OK) {
                changes = sqlite3_changes(db);
                lastId = int(sqlite3_last_insert_rowid(db));
                succeeded = true;
                break;
            }
            error = QString::fromUtf8(sqlite3_errmsg(db));
            if (strict) {
                failed = true;
            } else if (succeeded) {
                changes = sqlite3_changes(db);
                lastId = int(sqlite3_last_insert_rowid(db));
            }
            break;
        }
        if (whole && cache && cache->size() < kStatementCacheSize) {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            cache->insert(sql, stmt);
        } else {
            sqlite3_finalize(stmt);
        }
    }
    if (!strict)
        return succeeded;
    if (!failed && !succeeded)
        error = QStringLiteral("no SQL statement to run");
    return succeeded && !failed;
}

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
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines) {
        const int cut = line.indexOf(QLatin1String("--"));
        if (cut >= 0)
            line.truncate(cut);
        line = line.trimmed();
    }
    return lines;
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

    QJsonObject engine = builtinStatements();
    QString name;
    QString sql;
    QJsonObject params;
    bool inParams = false;
    auto store = [&](bool atToColon) {
        if (name.isEmpty() || sql.isEmpty())
            return;
        if (atToColon)
            sql.replace(QLatin1Char('@'), QLatin1Char(':'));
        engine.insert(name, QJsonObject{{QStringLiteral("id"), name},
                                        {QStringLiteral("text"), sql},
                                        {QStringLiteral("params"), params}});
    };
    for (const QString &raw : delSqlComments(text)) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1String("SQL:"), Qt::CaseInsensitive)) {
            store(true);
            name = line.mid(4).trimmed().toLower();
            sql.clear();
            params = QJsonObject();
            inParams = false;
            continue;
        }
        if (name.isEmpty())
            continue;
        if (line.startsWith(QLatin1String("Params:"), Qt::CaseInsensitive)) {
            inParams = true;
            continue;
        }
        if (!inParams) {
            sql += line + QLatin1Char('\n');
            continue;
        }
        // Name and type are separated by blanks; tabs count as blanks too so
        // that a tab-aligned file does not declare "name\ttype" as a name.
        const int gap = line.indexOf(QRegularExpression(QStringLiteral("\\s")));
        QString pname = gap < 0 ? line : line.left(gap);
        QString type = QStringLiteral("string");
        if (gap >= 0)
            type = line.mid(gap + 1).trimmed().section(QRegularExpression(QStringLiteral("\\s")), 0, 0).toLower();
        if (pname.startsWith(QLatin1Char('@')) || pname.startsWith(QLatin1Char(':')))
            pname.remove(0, 1);
        params.insert(pname, type);
    }
    store(false);

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
    int changes = 0;
    int lastId = 0;
    const QString update =
        QStringLiteral("UPDATE sys_configure SET cfg_value = %1 WHERE cfg_key = 'Database.Version';").arg(from + 1);
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
