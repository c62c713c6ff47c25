#ifndef QUEUEDATABASE_H
#define QUEUEDATABASE_H
#include "br2dbsqlite.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

#include <sys/types.h>

// The queue's SQLite file: the one place jobs outlive the process. An
// acknowledged job must be found by the next start, so the file is held to
// more than an open connection: one service per database (an flock on a
// lock file beside it and on the file itself), only a queue database of
// this service is ever written, and before every write the open file, its
// write-ahead log and its lock file must still be the ones at their names.
// When one was deleted or replaced the file is made anew at its path and
// the queue is stored there again from memory; when another service has
// taken the database meanwhile, this one has lost it.
//
// Not thread-safe: after the start the owner serialises every call with
// its own changes to the queue in memory, so that a re-creation stores
// every job acknowledged so far.
class QueueDatabase
{
public:
    // The queue in memory, as stored again in a file made anew.
    struct Contents
    {
        QList<QJsonObject> jobs;   // waiting and running, each with its "quuno"
        int highest = 0;           // the highest queue number ever handed out
        int threads = 0;           // the worker count, stored again when one was stored
    };
    // contents is asked during a re-creation; lost is called when another
    // service turns out to hold the database, and must stop this one.
    QueueDatabase(std::function<Contents()> contents, std::function<void()> lost);
    QueueDatabase(const QueueDatabase &) = delete;
    QueueDatabase &operator=(const QueueDatabase &) = delete;

    void setPath(const QString &path);
    const QString &path() const { return m_dbpath; }

    // Takes the lock beside the database (and on the database file when
    // there is one); false, with the reason on the console, when another
    // service holds it or it cannot be taken.
    bool lockQueue();
    // Opens (or creates) the file after lockQueue, checks that it is a
    // queue database of this service, one that can be written, and switches
    // it to WAL; false names the reason on the console.
    bool open();
    // The stored jobs, each with its "quuno" and "crttime".
    QList<QJsonObject> storedJobs();
    // False when no worker count is stored.
    bool storedThreads(int &count);

    // Stores a job; quuno: the number it got. False leaves why in reason.
    bool append(const QJsonObject &item, int &quuno, QString &reason);
    // Removes the rows of completed jobs; returns the numbers whose rows
    // could not be removed.
    QList<int> remove(const QList<int> &quunos);
    // Stores the worker count for the next start.
    void storeThreads(int count);

    // Bytes of the database file.
    qint64 bytes() const;
    // With the queue empty: gives the space of the rows that went back to
    // the file system (the file and its log shrink), once they are more
    // than COMPACT_ABOVE bytes, so that one burst of large jobs does not
    // leave them for good.
    void compact();
    static constexpr qint64 COMPACT_ABOVE = 1 << 20;

private:
    QString lockPath() const;
    bool lockDatabaseFile();
    bool openQueueFile();
    bool recordDatabaseFile();
    bool databaseCurrent() const;
    bool walCurrent() const;
    void recordWal();
    bool lockCurrent() const;
    bool recreateDatabase();

    std::function<Contents()> m_contents;
    std::function<void()> m_lost;
    QString m_dbpath;
    BR2DBSqlite m_dbe;
    dev_t m_dbDev = 0;         // the file the open database is
    ino_t m_dbIno = 0;
    bool m_threadsStored = false;   // a count is stored in the database
    // The lock descriptors are never closed: closing the database file's one
    // would drop SQLite's own locks on the file as well.
    int m_lockFd = -1;         // the flock on m_lockPath
    QString m_lockPath;
    dev_t m_lockDev = 0;       // the lock file locked, so that a deleted one is noticed and taken again
    ino_t m_lockIno = 0;
    // The same lock on the database file itself, which no one deletes by
    // accident (flock does not meet SQLite's own fcntl locks).
    int m_dbLockFd = -1;
    dev_t m_dbLockDev = 0;
    ino_t m_dbLockIno = 0;
    bool m_heldElsewhere = false;   // the last lock attempt met another service's lock
    QString m_storeFailure;         // why the database could not be brought back, for a refused insert
    dev_t m_walDev = 0;        // the write-ahead log in use; 0: none seen yet
    ino_t m_walIno = 0;
};

#endif // QUEUEDATABASE_H
