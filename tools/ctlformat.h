#ifndef CTLFORMAT_H
#define CTLFORMAT_H
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

// The pieces of the readable summaries: sizes, spans of time, times,
// labelled lines and tables.

// "512 B", "12.3 MiB".
QString bytesText(double bytes);
// "45s", "3m 07s", "2h 05m", "3d 04h".
QString durationText(qint64 seconds);
// A time the service gives in seconds since the epoch, in local time;
// text is shown as it came.
QString timeText(const QJsonValue &value);
// label padded to one width, then text.
QString labelled(const char *label, const QString &text);
// Rows in columns as wide as their widest cell; the last column is not
// padded, so that a long path does not push blanks after it.
QStringList table(const QList<QStringList> &rows);

#endif // CTLFORMAT_H
