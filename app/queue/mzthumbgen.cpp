#include "mzthumbgen.h"

#include "br2utils.h"
#include "commandjob.h"
#include "jobqueue.h"
#include "layoutwalk.h"
#include "peeraccess.h"
#include "rendersettings.h"
#include "stopflag.h"
#include "thumbnailfile.h"
#include "threadpriority.h"
#include "workeractivity.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QJsonValue>
#include <QSize>
#include <QStringList>

#include <malloc.h>

namespace {

QAtomicInt g_amount;

QString jobName(const QJsonObject &job)
{
    const QJsonValue command = job.value(QStringLiteral("command"));
    if (command.isString() && !command.toString().isEmpty())
        return QStringLiteral("command");
    return toStrings(job.value(QStringLiteral("args")), false).value(0);
}

} // namespace

MZThumbgen::MZThumbgen(JobQueue *queue)
    : m_queue(queue)
{
    g_amount.ref();
}

MZThumbgen::~MZThumbgen()
{
    if (m_counted)
        g_amount.deref();
}

int MZThumbgen::amount()
{
    return g_amount.loadRelaxed();
}

// Leaving without stranding a job. The live count falls only when the
// pool deletes a runnable, so a runnable that decided to leave would still
// be counted while a push looks at the count, and after the count was
// lowered every runnable that finished a job could leave at once. Instead a
// runnable that wants to leave first stops counting itself, then looks at
// the queue once more: a job pushed before that look is seen here (and the
// runnable stays if the pool is short), a job pushed after it sees the
// lowered count in push's top-up and gets a new runnable. Runnables that
// stay beyond the count leave at their next check, so in the steady state
// no more than the configured number take jobs.
bool MZThumbgen::leave()
{
    g_amount.fetchAndSubOrdered(1);
    m_counted = false;
    if (stopRequested() || !m_queue->hasQueued() || amount() >= m_queue->threads())
        return true;
    g_amount.fetchAndAddOrdered(1);
    m_counted = true;
    return false;
}

void MZThumbgen::run()
{
    // Pool threads are made by whichever thread starts them; each run
    // lowers its own.
    lowerThreadPriority(RenderSettings::current());
    QJsonObject job;
    while (!stopRequested()) {
        if (amount() > m_queue->threads() || !m_queue->pop(job)) {
            if (!leave())
                continue;
            // The queue is empty: give the heap's free pages back, so that an
            // idle service returns to near its start-up size after large decodes.
            if (!m_queue->hasQueued())
                ::malloc_trim(0);
            return;
        }
        const QSize box = m_queue->thumbnailBox();
        const int quuno = toInt(job.value(QStringLiteral("quuno")));
        bool finished;
        bool cancelled;
        FolderRefusal refusal;
        {
            const JobActivity activity(quuno, jobName(job));
            finished = runJob(job, box.width(), box.height(), &refusal);
            cancelled = activity.cancelled();
        }
        // The folders are taken in any case, so that none is carried into
        // the next job's flush.
        const QStringList wroteInto = takeWrittenFolders();
        if (!finished && !cancelled && refusal.refused()) {
            m_queue->postpone(quuno, refusal.folder, refusal.reason, wroteInto);
            continue;
        }
        if (!finished && !cancelled)
            return;   // cut off by a quit: the row stays and the job is redone after the next start
        m_queue->completed(quuno, wroteInto);
    }
}

bool MZThumbgen::runJob(const QJsonObject &job, int width, int height, FolderRefusal *refusal)
{
    // A stranger's job reads, writes and runs children as the stranger; it
    // never runs as the service, even when the identity cannot be taken.
    if (job.contains(QStringLiteral("peer"))) {
        const BR2PeerCredentials owner = peerFromJson(job.value(QStringLiteral("peer")).toObject());
        const FsIdentity as(owner);
        if (!as.active()) {
            PRINTLN(QStringLiteral("job %1 not run: cannot act as its client (uid %2)")
                        .arg(toInt(job.value(QStringLiteral("quuno"))))
                        .arg(owner.valid ? QString::number(owner.uid) : QStringLiteral("unknown")));
            return true;
        }
        return runAs(job, width, height, refusal);
    }
    return runAs(job, width, height, refusal);
}

bool MZThumbgen::runAs(const QJsonObject &job, int width, int height, FolderRefusal *refusal)
{
    const QStringList args = toStrings(job.value(QStringLiteral("args")), false);
    const QJsonValue commandValue = job.value(QStringLiteral("command"));
    const QString command = commandValue.isString() ? commandValue.toString() : QString();

    if (!command.isEmpty())
        return runCommandJob(command, args);

    const QString layout = args.value(0);
    const bool cloud = layout == QLatin1String("pellowcloud");
    if ((!cloud && layout != QLatin1String("snapvault")) || args.size() < 3)
        return true;
    if (args.size() >= 5) {
        bool okw = false;
        bool okh = false;
        const int w = args.at(3).toInt(&okw, 10);
        const int h = args.at(4).toInt(&okh, 10);
        if (okw && okh && w > 0 && h > 0) {
            width = w;
            height = h;
        }
    }
    // A volume not mounted yet, or a typo: done, but said.
    if (!QFileInfo::exists(args.at(1))) {
        PRINTLN(QStringLiteral("%1 job over a missing source: %2").arg(layout, args.at(1)));
        return true;
    }
    return cloud ? pellowcloudWalk(args.at(1), args.at(2), width, height, refusal)
                 : snapvaultWalk(args.at(1), args.at(2), width, height, refusal);
}
