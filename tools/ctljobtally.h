#ifndef CTLJOBTALLY_H
#define CTLJOBTALLY_H
#include <QtGlobal>

struct Service;

// The jobs a watch has seen, and how many of them are gone. Job numbers
// only grow (the queue's key is AUTOINCREMENT), so the jobs not seen yet
// are those above the highest seen, at the end of the list (oldest first):
// the list is read from its end, a page at a time, back to a number
// already seen. Any listed job is then one seen, and the others seen are
// done (or cancelled).
class JobTally
{
public:
    // 0, or the exit status of a failed request.
    int look(const Service &service);
    int seen() const { return m_seen; }
    int done() const { return qMax(0, m_seen - m_listed); }
    int listed() const { return m_listed; }

private:
    static constexpr int PAGE = 1000;   // the most the service lists at once
    int m_highest = 0;                  // the highest job number seen
    int m_seen = 0;
    int m_listed = 0;                   // at the last look
};

#endif // CTLJOBTALLY_H
