#ifndef CTLWATCH_H
#define CTLWATCH_H

struct Service;

// status --watch: the status once a second, with the jobs and files done
// since the watch began, how fast and how long to go. On a terminal the
// screen is redrawn, otherwise one line a second is printed. Runs until
// interrupted or, with untilIdle, until no job waits or runs (then 0);
// returns the exit status of a request that failed.
int watchStatus(const Service &service, bool untilIdle);

#endif // CTLWATCH_H
