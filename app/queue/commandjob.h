#ifndef COMMANDJOB_H
#define COMMANDJOB_H
#include <QString>
#include <QStringList>

// A command job: placeholders filled, the text split into words, the
// program run as a child until it ends (no time limit; a quit ends it).

// The longest command line a job may expand to.
constexpr qint64 MAX_COMMAND_CHARS = 2 * 1024 * 1024;

// Fills ${PARAMn} from args, ascending, every occurrence; false when the
// text would grow beyond MAX_COMMAND_CHARS.
bool expandCommand(const QString &command, const QStringList &args, QString &expanded);

// Expands and runs command. True when the job is done with (also when it
// could not be run), false when a stop cut it off and its row must stay.
bool runCommandJob(const QString &command, const QStringList &args);

#endif // COMMANDJOB_H
