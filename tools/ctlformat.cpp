#include "ctlformat.h"

#include <QDateTime>
#include <QVector>

QString bytesText(double bytes)
{
    static const char *const UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(qint64(bytes));
    int unit = 0;
    for (bytes /= 1024; bytes >= 1024 && unit < 3; ++unit)
        bytes /= 1024;
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', 1).arg(QLatin1String(UNITS[unit]));
}

QString durationText(qint64 seconds)
{
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (seconds < 60)
        return QStringLiteral("%1s").arg(qMax<qint64>(0, seconds));
    if (seconds < 3600)
        return QStringLiteral("%1m %2s").arg(seconds / 60).arg(two(seconds % 60));
    if (seconds < 86400)
        return QStringLiteral("%1h %2m").arg(seconds / 3600).arg(two(seconds / 60 % 60));
    return QStringLiteral("%1d %2h").arg(seconds / 86400).arg(two(seconds / 3600 % 24));
}

QString timeText(const QJsonValue &value)
{
    if (!value.isDouble())
        return value.toString();
    return QDateTime::fromSecsSinceEpoch(qint64(value.toDouble())).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString labelled(const char *label, const QString &text)
{
    return QString::fromLatin1(label).leftJustified(14) + text;
}

QStringList table(const QList<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows) {
        widths.resize(qMax(widths.size(), row.size()));
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths.at(i) + 2) : row.at(i);
        lines << line;
    }
    return lines;
}
