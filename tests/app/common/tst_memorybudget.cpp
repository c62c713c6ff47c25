#include "memorybudget.h"

#include "mediafixture.h"

// Renders hold their whole estimate at once; waiters are served in order,
// and a stop request ends every wait.
class TestMemoryBudget : public QObject, MediaCase
{
    Q_OBJECT
    QMutex m_mutex;
    QStringList m_order;     // who got the budget ("b refused": who did not), guarded by m_mutex
    QAtomicInt m_release;

    QThread *reserver(const QString &name, qint64 bytes)
    {
        QThread *t = QThread::create([=] {
            const MemoryReservation r(bytes);
            {
                QMutexLocker locker(&m_mutex);
                m_order << (r.granted() ? name : name + " refused");
            }
            while (r.granted() && !m_release.loadAcquire() && !stopRequested())
                QThread::msleep(2);
        });
        t->setParent(this);
        t->start();
        return t;
    }
    QStringList order()
    {
        QMutexLocker locker(&m_mutex);
        return m_order;
    }
    bool waiting(int n) { return QTest::qWaitFor([n] { return MemoryReservation::waiting() == n; }, 5000); }

private slots:
    void init()
    {
        QVERIFY(fresh());
        MediaDir::tune([](RenderSettings &r) { r.memoryCap = 100; });
        m_order.clear();
        m_release.storeRelease(0);
    }

    void sharedInOrder()
    {
        QVERIFY(!MemoryReservation(101).granted());           // over the cap alone: at once
        QThread *a = reserver("a", 60);
        QVERIFY(QTest::qWaitFor([&] { return order().size() == 1; }, 5000));
        QThread *b = reserver("b", 70);
        QVERIFY(waiting(1));
        QThread *c = reserver("c", 40);                     // would fit beside a, but b came first
        QVERIFY(waiting(2));
        QVERIFY(!MemoryReservation(10, MemoryReservation::IfFreeNow).granted());   // nor does a pre-grant
        QCOMPARE(order(), QStringList{"a"});
        m_release.storeRelease(1);
        QVERIFY(a->wait(5000) && b->wait(5000) && c->wait(5000));
        QCOMPARE(order(), QStringList({"a", "b", "c"}));
        QCOMPARE(MemoryReservation::inUse(), 0);
        const MemoryReservation now(100, MemoryReservation::IfFreeNow);
        QVERIFY(now.granted() && MemoryReservation::inUse() == 100);
    }

    void stopEndsTheWait()
    {
        QThread *a = reserver("a", 80);
        QVERIFY(QTest::qWaitFor([&] { return order().size() == 1; }, 5000));
        QThread *b = reserver("b", 80);
        QVERIFY(waiting(1));
        requestStop();
        QVERIFY(a->wait(5000) && b->wait(5000));
        QCOMPARE(order(), QStringList({"a", "b refused"}));
        QCOMPARE(MemoryReservation::inUse(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMemoryBudget)
#include "tst_memorybudget.moc"
