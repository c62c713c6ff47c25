#ifndef STOPFLAG_H
#define STOPFLAG_H
#include <QAtomicInt>

// The process-wide stop request: the quit sets it once, and every worker,
// walk and child wait looks at it. Safe from any thread at any time.
void requestStop();
// True after requestStop, and on a thread whose job was cancelled (see
// setJobStop): every wait and walk that ends on a quit ends on a cancel too.
bool stopRequested();
// The flag that cancels the calling thread's job, or null; the thread's own.
void setJobStop(const QAtomicInt *flag);
// Waits up to ms for a stop request; true as soon as one is there.
bool waitForStop(int ms);
void clearStop();   // tests only: the service never clears it

#endif // STOPFLAG_H
