#include "ctlrequest.h"

#include "br2error.h"
#include "br2localserver.h"
#include "br2rpcpacket.h"
#include "ctloutput.h"
#include "ctlsentences.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

// Each request opens its own connection and waits for one reply. A reply
// whose "err" is 0 or 10000 succeeded; exit status 2 is kept for no answer.
namespace {

// Where a name without "/" lies, as the service resolves it, and where the
// name came from.
QString whereLooked(const Service &service)
{
    QString text = service.lpcid;
    if (!service.lpcid.startsWith(QLatin1Char('/')))
        text += QStringLiteral(" (a name without \"/\" is looked for as ") + BR2LocalServer::socketPath(service.lpcid)
            + QLatin1Char(')');
    if (!service.origin.isEmpty())
        text += QStringLiteral(", named by ") + service.origin;
    return text;
}

}   // namespace

QJsonObject commandRequest(const char *cmd, const QJsonObject &params)
{
    return QJsonObject{{QStringLiteral("cmd"), QLatin1String(cmd)}, {QStringLiteral("params"), params}};
}

QJsonObject jobsRequest(int offset, int limit)
{
    return commandRequest("thumbgen_jobs", QJsonObject{{QStringLiteral("offset"), offset}, {QStringLiteral("limit"), limit}});
}

QJsonObject insertRequest(const QStringList &args, const QString &command)
{
    return commandRequest("thumbgen_insert", QJsonObject{{QStringLiteral("args"), QJsonArray::fromStringList(args)},
                                                  {QStringLiteral("command"), command},
                                                  {QStringLiteral("report"), true}});
}

// Anyone may bind a socket's name while the service is down; a request,
// command lines and secrets included, goes only to a server run by root,
// by the client's own user or by the configuration file's owner.
int ask(const Service &service, const QJsonObject &request, QJsonObject &reply)
{
    const qint64 size = BR2RpcPacket(request).toCompact().size();
    if (size > BR2RpcPacket::MAX_JSON_TEXT) {
        return fail(QStringLiteral("request too large: %1 bytes of JSON, the service takes at most %2")
                        .arg(size)
                        .arg(BR2RpcPacket::MAX_JSON_TEXT));
    }
    uint refused = uint(-1);
    const uint self = ::getuid();
    const auto believed = [&](uint uid) { return uid == 0 || uid == self || uid == service.configOwner; };
    if (BR2LocalServer::localRequest(service.lpcid, request, &reply, service.timeout, believed, &refused))
        return 0;
    if (refused != uint(-1)) {
        return fail(QStringLiteral("%1 is served by uid %2, which is neither root, you, nor the owner of %3: "
                                   "not asking it (someone else may have taken the service's socket)")
                        .arg(BR2LocalServer::socketPath(service.lpcid))
                        .arg(refused)
                        .arg(service.configFile.isEmpty() ? QStringLiteral("a configuration file") : service.configFile));
    }
    return fail(QStringLiteral("no answer from ") + whereLooked(service));
}

bool succeeded(const QJsonObject &reply)
{
    const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
    return err == BR2Error::ERR_SUCCEED || err == BR2Error::ERR_SUCCESS;
}

void printRaw(const QJsonObject &reply)
{
    std::fputs(QJsonDocument(reply).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

int exchange(const Service &service, const QJsonObject &request, const Asked &asked, QJsonObject &results)
{
    QJsonObject reply;
    const int status = ask(service, request, reply);
    if (status != 0)
        return status;
    if (!succeeded(reply)) {
        complain(failedSentence(asked, reply));
        return 1;
    }
    results = reply.value(QStringLiteral("results")).toObject();
    return 0;
}

int answer(const Service &service, const QJsonObject &request, const Asked &asked, bool json)
{
    QJsonObject reply;
    const int status = ask(service, request, reply);
    if (status != 0)
        return status;
    const bool done = succeeded(reply);
    if (json)
        printRaw(reply);
    else if (done)
        print({doneSentence(asked, reply.value(QStringLiteral("results")).toObject())});
    else
        complain(failedSentence(asked, reply));
    return done ? 0 : 1;
}
