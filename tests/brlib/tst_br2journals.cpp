#include "br2error.h"
#include "br2journals.h"

#include <QtTest>

class TestBr2Journals : public QObject
{
    Q_OBJECT
private slots:
    void rendering_data();
    void rendering();
    void entries();
    void copyIsDeep();
};

void TestBr2Journals::rendering_data()
{
    QTest::addColumn<bool>("touch");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("tagged");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("born failed, with journals") << false << 9999 << "" << "" << QStringList{"elapsed", "err"};
    QTest::newRow("0 hides message") << true << 0 << "x" << "[ERR_SUCCEED]x" << QStringList{"err"};
    QTest::newRow("10000 hides message") << true << 10000 << "x" << "[ERR_SUCCESS]x" << QStringList{"err"};
    QTest::newRow("9995 empty") << true << 9995 << "" << "[ERR_PARAMS]" << QStringList{"err"};
    QTest::newRow("9995 message") << true << 9995 << "缺少参数: threads" << "[ERR_PARAMS]缺少参数: threads"
                                  << QStringList{"err", "errmsg"};
    QTest::newRow("outside table") << true << 12345 << "m" << "[]m" << QStringList{"err", "errmsg"};
}

void TestBr2Journals::rendering()
{
    QFETCH(bool, touch);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, tagged);
    QFETCH(QStringList, keys);
    BR2Journals j;
    if (touch)
        QCOMPARE(j.setErr(code, message), tagged);
    QJsonObject reply{{QStringLiteral("err"), 1}, {QStringLiteral("results"), 1}};
    j.toRetObject(reply, !touch);
    QCOMPARE(reply.take(QStringLiteral("results")).toInt(), 1);
    QCOMPARE(reply.keys(), keys);
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(), code);
    if (keys.contains(QStringLiteral("errmsg")))
        QCOMPARE(reply.value(QStringLiteral("errmsg")).toString(), message);
}

// An entry takes the stored message only when asked; place and time are the
// journal's own, whatever the caller put there; the code form sets the result.
void TestBr2Journals::entries()
{
    BR2Journals j;
    QJsonObject e = j.add(QStringLiteral("p"), QStringLiteral("a"), false, QString(), QString());
    QVERIFY(!e.contains(QStringLiteral("msg")) && !e.contains(QStringLiteral("command")));
    j.setErr(9999, QStringLiteral("stored"));
    e = j.add(QStringLiteral("p"), QStringLiteral("a"), true, QString(), QStringLiteral("cmd"));
    QCOMPARE(e.value(QStringLiteral("msg")).toString(), QStringLiteral("stored"));
    e = j.add(QStringLiteral("here"), QStringLiteral("c"),
              QJsonObject{{QStringLiteral("place"), 1}, {QStringLiteral("times"), "x"}});
    QCOMPARE(e.value(QStringLiteral("place")).toString(), QStringLiteral("here"));
    QVERIFY(e.value(QStringLiteral("times")).isDouble());
    j.add(QStringLiteral("p"), 9995, QStringLiteral("a"), false, QStringLiteral("bad"), QString());
    QCOMPARE(j.err(), 9995);
    QCOMPARE(j.errmsg(), QStringLiteral("bad"));
    QJsonObject reply;
    j.toRetObject(&reply, true);
    QCOMPARE(reply.value(QStringLiteral("journals")).toArray().size(), 4);
}

// The record is private; a shallow copy would share it and be freed twice.
void TestBr2Journals::copyIsDeep()
{
    BR2Journals a;
    a.setErr(9995, QStringLiteral("a"));
    BR2Journals b(a);
    b.setErr(0, QString());
    BR2Journals c;
    c = a;
    a.setErr(1, QStringLiteral("z"));
    QCOMPARE(b.err(), 0);
    QCOMPARE(c.err(), 9995);
    QCOMPARE(c.errmsg(), QStringLiteral("a"));
}

QTEST_GUILESS_MAIN(TestBr2Journals)
#include "tst_br2journals.moc"
