#ifndef CHILDSPAWN_H
#define CHILDSPAWN_H
#include "br2cabinet.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <sys/types.h>

// Starting a child without forking the threaded service: posix_spawn of
// the small launcher program (no Qt), which sets what a child must have
// before anything of it runs and then execs the program:
// - a process group of its own (a signal to the service's group does not
//   reach it, and a stop can end all it started);
// - the identity it runs as (groups, gid, uid) when that is a client's;
// - the death signal SIGKILL, checked against the parent still being there;
// - a core size of 0, and a data size limit when one is given;
// - no descriptor but standard input, output, error and the ones kept.
struct SpawnOptions
{
    QString program;                 // a path, or a name looked up in PATH
    QStringList arguments;
    int stdinFd = -1;                // -1: /dev/null
    int stdoutFd = -1;               // -1: the service's own
    int stderrFd = -1;               // -1: the service's own
    QVector<int> keepFds;            // given to the child as 3, 4, ... in this order
    const BR2PeerCredentials *identity = nullptr;   // run as this client; null: as the service
    qint64 dataLimit = 0;            // RLIMIT_DATA in bytes; 0: none
    bool noNewPrivs = false;         // PR_SET_NO_NEW_PRIVS before the exec
    QByteArrayList environment;      // "NAME=value" set over the service's own
};

// The child's pid, or -1 with the reason in error (the launcher missing,
// or the program not found or not executable: the launcher reports a
// failed exec before it ends).
pid_t spawnProcess(const SpawnOptions &options, QString *error);

// Where a program of this service lives: beside the running program (the
// build tree, and a service installed with its helpers), else in the
// installed helper folder.
QString helperProgramPath(const QString &name);

#endif // CHILDSPAWN_H
