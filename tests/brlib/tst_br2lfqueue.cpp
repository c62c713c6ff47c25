#include "br2lfqueue.h"

#include "../testthreads.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

class TestBr2LFQueue : public QObject
{
    Q_OBJECT
private slots:
    // Several producers and several consumers at once: what one consumer or
    // one producer alone would meet is met here too.
    void everyValueOnceUnderContention()
    {
        const int producers = 4;
        const int consumers = 3;
        const int perProducer = 20000;
        BR2LFQueue<int> queue;
        std::atomic<int> producing{producers};
        std::vector<std::vector<int>> taken(consumers);
        QVERIFY(runThreads(producers + consumers, [&](int t) {
            for (int i = 0; t < producers && i < perProducer; ++i)
                queue.enqueue(t * perProducer + i);
            if (t < producers)
                producing.fetch_sub(1);
            for (int v; t >= producers;) {
                const bool done = producing.load() == 0;
                if (queue.dequeue(v))
                    taken[t - producers].push_back(v);
                else if (done)
                    return;
                else
                    QThread::yieldCurrentThread();
            }
        }));
        std::vector<int> seen(producers * perProducer, 0);
        for (const auto &list : taken) {
            std::vector<int> last(producers, -1);    // each consumer sees each producer's order
            for (int v : list) {
                QVERIFY(v > std::exchange(last[v / perProducer], v));
                ++seen[v];
            }
        }
        QCOMPARE(int(std::count(seen.begin(), seen.end(), 1)), int(seen.size()));
        QVERIFY(queue.isEmpty());
        queue.enqueue(7);    // freed by the destructor (ASan checks)
    }

    // Fault fixed: unlinked nodes were freed only with the queue. Each node
    // still allocated holds a copy of the token, so the count shows them.
    void memoryStaysBounded()
    {
        const auto token = std::make_shared<int>(0);
        {
            BR2LFQueue<std::shared_ptr<int>> queue;
            QVERIFY(runThreads(3, [&](int) {
                std::shared_ptr<int> out;
                for (int i = 0; i < 30000; ++i) {
                    queue.enqueue(token);
                    queue.dequeue(out);
                }
            }));
            for (std::shared_ptr<int> out; queue.dequeue(out);) {
            }
            QVERIFY2(token.use_count() < 200, qPrintable(QString::number(token.use_count())));
        }
        QCOMPARE(token.use_count(), 1L);   // the rest went with the queue
    }
};

QTEST_GUILESS_MAIN(TestBr2LFQueue)
#include "tst_br2lfqueue.moc"
