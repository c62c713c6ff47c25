#ifndef CTLCOMMANDS_H
#define CTLCOMMANDS_H
#include <QList>
#include <QString>

// The client's commands: their words, the service's command each one
// sends, and their usage.
struct CtlCommand
{
    const char *name;    // the client's word
    const char *cmd;     // the service's command; empty for the client's own
    const char *usage;   // lines of the usage, "  WORD ARGS   what it does\n"
};

const QList<CtlCommand> &ctlCommands();
// The commands a name stands for: the client's word (help insert) or the
// service's command (help thumbgen_insert serves insert and run).
QList<CtlCommand> commandsNamed(const QString &name);
// The whole usage of --help.
QString usageText();

#endif // CTLCOMMANDS_H
