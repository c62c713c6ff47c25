#include "fileidentitystore.h"

#include "br2utils.h"
#include "mediakind.h"
#include "peeraccess.h"
#include "privatefile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <sqlite3.h>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

FileIdentity FileIdentity::of(const struct stat &st)
{
    const qint64 ns = 1000000000;
    return FileIdentity{qint64(st.st_ino), qint64(st.st_size), qint64(st.st_mtim.tv_sec) * ns + st.st_mtim.tv_nsec,
                        qint64(st.st_ctim.tv_sec) * ns + st.st_ctim.tv_nsec};
}

namespace FileIdentityStore {

namespace {

// Times this close to the recording may hide a rewrite in the same tick.
qint64 g_untrustedNs = qint64(2) * 1000000000;     // set by open, before any walk

const char SCHEMA[] =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS hashes(path TEXT PRIMARY KEY, folder TEXT, ino INTEGER, size INTEGER,"
    " mtime INTEGER, ctime INTEGER, recorded INTEGER, md5 TEXT, kind INTEGER);"
    "CREATE INDEX IF NOT EXISTS hashes_folder ON hashes(folder);"
    "CREATE TABLE IF NOT EXISTS renders(thumb TEXT PRIMARY KEY, source TEXT, folder TEXT, ino INTEGER, size INTEGER,"
    " mtime INTEGER, ctime INTEGER, recorded INTEGER);"
    "CREATE INDEX IF NOT EXISTS renders_folder ON renders(folder);";

QMutex g_mutex;            // guards the connection, its statements and the batch
sqlite3 *g_db = nullptr;
// Records are written in batches: one transaction commits many of them,
// which a walk of tiny files would otherwise spend most of its time on.
// A crash loses the batch, which costs a re-hash or a render.
const int BATCH_RECORDS = 256;
int g_batched = 0;
bool g_commitFailing = false;   // said on the console; quiet until a commit succeeds again

// Ends the open transaction. One that cannot commit (a full disk, an I/O
// error) is rolled back, so that no later record rides it unseen; what it
// held is lost, which costs a re-hash or a render.
void commitOrRollBack()
{
    if (sqlite3_exec(g_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        g_commitFailing = false;
        return;
    }
    const QString reason = QString::fromUtf8(sqlite3_errmsg(g_db));
    // SQLite rolls some failures back itself; a busy commit stays open.
    if (!sqlite3_get_autocommit(g_db))
        sqlite3_exec(g_db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (!g_commitFailing)
        PRINTLN(QStringLiteral("cannot commit to file store %1: %2; the batch is dropped")
                    .arg(QString::fromUtf8(sqlite3_db_filename(g_db, "main")), reason));
    g_commitFailing = true;
}

// Called with the service's identity (ServiceIdentity): the store's folder
// is the service's, whoever the walk acts as.
void commitBatch()
{
    if (g_batched > 0 && g_db && !sqlite3_get_autocommit(g_db))
        commitOrRollBack();
    g_batched = 0;
}

// A record that finds no transaction to open is written on its own.
void batch()
{
    if (!g_db)
        return;
    // A statement that failed may have rolled the whole batch back.
    if (g_batched > 0 && sqlite3_get_autocommit(g_db))
        g_batched = 0;
    if (g_batched == 0 && sqlite3_exec(g_db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    if (++g_batched >= BATCH_RECORDS)
        commitBatch();
}

qint64 nowNs()
{
    struct timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A statement prepared for one use and finalized with it; preparing costs
// little next to the file work that comes with every record.
class Statement
{
public:
    explicit Statement(const char *sql)
    {
        if (g_db)
            sqlite3_prepare_v2(g_db, sql, -1, &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    bool ok() const { return m_stmt != nullptr; }
    Statement &text(int i, const QString &s)
    {
        const QByteArray utf8 = s.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &integer(int i, qint64 v)
    {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Statement &identity(int first, const FileIdentity &id)
    {
        return integer(first, id.inode).integer(first + 1, id.size).integer(first + 2, id.mtimeNs).integer(first + 3, id.ctimeNs);
    }
    bool row() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW; }
    void run()
    {
        if (m_stmt)
            sqlite3_step(m_stmt);
        sqlite3_reset(m_stmt);
    }
    qint64 column(int i) const { return sqlite3_column_int64(m_stmt, i); }
    QString columnText(int i) const { return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, i))); }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

enum Match { Differs, Untrusted, Trusted };

// Columns ino, size, mtime, ctime, recorded from `first` on, against the
// identity now.
Match match(const Statement &s, int first, const FileIdentity &now)
{
    const FileIdentity was{s.column(first), s.column(first + 1), s.column(first + 2), s.column(first + 3)};
    const qint64 recorded = s.column(first + 4);
    if (!(was == now))
        return Differs;
    return qAbs(recorded - now.mtimeNs) >= g_untrustedNs && qAbs(recorded - now.ctimeNs) >= g_untrustedNs ? Trusted : Untrusted;
}

// A file recorded as no media under an older routing may be one of the
// types added since (a camera RAW under a store written before RAW files
// were read): its record goes, and the next walk looks at it again.
void forgetNoMediaOfOlderRouting()
{
    sqlite3_stmt *version = nullptr;
    const bool older = sqlite3_prepare_v2(g_db, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK
        && sqlite3_step(version) == SQLITE_ROW && sqlite3_column_int(version, 0) < MEDIA_ROUTING_VERSION;
    sqlite3_finalize(version);
    if (older && sqlite3_exec(g_db, "DELETE FROM hashes WHERE kind = 0", nullptr, nullptr, nullptr) == SQLITE_OK)
        sqlite3_exec(g_db, QByteArray("PRAGMA user_version = " + QByteArray::number(MEDIA_ROUTING_VERSION)).constData(),
                     nullptr, nullptr, nullptr);
}

bool openAt(const QString &path)
{
    // Private to the service: it names every file walks have seen, in
    // folders other users may not list. SQLite gives its log files the
    // mode of the database file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    makePrivate({path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")});
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &g_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        sqlite3_close(g_db);
        g_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(g_db, 2000);
    sqlite3_stmt *check = nullptr;
    bool healthy = sqlite3_exec(g_db, SCHEMA, nullptr, nullptr, nullptr) == SQLITE_OK
        && sqlite3_prepare_v2(g_db, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK
        && sqlite3_step(check) == SQLITE_ROW
        && qstrcmp(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "ok") == 0;
    sqlite3_finalize(check);
    if (!healthy) {
        sqlite3_close(g_db);
        g_db = nullptr;
        return false;
    }
    forgetNoMediaOfOlderRouting();
    return true;
}

} // namespace

bool open(const QString &databasePath, qint64 untrustedNs)
{
    QMutexLocker locker(&g_mutex);
    g_untrustedNs = untrustedNs;
    const QString path = databasePath + QStringLiteral(".files");
    if (openAt(path))
        return true;
    // Set aside, with its log, so that the next walks can record anew.
    const QString aside = path + QStringLiteral(".corrupt-") + QString::number(QDateTime::currentSecsSinceEpoch());
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::rename(path + QLatin1String(suffix), aside + QLatin1String(suffix));
    PRINTLN(QStringLiteral("file store %1 cannot be read; set aside as %2, starting afresh").arg(path, aside));
    return openAt(path);
}

void close()
{
    QMutexLocker locker(&g_mutex);
    const ServiceIdentity asService;
    commitBatch();
    sqlite3_close(g_db);
    g_db = nullptr;
}

bool known(const QString &path, const FileIdentity &now, int &kind, QByteArray &md5)
{
    QMutexLocker locker(&g_mutex);
    Statement s("SELECT ino, size, mtime, ctime, recorded, md5, kind FROM hashes WHERE path = ?");
    if (!s.text(1, path).row() || match(s, 0, now) != Trusted)
        return false;
    md5 = s.columnText(5).toLatin1();
    kind = int(s.column(6));
    return true;
}

void record(const QString &path, const FileIdentity &id, int kind, const QByteArray &md5)
{
    QMutexLocker locker(&g_mutex);
    const ServiceIdentity asService;
    batch();
    Statement("INSERT OR REPLACE INTO hashes(path, folder, ino, size, mtime, ctime, recorded, md5, kind)"
              " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .text(1, path)
        .text(2, QFileInfo(path).absolutePath())
        .identity(3, id)
        .integer(7, nowNs())
        .text(8, QString::fromLatin1(md5))
        .integer(9, kind)
        .run();
}

Freshness rendered(const QString &thumbnail, const FileIdentity &sourceNow)
{
    QMutexLocker locker(&g_mutex);
    Statement s("SELECT ino, size, mtime, ctime, recorded FROM renders WHERE thumb = ?");
    if (!s.text(1, thumbnail).row())
        return NoRecord;
    switch (match(s, 0, sourceNow)) {
    case Differs:
        return Stale;
    case Untrusted:
        return NoRecord;      // judged again by the thumbnail's age, and recorded anew
    case Trusted:
        break;
    }
    return Current;
}

void recordRender(const QString &thumbnail, const QString &source, const FileIdentity &id)
{
    QMutexLocker locker(&g_mutex);
    const ServiceIdentity asService;
    batch();
    Statement("INSERT OR REPLACE INTO renders(thumb, source, folder, ino, size, mtime, ctime, recorded) VALUES(?, ?, ?, ?, ?, ?, ?, ?)")
        .text(1, thumbnail)
        .text(2, source)
        .text(3, QFileInfo(source).absolutePath())
        .identity(4, id)
        .integer(8, nowNs())
        .run();
}

void commit()
{
    QMutexLocker locker(&g_mutex);
    const ServiceIdentity asService;
    commitBatch();
}

void forgetGone(const QString &folder)
{
    QMutexLocker locker(&g_mutex);
    {
        const ServiceIdentity asService;
        commitBatch();
    }
    const QString dir = QFileInfo(folder).absoluteFilePath();
    struct Table
    {
        const char *select;
        const char *remove;
    };
    static const Table tables[] = {
        {"SELECT path, path FROM hashes WHERE folder = ?", "DELETE FROM hashes WHERE path = ?"},
        {"SELECT source, thumb FROM renders WHERE folder = ?", "DELETE FROM renders WHERE thumb = ?"},
    };
    for (const Table &t : tables) {
        QStringList gone;
        Statement s(t.select);
        s.text(1, dir);
        while (s.row()) {
            struct stat st;
            if (::stat(QFile::encodeName(s.columnText(0)).constData(), &st) != 0 && errno == ENOENT)
                gone << s.columnText(1);
        }
        if (gone.isEmpty())
            continue;
        const ServiceIdentity asService;
        if (sqlite3_exec(g_db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
            continue;
        for (const QString &key : qAsConst(gone))
            Statement(t.remove).text(1, key).run();
        commitOrRollBack();
    }
}

} // namespace FileIdentityStore
