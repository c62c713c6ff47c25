#include "ctlrequest.h"

#include "br2error.h"
#include "br2localserver.h"
#include "br2rpcpacket.h"
#include "ctloutput.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

// Each request opens its own connection and waits for one reply. A reply
// whose "err" is 0 or 10000 succeeded; exit status 2 is kept for no answer.
namespace {

// Where a name without "/" lies, as the service resolves it.
QString whereLooked(const QString &lpcid)
{
    if (lpcid.startsWith(QLatin1Char('/')))
        return lpcid;
    return lpcid + QStringLiteral(" (a name without \"/\" is looked for as ") + BR2LocalServer::socketPath(lpcid)
        + QLatin1Char(')');
}

// Anyone may bind a socket's name while the service is down; a request,
// command lines and secrets included, goes only to a server run by root,
// by the client's own user or by the configuration file's owner.
bool ask(const Service &service, const QJsonObject &request, QJsonObject *reply, int &status)
{
    uint refused = uint(-1);
    const uint self = ::getuid();
    const auto believed = [&](uint uid) { return uid == 0 || uid == self || uid == service.configOwner; };
    if (BR2LocalServer::localRequest(service.lpcid, request, reply, service.timeout, believed, &refused))
        return true;
    if (refused != uint(-1)) {
        status = fail(QStringLiteral("%1 is served by uid %2, which is neither root, you, nor the owner of %3: "
                                     "not asking it (someone else may have taken the service's socket)")
                          .arg(BR2LocalServer::socketPath(service.lpcid))
                          .arg(refused)
                          .arg(service.configFile.isEmpty() ? QStringLiteral("a configuration file") : service.configFile));
    } else {
        status = fail(QStringLiteral("no answer from ") + whereLooked(service.lpcid));
    }
    return false;
}

bool succeeded(const QJsonObject &reply)
{
    const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
    return err == BR2Error::ERR_SUCCEED || err == BR2Error::ERR_SUCCESS;
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
                                                  {QStringLiteral("command"), command}});
}

int exchange(const Service &service, const QJsonObject &request, const char *what, QJsonObject &results)
{
    QJsonObject reply;
    int status = 0;
    if (!ask(service, request, &reply, status))
        return status;
    if (!succeeded(reply)) {
        const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
        if (err == BR2Error::ERR_MISSING)
            complain(QStringLiteral("the service has no %1").arg(QLatin1String(what)));
        else
            complain(QStringLiteral("the service answered %1 %2").arg(err).arg(reply.value(QStringLiteral("errmsg")).toString()));
        return 1;
    }
    results = reply.value(QStringLiteral("results")).toObject();
    return 0;
}

int printReply(const Service &service, const QJsonObject &request, bool help)
{
    const qint64 size = BR2RpcPacket(request).toCompact().size();
    if (size > BR2RpcPacket::MAX_JSON_TEXT) {
        return fail(QStringLiteral("request too large: %1 bytes of JSON, the service takes at most %2")
                        .arg(size)
                        .arg(BR2RpcPacket::MAX_JSON_TEXT));
    }

    QJsonObject reply;
    int status = 0;
    if (!ask(service, request, &reply, status))
        return status;
    std::fputs(QJsonDocument(reply).toJson(QJsonDocument::Indented).constData(), stdout);
    // A help reply carries whatever code the connection held, but an
    // unknown command is an error whether or not help was asked for.
    const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
    if (err == BR2Error::ERR_MISSING)
        return 1;
    return help || succeeded(reply) ? 0 : 1;
}
