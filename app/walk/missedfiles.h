#ifndef MISSEDFILES_H
#define MISSEDFILES_H
#include <QJsonArray>
#include <QString>

// Files a walk left without a thumbnail for a reason other than not being
// media: each named once on the console, and the last few kept for
// thumbgen_status with the user whose job met them.
namespace MissedFiles {

// Prints "no thumbnail for PATH: REASON" unless printed is true (the
// renderer named the file already, with more detail), and keeps it.
void note(const QString &path, const QString &reason, bool printed = false);

// The last few, oldest first: [{"file", "reason", "uid"}]; uid is -1 for
// a job of the service's own (a trusted client's).
QJsonArray recent();

} // namespace MissedFiles

#endif // MISSEDFILES_H
