#include "br2error.h"
#include "br2file.h"
#include "br2localserver.h"
#include "br2rpcpacket.h"
#include "br2utils.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cmath>
#include <cstdio>

// A command-line client for operators and scripts: one request, the reply
// printed as indented JSON, and an exit status a script can test.
namespace {

const char *const USAGE =
    "Usage: k8thumbgenctl [--lpcid NAME | --cfg FILE] [--timeout S] COMMAND\n"
    "\n"
    "Sends one request to the thumbnail service and prints its reply as JSON.\n"
    "\n"
    "Options:\n"
    "  --lpcid NAME   the service's socket name or path\n"
    "  --cfg FILE     read the socket name (\"lpcid\") from this configuration file\n"
    "                 (default: /orby/etc/thumbgen/config.json, as the service reads it)\n"
    "  --timeout S    seconds to wait for the reply (default 10; must be above 0)\n"
    "  -h, --help     this text\n"
    "  --version      the client's version\n"
    "\n"
    "Commands:\n"
    "  threads                                  show the worker count\n"
    "  setthreads N                             change and store the worker count (N above 0)\n"
    "  insert LAYOUT SOURCE THUMBS [W H]        queue a layout job (pellowcloud: a folder;\n"
    "                                           snapvault: a folder or a file); SOURCE and\n"
    "                                           THUMBS are sent as absolute paths\n"
    "  run COMMANDLINE [ARG...]                 queue a command job; ${PARAM1}.. take the ARGs\n"
    "  interfaces                               list the service's commands\n"
    "  help COMMAND                             show a command's help\n"
    "  call JSON                                send any request object, e.g. '{\"cmd\":\"thumbgen_threads\"}'\n"
    "\n"
    "Exit status: 0 when the reply's \"err\" is 0 or 10000 (and for any help reply),\n"
    "1 when the service answered with an error, 2 when there was no answer or the\n"
    "arguments are wrong.\n";

int fail(const QString &message)
{
    std::fprintf(stderr, "k8thumbgenctl: %s\n", message.toUtf8().constData());
    return 2;
}

QString absolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isPositive(const QString &text)
{
    bool ok = false;
    return text.toInt(&ok, 10) > 0 && ok;
}

// Checks a layout job before it is sent: the service would queue a wrong
// one and do nothing with it. Empty when fine, else what is wrong.
QString layoutProblem(const QStringList &args)
{
    const QString &layout = args.at(0);
    if (layout != QLatin1String("pellowcloud") && layout != QLatin1String("snapvault"))
        return QStringLiteral("unknown layout %1 (pellowcloud or snapvault)").arg(layout);
    if (args.size() == 5 && (!isPositive(args.at(3)) || !isPositive(args.at(4))))
        return QStringLiteral("width and height must be positive whole numbers");
    const QFileInfo source(args.at(1));
    if (!source.exists()) {
        // A volume may not be mounted yet: the job still goes out.
        std::fprintf(stderr, "k8thumbgenctl: warning: %s does not exist (yet)\n", qPrintable(args.at(1)));
    } else if (layout == QLatin1String("pellowcloud") && !source.isDir()) {
        return QStringLiteral("pellowcloud walks folders only: %1 is not one").arg(args.at(1));
    }
    return QString();
}

// Where a name without "/" lies, as the service resolves it.
QString whereLooked(const QString &lpcid)
{
    if (lpcid.startsWith(QLatin1Char('/')))
        return lpcid;
    return lpcid + QStringLiteral(" (a name without \"/\" is looked for as ") + BR2LocalServer::socketPath(lpcid)
        + QLatin1Char(')');
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

    QString lpcid = parser.value(lpcidOption);
    if (lpcid.isEmpty()) {
        const QString cfg = parser.value(cfgOption);
        const QString file = cfg.isEmpty() ? QStringLiteral("/orby/etc/thumbgen/config.json") : cfg;
        lpcid = BR2File::readJsonObject(file).value(QStringLiteral("lpcid")).toString().trimmed();
        if (lpcid.isEmpty())
            return fail(QStringLiteral("no \"lpcid\" in ") + file + QStringLiteral(" (use --lpcid)"));
    }

    const QString command = args.takeFirst();
    QJsonObject request;
    bool help = false;
    if (command == QLatin1String("threads") && args.isEmpty()) {
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_threads"));
    } else if (command == QLatin1String("setthreads") && args.size() == 1) {
        if (!isPositive(args.first()))
            return fail(QStringLiteral("setthreads needs a positive whole number, not ") + args.first());
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_setthreads"));
        request.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("threads"), args.first().toInt()}});
    } else if (command == QLatin1String("insert") && (args.size() == 3 || args.size() == 5)) {
        const QString problem = layoutProblem(args);
        if (!problem.isEmpty())
            return fail(problem);
        args[1] = absolute(args[1]);
        args[2] = absolute(args[2]);
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_insert"));
        request.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("args"), QJsonArray::fromStringList(args)},
                                                             {QStringLiteral("command"), QString()}});
    } else if (command == QLatin1String("run") && !args.isEmpty()) {
        const QString line = args.takeFirst();
        request.insert(QStringLiteral("cmd"), QStringLiteral("thumbgen_insert"));
        request.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("args"), QJsonArray::fromStringList(args)},
                                                             {QStringLiteral("command"), line}});
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

    const qint64 size = BR2RpcPacket(request).toCompact().size();
    if (size > BR2RpcPacket::MAX_JSON_TEXT) {
        return fail(QStringLiteral("request too large: %1 bytes of JSON, the service takes at most %2")
                        .arg(size)
                        .arg(BR2RpcPacket::MAX_JSON_TEXT));
    }

    QJsonObject reply;
    if (!BR2LocalServer::localRequest(lpcid, request, &reply, qint64(std::ceil(timeout))))
        return fail(QStringLiteral("no answer from ") + whereLooked(lpcid));
    std::fputs(QJsonDocument(reply).toJson(QJsonDocument::Indented).constData(), stdout);
    // A help reply carries whatever code the connection held, but an
    // unknown command is an error whether or not help was asked for.
    const int err = reply.value(QStringLiteral("err")).toInt(BR2Error::ERR_FAILED);
    if (err == BR2Error::ERR_MISSING)
        return 1;
    return help || err == BR2Error::ERR_SUCCEED || err == BR2Error::ERR_SUCCESS ? 0 : 1;
}
