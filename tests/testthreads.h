#ifndef TESTTHREADS_H
#define TESTTHREADS_H
#include <QThread>

#include <functional>
#include <memory>
#include <vector>

// Runs body(0) .. body(count - 1) on threads of their own and joins them
// all, so that no check can return while a thread still uses the caller's
// locals. False when one did not end within a minute.
inline bool runThreads(int count, const std::function<void(int)> &body)
{
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(QThread::create([&body, t] { body(t); }))->start();
    bool ok = true;
    for (auto &thread : threads)
        ok = thread->wait(60000) && ok;
    return ok;
}

#endif // TESTTHREADS_H
