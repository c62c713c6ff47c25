#include "br2file.h"
#include "br2utils.h"
#include "ctlarguments.h"
#include "ctllistings.h"
#include "ctloutput.h"
#include "ctlrecursiveinsert.h"
#include "ctlrequest.h"
#include "ctlstatus.h"
#include "ctlwatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QStringList>

#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sys/stat.h>

// A command-line client for operators and scripts: one request, the reply
// printed as indented JSON, and an exit status a script can test. status,
// jobs and quarantine print a readable summary instead, unless asked for
// the JSON.
namespace {

const char *const USAGE =
    "Usage: k8thumbgenctl [--lpcid NAME | --cfg FILE] [--timeout S] COMMAND [ARG...]\n"
    "\n"
    "Sends requests to the thumbnail service. Most commands print the reply as\n"
    "JSON; status, jobs and quarantine print a readable summary unless given --json.\n"
    "\n"
    "Options:\n"
    "  --lpcid NAME   the service's socket name or path\n"
    "  --cfg FILE     read the socket name (\"lpcid\") from this configuration file\n"
    "                 (default: /orby/etc/thumbgen/config.json, as the service reads it)\n"
    "  --timeout S    seconds to wait for each reply (default 10; must be above 0)\n"
    "  -h, --help     this text\n"
    "  --version      the client's version\n"
    "\n"
    "Commands:\n"
    "  threads                                  show the worker count\n"
    "  setthreads N                             change and store the worker count (N above 0)\n"
    "  insert LAYOUT SOURCE THUMBS [W H]        queue a layout job (pellowcloud: a folder;\n"
    "                                           snapvault: a folder or a file); the job\n"
    "                                           walks the files of that one folder, not\n"
    "                                           its subfolders; SOURCE and THUMBS are sent\n"
    "                                           as absolute paths\n"
    "  insert --recursive LAYOUT SOURCE THUMBS [W H]\n"
    "                                           queue one such job per folder: SOURCE and\n"
    "                                           every folder under it, depth first in name\n"
    "                                           order, each with the same THUMBS, W and H;\n"
    "                                           THUMBS and what is under it, hidden folders\n"
    "                                           and links to folders are left out; prints\n"
    "                                           how many jobs it queued\n"
    "  run COMMANDLINE [ARG...]                 queue a command job; ${PARAM1}.. take the ARGs\n"
    "  status [--json]                          what the service is doing: jobs waiting and\n"
    "                                           running, files done since it started\n"
    "  status --watch [--until-idle]            the same every second, with the jobs and\n"
    "                                           files done since the watch began; redrawn\n"
    "                                           on a terminal, one line a second otherwise;\n"
    "                                           until Ctrl-C or, with --until-idle, until no\n"
    "                                           job waits or runs (exit status 0)\n"
    "  jobs [--limit N] [--offset N] [--json]   list the jobs waiting and running, oldest\n"
    "                                           first: at most --limit of them (100 by\n"
    "                                           default, 1000 at most), skipping the first\n"
    "                                           --offset (0 by default)\n"
    "  cancel QUUNO                             remove a waiting job, or stop a running one\n"
    "                                           at its next file (trusted users only)\n"
    "  quarantine [--json]                      list the files walks leave out\n"
    "  interfaces                               list the service's commands\n"
    "  help COMMAND                             show a command's help\n"
    "  call JSON                                send any request object, e.g. '{\"cmd\":\"thumbgen_threads\"}'\n"
    "\n"
    "Exit status: 0 when the reply's \"err\" is 0 or 10000 (and for any help reply),\n"
    "1 when the service answered with an error (for insert --recursive: refused\n"
    "any of the jobs), 2 when there was no answer or the arguments are wrong.\n";

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
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    parser.addOptions({lpcidOption, cfgOption, timeoutOption, helpOption, versionOption});
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(USAGE, stdout);
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

    Service service;
    service.timeout = qint64(std::ceil(timeout));
    service.lpcid = parser.value(lpcidOption);
    if (service.lpcid.isEmpty()) {
        const QString cfg = parser.value(cfgOption);
        const QString file = cfg.isEmpty() ? QStringLiteral("/orby/etc/thumbgen/config.json") : cfg;
        service.lpcid = BR2File::readJsonObject(file).value(QStringLiteral("lpcid")).toString().trimmed();
        if (service.lpcid.isEmpty())
            return fail(QStringLiteral("no \"lpcid\" in ") + file + QStringLiteral(" (use --lpcid)"));
        struct stat st;
        if (::stat(QFile::encodeName(file).constData(), &st) == 0)
            service.configOwner = st.st_uid;
        service.configFile = file;
    }

    // The options a command takes come right after its word.
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption watchOption(QStringLiteral("watch"));
    const QCommandLineOption untilIdleOption(QStringLiteral("until-idle"));
    const QCommandLineOption limitOption(QStringLiteral("limit"), QString(), QStringLiteral("N"));
    const QCommandLineOption offsetOption(QStringLiteral("offset"), QString(), QStringLiteral("N"));
    const QCommandLineOption recursiveOption(QStringLiteral("recursive"));
    QCommandLineParser options;
    QString problem;

    const QString command = args.takeFirst();
    QJsonObject request;
    bool help = false;
    // status, jobs and quarantine: the readable form of the reply's results.
    std::function<QStringList(const QJsonObject &)> summary;
    const char *what = "";
    if (command == QLatin1String("threads") && args.isEmpty()) {
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_threads"));
    } else if (command == QLatin1String("setthreads") && args.size() == 1) {
        if (!isPositive(args.first()))
            return fail(QStringLiteral("setthreads needs a positive whole number, not ") + args.first());
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_setthreads"));
        request.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("threads"), args.first().toInt()}});
    } else if (command == QLatin1String("insert")) {
        if (!commandOptions(options, command, {recursiveOption}, args, problem))
            return fail(problem);
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
            return insertRecursive(service, args);
        request = insertRequest(args, QString());
    } else if (command == QLatin1String("run") && !args.isEmpty()) {
        const QString line = args.takeFirst();
        request = insertRequest(args, line);
    } else if (command == QLatin1String("status")) {
        if (!commandOptions(options, command, {jsonOption, watchOption, untilIdleOption}, args, problem))
            return fail(problem);
        if (!args.isEmpty())
            return fail(QStringLiteral("status takes no arguments, only --json, --watch and --until-idle"));
        if (options.isSet(untilIdleOption) && !options.isSet(watchOption))
            return fail(QStringLiteral("--until-idle goes with --watch"));
        if (options.isSet(watchOption) && options.isSet(jsonOption))
            return fail(QStringLiteral("--watch prints a summary: it does not go with --json"));
        if (options.isSet(watchOption))
            return watchStatus(service, options.isSet(untilIdleOption));
        request = commandRequest("thumbgen_status", QJsonObject());
        summary = statusLines;
        what = "status report";
    } else if (command == QLatin1String("jobs")) {
        if (!commandOptions(options, command, {jsonOption, limitOption, offsetOption}, args, problem))
            return fail(problem);
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
        what = "job list";
    } else if (command == QLatin1String("cancel") && args.size() == 1) {
        if (!isPositive(args.first()))
            return fail(QStringLiteral("cancel needs a job number (a positive whole number), not ") + args.first());
        request = commandRequest("thumbgen_cancel", QJsonObject{{QStringLiteral("quuno"), args.first().toInt()}});
    } else if (command == QLatin1String("quarantine")) {
        if (!commandOptions(options, command, {jsonOption}, args, problem))
            return fail(problem);
        if (!args.isEmpty())
            return fail(QStringLiteral("quarantine takes no arguments, only --json"));
        request = commandRequest("thumbgen_quarantine", QJsonObject());
        summary = quarantineLines;
        what = "quarantine list";
    } else if (command == QLatin1String("interfaces") && args.isEmpty()) {
        request.insert(QStringLiteral("cmd"), QStringLiteral("help_interfaces"));
    } else if (command == QLatin1String("help") && args.size() == 1) {
        request.insert(QStringLiteral("cmd"), args.first());
        request.insert(QStringLiteral("help"), true);
        help = true;
    } else if (command == QLatin1String("call") && args.size() == 1) {
        if (!toJsonObject(request, args.first().toUtf8()))
            return fail(QStringLiteral("call needs a JSON object"));
        // An empty object travels as a keep-alive, which is never answered.
        if (request.isEmpty())
            return fail(QStringLiteral("call needs a non-empty object: {} is sent as a keep-alive and gets no answer"));
        help = request.contains(QStringLiteral("help"));
    } else {
        return fail(QStringLiteral("wrong command or arguments: ") + command + QStringLiteral(" (see --help)"));
    }

    if (summary && !options.isSet(jsonOption)) {
        QJsonObject results;
        const int status = exchange(service, request, what, results);
        if (status == 0)
            print(summary(results));
        return status;
    }

    return printReply(service, request, help);
}
