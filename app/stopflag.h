#ifndef STOPFLAG_H
#define STOPFLAG_H

// The process-wide stop request: the quit sets it once, and every worker,
// walk and child wait looks at it. Safe from any thread at any time.
void requestStop();
bool stopRequested();
// Waits up to ms for a stop request; true as soon as one is there.
bool waitForStop(int ms);
void clearStop();   // tests only: the service never clears it

#endif // STOPFLAG_H
