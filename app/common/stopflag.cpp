#include "stopflag.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

namespace {

QAtomicInt g_stop;
QMutex g_stopMutex;          // pairs with g_stopCond; guards nothing else
QWaitCondition g_stopCond;   // woken by requestStop
thread_local const QAtomicInt *t_jobStop = nullptr;

} // namespace

void requestStop()
{
    g_stop.storeRelease(1);
    QMutexLocker locker(&g_stopMutex);
    g_stopCond.wakeAll();
}

bool stopRequested()
{
    return g_stop.loadAcquire() != 0 || (t_jobStop && t_jobStop->loadAcquire() != 0);
}

void setJobStop(const QAtomicInt *flag)
{
    t_jobStop = flag;
}

bool waitForStop(int ms)
{
    if (ms <= 0)
        return stopRequested();
    QDeadlineTimer deadline(ms);
    QMutexLocker locker(&g_stopMutex);
    while (!g_stop.loadAcquire()) {
        if (!g_stopCond.wait(&g_stopMutex, deadline))
            break;
    }
    return g_stop.loadAcquire() != 0;
}

void clearStop()
{
    g_stop.storeRelease(0);
}
