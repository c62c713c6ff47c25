#ifndef JOBQUEUE_H
#define JOBQUEUE_H
#include "peeraccess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QHash>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

class BR2Journals;

// The queue as its users see it: the workers take and complete jobs, the
// commands queue them and read or change the worker count. The service
// core implements it; neither side depends on the core itself.
class JobQueue
{
public:
    virtual ~JobQueue() = default;

    virtual bool pop(QJsonObject &item) = 0;
    // Removes the completed job's row. wroteInto: the folders the job put
    // thumbnails into, which reach the disk before the row goes.
    virtual bool completed(int quuno, const QStringList &wroteInto) = 0;
    // The job's thumbnail folder takes no files (no space, read-only, no
    // permission), or no render helper starts: the job waits, its row kept,
    // and is tried again after a delay that grows with every refusal in a
    // row. wroteInto: the folders it wrote thumbnails into before, flushed
    // with its completion.
    virtual void postpone(int quuno, const QString &folder, const QString &reason, const QStringList &wroteInto) = 0;
    // True while jobs are ready in memory; workers look once more before
    // they leave so that no job waits for the next push.
    virtual bool hasQueued() = 0;
    virtual int threads() const = 0;
    // The box a job without its own size is fitted into.
    virtual QSize thumbnailBox() const = 0;

    // owner: the identity of an untrusted client, stored with its job so
    // that the job runs with that client's rights; empty for trusted ones.
    // Returns the new job's number, or 0 when it was not stored (the
    // reason in journal).
    virtual int push(BR2Journals &journal, const QStringList &args, const QString &command,
                      const QJsonObject &owner) = 0;
    // Sets the worker count and stores it for the next start.
    virtual void changeThreads(int count) = 0;
    virtual PeerPolicy peerPolicy() const = 0;

    // Jobs waiting (not in progress), from memory.
    virtual int queuedCount() = 0;
    // Jobs waiting and in progress, oldest first: {"quuno", "crttime",
    // "args", "command"}, and for a job waiting for its thumbnail folder
    // "waiting": {"folder", "reason", "retry"}; total is how many there are
    // in all.
    // onlyUid: when not negative, only the jobs queued by that uid (the
    // identity stored with an untrusted client's job).
    virtual QList<QJsonObject> jobs(int offset, int limit, int &total, qint64 onlyUid) = 0;
    // The uid that queued each job of an untrusted client, by number (jobs
    // of trusted clients are not in it).
    virtual QHash<int, uint> owners() = 0;
    enum CancelOutcome { CancelRemoved, CancelStopping, CancelUnknown };
    // A waiting job is removed at once; one in progress is stopped at its
    // next file boundary and removed then.
    virtual CancelOutcome cancel(int quuno) = 0;
    // Bytes of the queue database file.
    virtual qint64 databaseBytes() const = 0;
    // The jobs waiting for their thumbnail folder: [{"quuno", "folder",
    // "reason", "retry"}], retry in seconds from now.
    virtual QJsonArray postponed() = 0;
};

#endif // JOBQUEUE_H
