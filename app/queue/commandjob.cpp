#include "commandjob.h"

#include "br2utils.h"
#include "childprocess.h"
#include "stopflag.h"

#include <QProcess>

namespace {

// How long a command that died by a signal waits for the stop that may
// have come with it.
const int CUT_OFF_GRACE_MS = 500;

bool runCommandLine(const QString &commandLine)
{
    const QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        return true;
    // No time limit, as for any command job; a quit ends it.
    ChildProcess child(words.first(), words.mid(1));
    const ChildProcess::Outcome outcome = child.run(0);
    if (outcome == ChildProcess::Stopped)
        return false;
    // A stop of the whole session or control group reaches the child at
    // the same moment as the service: a command killed that way did not
    // finish, and its row must stay although the stop is seen a little later.
    if (outcome == ChildProcess::Finished && child.endedAsIfStopped() && waitForStop(CUT_OFF_GRACE_MS)) {
        child.killGroup();
        return false;
    }
    return true;   // done, or a command that cannot be started: done with
}

} // namespace

bool expandCommand(const QString &command, const QStringList &args, QString &expanded)
{
    expanded = command;
    for (int i = 1; i <= args.size(); ++i) {
        const QString placeholder = QStringLiteral("${PARAM") + QString::number(i) + QLatin1Char('}');
        const QString &value = args.at(i - 1);
        // Work out the size first: arguments that repeat later placeholders
        // double the text with every pass.
        const qint64 hits = expanded.count(placeholder);
        if (hits == 0)
            continue;
        const qint64 size = expanded.size() + hits * (qint64(value.size()) - placeholder.size());
        if (size > MAX_COMMAND_CHARS)
            return false;
        expanded.replace(placeholder, value);
    }
    return true;
}

bool runCommandJob(const QString &command, const QStringList &args)
{
    QString line;
    if (!expandCommand(command, args, line)) {
        const QString refused = QStringLiteral("command line longer than 2 MiB, not run: ") + command.left(200);
        PRINTEXPR(refused);
        return true;
    }
    return runCommandLine(line);
}
