#include "ctljobtally.h"

#include "br2utils.h"
#include "ctlrequest.h"
#include "ctlsentences.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>

int JobTally::look(const Service &service)
{
    QSet<int> fresh;
    int listed = -1;
    int offset = qMax(0, m_listed - PAGE);
    for (int round = 0;; ++round) {
        QJsonObject results;
        const int status = exchange(service, jobsRequest(offset, PAGE), Asked{QStringLiteral("status"), QStringLiteral("thumbgen_jobs"), {}}, results);
        if (status != 0)
            return status;
        const int total = toInt(results.value(QStringLiteral("total")));
        const QJsonArray jobs = results.value(QStringLiteral("jobs")).toArray();
        if (listed < 0) {
            // Jobs came or went since the last look: read the end where it
            // is now, giving up after a few tries on a queue that never rests.
            if (offset + jobs.size() != total && round < 3) {
                offset = qMax(0, total - PAGE);
                continue;
            }
            listed = total;
        }
        bool reachedSeen = false;
        for (const QJsonValue &job : jobs) {
            const int quuno = toInt(job.toObject().value(QStringLiteral("quuno")));
            if (quuno > m_highest)
                fresh.insert(quuno);
            else
                reachedSeen = true;
        }
        if (reachedSeen || offset == 0)
            break;
        // Jobs that end meanwhile shift the list towards its start, so the
        // earlier page overlaps this one: the set counts each job once.
        offset = qMax(0, offset - PAGE);
    }
    for (int quuno : qAsConst(fresh))
        m_highest = qMax(m_highest, quuno);
    m_seen += fresh.size();
    m_listed = listed;
    return 0;
}
