// Prints the cost of a log record from the caller's side, immediate and
// queued, and the raw throughput of the lock-free queue.
#include "br2lfqueue.h"
#include "br2logger.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Runs body on threads threads at once; returns the wall time in ns.
template <typename F>
qint64 onThreads(int threads, F body)
{
    std::vector<std::unique_ptr<QThread>> list;
    for (int t = 0; t < threads; ++t)
        list.emplace_back(QThread::create([body, t] { body(t); }));
    QElapsedTimer clock;
    clock.start();
    for (auto &thread : list)
        thread->start();
    for (auto &thread : list)
        thread->wait();
    return clock.nsecsElapsed();
}

void logger(bool immediate, int threads, int perThread)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.log"));
    qint64 callerNs = 0;
    QElapsedTimer total;
    total.start();
    {
        BR2Logger log;
        log.setFilePath(path);
        log.setMaxSize(0);
        log.setImmediate(immediate);
        callerNs = onThreads(threads, [&log, perThread](int t) {
            for (int i = 0; i < perThread; ++i)
                log.write(BR2Logger::Info, QStringLiteral("bench"), QString(), i, "thread %d record %d", t, i);
        });
        if (!immediate) {
            // Wait for the writer by watching the file, then let the destructor join it.
            const qint64 want = qint64(threads) * perThread;
            while (true) {
                QFile f(path);
                if (f.open(QIODevice::ReadOnly) && f.readAll().count('\n') >= want)
                    break;
                QThread::msleep(5);
            }
        }
    }
    const double n = double(threads) * perThread;
    std::printf("logger %-9s %d threads: %8.0f ns/record per calling thread, %8.0f records/s to disk\n",
                immediate ? "immediate" : "queued", threads, callerNs / n * threads, n / (total.nsecsElapsed() / 1e9));
}

void queue(int producers, int consumers, int perProducer)
{
    BR2LFQueue<QByteArray> q;
    const QByteArray value(80, 'x');
    std::atomic<int> producing{producers};
    const qint64 ns = onThreads(producers + consumers, [&](int t) {
        if (t < producers) {
            for (int i = 0; i < perProducer; ++i)
                q.enqueue(value);
            producing.fetch_sub(1);
            return;
        }
        QByteArray out;
        for (;;) {
            const bool done = producing.load() == 0;
            if (!q.dequeue(out) && done)
                return;
        }
    });
    const double n = double(producers) * perProducer;
    std::printf("BR2LFQueue %d producers, %d consumers: %6.2f M values/s\n", producers, consumers, n / (ns / 1e3));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    logger(true, 1, 20000);
    logger(true, 4, 5000);
    logger(false, 1, 100000);
    logger(false, 4, 25000);
    queue(1, 1, 1000000);
    queue(4, 1, 250000);
    queue(2, 2, 500000);
    return 0;
}
