#include "ctllistings.h"

#include "br2utils.h"
#include "ctlarguments.h"
#include "ctlformat.h"

#include <QJsonArray>

namespace {

// "pellowcloud /src -> /thumbs 320x240", "run convert ${PARAM1} a.mov".
QString jobText(const QJsonObject &job)
{
    const QStringList args = toStrings(job.value(QStringLiteral("args")), false);
    const QString command = job.value(QStringLiteral("command")).toString();
    if (command.isEmpty() && isLayout(args.value(0)) && args.size() >= 3) {
        QString text = args.at(0) + QLatin1Char(' ') + args.at(1) + QStringLiteral(" -> ") + args.at(2);
        if (args.size() >= 5)
            text += QLatin1Char(' ') + args.at(3) + QLatin1Char('x') + args.at(4);
        return text;
    }
    // Untrusted clients are sent a command job without its command line.
    const QString line = command.isEmpty() ? QStringLiteral("(command line shown to trusted users only)") : command;
    return (QStringList{QStringLiteral("run"), line} + args).join(QLatin1Char(' '));
}

}   // namespace

QStringList jobsLines(const QJsonObject &results, int offset)
{
    const QJsonArray jobs = results.value(QStringLiteral("jobs")).toArray();
    const int total = toInt(results.value(QStringLiteral("total")));
    if (jobs.isEmpty()) {
        return {total == 0 ? QStringLiteral("No jobs waiting or running.")
                           : QStringLiteral("No jobs from offset %1: there are %2.").arg(offset).arg(total)};
    }
    QList<QStringList> rows{{QStringLiteral("QUUNO"), QStringLiteral("CREATED"), QStringLiteral("JOB")}};
    for (const QJsonValue &v : jobs) {
        const QJsonObject job = v.toObject();
        QString text = jobText(job);
        const QJsonObject waiting = job.value(QStringLiteral("waiting")).toObject();
        if (!waiting.isEmpty())
            text += QStringLiteral(" (waiting for %1: %2; again in %3)")
                        .arg(waiting.value(QStringLiteral("folder")).toString(), waiting.value(QStringLiteral("reason")).toString(),
                             durationText(qint64(waiting.value(QStringLiteral("retry")).toDouble())));
        rows << QStringList{QString::number(toInt(job.value(QStringLiteral("quuno")))), job.value(QStringLiteral("crttime")).toString(),
                            text};
    }
    QStringList lines = table(rows);
    const int last = offset + jobs.size();
    lines << QString() << QStringLiteral("Jobs %1 to %2 of %3.").arg(offset + 1).arg(last).arg(total);
    if (last < total)
        lines.last() += QStringLiteral(" The next: --offset %1.").arg(last);
    return lines;
}

QStringList quarantineLines(const QJsonObject &results)
{
    const QJsonArray files = results.value(QStringLiteral("files")).toArray();
    if (files.isEmpty())
        return {QStringLiteral("No files in quarantine.")};
    QList<QStringList> rows{{QStringLiteral("STATE"), QStringLiteral("SIZE"), QStringLiteral("MODIFIED"), QStringLiteral("ADDED"),
                             QStringLiteral("PATH")}};
    for (const QJsonValue &v : files) {
        const QJsonObject file = v.toObject();
        rows << QStringList{file.value(QStringLiteral("state")).toString(), bytesText(file.value(QStringLiteral("size")).toDouble()),
                            timeText(file.value(QStringLiteral("mtime"))), timeText(file.value(QStringLiteral("added"))),
                            file.value(QStringLiteral("path")).toString()};
    }
    return table(rows);
}
