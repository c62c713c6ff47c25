#ifndef BENCHWORKERS_H
#define BENCHWORKERS_H
#include <QAtomicInt>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <functional>

// Two threads that live for the whole run, as the service's workers do, so
// that each keeps its render helper from one batch to the next.
// QThreadPool::waitForDone would end the pool's threads (and with them the
// helpers); a batch here waits on a semaphore instead.
class BenchWorkers
{
public:
    BenchWorkers()
    {
        m_pool.setMaxThreadCount(2);
        m_pool.setExpiryTimeout(-1);
    }
    ~BenchWorkers() { finish(); }

    // Ends the threads, and with them their helpers: called before main
    // returns, while everything a helper's end touches is still there.
    void finish() { m_pool.waitForDone(); }

    // Runs work(0) .. work(n - 1), one a thread, and waits for all of them.
    void run(int n, const std::function<void(int)> &work)
    {
        QSemaphore done;
        for (int t = 0; t < n; ++t)
            m_pool.start([&, t] {
                work(t);
                done.release();
            });
        done.acquire(n);
    }

    // Runs work on each of the two threads (each holds its task until the
    // other has started, so that one thread cannot take both).
    void each(const std::function<void()> &work)
    {
        QAtomicInt started;
        run(2, [&](int) {
            work();
            started.ref();
            while (started.loadAcquire() < 2)
                QThread::msleep(1);
        });
    }

private:
    QThreadPool m_pool;
};

#endif // BENCHWORKERS_H
