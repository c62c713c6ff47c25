#ifndef CTLSTATUS_H
#define CTLSTATUS_H
#include <QJsonObject>
#include <QStringList>

// The readable form of the service's status report.

// Files a walk has finished with since the service started: written, up
// to date or skipped.
double filesHandled(const QJsonObject &status);
// The report's lines: jobs, workers, files by outcome, the queue file, the
// uptime, then a table of the running jobs when there are any.
QStringList statusLines(const QJsonObject &status);

#endif // CTLSTATUS_H
