#ifndef CTLLISTINGS_H
#define CTLLISTINGS_H
#include <QJsonObject>
#include <QStringList>

// The readable forms of the job list and the quarantine list.

// results of a job list read from offset: a table, oldest first, and where
// the next page starts.
QStringList jobsLines(const QJsonObject &results, int offset);
QStringList quarantineLines(const QJsonObject &results);

#endif // CTLLISTINGS_H
