#include "ctlsentences.h"

#include "br2error.h"
#include "br2utils.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <pwd.h>
#include <unistd.h>

namespace {

// The detail after a known message's prefix ("没有权限: /srv" gives
// "/srv"), or a null string when the message does not start with it.
QString detail(const QString &message, const char *prefix)
{
    const QString head = QString::fromUtf8(prefix) + QStringLiteral(": ");
    return message.startsWith(head) ? message.mid(head.size()) : QString();
}

// The service checks a request with the identity of the process that
// sent it: this one's effective user.
QString you()
{
    const uid_t uid = ::geteuid();
    const struct passwd *entry = ::getpwuid(uid);
    if (!entry)
        return QStringLiteral("uid %1").arg(uid);
    return QStringLiteral("user %1 (uid %2)").arg(QString::fromLocal8Bit(entry->pw_name)).arg(uid);
}

bool mayAccess(const QString &path, int mode)
{
    return ::access(QFile::encodeName(path).constData(), mode) == 0;
}

QString trustedOnly(const char *what)
{
    return QStringLiteral("not allowed: only root, the service's own user and members of its trust group may %1, "
                          "and this client runs as %2")
        .arg(QLatin1String(what), you());
}

// A layout job refused for its paths: the message names the path whose
// check failed, the source itself or the nearest existing part of the
// thumbnail folder. A path that matches neither (a service that words it
// otherwise) is placed by checking the source here, as the same user.
QString refusedPaths(const QStringList &args, const QString &failed)
{
    const QString source = args.value(1), thumbs = args.value(2);
    const bool folder = QFileInfo(source).isDir();
    const bool readable = mayAccess(source, folder ? R_OK | X_OK : R_OK);
    const bool onSource = failed == source;
    const bool onThumbs = failed == thumbs || thumbs.startsWith(failed.endsWith(QLatin1Char('/')) ? failed : failed + QLatin1Char('/'));
    // A thumbnail folder not made yet inside the source is checked on the
    // source itself: then only this user's own look tells the two apart.
    const bool sourceSide = onSource != onThumbs ? onSource : !readable;
    if (sourceSide) {
        QString text = QStringLiteral("refused: as %1 the source %2 %3 cannot be read")
                           .arg(you(), QLatin1String(folder ? "folder" : "file"), source);
        // The service's check failed, yet this user can read it: the
        // service could not act as this user to check.
        if (readable)
            text += QStringLiteral(" (this client can read it, so the service could not check as you; its console says why)");
        return text;
    }
    if (failed == thumbs || !onThumbs)
        return QStringLiteral("refused: as %1 the thumbnail folder %2 cannot be written").arg(you(), failed);
    return QStringLiteral("refused: as %1 the thumbnail folder %2 cannot be made, since %3 cannot be written")
        .arg(you(), thumbs, failed);
}

QString noPermission(const Asked &asked, const QString &what)
{
    if (what == QLatin1String("threads"))
        return trustedOnly("change the worker count");
    if (what == QLatin1String("command"))
        return trustedOnly("queue a command job");
    if (what == QLatin1String("cancel"))
        return trustedOnly("cancel a job");
    if (asked.cmd == QLatin1String("thumbgen_insert") && !what.isEmpty())
        return refusedPaths(asked.args, what);
    return QString();
}

QString missingParameter(const QString &what)
{
    if (what == QLatin1String("threads"))
        return QStringLiteral("the service wants a worker count of 1 or more");
    if (what == QLatin1String("layout"))
        return QStringLiteral("refused: a client that is not trusted may queue only pellowcloud and snapvault jobs, "
                              "each with a source and a thumbnail folder");
    if (what == QLatin1String("quuno"))
        return QStringLiteral("the service wants a job number, a whole number");
    return QStringLiteral("a parameter is missing or out of range: ") + what;
}

QString overLimit(const QString &what)
{
    const QString jobs = what.startsWith(QLatin1String("jobs ")) ? what.mid(5) : QString();
    if (!jobs.isEmpty())
        return QStringLiteral("refused: the queue holds all the jobs it takes from %1 (%2 waiting or running); "
                              "queue more as they finish")
            .arg(you(), jobs);
    const QString bytes = what.startsWith(QLatin1String("bytes ")) ? what.mid(6) : QString();
    if (!bytes.isEmpty())
        return QStringLiteral("refused: the jobs of %1 would hold more than %2 bytes of arguments in the queue; "
                              "queue more as they finish")
            .arg(you(), bytes);
    return QStringLiteral("refused: over a limit: ") + what;
}

// The sentence for a known message; empty when the message is not one of
// the service's own.
QString knownMessage(const Asked &asked, int err, const QString &message)
{
    QString what;
    switch (err) {
    case BR2Error::ERR_NO_PERMISSION:
        what = detail(message, "没有权限");
        return what.isNull() ? QString() : noPermission(asked, what);
    case BR2Error::ERR_PARAMS:
        what = detail(message, "缺少参数");
        return what.isNull() ? QString() : missingParameter(what);
    case BR2Error::ERR_NOT_EXISTS:
        what = detail(message, "不存在");
        return what.isNull() ? QString() : QStringLiteral("no job ") + what;
    case BR2Error::ERR_LIMIT:
        what = detail(message, "超出限制");
        return what.isNull() ? QString() : overLimit(what);
    case BR2Error::ERR_FAILED:
        what = detail(message, "任务无法保存");
        return what.isNull() ? QString() : QStringLiteral("the service could not store the job: ") + what;
    case BR2Error::ERR_MISSING:
        what = detail(message, "被调用的方法不存在");
        if (what.isNull())
            return QString();
        if (what.trimmed().isEmpty())
            return QStringLiteral("the request names no command");
        // A command the client itself sends: the service predates it.
        if (asked.cmd == what && asked.command != QLatin1String("help") && asked.command != QLatin1String("call"))
            return QStringLiteral("the service has no command %1 (it may be older than this client)").arg(what);
        return QStringLiteral("the service has no command ") + what;
    default:
        return QString();
    }
}

// A code without a known message: what the code itself says.
QString codeSentence(int err)
{
    switch (err) {
    case BR2Error::ERR_FAILED:
        return QStringLiteral("the service failed without saying why (its console may say more)");
    case BR2Error::ERR_PARAMS:
        return QStringLiteral("a parameter is missing or out of range");
    case BR2Error::ERR_NOT_EXISTS:
        return QStringLiteral("not found");
    case BR2Error::ERR_LIMIT:
        return QStringLiteral("refused: over a limit");
    case BR2Error::ERR_MISSING:
        return QStringLiteral("the service has no such command");
    case BR2Error::ERR_NO_PERMISSION:
        return QStringLiteral("not allowed for ") + you();
    default: {
        const QString name = BR2Error::toErrid(err);
        return QStringLiteral("the service failed with code %1%2").arg(err).arg(name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name));
    }
    }
}

}   // namespace

QString doneSentence(const Asked &asked, const QJsonObject &results)
{
    const QJsonValue quuno = results.value(QStringLiteral("quuno"));
    const QJsonValue threads = results.value(QStringLiteral("threads"));
    if (asked.cmd == QLatin1String("thumbgen_insert"))
        return quuno.isDouble() ? QStringLiteral("queued job %1").arg(toInt(quuno))
                                : QStringLiteral("queued the job (the service does not say its number)");
    if (asked.cmd == QLatin1String("thumbgen_cancel")) {
        const QString was = results.value(QStringLiteral("was")).toString();
        const QString number = asked.args.value(0);
        if (was == QLatin1String("waiting"))
            return QStringLiteral("removed waiting job ") + number;
        if (was == QLatin1String("running"))
            return QStringLiteral("stopping job %1 at its next file").arg(number);
        return QStringLiteral("cancelled job ") + number;
    }
    if (asked.cmd == QLatin1String("thumbgen_setthreads")) {
        if (!threads.isDouble())
            return QStringLiteral("worker count set to ") + asked.args.value(0);
        const int now = toInt(threads);
        QString text = QStringLiteral("the service now runs %1 worker%2").arg(now).arg(QLatin1String(now == 1 ? "" : "s"));
        if (QString::number(now) != asked.args.value(0))
            text += QStringLiteral(" (%1 asked: it runs from 1 to twice the number of cores)").arg(asked.args.value(0));
        return text;
    }
    if (asked.cmd == QLatin1String("thumbgen_threads") && threads.isDouble()) {
        const int now = toInt(threads);
        return QStringLiteral("the service runs %1 worker%2").arg(now).arg(QLatin1String(now == 1 ? "" : "s"));
    }
    return QStringLiteral("done");
}

QString failedSentence(const Asked &asked, const QJsonObject &reply)
{
    const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
    const QString message = reply.value(QStringLiteral("errmsg")).toString();
    const QString known = knownMessage(asked, err, message);
    if (!known.isEmpty())
        return known;
    QString text = codeSentence(err);
    if (!message.isEmpty())
        text += QStringLiteral("; the service says: ") + message;
    return text;
}

QString english(const QString &text)
{
    static const QHash<QString, QString> words{
        {QStringLiteral("获取接口的使用说明"), QStringLiteral("Lists the service's commands with their descriptions")},
        {QStringLiteral("接口名(可选)"), QStringLiteral("a command's name (optional)")},
        {QStringLiteral("可选的接口名, 不指定时显示所有接口的使用说明"), QStringLiteral("not looked at: every command is listed")},
        {QStringLiteral("<<此接口没有提供使用说明>>"), QStringLiteral("(the service does not describe it)")},
        {QStringLiteral("本接口没有参数"), QStringLiteral("no parameters")},
    };
    return words.value(text, text);
}
