#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H
#include <QtGlobal>

// The memory that decodes and thumbnails in flight hold together is the
// configured memory cap, shared by every worker. A render reserves its
// whole estimate in one step before it decodes, so that two renders never
// each hold half of what both need; when the budget is short it waits, in
// the order of arrival, until enough is given back. A stop request ends
// the wait at once.
class MemoryReservation
{
public:
    // Waits for bytes of the budget; not granted when bytes alone exceed
    // the cap or a stop was requested.
    explicit MemoryReservation(qint64 bytes);
    ~MemoryReservation();
    MemoryReservation(const MemoryReservation &) = delete;
    MemoryReservation &operator=(const MemoryReservation &) = delete;

    bool granted() const { return m_granted; }

    // Bytes reserved by all renders at this moment, and renders waiting.
    static qint64 inUse();
    static int waiting();

private:
    qint64 m_bytes;
    bool m_granted = false;
};

#endif // MEMORYBUDGET_H
