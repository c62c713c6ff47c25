#include "ctlhelp.h"

#include "br2error.h"
#include "ctlcommands.h"
#include "ctlformat.h"
#include "ctloutput.h"
#include "ctlrequest.h"
#include "ctlsentences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace {

QString text(const QJsonValue &value)
{
    if (value.isString())
        return english(value.toString());
    if (value.isObject()) {
        QJsonObject said = value.toObject();
        for (auto it = said.begin(); it != said.end(); ++it) {
            if (it.value().isString())
                it.value() = english(it.value().toString());
        }
        return QString::fromUtf8(QJsonDocument(said).toJson(QJsonDocument::Compact));
    }
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return value.isBool() ? QLatin1String(value.toBool() ? "true" : "false") : QString();
}

QJsonObject helpRequest(const QString &cmd)
{
    return QJsonObject{{QStringLiteral("cmd"), cmd}, {QStringLiteral("help"), true}};
}

bool unknownCommand(const QJsonObject &reply)
{
    return reply.value(QStringLiteral("err")).toInt() == BR2Error::ERR_MISSING;
}

// help_interfaces answers a help request with its whole listing: its own
// description is the entry under its name.
QJsonObject descriptionIn(const QJsonObject &reply, const QString &cmd)
{
    const QJsonValue listed = reply.value(QStringLiteral("results")).toObject().value(cmd);
    return listed.isObject() ? listed.toObject() : reply;
}

QStringList describe(const QString &cmd, const QJsonObject &description)
{
    const QJsonValue comment = description.value(QStringLiteral("comment"));
    QStringList lines{cmd + QStringLiteral(": ")
                      + (comment.isUndefined() ? QStringLiteral("the service does not describe it") : text(comment))};
    const QJsonValue meanings = description.value(QStringLiteral("params-comment"));
    const QJsonValue example = description.value(QStringLiteral("params"));
    if (meanings.isObject() || example.isObject()) {
        const QJsonObject params = meanings.isObject() ? meanings.toObject() : example.toObject();
        QList<QStringList> rows;
        for (auto it = params.begin(); it != params.end(); ++it)
            rows << QStringList{QStringLiteral("  ") + it.key(), text(it.value())};
        lines << QStringLiteral("Parameters:") << table(rows);
        if (meanings.isObject() && example.isObject())
            lines << QStringLiteral("Example: ") + text(example);
    } else {
        lines << QStringLiteral("Parameters: ") + (meanings.isString() ? text(meanings) : QStringLiteral("none"));
    }
    return lines;
}

}   // namespace

int showHelp(const Service &service, const QString &name, bool json)
{
    const QList<CtlCommand> named = commandsNamed(name);
    QStringList lines;
    for (const CtlCommand &command : named)
        lines << QString::fromLatin1(command.usage).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!lines.isEmpty())
        lines.prepend(QStringLiteral("Usage: k8thumbgenctl [OPTION...]"));
    const QString cmd = named.isEmpty() ? name : QString::fromLatin1(named.first().cmd);
    if (cmd.isEmpty()) {   // the client's own: help, call
        print(lines);
        return 0;
    }
    QJsonObject reply;
    const int status = ask(service, helpRequest(cmd), reply);
    if (status != 0)
        return status;
    if (json) {
        printRaw(reply);
        return unknownCommand(reply) ? 1 : 0;
    }
    if (unknownCommand(reply)) {
        print(lines);
        complain(failedSentence(Asked{named.isEmpty() ? QStringLiteral("help") : name, cmd, {}}, reply));
        return 1;
    }
    if (!lines.isEmpty())
        lines << QString();
    print(lines + describe(cmd, descriptionIn(reply, cmd)));
    return 0;
}

int showInterfaces(const Service &service, bool json)
{
    QJsonObject reply;
    const int status = ask(service, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}}, reply);
    if (status != 0)
        return status;
    if (json || !succeeded(reply)) {
        if (json)
            printRaw(reply);
        else
            complain(failedSentence(Asked{QStringLiteral("interfaces"), QStringLiteral("help_interfaces"), {}}, reply));
        return succeeded(reply) ? 0 : 1;
    }
    QJsonObject listed = reply.value(QStringLiteral("results")).toObject();
    // Commands the listing leaves out (unpublished) still describe
    // themselves when asked.
    for (const CtlCommand &command : ctlCommands()) {
        const QString cmd = QLatin1String(command.cmd);
        if (cmd.isEmpty() || listed.contains(cmd))
            continue;
        QJsonObject help;
        if (ask(service, helpRequest(cmd), help) == 0 && !unknownCommand(help))
            listed.insert(cmd, help);
    }
    QList<QStringList> rows{{QStringLiteral("COMMAND"), QStringLiteral("CLIENT"), QStringLiteral("WHAT IT DOES")}};
    for (auto it = listed.begin(); it != listed.end(); ++it) {
        QStringList words;
        for (const CtlCommand &command : commandsNamed(it.key())) {
            if (!words.contains(QLatin1String(command.name)))
                words << QLatin1String(command.name);
        }
        const QJsonValue comment = it.value().toObject().value(QStringLiteral("comment"));
        rows << QStringList{it.key(), words.isEmpty() ? QStringLiteral("call") : words.join(QStringLiteral(", ")),
                            comment.isUndefined() ? QStringLiteral("(the service does not describe it)") : text(comment)};
    }
    print(table(rows) << QString() << QStringLiteral("k8thumbgenctl help COMMAND tells more of one."));
    return 0;
}
