#include "ctlstatus.h"

#include "br2utils.h"
#include "ctlformat.h"

#include <QJsonArray>

#include <utility>

namespace {

double sum(const QJsonObject &counts)
{
    double n = 0;
    for (const QJsonValue &v : counts)
        n += v.toDouble();
    return n;
}

// "12 (image 10, video 2)", naming only the counts above 0.
QString countsText(const QJsonObject &counts, const QList<std::pair<const char *, const char *>> &words)
{
    QStringList parts;
    for (const auto &word : words) {
        const double n = counts.value(QLatin1String(word.first)).toDouble();
        if (n > 0)
            parts << QStringLiteral("%1 %2").arg(QLatin1String(word.second)).arg(qint64(n));
    }
    const QString total = QString::number(qint64(sum(counts)));
    return parts.isEmpty() ? total : total + QStringLiteral(" (") + parts.join(QStringLiteral(", ")) + QLatin1Char(')');
}

}   // namespace

double filesHandled(const QJsonObject &status)
{
    return sum(status.value(QStringLiteral("written")).toObject()) + status.value(QStringLiteral("uptodate")).toDouble()
        + sum(status.value(QStringLiteral("skipped")).toObject());
}

QStringList statusLines(const QJsonObject &status)
{
    const QJsonArray running = status.value(QStringLiteral("running")).toArray();
    QStringList lines{
        labelled("Jobs", QStringLiteral("%1 waiting, %2 running")
                             .arg(toInt(status.value(QStringLiteral("queued"))))
                             .arg(running.size())),
        labelled("Workers", QStringLiteral("%1, %2 at work, %3 render helpers")
                                .arg(toInt(status.value(QStringLiteral("threads"))))
                                .arg(toInt(status.value(QStringLiteral("runnables"))))
                                .arg(toInt(status.value(QStringLiteral("helpers"))))),
        labelled("Written", countsText(status.value(QStringLiteral("written")).toObject(),
                                       {{"image", "image"}, {"heif", "HEIF"}, {"video", "video"}})),
        labelled("Up to date", QString::number(qint64(status.value(QStringLiteral("uptodate")).toDouble()))),
        labelled("Skipped", countsText(status.value(QStringLiteral("skipped")).toObject(),
                                       {{"notmedia", "not media"},
                                        {"decode", "cannot be decoded"},
                                        {"memorycap", "over the memory limit"},
                                        {"ffmpeg", "ffmpeg failed"},
                                        {"timeout", "ffmpeg timed out"},
                                        {"write", "cannot write"},
                                        {"quarantined", "quarantined"},
                                        {"helperdied", "render helper died"},
                                        {"helpertimeout", "render helper timed out"},
                                        {"link", "link its owner cannot read"}})),
        labelled("Quarantined", QStringLiteral("%1 files").arg(toInt(status.value(QStringLiteral("quarantined"))))),
        labelled("Queue file", bytesText(status.value(QStringLiteral("dbbytes")).toDouble())),
        labelled("Up for", durationText(qint64(status.value(QStringLiteral("uptime")).toDouble()))),
    };
    for (const QJsonValue &v : status.value(QStringLiteral("postponed")).toArray()) {
        const QJsonObject job = v.toObject();
        lines << labelled("Postponed", QStringLiteral("job %1 waits for %2: %3; again in %4")
                                           .arg(toInt(job.value(QStringLiteral("quuno"))))
                                           .arg(job.value(QStringLiteral("folder")).toString(), job.value(QStringLiteral("reason")).toString(),
                                                durationText(qint64(job.value(QStringLiteral("retry")).toDouble()))));
    }
    // Files left without a thumbnail lately; another user's show no name.
    for (const QJsonValue &v : status.value(QStringLiteral("missed")).toArray()) {
        const QJsonObject missed = v.toObject();
        const QString file = missed.value(QStringLiteral("file")).toString();
        lines << labelled("No thumbnail", QStringLiteral("%1: %2").arg(file.isEmpty() ? QStringLiteral("(another user's file)") : file,
                                                                       missed.value(QStringLiteral("reason")).toString()));
    }
    if (running.isEmpty())
        return lines;
    QList<QStringList> rows{{QStringLiteral("QUUNO"), QStringLiteral("JOB"), QStringLiteral("FOR"), QStringLiteral("FILE")}};
    for (const QJsonValue &v : running) {
        const QJsonObject job = v.toObject();
        const QString file = job.value(QStringLiteral("file")).toString();   // empty between two files
        rows << QStringList{QString::number(toInt(job.value(QStringLiteral("quuno")))), job.value(QStringLiteral("job")).toString(),
                            durationText(qint64(job.value(QStringLiteral("since")).toDouble())),
                            file.isEmpty() ? QStringLiteral("-") : file};
    }
    return lines << QString() << table(rows);
}
