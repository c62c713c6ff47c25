#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H
#include <QtGlobal>

// The memory that decodes and thumbnails in flight hold together is the
// configured memory cap, shared by every worker. A render reserves its
// whole estimate in one step before it decodes, so that two renders never
// each hold half of what both need; when the budget is short it waits, in
// the order of arrival, until enough is given back. A stop request ends
// the wait at once.
//
// A render helper decodes for the service and its memory comes out of the
// service's budget: there a delegate set once at start asks the service
// for the bytes instead, and the service takes them back when the
// render's result arrives. Without one (the service, the tests) the
// budget of this process serves.
class MemoryReservation
{
public:
    // Asks for bytes elsewhere: true when they are granted.
    using Delegate = bool (*)(qint64 bytes);

    // Waits for bytes of the budget; not granted when bytes alone exceed
    // the cap, a stop was requested, or the delegate refused them.
    explicit MemoryReservation(qint64 bytes);
    // Takes bytes of this process's budget only when they are free now and
    // nobody waits for the budget; never waits, never asks a delegate.
    enum NoWait { IfFreeNow };
    MemoryReservation(qint64 bytes, NoWait);
    ~MemoryReservation();
    MemoryReservation(const MemoryReservation &) = delete;
    MemoryReservation &operator=(const MemoryReservation &) = delete;

    bool granted() const { return m_granted; }

    // Bytes reserved by all renders at this moment, and renders waiting.
    static qint64 inUse();
    static int waiting();

    // Set before any render, or null to serve from this process again.
    static void setDelegate(Delegate ask);

private:
    qint64 m_bytes;
    bool m_granted = false;
    bool m_delegated = false;     // granted elsewhere: nothing to give back here
};

#endif // MEMORYBUDGET_H
