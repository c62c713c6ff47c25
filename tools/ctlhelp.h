#ifndef CTLHELP_H
#define CTLHELP_H
#include <QString>

struct Service;

// help COMMAND: the client's usage of the command, then the service's
// description of it in English. A help reply is help whatever its "err";
// only a command the service does not know is an error (exit status 1).
int showHelp(const Service &service, const QString &name, bool json);
// interfaces: the service's commands, the client's words for them and
// what each does.
int showInterfaces(const Service &service, bool json);

#endif // CTLHELP_H
