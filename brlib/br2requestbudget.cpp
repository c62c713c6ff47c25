#include "br2requestbudget.h"

#include <QMutexLocker>

namespace {

// A waiting connection looks at its stop flag this often; stop() does not
// know which budget, if any, a connection waits on.
const unsigned long WAIT_SLICE_MS = 100;

} // namespace

BR2RequestBudget::BR2RequestBudget(qint64 bytes, int largeDecodes)
    : m_bytes(bytes)
    , m_decodes(largeDecodes)
{
}

bool BR2RequestBudget::acquire(qint64 bytes, const std::atomic<bool> &stopping)
{
    QMutexLocker locker(&m_mutex);
    while (m_used > 0 && m_used + bytes > m_bytes) {
        if (stopping.load())
            return false;
        m_freed.wait(&m_mutex, WAIT_SLICE_MS);
    }
    m_used += bytes;
    return true;
}

void BR2RequestBudget::release(qint64 bytes)
{
    QMutexLocker locker(&m_mutex);
    m_used -= bytes;
    m_freed.wakeAll();
}

bool BR2RequestBudget::acquireDecode(const std::atomic<bool> &stopping)
{
    QMutexLocker locker(&m_mutex);
    while (m_decoding >= m_decodes) {
        if (stopping.load())
            return false;
        m_freed.wait(&m_mutex, WAIT_SLICE_MS);
    }
    ++m_decoding;
    return true;
}

void BR2RequestBudget::releaseDecode()
{
    QMutexLocker locker(&m_mutex);
    --m_decoding;
    m_freed.wakeAll();
}

qint64 BR2RequestBudget::inUse() const
{
    QMutexLocker locker(&m_mutex);
    return m_used;
}
