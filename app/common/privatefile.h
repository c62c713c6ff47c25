#ifndef PRIVATEFILE_H
#define PRIVATEFILE_H
#include <QString>
#include <QStringList>

// The queue database and the files beside it name other users' folders and
// hold root's command lines: only the service may read them. Files made
// before they were private are tightened at start.

// Sets each of paths that is a regular file (a link is never followed) to
// mode 0600; missing ones are left missing.
void makePrivate(const QStringList &paths);

#endif // PRIVATEFILE_H
