#ifndef BR2LFQUEUE_H
#define BR2LFQUEUE_H
#include <algorithm>
#include <atomic>
#include <vector>

// Multi-producer, multi-consumer lock-free FIFO (Michael and Scott), with
// hazard pointers for memory reclamation.
//
// A dequeued node may still be read by another thread that loaded it as
// head, tail or head's next a moment earlier, so it cannot be freed at once.
// Every operation first publishes the nodes it is about to read in a hazard
// record (two slots) and re-checks that they are still reachable; dequeue
// then puts the unlinked node on a retired list instead of deleting it. When
// that list grows past a small bound (proportional to the number of hazard
// records), the retiring thread frees every retired node that no hazard slot
// names. Memory is thus bounded by the queued values plus a few retired
// nodes per concurrent thread, however long the queue lives.
//
// Hazard records are taken per call, not per thread: a call claims a free
// record with a compare-and-swap, or adds a new one when all are busy, so the
// number of records is the largest number of simultaneous calls ever seen.
// Records live until the queue dies.
//
// All atomics use sequentially consistent ordering: publishing a hazard and
// re-reading the source pointer must not be reordered, and the cost does not
// matter next to the allocation each enqueue makes.
template <typename T>
class BR2LFQueue
{
public:
    BR2LFQueue()
    {
        Node *dummy = new Node;
        m_head.store(dummy);
        m_tail.store(dummy);
    }

    // Destruction must not overlap any other call.
    ~BR2LFQueue()
    {
        Node *node = m_head.load();
        while (node) {
            Node *next = node->next.load();
            delete node;
            node = next;
        }
        freeList(m_retired.exchange(nullptr));
        HazardRecord *record = m_records.load();
        while (record) {
            HazardRecord *next = record->next;
            delete record;
            record = next;
        }
    }

    BR2LFQueue(const BR2LFQueue &) = delete;
    BR2LFQueue &operator=(const BR2LFQueue &) = delete;

    void enqueue(const T &value)
    {
        Node *node = new Node(value);
        HazardRecord *record = acquireRecord();
        for (;;) {
            Node *tail = protect(m_tail, record->hazard[0]);
            Node *next = tail->next.load();
            if (tail != m_tail.load())
                continue;
            if (next) {
                // Another producer linked a node but has not swung tail yet.
                m_tail.compare_exchange_strong(tail, next);
                continue;
            }
            Node *expected = nullptr;
            if (tail->next.compare_exchange_strong(expected, node)) {
                // Failure is harmless: someone else already advanced tail.
                m_tail.compare_exchange_strong(tail, node);
                break;
            }
        }
        releaseRecord(record);
        m_count.fetch_add(1);
    }

    // False when the queue is empty; value is left as it was then.
    bool dequeue(T &value)
    {
        HazardRecord *record = acquireRecord();
        Node *unlinked = nullptr;
        for (;;) {
            Node *head = protect(m_head, record->hazard[0]);
            Node *tail = m_tail.load();
            Node *next = head->next.load();
            record->hazard[1].store(next);
            // head still being head proves next was not retired before the
            // hazard on it became visible.
            if (head != m_head.load())
                continue;
            if (!next)
                break;
            if (head == tail) {
                m_tail.compare_exchange_strong(tail, next);
                continue;
            }
            // Copy before the swing: once head moves to next, another consumer
            // may unlink and retire it. next stays allocated while our hazard
            // names it, and its value is never written after it was linked.
            T copy = next->value;
            if (m_head.compare_exchange_strong(head, next)) {
                value = std::move(copy);
                unlinked = head;
                break;
            }
        }
        releaseRecord(record);
        if (!unlinked)
            return false;
        m_count.fetch_sub(1);
        retire(unlinked);
        return true;
    }

    // A snapshot: true when nothing was queued at the moment of the check.
    bool isEmpty()
    {
        HazardRecord *record = acquireRecord();
        Node *head = protect(m_head, record->hazard[0]);
        const bool empty = head->next.load() == nullptr;
        releaseRecord(record);
        return empty;
    }

    int count() const { return m_count.load(); }

private:
    struct Node
    {
        Node() = default;
        explicit Node(const T &v) : value(v) {}
        std::atomic<Node *> next{nullptr};
        T value{};
        Node *retiredNext = nullptr;   // link on the retired list, owned by whoever holds that list
    };

    struct HazardRecord
    {
        std::atomic<Node *> hazard[2] = {{nullptr}, {nullptr}};
        std::atomic<bool> active{false};
        HazardRecord *next = nullptr;  // written once before the record is published
    };

    static Node *protect(std::atomic<Node *> &source, std::atomic<Node *> &hazard)
    {
        Node *node = source.load();
        for (;;) {
            hazard.store(node);
            Node *again = source.load();
            if (again == node)
                return node;
            node = again;
        }
    }

    HazardRecord *acquireRecord()
    {
        for (HazardRecord *r = m_records.load(); r; r = r->next) {
            bool expected = false;
            if (!r->active.load() && r->active.compare_exchange_strong(expected, true))
                return r;
        }
        HazardRecord *r = new HazardRecord;
        r->active.store(true);
        HazardRecord *first = m_records.load();
        do {
            r->next = first;
        } while (!m_records.compare_exchange_weak(first, r));
        m_recordCount.fetch_add(1);
        return r;
    }

    static void releaseRecord(HazardRecord *record)
    {
        record->hazard[0].store(nullptr);
        record->hazard[1].store(nullptr);
        record->active.store(false);
    }

    void pushRetired(Node *first, Node *last)
    {
        Node *top = m_retired.load();
        do {
            last->retiredNext = top;
        } while (!m_retired.compare_exchange_weak(top, first));
    }

    void retire(Node *node)
    {
        pushRetired(node, node);
        const int retired = m_retiredCount.fetch_add(1) + 1;
        if (retired >= 4 * m_recordCount.load() + 32)
            scan();
    }

    // Takes the whole retired list (so no other thread can pop from under
    // us), frees what no hazard names and gives the rest back.
    void scan()
    {
        Node *list = m_retired.exchange(nullptr);
        if (!list)
            return;
        std::vector<Node *> hazards;
        for (HazardRecord *r = m_records.load(); r; r = r->next) {
            for (auto &slot : r->hazard) {
                if (Node *p = slot.load())
                    hazards.push_back(p);
            }
        }
        std::sort(hazards.begin(), hazards.end());

        Node *keepFirst = nullptr;
        Node *keepLast = nullptr;
        int freed = 0;
        while (list) {
            Node *node = list;
            list = node->retiredNext;
            if (std::binary_search(hazards.begin(), hazards.end(), node)) {
                node->retiredNext = keepFirst;
                keepFirst = node;
                if (!keepLast)
                    keepLast = node;
            } else {
                delete node;
                ++freed;
            }
        }
        m_retiredCount.fetch_sub(freed);
        if (keepFirst)
            pushRetired(keepFirst, keepLast);
    }

    static void freeList(Node *node)
    {
        while (node) {
            Node *next = node->retiredNext;
            delete node;
            node = next;
        }
    }

    std::atomic<Node *> m_head{nullptr};
    std::atomic<Node *> m_tail{nullptr};
    std::atomic<int> m_count{0};
    std::atomic<HazardRecord *> m_records{nullptr};   // grows only; freed by the destructor
    std::atomic<int> m_recordCount{0};
    std::atomic<Node *> m_retired{nullptr};           // unlinked nodes waiting for no hazard to name them
    std::atomic<int> m_retiredCount{0};
};

#endif // BR2LFQUEUE_H
