#include "br2cabinet.h"
#include "br2error.h"

#include <QJsonArray>
#include <QMetaType>
#include <QTest>
#include <QThread>
#include <QVariant>

#include <memory>
#include <vector>

class TestBr2Cabinet : public QObject
{
    Q_OBJECT
private slots:
    void freshCabinetIsEmpty();
    void valueStore_data();
    void valueStore();
    void storesAreSeparate();
    void copiesAreDeep();
    void metaTypeCopies();
    void peerCredentialsStayOutOfStores();
    void concurrentStores();
};

void TestBr2Cabinet::freshCabinetIsEmpty()
{
    BR2Cabinet cabinet;
    QCOMPARE(cabinet.err(), int(BR2Error::ERR_FAILED));
    QVERIFY(!cabinet.contains(QStringLiteral("a")));
    QVERIFY(cabinet.keys().isEmpty());
    QVERIFY(cabinet.getString(QStringLiteral("a")).isEmpty());
    QJsonValue out(QStringLiteral("kept"));
    QVERIFY(!cabinet.get(QStringLiteral("a"), out));
    QCOMPARE(out, QJsonValue(QStringLiteral("kept")));
    QVERIFY(cabinet.value(QStringLiteral("a")).isUndefined());
    QCOMPARE(cabinet.object(), QJsonObject());
    QVERIFY(!cabinet.isLocal());
    QVERIFY(cabinet.token().isEmpty());
    QVERIFY(!cabinet.peerCredentials().valid);
}

void TestBr2Cabinet::valueStore_data()
{
    QTest::addColumn<QJsonArray>("values");     // set one after the other under key "a"
    QTest::addColumn<QString>("asString");
    QTest::newRow("replaced by a string") << QJsonArray{1, QStringLiteral("x")} << QStringLiteral("x");
    QTest::newRow("number is no string") << QJsonArray{5} << QString();
    QTest::newRow("bool is no string") << QJsonArray{true} << QString();
    QTest::newRow("null stored") << QJsonArray{QJsonValue()} << QString();
    QTest::newRow("chinese text") << QJsonArray{QStringLiteral("缺少参数")} << QStringLiteral("缺少参数");
}

void TestBr2Cabinet::valueStore()
{
    QFETCH(QJsonArray, values);
    QFETCH(QString, asString);
    BR2Cabinet cabinet;
    const QString key = QStringLiteral("a");
    for (const QJsonValue &v : values)
        cabinet.set(key, v);
    QCOMPARE(cabinet.keys(), QStringList{key});
    QVERIFY(cabinet.contains(key));
    QCOMPARE(cabinet.getString(key), asString);
    QJsonValue out;
    QVERIFY(cabinet.get(key, out));
    QCOMPARE(out, values.last());

    cabinet.remove(key);
    cabinet.remove(QStringLiteral("absent"));
    QVERIFY(!cabinet.contains(key));
    QVERIFY(cabinet.keys().isEmpty());
}

void TestBr2Cabinet::storesAreSeparate()
{
    BR2Cabinet cabinet;
    cabinet.insert(QStringLiteral("protocol"), 128);
    cabinet.insert(QStringLiteral("k"), 1);
    QCOMPARE(cabinet.value(QStringLiteral("k")), QJsonValue(1));
    QVERIFY(!cabinet.contains(QStringLiteral("k")));
    cabinet.set(QStringLiteral("v"), 2);
    QVERIFY(cabinet.value(QStringLiteral("v")).isUndefined());

    cabinet.setToken(QStringLiteral("t"));
    cabinet.setLocal(true);
    cabinet.clear();
    QVERIFY(cabinet.keys().isEmpty());
    QCOMPARE(cabinet.object(), (QJsonObject{{QStringLiteral("protocol"), 128}, {QStringLiteral("k"), 1}}));
    QCOMPARE(cabinet.token(), QStringLiteral("t"));
    QVERIFY(cabinet.isLocal());
}

// Fills every part of a cabinet so a copy can be checked part by part.
static void fill(BR2Cabinet &cabinet, const QString &tag)
{
    cabinet.setErr(BR2Error::ERR_PARAMS, tag);
    cabinet.insert(QStringLiteral("o"), tag);
    cabinet.set(QStringLiteral("v"), tag);
    cabinet.setToken(tag);
    cabinet.setLocal(true);
    BR2PeerCredentials peer;
    peer.valid = true;
    peer.uid = 1000;
    peer.groups = {27, 100};
    cabinet.setPeerCredentials(peer);
}

static void verifyFilled(const BR2Cabinet &cabinet, const QString &tag)
{
    QCOMPARE(cabinet.err(), int(BR2Error::ERR_PARAMS));
    QCOMPARE(cabinet.errmsg(), tag);
    QCOMPARE(cabinet.object(), (QJsonObject{{QStringLiteral("o"), tag}}));
    QCOMPARE(cabinet.getString(QStringLiteral("v")), tag);
    QCOMPARE(cabinet.token(), tag);
    QVERIFY(cabinet.isLocal());
    QCOMPARE(cabinet.peerCredentials().uid, 1000u);
    QCOMPARE(cabinet.peerCredentials().groups, (QVector<uint>{27, 100}));
}

void TestBr2Cabinet::copiesAreDeep()
{
    auto source = std::make_unique<BR2Cabinet>();
    fill(*source, QStringLiteral("s"));
    BR2Cabinet copy(*source);
    BR2Cabinet assigned;
    assigned.set(QStringLiteral("gone"), 1);
    assigned = *source;
    assigned = assigned;    // self-assignment keeps everything

    source->insert(QStringLiteral("o"), QStringLiteral("changed"));
    source->set(QStringLiteral("v"), QStringLiteral("changed"));
    source->setErr(0, QString());
    source.reset();    // the copies must not depend on the source's private part

    verifyFilled(copy, QStringLiteral("s"));
    verifyFilled(assigned, QStringLiteral("s"));
    QVERIFY(!assigned.contains(QStringLiteral("gone")));
}

void TestBr2Cabinet::metaTypeCopies()
{
    // The meta-type system copies and destroys cabinets on its own; under
    // ASan a shared private part would show up as a double free.
    const int id = qMetaTypeId<BR2Cabinet>();
    QCOMPARE(QMetaType::type("BR2Cabinet"), id);
    BR2Cabinet source;
    fill(source, QStringLiteral("m"));
    void *copy = QMetaType::create(id, &source);
    QVERIFY(copy);
    verifyFilled(*static_cast<BR2Cabinet *>(copy), QStringLiteral("m"));
    QMetaType::destroy(id, copy);

    QVariant variant = QVariant::fromValue(source);
    QVariant second = variant;
    second.detach();
    verifyFilled(second.value<BR2Cabinet>(), QStringLiteral("m"));
}

void TestBr2Cabinet::peerCredentialsStayOutOfStores()
{
    BR2Cabinet cabinet;
    cabinet.insert(QStringLiteral("protocol"), 128);
    BR2PeerCredentials peer;
    peer.valid = true;
    peer.pid = 42;
    peer.uid = 0;
    peer.gid = 0;
    cabinet.setPeerCredentials(peer);
    QCOMPARE(cabinet.object(), (QJsonObject{{QStringLiteral("protocol"), 128}}));
    QVERIFY(cabinet.keys().isEmpty());

    // A handler writing look-alike keys changes nothing about the peer.
    cabinet.set(QStringLiteral("uid"), 0);
    cabinet.insert(QStringLiteral("uid"), 0);
    cabinet.clear();
    const BR2PeerCredentials got = cabinet.peerCredentials();
    QVERIFY(got.valid);
    QCOMPARE(got.pid, qint64(42));
    QCOMPARE(got.uid, 0u);
}

void TestBr2Cabinet::concurrentStores()
{
    BR2Cabinet cabinet;
    const int rounds = 2000;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([&cabinet, t] {
            const QString own = QStringLiteral("k%1").arg(t);
            for (int i = 0; i < rounds; ++i) {
                cabinet.set(own, i);
                cabinet.insert(own, i);
                QJsonValue v;
                cabinet.get(own, v);
                cabinet.keys();
                cabinet.object();
                if (t == 0 && i % 100 == 0)
                    cabinet.setPeerCredentials(BR2PeerCredentials());
                cabinet.peerCredentials();
            }
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(20000));
    QCOMPARE(cabinet.keys().size(), 4);
    for (int t = 0; t < 4; ++t) {
        QJsonValue v;
        QVERIFY(cabinet.get(QStringLiteral("k%1").arg(t), v));
        QCOMPARE(v.toInt(), rounds - 1);
        QCOMPARE(cabinet.value(QStringLiteral("k%1").arg(t)).toInt(), rounds - 1);
    }
}

QTEST_GUILESS_MAIN(TestBr2Cabinet)
#include "tst_br2cabinet.moc"
