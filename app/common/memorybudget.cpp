#include "memorybudget.h"

#include "rendersettings.h"
#include "stopflag.h"

#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

#include <atomic>
#include <list>

namespace {

QMutex g_mutex;                                // guards the two below
qint64 g_inUse = 0;
std::list<const MemoryReservation *> g_waiting;   // in order of arrival; the front is served next
QWaitCondition g_changed;                      // budget given back, or the front left
std::atomic<MemoryReservation::Delegate> g_delegate{nullptr};

// How late a waiter notices a stop request at most.
const int STOP_SLICE_MS = 20;

} // namespace

MemoryReservation::MemoryReservation(qint64 bytes)
    : m_bytes(bytes)
{
    const qint64 cap = RenderSettings::current().memoryCap;
    if (bytes < 0 || bytes > cap)
        return;
    if (const Delegate ask = g_delegate.load()) {
        m_granted = ask(bytes);
        m_delegated = true;
        return;
    }
    QMutexLocker locker(&g_mutex);
    const auto self = g_waiting.insert(g_waiting.end(), this);
    while (!stopRequested() && (g_waiting.front() != this || g_inUse + bytes > cap))
        g_changed.wait(&g_mutex, STOP_SLICE_MS);
    g_waiting.erase(self);
    if (!stopRequested()) {
        g_inUse += bytes;
        m_granted = true;
    }
    g_changed.wakeAll();       // the next in line may fit as well
}

MemoryReservation::MemoryReservation(qint64 bytes, NoWait)
    : m_bytes(bytes)
{
    QMutexLocker locker(&g_mutex);
    if (bytes >= 0 && g_waiting.empty() && g_inUse + bytes <= RenderSettings::current().memoryCap
        && !stopRequested()) {
        g_inUse += bytes;
        m_granted = true;
    }
}

MemoryReservation::~MemoryReservation()
{
    if (!m_granted || m_delegated)
        return;
    QMutexLocker locker(&g_mutex);
    g_inUse -= m_bytes;
    g_changed.wakeAll();
}

qint64 MemoryReservation::inUse()
{
    QMutexLocker locker(&g_mutex);
    return g_inUse;
}

int MemoryReservation::waiting()
{
    QMutexLocker locker(&g_mutex);
    return int(g_waiting.size());
}

void MemoryReservation::setDelegate(Delegate ask)
{
    g_delegate.store(ask);
}
