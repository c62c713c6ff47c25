#include "requestrouter.h"

#include "br2cabinet.h"
#include "br2error.h"
#include "br2utils.h"
#include "jobqueue.h"
#include "peeraccess.h"

#include <QJsonDocument>

namespace {

// Every command answers a request holding "help" (whatever its value) with
// its help object instead of acting.
const QJsonObject &helpObject()
{
    static const QJsonObject help = toJsonObject(QByteArrayLiteral("{ \n }"));
    return help;
}

QJsonObject paramsOf(const QJsonObject &cmdObject)
{
    return cmdObject.value(QStringLiteral("params")).toObject();
}

}   // namespace

RequestRouter::RequestRouter(JobQueue *queue, QObject *parent)
    : BR2TodoRouter(parent)
    , m_queue(queue)
{
}

RequestRouter::~RequestRouter() = default;

void RequestRouter::thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    if (answerHelp(retObject, cmdObject, helpObject()))
        return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("threads"), m_queue->threads()}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_setthreads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    if (answerHelp(retObject, cmdObject, helpObject()))
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
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_insert(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    if (answerHelp(retObject, cmdObject, helpObject()))
        return;
    const QJsonObject params = paramsOf(cmdObject);
    const QStringList args = toStrings(params.value(QStringLiteral("args")), false);
    const QString command = params.value(QStringLiteral("command")).toString().trimmed();

    const BR2PeerCredentials peer = envObject->peerCredentials();
    QJsonObject owner;
    if (!isTrustedPeer(peer, m_queue->peerPolicy())) {
        // A command job runs as the service: untrusted peers may not queue
        // one. A layout job is checked now, for a clear answer, and runs
        // later under the peer's identity, stored with it.
        owner = peerToJson(peer);
        if (!command.isEmpty()) {
            envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: command"));
            return;
        }
        const QString layout = args.value(0);
        if (args.size() >= 3 && (layout == QLatin1String("pellowcloud") || layout == QLatin1String("snapvault"))) {
            QString failed;
            if (!peerMayWalk(peer, args.at(1), args.at(2), failed)) {
                envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: ") + failed);
                return;
            }
        }
    }

    if (m_queue->push(*envObject, args, command, owner))
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    else
        envObject->setErr(BR2Error::ERR_FAILED, QString());
}
