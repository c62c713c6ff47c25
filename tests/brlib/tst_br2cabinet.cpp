#include "br2cabinet.h"
#include "br2error.h"

#include "../testthreads.h"

#include <QtTest>

#include <memory>

namespace {

// Fills every part of a cabinet so a copy can be checked part by part.
void fill(BR2Cabinet &cabinet, const QString &tag)
{
    cabinet.setErr(BR2Error::ERR_PARAMS, tag);
    cabinet.insert(QStringLiteral("o"), tag);
    cabinet.set(QStringLiteral("v"), tag);
    cabinet.setToken(tag);
    BR2PeerCredentials peer;
    peer.groups = {27, 100};
    cabinet.setPeerCredentials(peer);
}

QString filledWith(const BR2Cabinet &cabinet)
{
    const QString tag = cabinet.errmsg();
    const bool whole = cabinet.object() == QJsonObject{{"o", tag}} && cabinet.getString("v") == tag
        && cabinet.token() == tag && cabinet.peerCredentials().groups == QVector<uint>{27, 100};
    return whole ? tag : QStringLiteral("(mixed)");
}

} // namespace

class TestBr2Cabinet : public QObject
{
    Q_OBJECT
private slots:
    // The value store (set/get) and the object store (insert/value) never see
    // each other's keys, and the peer's credentials live in neither.
    void storesAreSeparate()
    {
        BR2Cabinet cabinet;
        BR2PeerCredentials peer;
        peer.pid = 42;
        cabinet.setPeerCredentials(peer);
        cabinet.insert(QStringLiteral("protocol"), 128);
        cabinet.set(QStringLiteral("n"), 5);
        QVERIFY(!cabinet.contains(QStringLiteral("protocol")));
        QVERIFY(cabinet.value(QStringLiteral("n")).isUndefined());
        cabinet.clear();
        QVERIFY(cabinet.keys().isEmpty());
        QCOMPARE(cabinet.object(), (QJsonObject{{QStringLiteral("protocol"), 128}}));
        QCOMPARE(cabinet.peerCredentials().pid, qint64(42));
    }

    // A copy sharing the private record would be freed twice (ASan shows it),
    // including the copies the meta-type system makes on its own.
    void copiesAreDeep()
    {
        auto source = std::make_unique<BR2Cabinet>();
        fill(*source, QStringLiteral("s"));
        BR2Cabinet copy(*source);
        BR2Cabinet assigned;
        assigned = *source;
        QVariant variant = QVariant::fromValue(*source);
        fill(*source, QStringLiteral("changed"));
        source.reset();
        QCOMPARE(filledWith(copy), QStringLiteral("s"));
        QCOMPARE(filledWith(assigned), QStringLiteral("s"));
        QCOMPARE(filledWith(variant.value<BR2Cabinet>()), QStringLiteral("s"));
    }

    // Store calls are safe from any thread: each store has its own lock.
    void concurrentStores()
    {
        BR2Cabinet cabinet;
        QVERIFY(runThreads(4, [&cabinet](int t) {
            for (int i = 0; i < 2000; ++i) {
                cabinet.set(QString::number(t), i);
                cabinet.insert(QString::number(t), i);
                cabinet.keys();
                cabinet.setPeerCredentials(cabinet.peerCredentials());
            }
        }));
        for (int t = 0; t < 4; ++t)
            QCOMPARE(cabinet.value(QString::number(t)).toInt(), 1999);
        QCOMPARE(cabinet.keys().size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestBr2Cabinet)
#include "tst_br2cabinet.moc"
