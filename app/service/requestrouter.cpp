#include "requestrouter.h"

#include "br2cabinet.h"
#include "br2error.h"
#include "br2utils.h"
#include "jobqueue.h"
#include "missedfiles.h"
#include "mzthumbgen.h"
#include "peeraccess.h"
#include "quarantine.h"
#include "renderhelpers.h"
#include "walktally.h"
#include "workeractivity.h"

#include <QDateTime>
#include <QLocale>

#include <cmath>
#include <QJsonArray>

#include <QJsonDocument>

namespace {

// Every command answers a request holding "help" (whatever its value) with
// its description instead of acting: what it does, an example of its
// "params" and what each of them means. The commands added beside
// thumbgen_threads, thumbgen_setthreads and thumbgen_insert are
// unpublished: help_interfaces lists those three only, as it always has.
QJsonObject describe(const char *comment, const QJsonObject &example, const QJsonObject &meanings, bool published)
{
    QJsonObject help{{QStringLiteral("comment"), QLatin1String(comment)}};
    if (!meanings.isEmpty()) {
        help.insert(QStringLiteral("params"), example);
        help.insert(QStringLiteral("params-comment"), meanings);
    }
    if (!published)
        help.insert(QStringLiteral("unpublished"), true);
    return help;
}

// "report": true asks a command whose reply is otherwise the bare code to
// say what it did under "results"; without it the reply stays that code.
const char *const REPORT = "true: the reply says what was done, under \"results\"";

bool wantsReport(const QJsonObject &params)
{
    return params.value(QStringLiteral("report")).toBool();
}

QJsonObject paramsOf(const QJsonObject &cmdObject)
{
    return cmdObject.value(QStringLiteral("params")).toObject();
}

// An untrusted client's "args": a number is kept in its shortest exact
// form (1e308 would otherwise be stored as 309 digits and more).
QStringList untrustedArgs(const QJsonValue &value)
{
    QStringList args;
    for (const QJsonValue &item : value.toArray())
        args.append(item.isDouble() ? QString::number(item.toDouble(), 'g', QLocale::FloatingPointShortest) : toString(item));
    return args;
}

// What an untrusted client is shown of a text another listing holds:
// whole up to a few hundred characters, else cut and marked.
const int LISTED_CHARS = 300;
const int LISTED_ITEMS = 16;   // of a list: its first, then how many more
QJsonValue listed(const QJsonValue &value)
{
    if (value.isArray()) {
        const QJsonArray in = value.toArray();
        QJsonArray out;
        for (int i = 0; i < in.size() && i < LISTED_ITEMS; ++i)
            out.append(listed(in.at(i)));
        if (in.size() > LISTED_ITEMS)
            out.append(QStringLiteral("…(%1 more)").arg(in.size() - LISTED_ITEMS));
        return out;
    }
    const QString text = value.toString();
    if (!value.isString() || text.size() <= LISTED_CHARS)
        return value;
    const int cut = text.at(LISTED_CHARS - 1).isHighSurrogate() ? LISTED_CHARS - 1 : LISTED_CHARS;
    return text.left(cut) + QStringLiteral("…(%1 characters)").arg(text.size());
}

}   // namespace

RequestRouter::RequestRouter(JobQueue *queue, QObject *parent)
    : BR2TodoRouter(parent)
    , m_queue(queue)
    , m_started(QDateTime::currentMSecsSinceEpoch())
{
}

RequestRouter::~RequestRouter() = default;

void RequestRouter::thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe("Tells how many worker threads the service runs", QJsonObject(), QJsonObject(), true);
    if (answerHelp(retObject, cmdObject, help))
        return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("threads"), m_queue->threads()}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_setthreads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe(
        "Sets the number of worker threads, from 1 to twice the number of cores, and keeps it for the next start "
        "(trusted clients only)",
        QJsonObject{{QStringLiteral("threads"), 4}},
        QJsonObject{{QStringLiteral("threads"), QStringLiteral("the new count, 1 or more; a larger one is lowered to the most allowed")},
                    {QStringLiteral("report"), QLatin1String(REPORT)}},
        true);
    if (answerHelp(retObject, cmdObject, help))
        return;
    // The count is the service's for every user of the machine; reading it
    // stays open to all.
    if (!isTrustedPeer(envObject->peerCredentials(), m_queue->peerPolicy())) {
        envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: threads"));
        return;
    }
    const int n = toInt(paramsOf(cmdObject).value(QStringLiteral("threads")));
    if (n < 1) {
        envObject->setErr(BR2Error::ERR_PARAMS, QStringLiteral("缺少参数: threads"));
        return;
    }
    m_queue->changeThreads(n);
    if (wantsReport(paramsOf(cmdObject)))
        retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("threads"), m_queue->threads()}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_insert(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe(
        "Queues a job: a layout job brings the thumbnails of one folder's files (or of one file) up to date; a "
        "command job runs a command line. Clients that are not trusted may queue layout jobs only, over a source "
        "they may read and a thumbnail folder they may write",
        QJsonObject{{QStringLiteral("args"), QJsonArray{QStringLiteral("pellowcloud"), QStringLiteral("/srv/photos"),
                                                        QStringLiteral("/srv/.thumbs")}},
                    {QStringLiteral("command"), QString()}},
        QJsonObject{{QStringLiteral("args"), QStringLiteral("a layout job: the layout (pellowcloud or snapvault), the source folder "
                                                            "(or file), the thumbnail folder, and may add the box's width and "
                                                            "height; a command job: the values of ${PARAM1}, ${PARAM2}, ...")},
                    {QStringLiteral("command"), QStringLiteral("a command job's command line; empty for a layout job")},
                    {QStringLiteral("report"), QLatin1String(REPORT)}},
        true);
    if (answerHelp(retObject, cmdObject, help))
        return;
    const QJsonObject params = paramsOf(cmdObject);
    const BR2PeerCredentials peer = envObject->peerCredentials();
    const bool trusted = isTrustedPeer(peer, m_queue->peerPolicy());
    const QStringList args = trusted ? toStrings(params.value(QStringLiteral("args")), false)
                                     : untrustedArgs(params.value(QStringLiteral("args")));
    const QString command = params.value(QStringLiteral("command")).toString().trimmed();

    QJsonObject owner;
    if (!trusted) {
        // A command job runs as the service: untrusted peers may not queue
        // one. A layout job is checked now, for a clear answer, and runs
        // later under the peer's identity, stored with it.
        owner = peerToJson(peer);
        if (!command.isEmpty()) {
            envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: command"));
            return;
        }
        // A job that does no work is not stored for a stranger: it would
        // only take room in the queue.
        const QString layout = args.value(0);
        if (args.size() < 3 || (layout != QLatin1String("pellowcloud") && layout != QLatin1String("snapvault"))) {
            envObject->setErr(BR2Error::ERR_PARAMS, QStringLiteral("缺少参数: layout"));
            return;
        }
        QString failed;
        if (!peerMayWalk(peer, args.at(1), args.at(2), failed)) {
            envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: ") + failed);
            return;
        }
    }

    // A refused push has said why (the database's reason).
    const int quuno = m_queue->push(*envObject, args, command, owner);
    if (quuno <= 0)
        return;
    if (wantsReport(params))
        retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("quuno"), quuno}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_status(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe(
        "What the service is doing: jobs waiting and in progress, thumbnails written and files skipped since the start",
        QJsonObject(), QJsonObject(), false);
    if (answerHelp(retObject, cmdObject, help))
        return;
    // From memory and one stat: no database query on this path. An
    // untrusted client sees every counter, but the files and folders of
    // its own jobs only.
    const BR2PeerCredentials peer = envObject->peerCredentials();
    const bool trusted = isTrustedPeer(peer, m_queue->peerPolicy());
    const QHash<int, uint> owners = trusted ? QHash<int, uint>() : m_queue->owners();
    const auto others = [&](const QJsonObject &entry) {
        const auto owner = owners.constFind(toInt(entry.value(QStringLiteral("quuno"))));
        return !trusted && (owner == owners.constEnd() || *owner != peer.uid);
    };
    QJsonArray postponed, running;
    for (const QJsonValue &v : m_queue->postponed()) {
        QJsonObject entry = v.toObject();
        if (others(entry)) {
            entry.remove(QStringLiteral("folder"));
            entry.remove(QStringLiteral("reason"));
        }
        postponed.append(entry);
    }
    for (const QJsonValue &v : JobActivity::running()) {
        QJsonObject entry = v.toObject();
        if (others(entry))
            entry.remove(QStringLiteral("file"));
        running.append(entry);
    }
    QJsonArray missed;
    for (const QJsonValue &v : MissedFiles::recent()) {
        QJsonObject entry = v.toObject();
        if (!trusted && entry.value(QStringLiteral("uid")).toDouble() != double(peer.uid))
            entry.remove(QStringLiteral("file"));
        missed.append(entry);
    }
    QJsonObject results = WalkTally::totals();
    results.insert(QStringLiteral("queued"), m_queue->queuedCount());
    results.insert(QStringLiteral("postponed"), postponed);
    results.insert(QStringLiteral("running"), running);
    results.insert(QStringLiteral("missed"), missed);
    results.insert(QStringLiteral("runnables"), MZThumbgen::amount());
    results.insert(QStringLiteral("helpers"), RenderHelpers::running());
    results.insert(QStringLiteral("threads"), m_queue->threads());
    results.insert(QStringLiteral("quarantined"), Quarantine::count());
    results.insert(QStringLiteral("dbbytes"), m_queue->databaseBytes());
    results.insert(QStringLiteral("uptime"), (QDateTime::currentMSecsSinceEpoch() - m_started) / 1000);
    retObject->insert(QStringLiteral("results"), results);
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_jobs(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe(
        "Jobs waiting and in progress, oldest first; the command line is shown to trusted clients only",
        QJsonObject{{QStringLiteral("offset"), 0}, {QStringLiteral("limit"), 100}},
        QJsonObject{{QStringLiteral("offset"), QStringLiteral("how many jobs to skip, 0 by default")},
                    {QStringLiteral("limit"), QStringLiteral("jobs to list, 100 by default, at most 1000")}},
        false);
    if (answerHelp(retObject, cmdObject, help))
        return;
    const QJsonObject params = paramsOf(cmdObject);
    const int offset = qMax(0, toInt(params.value(QStringLiteral("offset"))));
    const int limit = params.contains(QStringLiteral("limit")) ? qBound(0, toInt(params.value(QStringLiteral("limit"))), 1000)
                                                                : 100;
    // An untrusted client sees its own jobs only, long texts cut.
    const BR2PeerCredentials peer = envObject->peerCredentials();
    const bool trusted = isTrustedPeer(peer, m_queue->peerPolicy());
    int total = 0;
    QJsonArray list;
    for (QJsonObject job : m_queue->jobs(offset, limit, total, trusted ? -1 : qint64(peer.uid))) {
        if (!trusted) {
            job.insert(QStringLiteral("command"), QString());
            job.insert(QStringLiteral("args"), listed(job.value(QStringLiteral("args"))));
            QJsonObject waiting = job.value(QStringLiteral("waiting")).toObject();
            if (!waiting.isEmpty()) {
                waiting.insert(QStringLiteral("folder"), listed(waiting.value(QStringLiteral("folder"))));
                job.insert(QStringLiteral("waiting"), waiting);
            }
        }
        list.append(job);
    }
    retObject->insert(QStringLiteral("results"),
                      QJsonObject{{QStringLiteral("total"), total}, {QStringLiteral("jobs"), list}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_cancel(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe(
        "Removes a waiting job, or stops the job in progress at its next file and removes it (trusted clients only)",
        QJsonObject{{QStringLiteral("quuno"), 12}},
        QJsonObject{{QStringLiteral("quuno"), QStringLiteral("the job's number")}, {QStringLiteral("report"), QLatin1String(REPORT)}},
        false);
    if (answerHelp(retObject, cmdObject, help))
        return;
    if (!isTrustedPeer(envObject->peerCredentials(), m_queue->peerPolicy())) {
        envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: cancel"));
        return;
    }
    // A whole number only: the lenient reading of the other commands would
    // take "abc" as hexadecimal 2748 and cancel another job.
    const QJsonValue value = paramsOf(cmdObject).value(QStringLiteral("quuno"));
    bool ok = false;
    int quuno = 0;
    if (value.isDouble() && value.toDouble() == std::floor(value.toDouble()) && qAbs(value.toDouble()) < 2147483647.0) {
        quuno = int(value.toDouble());
        ok = true;
    } else if (value.isString()) {
        quuno = value.toString().trimmed().toInt(&ok, 10);
    }
    if (!ok) {
        envObject->setErr(BR2Error::ERR_PARAMS, QStringLiteral("缺少参数: quuno"));
        return;
    }
    const JobQueue::CancelOutcome outcome = m_queue->cancel(quuno);
    if (outcome == JobQueue::CancelUnknown) {
        envObject->setErr(BR2Error::ERR_NOT_EXISTS, QStringLiteral("不存在: ") + QString::number(quuno));
        return;
    }
    PRINTLN(outcome == JobQueue::CancelRemoved ? QStringLiteral("job %1 cancelled: removed while waiting").arg(quuno)
                                               : QStringLiteral("job %1 cancelled: stopping at its next file").arg(quuno));
    if (wantsReport(paramsOf(cmdObject))) {
        const QString was = outcome == JobQueue::CancelRemoved ? QStringLiteral("waiting") : QStringLiteral("running");
        retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("quuno"), quuno}, {QStringLiteral("was"), was}});
    }
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_quarantine(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    static const QJsonObject help = describe(
        "Files walks skip: quarantined after crashing the service twice, or videos whose ffmpeg ran out of time",
        QJsonObject(), QJsonObject(), false);
    if (answerHelp(retObject, cmdObject, help))
        return;
    // An untrusted client sees only the files it may read itself.
    const BR2PeerCredentials peer = envObject->peerCredentials();
    QJsonArray files = Quarantine::list();
    if (!isTrustedPeer(peer, m_queue->peerPolicy())) {
        QJsonArray readable;
        const FsIdentity as(peer);
        for (const QJsonValue &file : qAsConst(files)) {
            if (as.active() && actingMayRead(file.toObject().value(QStringLiteral("path")).toString()))
                readable.append(file);
        }
        files = readable;
    }
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("files"), files}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}
