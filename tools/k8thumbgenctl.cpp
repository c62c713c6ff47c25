#include "br2error.h"
#include "br2utils.h"
#include "ctlarguments.h"
#include "ctlcommands.h"
#include "ctlhelp.h"
#include "ctllistings.h"
#include "ctllookup.h"
#include "ctloutput.h"
#include "ctlrecursiveinsert.h"
#include "ctlrequest.h"
#include "ctlsentences.h"
#include "ctlstatus.h"
#include "ctlwatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>

// A command-line client for operators and scripts: one request, its
// outcome told in an English sentence (status, jobs and quarantine: a
// readable summary), and an exit status a script can test. --json prints
// the service's reply itself instead.
namespace {

// Parses the options that come right after a command word; args keeps the
// rest, from its first argument that is not an option.
bool commandOptions(QCommandLineParser &parser, const QString &command, const QList<QCommandLineOption> &options,
                    QStringList &args, QString &problem)
{
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(options);
    if (!parser.parse(QStringList{command} + args)) {
        problem = command + QStringLiteral(": ") + parser.errorText();
        return false;
    }
    args = parser.positionalArguments();
    return true;
}

// A whole number from min to max in an option's value, or false.
bool optionNumber(const QCommandLineParser &parser, const QCommandLineOption &option, int min, int max, int &value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    value = parser.value(option).toInt(&ok, 10);
    return ok && value >= min && value <= max;
}

// call: the reply printed as JSON, indented unless for a script. A help
// reply is help whatever its "err"; an unknown command is an error whether
// or not help was asked for.
int callService(const Service &service, const QJsonObject &request, bool json)
{
    QJsonObject reply;
    const int status = ask(service, request, reply);
    if (status != 0)
        return status;
    if (json)
        printRaw(reply);
    else
        std::fputs(QJsonDocument(reply).toJson(QJsonDocument::Indented).constData(), stdout);
    const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
    if (err == BR2Error::ERR_MISSING || (!request.contains(QStringLiteral("help")) && !succeeded(reply))) {
        if (!json)
            complain(failedSentence(Asked{QStringLiteral("call"), request.value(QStringLiteral("cmd")).toString(), {}}, reply));
        return 1;
    }
    return 0;
}

}   // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("k8thumbgenctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    // Options come before the command; everything after the command word
    // is its arguments, dashes and all (run 'cmd ${PARAM1}' -n).
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption lpcidOption(QStringLiteral("lpcid"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption cfgOption(QStringLiteral("cfg"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QString(), QStringLiteral("S"));
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    parser.addOptions({lpcidOption, cfgOption, timeoutOption, jsonOption, helpOption, versionOption});
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(usageText().toUtf8().constData(), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("k8thumbgenctl %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }

    double timeout = 10;
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        timeout = parser.value(timeoutOption).toDouble(&ok);
        if (!ok || !std::isfinite(timeout) || timeout <= 0)
            return fail(QStringLiteral("--timeout needs a number of seconds above 0"));
        timeout = qMin(timeout, 31536000.0);   // a year: beyond that the cast would overflow
    }
    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return fail(QStringLiteral("no command (see --help)"));
    const QString command = args.takeFirst();
    // --json also right after any command word (run takes no other option,
    // so that its command line may start with a dash).
    bool json = parser.isSet(jsonOption);
    if (!args.isEmpty() && args.first() == QLatin1String("--json")) {
        args.removeFirst();
        json = true;
    }

    // The client's own commands need no service to describe them.
    if (command == QLatin1String("help") && args.size() == 1 && !commandsNamed(args.first()).isEmpty()
        && !*commandsNamed(args.first()).first().cmd)
        return showHelp(Service(), args.first(), json);

    Service service;
    service.timeout = qint64(std::ceil(timeout));
    QString problem;
    if (!findService(parser.value(lpcidOption), parser.value(cfgOption), service, problem))
        return fail(problem);

    // The options a command takes come right after its word.
    const QCommandLineOption watchOption(QStringLiteral("watch"));
    const QCommandLineOption untilIdleOption(QStringLiteral("until-idle"));
    const QCommandLineOption limitOption(QStringLiteral("limit"), QString(), QStringLiteral("N"));
    const QCommandLineOption offsetOption(QStringLiteral("offset"), QString(), QStringLiteral("N"));
    const QCommandLineOption recursiveOption(QStringLiteral("recursive"));
    QCommandLineParser options;

    QJsonObject request;
    Asked asked{command, QString(), args};
    // status, jobs and quarantine: the readable form of the reply's results.
    std::function<QStringList(const QJsonObject &)> summary;
    if (command == QLatin1String("threads") && args.isEmpty()) {
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_threads"));
    } else if (command == QLatin1String("setthreads") && args.size() == 1) {
        if (!isPositive(args.first()))
            return fail(QStringLiteral("setthreads needs a positive whole number, not ") + args.first());
        request = commandRequest("thumbgen_setthreads", QJsonObject{{QStringLiteral("threads"), args.first().toInt()},
                                                                    {QStringLiteral("report"), true}});
    } else if (command == QLatin1String("insert")) {
        if (!commandOptions(options, command, {recursiveOption, jsonOption}, args, problem))
            return fail(problem);
        json = json || options.isSet(jsonOption);
        if (args.size() != 3 && args.size() != 5)
            return fail(QStringLiteral("insert needs LAYOUT SOURCE THUMBS [W H] (see --help)"));
        if (options.isSet(recursiveOption) && !QFileInfo(args.at(1)).isDir())
            return fail(QStringLiteral("--recursive needs a folder to start from: %1 is not one").arg(args.at(1)));
        problem = layoutProblem(args);
        if (!problem.isEmpty())
            return fail(problem);
        args[1] = absolute(args[1]);
        args[2] = absolute(args[2]);
        if (options.isSet(recursiveOption))
            return insertRecursive(service, args, json);
        request = insertRequest(args, QString());
        asked.args = args;
    } else if (command == QLatin1String("run") && !args.isEmpty()) {
        const QString line = args.takeFirst();
        request = insertRequest(args, line);
    } else if (command == QLatin1String("status")) {
        if (!commandOptions(options, command, {jsonOption, watchOption, untilIdleOption}, args, problem))
            return fail(problem);
        json = json || options.isSet(jsonOption);
        if (!args.isEmpty())
            return fail(QStringLiteral("status takes no arguments, only --json, --watch and --until-idle"));
        if (options.isSet(untilIdleOption) && !options.isSet(watchOption))
            return fail(QStringLiteral("--until-idle goes with --watch"));
        if (options.isSet(watchOption) && json)
            return fail(QStringLiteral("--watch prints a summary: it does not go with --json"));
        if (options.isSet(watchOption))
            return watchStatus(service, options.isSet(untilIdleOption));
        request = commandRequest("thumbgen_status", QJsonObject());
        summary = statusLines;
    } else if (command == QLatin1String("jobs")) {
        if (!commandOptions(options, command, {jsonOption, limitOption, offsetOption}, args, problem))
            return fail(problem);
        json = json || options.isSet(jsonOption);
        if (!args.isEmpty())
            return fail(QStringLiteral("jobs takes no arguments, only --limit, --offset and --json"));
        int limit = 100;
        int offset = 0;
        if (!optionNumber(options, limitOption, 1, 1000, limit))
            return fail(QStringLiteral("--limit needs a whole number from 1 to 1000"));
        if (!optionNumber(options, offsetOption, 0, INT_MAX, offset))
            return fail(QStringLiteral("--offset needs a whole number, 0 or more"));
        request = jobsRequest(offset, limit);
        summary = [offset](const QJsonObject &results) { return jobsLines(results, offset); };
    } else if (command == QLatin1String("cancel") && args.size() == 1) {
        if (!isPositive(args.first()))
            return fail(QStringLiteral("cancel needs a job number (a positive whole number), not ") + args.first());
        request = commandRequest("thumbgen_cancel", QJsonObject{{QStringLiteral("quuno"), args.first().toInt()},
                                                                {QStringLiteral("report"), true}});
    } else if (command == QLatin1String("quarantine")) {
        if (!commandOptions(options, command, {jsonOption}, args, problem))
            return fail(problem);
        json = json || options.isSet(jsonOption);
        if (!args.isEmpty())
            return fail(QStringLiteral("quarantine takes no arguments, only --json"));
        request = commandRequest("thumbgen_quarantine", QJsonObject());
        summary = quarantineLines;
    } else if (command == QLatin1String("interfaces") && args.isEmpty()) {
        return showInterfaces(service, json);
    } else if (command == QLatin1String("help") && args.size() == 1) {
        return showHelp(service, args.first(), json);
    } else if (command == QLatin1String("call") && args.size() == 1) {
        if (!toJsonObject(request, args.first().toUtf8()))
            return fail(QStringLiteral("call needs a JSON object"));
        // An empty object travels as a keep-alive, which is never answered.
        if (request.isEmpty())
            return fail(QStringLiteral("call needs a non-empty object: {} is sent as a keep-alive and gets no answer"));
        return callService(service, request, json);
    } else {
        return fail(QStringLiteral("wrong command or arguments: ") + command + QStringLiteral(" (see --help)"));
    }

    asked.cmd = request.value(QStringLiteral("cmd")).toString();
    if (summary && !json) {
        QJsonObject results;
        const int status = exchange(service, request, asked, results);
        if (status == 0)
            print(summary(results));
        return status;
    }
    return answer(service, request, asked, json);
}
