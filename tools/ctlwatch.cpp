#include "ctlwatch.h"

#include "br2utils.h"
#include "ctlformat.h"
#include "ctljobtally.h"
#include "ctloutput.h"
#include "ctlrequest.h"
#include "ctlsentences.h"
#include "ctlstatus.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QThread>
#include <QTime>

#include <cstdio>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// What a watch shows of the work since it began.
struct Progress
{
    qint64 elapsed = 0;   // seconds
    int seen = 0;
    int done = 0;
    qint64 files = 0;
    double rate = -1;     // files a second; below 0 until there are two looks
    qint64 toGo = -1;     // seconds; below 0 while it cannot be told
};

QString rateText(const Progress &p)
{
    return p.rate < 0 ? QStringLiteral("-") : QString::number(p.rate, 'f', 1);
}

QString toGoText(const Progress &p)
{
    if (p.seen == p.done)
        return QStringLiteral("nothing");
    return p.toGo < 0 ? QStringLiteral("not known yet") : QStringLiteral("about ") + durationText(p.toGo);
}

QStringList progressLines(const Progress &p)
{
    const int width = 30;
    const int filled = p.seen > 0 ? int(qint64(width) * p.done / p.seen) : 0;
    const QString bar = QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'))
        + QLatin1Char(']');
    return {labelled("Watching for", durationText(p.elapsed)),
            labelled("Jobs done", bar + QStringLiteral(" %1 of %2").arg(p.done).arg(p.seen)),
            labelled("Files done", QStringLiteral("%1, %2 a second").arg(p.files).arg(rateText(p))),
            labelled("To go", toGoText(p))};
}

QString progressLine(const QJsonObject &status, const Progress &p)
{
    return QStringLiteral("%1 jobs %2/%3 done, %4 waiting, %5 running; files %6 done, %7/s; to go: %8")
        .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")))
        .arg(p.done)
        .arg(p.seen)
        .arg(toInt(status.value(QStringLiteral("queued"))))
        .arg(status.value(QStringLiteral("running")).toArray().size())
        .arg(p.files)
        .arg(rateText(p))
        .arg(toGoText(p));
}

// On a terminal, each line cut to its width, so that a long path does not
// wrap and push the screen up.
void redraw(const QStringList &lines, bool first)
{
    winsize ws{};
    const int columns = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 0;
    QString screen = QLatin1String(first ? "\x1b[H\x1b[2J" : "\x1b[H");
    for (const QString &line : lines) {
        screen += columns > 0 && line.size() > columns ? line.left(columns - 1) + QChar(0x2026) : line;
        screen += QLatin1String("\x1b[K\n");   // clears what the previous frame left on the line
    }
    screen += QLatin1String("\x1b[J");
    std::fputs(screen.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

}   // namespace

int watchStatus(const Service &service, bool untilIdle)
{
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    const int window = 10;            // looks the rate is taken over
    JobTally jobs;
    Progress progress;
    QElapsedTimer clock;
    clock.start();
    double lastHandled = -1;
    QList<std::pair<qint64, qint64>> recent;   // (ms, files done) of the last looks
    for (qint64 tick = 0;; ++tick) {
        QJsonObject status;
        int code = exchange(service, commandRequest("thumbgen_status", QJsonObject()), Asked{QStringLiteral("status"), QStringLiteral("thumbgen_status"), {}},
                            status);
        if (code == 0)
            code = jobs.look(service);
        if (code != 0)
            return code;
        const double handled = filesHandled(status);
        if (lastHandled >= 0)   // fewer than before: the service started again from 0
            progress.files += qint64(handled >= lastHandled ? handled - lastHandled : handled);
        lastHandled = handled;
        const qint64 now = clock.elapsed();
        recent.append({now, progress.files});
        if (recent.size() > window)
            recent.removeFirst();
        progress.elapsed = now / 1000;
        progress.seen = jobs.seen();
        progress.done = jobs.done();
        if (recent.size() > 1)
            progress.rate = (recent.last().second - recent.first().second) * 1000.0 / (now - recent.first().first);
        // Jobs differ too much in size for a files count to tell the rest;
        // the time per job done so far does.
        if (progress.done > 0)
            progress.toGo = qMax<qint64>(1, now * qint64(progress.seen - progress.done) / progress.done / 1000);
        if (terminal)
            redraw(statusLines(status) << QString() << progressLines(progress), tick == 0);
        else
            print({progressLine(status, progress)});
        if (untilIdle && jobs.listed() == 0 && toInt(status.value(QStringLiteral("queued"))) == 0
            && status.value(QStringLiteral("running")).toArray().isEmpty())
            return 0;
        QThread::msleep(ulong(qMax<qint64>(0, (tick + 1) * 1000 - clock.elapsed())));
    }
}
