#include "br2lfqueue.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

namespace {

// Counts live instances, so the test sees how many nodes the queue holds.
std::atomic<int> g_live{0};

struct Counted
{
    Counted() { g_live.fetch_add(1); }
    explicit Counted(int v) : value(v) { g_live.fetch_add(1); }
    Counted(const Counted &o) : value(o.value) { g_live.fetch_add(1); }
    Counted &operator=(const Counted &o) = default;
    ~Counted() { g_live.fetch_sub(1); }
    int value = -1;
};

} // namespace

class TestBr2LFQueue : public QObject
{
    Q_OBJECT
private slots:
    void fifoOnOneThread();
    void everyValueOnceUnderContention_data();
    void everyValueOnceUnderContention();
    void memoryStaysBounded();
};

void TestBr2LFQueue::fifoOnOneThread()
{
    BR2LFQueue<int> queue;
    int out = 42;
    QVERIFY(queue.isEmpty());
    QVERIFY(!queue.dequeue(out));
    QCOMPARE(out, 42);
    for (int i = 0; i < 100; ++i)
        queue.enqueue(i);
    QCOMPARE(queue.count(), 100);
    QVERIFY(!queue.isEmpty());
    for (int i = 0; i < 100; ++i) {
        QVERIFY(queue.dequeue(out));
        QCOMPARE(out, i);
    }
    QVERIFY(queue.isEmpty());
    QCOMPARE(queue.count(), 0);
    queue.enqueue(7);    // values left behind are freed by the destructor (ASan checks)
}

void TestBr2LFQueue::everyValueOnceUnderContention_data()
{
    QTest::addColumn<int>("producers");
    QTest::addColumn<int>("consumers");
    QTest::newRow("4 to 1") << 4 << 1;
    QTest::newRow("3 to 3") << 3 << 3;
}

void TestBr2LFQueue::everyValueOnceUnderContention()
{
    QFETCH(int, producers);
    QFETCH(int, consumers);
    const int perProducer = 20000;
    BR2LFQueue<int> queue;
    std::atomic<int> producing{producers};
    std::vector<std::vector<int>> taken(consumers);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back(QThread::create([&, p] {
            for (int i = 0; i < perProducer; ++i)
                queue.enqueue(p * perProducer + i);
            producing.fetch_sub(1);
        }));
    }
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back(QThread::create([&, c] {
            int v;
            for (;;) {
                const bool done = producing.load() == 0;
                if (queue.dequeue(v))
                    taken[c].push_back(v);
                else if (done)
                    return;
                else
                    QThread::yieldCurrentThread();
            }
        }));
    }
    for (auto &t : threads)
        t->start();
    for (auto &t : threads)
        QVERIFY(t->wait(60000));

    std::vector<int> seen(producers * perProducer, 0);
    for (const auto &list : taken) {
        // Each consumer sees every producer's values in the order produced.
        std::vector<int> last(producers, -1);
        for (int v : list) {
            ++seen[v];
            const int p = v / perProducer;
            QVERIFY(v > last[p]);
            last[p] = v;
        }
    }
    for (int n : seen)
        QCOMPARE(n, 1);
    QVERIFY(queue.isEmpty());
}

void TestBr2LFQueue::memoryStaysBounded()
{
    // Unlinked nodes are freed while the queue lives, not at its end: after
    // many passes through an empty queue only a few retired nodes remain.
    const int before = g_live.load();
    {
        BR2LFQueue<Counted> queue;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back(QThread::create([&queue] {
                Counted out;
                for (int i = 0; i < 30000; ++i) {
                    queue.enqueue(Counted(i));
                    queue.dequeue(out);
                }
            }));
            threads.back()->start();
        }
        for (auto &t : threads)
            QVERIFY(t->wait(60000));
        Counted out;
        while (queue.dequeue(out)) {
        }
        QVERIFY2(g_live.load() - before < 200, qPrintable(QString::number(g_live.load() - before)));
    }
    QCOMPARE(g_live.load(), before);
}

QTEST_GUILESS_MAIN(TestBr2LFQueue)
#include "tst_br2lfqueue.moc"
