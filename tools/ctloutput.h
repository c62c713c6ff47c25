#ifndef CTLOUTPUT_H
#define CTLOUTPUT_H
#include <QString>
#include <QStringList>

// How the client speaks: problems on standard error after its name, what
// was asked for on standard output.

void complain(const QString &message);
// complain, then 2: the exit status for no answer or wrong arguments.
int fail(const QString &message);
void print(const QStringList &lines);

#endif // CTLOUTPUT_H
