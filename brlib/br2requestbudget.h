#ifndef BR2REQUESTBUDGET_H
#define BR2REQUESTBUDGET_H

#include <QHash>
#include <QMutex>
#include <QWaitCondition>

#include <atomic>

// One budget for the request bytes that all connections of a server hold
// at once (buffered, being decoded or being answered), and a small number
// of slots for handling large JSON texts, whose decoded form costs many
// times the text. A connection that would exceed either waits with its
// socket unread, so memory stays bounded however many clients send at the
// same time. Untrusted peers together may hold only part of the budget,
// and each untrusted uid a smaller part, so that no user can keep the
// others, or a trusted peer, waiting.
class BR2RequestBudget
{
public:
    BR2RequestBudget(qint64 bytes, qint64 untrustedBytes, qint64 perPeerBytes, int largeDecodes);

    // Who asks: trusted peers count against the whole budget only.
    struct Holder
    {
        uint uid;
        bool trusted;
    };

    // Waits until bytes fit (a request larger than a share waits until that
    // share is empty), checking stopping between slices. False: stopping was
    // set and nothing was taken.
    bool acquire(qint64 bytes, const Holder &holder, const std::atomic<bool> &stopping);
    void release(qint64 bytes, const Holder &holder);

    bool acquireDecode(const std::atomic<bool> &stopping);
    void releaseDecode();

    qint64 inUse() const;

private:
    bool fits(qint64 bytes, const Holder &holder) const;

    const qint64 m_bytes;
    const qint64 m_untrustedBytes;
    const qint64 m_perPeerBytes;
    const int m_decodes;
    mutable QMutex m_mutex;        // guards everything below
    QWaitCondition m_freed;        // woken by every release
    qint64 m_used = 0;
    qint64 m_untrustedUsed = 0;
    QHash<uint, qint64> m_byPeer;  // untrusted uid -> bytes held
    int m_decoding = 0;
};

#endif // BR2REQUESTBUDGET_H
