#include "memorybudget.h"

#include "mediafixture.h"

#include <QMutex>
#include <QThread>

#include <memory>

// Renders hold their whole estimate at once; waiters are served in order,
// and a stop request ends every wait.
class TestMemoryBudget : public QObject, MediaCase
{
    Q_OBJECT
    static constexpr qint64 CAP = 100;
    QMutex m_mutex;
    QStringList m_order;     // guarded by m_mutex: who got the budget, in order

    // A thread that reserves bytes, notes its name when granted and holds
    // the reservation until release is set.
    QThread *reserver(const QString &name, qint64 bytes, const QAtomicInt &release)
    {
        QThread *t = QThread::create([=, &release] {
            MemoryReservation r(bytes);
            {
                QMutexLocker locker(&m_mutex);
                m_order << (r.granted() ? name : name + " refused");
            }
            while (r.granted() && !release.loadAcquire() && !stopRequested())
                QThread::msleep(2);
        });
        t->start();
        return t;
    }
    int granted()
    {
        QMutexLocker locker(&m_mutex);
        return m_order.size();
    }

private slots:
    void init()
    {
        QVERIFY(fresh());
        MediaDir::tune([](RenderSettings &r) { r.memoryCap = CAP; });
        m_order.clear();
    }
    void cleanup() { d.reset(); }

    void sharedInOrder()
    {
        QVERIFY(!MemoryReservation(CAP + 1).granted());           // over the cap alone: at once
        QAtomicInt releaseA, releaseB, releaseC;
        std::unique_ptr<QThread> a(reserver("a", 60, releaseA));
        QVERIFY(QTest::qWaitFor([&] { return granted() == 1; }, 5000));
        std::unique_ptr<QThread> b(reserver("b", 60, releaseB));
        QVERIFY(QTest::qWaitFor([&] { return MemoryReservation::waiting() == 1; }, 5000));
        // c would fit beside a, but b came first.
        std::unique_ptr<QThread> c(reserver("c", 30, releaseC));
        QVERIFY(QTest::qWaitFor([&] { return MemoryReservation::waiting() == 2; }, 5000));
        QCOMPARE(granted(), 1);
        releaseA.storeRelease(1);
        QVERIFY(QTest::qWaitFor([&] { return granted() == 3; }, 5000));
        QCOMPARE(m_order, QStringList({"a", "b", "c"}));
        QCOMPARE(MemoryReservation::inUse(), 90);
        releaseB.storeRelease(1);
        releaseC.storeRelease(1);
        QVERIFY(a->wait(5000) && b->wait(5000) && c->wait(5000));
        QCOMPARE(MemoryReservation::inUse(), 0);
    }

    void stopEndsTheWait()
    {
        QAtomicInt never;
        std::unique_ptr<QThread> a(reserver("a", 80, never));
        QVERIFY(QTest::qWaitFor([&] { return granted() == 1; }, 5000));
        std::unique_ptr<QThread> b(reserver("b", 80, never));
        QVERIFY(QTest::qWaitFor([&] { return MemoryReservation::waiting() == 1; }, 5000));
        requestStop();
        QVERIFY(a->wait(5000) && b->wait(5000));
        QCOMPARE(m_order, QStringList({"a", "b refused"}));
        QCOMPARE(MemoryReservation::inUse(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMemoryBudget)
#include "tst_memorybudget.moc"
