#include "queuedatabase.h"

#include "br2utils.h"
#include "privatefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Built into the service program (k8thumbgen.qrc).
const char *const CREATOR_SQL = ":/k8thumbgen/creator.sql";
const char *const ENGINE_SQL = ":/k8thumbgen/engine.sql";

// A queue database of this service, of the one version it knows.
bool isQueueDatabase(BR2DBSqlite &db)
{
    QList<QJsonObject> rows;
    return db.call(rows, QStringLiteral("syscfg_dbversion"), QJsonObject()) && !rows.isEmpty()
        && toInt(rows.first().value(QStringLiteral("dbver"))) == 1;
}

}   // namespace

QueueDatabase::QueueDatabase(std::function<Contents()> contents, std::function<void()> lost)
    : m_contents(std::move(contents))
    , m_lost(std::move(lost))
{
}

void QueueDatabase::setPath(const QString &path)
{
    m_dbpath = path;
}

// The lock lives beside the database, so that two services with
// different sockets cannot share one queue; beside the real file, so that
// a link to the database does not lead to a lock of its own.
QString QueueDatabase::lockPath() const
{
    const QFileInfo db(m_dbpath);
    QString real = db.canonicalFilePath();
    if (real.isEmpty()) {
        const QString folder = QFileInfo(db.absolutePath()).canonicalFilePath();
        real = (folder.isEmpty() ? db.absolutePath() : folder) + QLatin1Char('/') + db.fileName();
    }
    return real + QStringLiteral(".lock");
}

// Takes the lock, or takes it again when its file was removed, and the
// same lock on the database file when there is one. The descriptors stay
// open for the life of the process and are not inherited by children.
bool QueueDatabase::lockQueue()
{
    m_heldElsewhere = false;
    QDir().mkpath(QFileInfo(m_dbpath).absolutePath());
    const QString path = lockPath();
    const QByteArray native = QFile::encodeName(path);
    int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // In a read-only folder a lock file already there still takes a lock,
    // and without one the database file's lock stands alone: the database
    // cannot be written either, and its check names the real problem.
    if (fd < 0 && (errno == EROFS || errno == EACCES)) {
        fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return lockDatabaseFile();
    }
    struct stat st {};
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0) {
        if (m_lockFd >= 0)
            ::close(m_lockFd);
        m_lockFd = fd;
        m_lockPath = path;
        m_lockDev = st.st_dev;
        m_lockIno = st.st_ino;
        return lockDatabaseFile();
    }
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    m_heldElsewhere = error == EWOULDBLOCK;
    PRINTLN(error == EWOULDBLOCK
                ? QStringLiteral("queue database %1 is in use by another service (lock %2)").arg(m_dbpath, path)
                : QStringLiteral("cannot lock queue database %1 (lock %2: %3)")
                      .arg(m_dbpath, path, QString::fromLocal8Bit(std::strerror(error))));
    return false;
}

// The lock on the database file itself: a service whose lock file was
// deleted still meets it. Nothing to do while the file at the path is the
// one locked (a second descriptor of a file SQLite has open would drop
// SQLite's own locks when closed), or while there is no file yet.
bool QueueDatabase::lockDatabaseFile()
{
    const QByteArray native = QFile::encodeName(m_dbpath);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)
        || (m_dbLockFd >= 0 && st.st_dev == m_dbLockDev && st.st_ino == m_dbLockIno))
        return true;
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;   // unreadable: opening the database names the problem
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        m_heldElsewhere = error == EWOULDBLOCK;
        PRINTLN(QStringLiteral("queue database %1 is in use by another service").arg(m_dbpath));
        return false;
    }
    if (m_dbLockFd >= 0)
        ::close(m_dbLockFd);
    m_dbLockFd = fd;
    m_dbLockDev = st.st_dev;
    m_dbLockIno = st.st_ino;
    return true;
}

// Opens (or, when missing, creates) the database at its path with the
// queue's statements; false names SQLite's reason on the console.
bool QueueDatabase::openQueueFile()
{
    // Private before a job is stored: files of earlier versions are
    // tightened, and a file made now is made private before its log files,
    // which take its mode, exist.
    const QStringList files{m_dbpath, m_dbpath + QStringLiteral("-wal"), m_dbpath + QStringLiteral("-shm"), lockPath()};
    makePrivate(files);
    m_dbe.loadSqlCreator(QString::fromLatin1(CREATOR_SQL));
    if (m_dbe.open(m_dbpath) && m_dbe.loadSqlEngine(QString::fromLatin1(ENGINE_SQL), false)) {
        makePrivate(files);
        return true;
    }
    PRINTLN(QStringLiteral("cannot open queue database %1: %2").arg(m_dbpath, m_dbe.lastError()));
    return false;
}

bool QueueDatabase::open()
{
    if (!openQueueFile())
        return false;
    if (!lockDatabaseFile()) {     // made just now, and taken by another service meanwhile
        m_dbe.close();
        return false;
    }
    if (!isQueueDatabase(m_dbe) || !recordDatabaseFile()) {
        m_dbe.close();
        return false;
    }
    // Only now that the file is known to be ours may a setting be stored in
    // it: a foreign database is left byte for byte unchanged.
    m_dbe.setJournalModeWal();
    // A file that opens read-only would take no job: refuse it now rather
    // than acknowledge nothing. The update writes what is already there.
    int changes = 0;
    int lastId = 0;
    if (!m_dbe.exec(changes, lastId,
                    QStringLiteral("UPDATE sys_configure SET cfg_value = cfg_value WHERE cfg_key = 'Database.Id'"))) {
        PRINTLN(QStringLiteral("queue database %1 cannot be written: %2").arg(m_dbpath, m_dbe.lastError()));
        m_dbe.close();
        return false;
    }
    recordWal();
    return true;
}

QList<QJsonObject> QueueDatabase::storedJobs()
{
    QList<QJsonObject> jobs;
    QList<QJsonObject> rows;
    if (m_dbe.call(rows, QStringLiteral("queue_alload"), QJsonObject())) {
        for (const QJsonObject &row : qAsConst(rows)) {
            QJsonObject item = toJsonObject(row.value(QStringLiteral("item")).toString());
            item.insert(QStringLiteral("quuno"), toInt(row.value(QStringLiteral("quuno"))));
            item.insert(QStringLiteral("crttime"), row.value(QStringLiteral("crttime")).toString());
            jobs.append(item);
        }
    } else {
        PRINTEXPR(m_dbe.lastError());
    }
    return jobs;
}

bool QueueDatabase::storedThreads(int &count)
{
    QList<QJsonObject> rows;
    if (!m_dbe.call(rows, QStringLiteral("syscfg_get"), QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")}})
        || rows.isEmpty())
        return false;
    count = toInt(rows.first().value(QStringLiteral("value")));
    m_threadsStored = true;
    return true;
}

bool QueueDatabase::append(const QJsonObject &item, int &quuno, QString &reason)
{
    if (!databaseCurrent() && !recreateDatabase()) {
        reason = m_storeFailure;
        return false;
    }
    const QString text = QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact));
    int changes = 0;
    if (!m_dbe.call(changes, quuno, QStringLiteral("queue_append"), QJsonObject{{QStringLiteral("item"), text}})) {
        PRINTEXPR(m_dbe.lastError());
        reason = m_dbe.lastError();
        return false;
    }
    return true;
}

QList<int> QueueDatabase::remove(const QList<int> &quunos)
{
    QList<int> failed;
    const bool current = databaseCurrent() || recreateDatabase();
    // Many rows at once (a flush's worth) in one transaction: one
    // journal commit rather than one each.
    const bool batch = current && quunos.size() > 1 && m_dbe.transactionBegin();
    for (int quuno : quunos) {
        if (!current || !m_dbe.call(QStringLiteral("queue_remove"), QJsonObject{{QStringLiteral("quuno"), quuno}}))
            failed.append(quuno);
    }
    if (batch && !m_dbe.transactionCommit())
        failed = quunos;
    if (current && !failed.isEmpty())
        PRINTEXPR(m_dbe.lastError());
    return failed;
}

void QueueDatabase::storeThreads(int count)
{
    if ((databaseCurrent() || recreateDatabase())
        && m_dbe.call(QStringLiteral("syscfg_set"),
                      QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")}, {QStringLiteral("value"), count}}))
        m_threadsStored = true;
}

void QueueDatabase::compact()
{
    struct stat db {}, wal {};
    ::stat(QFile::encodeName(m_dbpath).constData(), &db);
    ::stat(QFile::encodeName(m_dbpath + QStringLiteral("-wal")).constData(), &wal);
    if (db.st_size + wal.st_size < COMPACT_ABOVE || !databaseCurrent())
        return;
    int changes = 0, lastId = 0;
    if (!m_dbe.exec(changes, lastId, QStringLiteral("VACUUM")) || !m_dbe.exec(changes, lastId, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
        PRINTLN(QStringLiteral("cannot give back the space of queue database %1: %2").arg(m_dbpath, m_dbe.lastError()));
}

qint64 QueueDatabase::bytes() const
{
    struct stat st {};
    return ::stat(QFile::encodeName(m_dbpath).constData(), &st) == 0 ? qint64(st.st_size) : 0;
}

bool QueueDatabase::recordDatabaseFile()
{
    struct stat st {};
    if (::stat(QFile::encodeName(m_dbpath).constData(), &st) != 0) {
        PRINTLN(QStringLiteral("queue database %1 is gone: %2").arg(m_dbpath, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    // A database with a second name would get a second lock, a second
    // service and a second write-ahead log, which SQLite cannot keep
    // consistent.
    if (st.st_nlink > 1) {
        PRINTLN(QStringLiteral("queue database %1 has %2 names (hard links); refused").arg(m_dbpath).arg(st.st_nlink));
        return false;
    }
    m_dbDev = st.st_dev;
    m_dbIno = st.st_ino;
    return true;
}

// Whether the open database is still the file at its path: deleted or
// replaced, the open one would take jobs that no later start finds.
bool QueueDatabase::databaseCurrent() const
{
    struct stat st {};
    return ::stat(QFile::encodeName(m_dbpath).constData(), &st) == 0 && st.st_dev == m_dbDev && st.st_ino == m_dbIno
        && lockCurrent() && walCurrent();
}

// Whether the write-ahead log SQLite writes is still the file at its name:
// removed, the transactions in it would be found by no later start.
bool QueueDatabase::walCurrent() const
{
    struct stat st {};
    return m_walIno == 0
        || (::stat(QFile::encodeName(m_dbpath + QStringLiteral("-wal")).constData(), &st) == 0 && st.st_dev == m_walDev
            && st.st_ino == m_walIno);
}

// After a write: SQLite keeps its log while the connection is open.
void QueueDatabase::recordWal()
{
    struct stat st {};
    const bool there = ::stat(QFile::encodeName(m_dbpath + QStringLiteral("-wal")).constData(), &st) == 0;
    m_walDev = there ? st.st_dev : 0;
    m_walIno = there ? st.st_ino : 0;
}

// Whether the lock file is still the one locked (or there is none, in a
// read-only folder).
bool QueueDatabase::lockCurrent() const
{
    struct stat st {};
    return m_lockPath.isEmpty()
        || (::stat(QFile::encodeName(m_lockPath).constData(), &st) == 0 && st.st_dev == m_lockDev
            && st.st_ino == m_lockIno);
}

// Makes the database at its path anew, as at a first start, and stores
// again every job not yet completed, waiting or running, under its own
// number; later numbers continue above the highest ever handed out, so
// none is given twice and a running job's completion removes its own row.
// A file now at the path is used only when it is a queue database of this
// service.
bool QueueDatabase::recreateDatabase()
{
    PRINTLN(QStringLiteral("queue database %1 was removed or replaced; storing the queue there anew").arg(m_dbpath));
    m_heldElsewhere = false;
    // The locks first: their files may have gone with the database's
    // folder, and another service may have started on the path meanwhile.
    if ((!lockCurrent() && !lockQueue()) || !lockDatabaseFile()) {
        m_storeFailure = QStringLiteral("another service holds the queue database");
        if (m_heldElsewhere)
            m_lost();
        return false;
    }
    m_storeFailure = QStringLiteral("the queue database cannot be stored anew");
    if (QFileInfo::exists(m_dbpath) || QFileInfo(m_dbpath).isSymLink()) {
        BR2DBSqlite probe;
        const bool ours = probe.openOnly(m_dbpath) && probe.loadSqlEngine(QString::fromLatin1(ENGINE_SQL), false)
            && isQueueDatabase(probe);
        probe.close();
        if (!ours) {
            PRINTLN(QStringLiteral("%1 is not a queue database of this service; jobs cannot be stored").arg(m_dbpath));
            return false;
        }
    }
    m_dbe.close();
    if (!openQueueFile())
        return false;
    if (!lockDatabaseFile()) {     // made anew just now, and taken by another service meanwhile
        if (m_heldElsewhere)
            m_lost();
        return false;
    }
    m_dbe.setJournalModeWal();

    const Contents contents = m_contents();
    int changes = 0;
    int lastId = 0;
    bool ok = m_dbe.transactionBegin();
    for (QJsonObject job : contents.jobs) {
        const int quuno = toInt(job.take(QStringLiteral("quuno")));
        const QString text = QString::fromUtf8(QJsonDocument(job).toJson(QJsonDocument::Compact));
        ok = ok && m_dbe.exec(changes, lastId, QStringLiteral("INSERT OR IGNORE INTO t_queue ( quu_no , quu_item ) VALUES ( :quuno , :item )"),
                              QJsonObject{{QStringLiteral("quuno"), quuno}, {QStringLiteral("item"), text}},
                              QJsonObject{{QStringLiteral("quuno"), QStringLiteral("integer")}});
    }
    ok = ok && m_dbe.exec(changes, lastId,
                          QStringLiteral("UPDATE sqlite_sequence SET seq = MAX(seq, :n) WHERE name = 't_queue'"),
                          QJsonObject{{QStringLiteral("n"), contents.highest}}, QJsonObject{{QStringLiteral("n"), QStringLiteral("integer")}});
    if (ok && changes == 0)
        ok = m_dbe.exec(changes, lastId, QStringLiteral("INSERT INTO sqlite_sequence ( name , seq ) VALUES ( 't_queue' , :n )"),
                        QJsonObject{{QStringLiteral("n"), contents.highest}}, QJsonObject{{QStringLiteral("n"), QStringLiteral("integer")}});
    if (ok && m_threadsStored)
        ok = m_dbe.call(QStringLiteral("syscfg_set"), QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")},
                                                                  {QStringLiteral("value"), contents.threads}});
    ok = ok && m_dbe.transactionCommit() && recordDatabaseFile();
    recordWal();
    if (!ok) {
        PRINTLN(QStringLiteral("cannot store the queue in %1: %2").arg(m_dbpath, m_dbe.lastError()));
        m_dbe.transactionRollback();
    }
    return ok;
}
