#ifndef LAUNCHREPORT_H
#define LAUNCHREPORT_H

// What the launcher writes on its status descriptor when it gives up before
// the program runs: one record, written at once (a pipe keeps it whole).
// Nothing is written when the exec works; the descriptor is close-on-exec,
// so the reader sees the end of file.
struct LaunchReport
{
    enum Stage : int {
        Usage = 1,       // a command line the launcher does not understand
        Identity = 2,    // groups, gid or uid could not be taken
        Limits = 3,      // a resource limit or no-new-privileges could not be set
        Exec = 4         // the program could not be run
    };
    int stage;
    int error;           // errno
};

#endif // LAUNCHREPORT_H
