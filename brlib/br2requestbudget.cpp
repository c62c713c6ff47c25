#include "br2requestbudget.h"

#include <QMutexLocker>

namespace {

// A waiting connection looks at its stop flag this often; stop() does not
// know which budget, if any, a connection waits on.
const unsigned long WAIT_SLICE_MS = 100;

// A share fits when the bytes fit beside what it holds, or when it holds
// nothing (so that a request larger than the share is served alone).
bool shareFits(qint64 used, qint64 bytes, qint64 share)
{
    return used == 0 || used + bytes <= share;
}

} // namespace

BR2RequestBudget::BR2RequestBudget(qint64 bytes, qint64 untrustedBytes, qint64 perPeerBytes, int largeDecodes)
    : m_bytes(bytes)
    , m_untrustedBytes(untrustedBytes)
    , m_perPeerBytes(perPeerBytes)
    , m_decodes(largeDecodes)
{
}

bool BR2RequestBudget::fits(qint64 bytes, const Holder &holder) const
{
    if (!shareFits(m_used, bytes, m_bytes))
        return false;
    return holder.trusted
        || (shareFits(m_untrustedUsed, bytes, m_untrustedBytes)
            && shareFits(m_byPeer.value(holder.uid), bytes, m_perPeerBytes));
}

bool BR2RequestBudget::acquire(qint64 bytes, const Holder &holder, const std::atomic<bool> &stopping)
{
    QMutexLocker locker(&m_mutex);
    while (!fits(bytes, holder)) {
        if (stopping.load())
            return false;
        m_freed.wait(&m_mutex, WAIT_SLICE_MS);
    }
    m_used += bytes;
    if (!holder.trusted) {
        m_untrustedUsed += bytes;
        m_byPeer[holder.uid] += bytes;
    }
    return true;
}

void BR2RequestBudget::release(qint64 bytes, const Holder &holder)
{
    QMutexLocker locker(&m_mutex);
    m_used -= bytes;
    if (!holder.trusted) {
        m_untrustedUsed -= bytes;
        auto it = m_byPeer.find(holder.uid);
        if (it != m_byPeer.end() && (*it -= bytes) <= 0)
            m_byPeer.erase(it);
    }
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
