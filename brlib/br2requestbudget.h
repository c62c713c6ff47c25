#ifndef BR2REQUESTBUDGET_H
#define BR2REQUESTBUDGET_H

#include <QMutex>
#include <QWaitCondition>

#include <atomic>

// One budget for the request bytes that all connections of a server hold
// at once (buffered, or being decoded), and a small number of slots for
// decoding large JSON texts, whose parse costs many times the text. A
// connection that would exceed either waits with its socket unread, so
// memory stays bounded however many clients send at the same time.
class BR2RequestBudget
{
public:
    BR2RequestBudget(qint64 bytes, int largeDecodes);

    // Wait until bytes fit (a request larger than the whole budget waits for
    // an empty one), checking stopping between slices. False: stopping was
    // set and nothing was taken.
    bool acquire(qint64 bytes, const std::atomic<bool> &stopping);
    void release(qint64 bytes);

    bool acquireDecode(const std::atomic<bool> &stopping);
    void releaseDecode();

    qint64 inUse() const;

private:
    const qint64 m_bytes;
    const int m_decodes;
    mutable QMutex m_mutex;    // guards m_used and m_decoding
    QWaitCondition m_freed;    // woken by every release
    qint64 m_used = 0;
    int m_decoding = 0;
};

#endif // BR2REQUESTBUDGET_H
